// --info: what an identified unit is and what this release would write to
// it.
#ifndef UNITINFORMATION_H
#define UNITINFORMATION_H

#include "platform/Win32Types.h"

// After an identification that succeeded: the unit's versions, its role and
// logic device, and the two images this release would write to it,
// converted as for the update (which uses up the logic image's text). 0
// when an image does not convert.
BOOL showUnitInformation(void);

#endif
