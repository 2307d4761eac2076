// What the command-line options do besides steering the update: the version
// text, the list of COM ports, the report on an identified unit (--info),
// and the run log's own records. Part of the update driver; start-up calls
// these as the options ask.
#ifndef RUNOPTIONS_H
#define RUNOPTIONS_H

#include "platform/Win32Types.h"

// --version: the tool, its release and the figures of the images it
// carries, as IMAGES.txt gives them.
void printVersionText(void);

// --list-ports: the COM ports there are, what each leads to and which are
// held. The exit code: 0, or -1 when the ports can't be listed.
int listComPorts(void);

// --info, after an identification that succeeded: the unit's versions, its
// role and logic device, and the two images this release would write to
// it, converted as for the update (which uses up the logic image's text).
// 0 when an image does not convert.
BOOL showUnitInformation(void);

// The run log's records: the run's heading, the unit as it was found, and
// the outcome with the exit code. Nothing when no log is open.
void logRunStart(int argc, const char *const *argv);
void logUnitIdentity(void);
void logRunEnd(int exitCode, const char *outcome);
// The interrupt hook (Platform_SetInterruptHook) that ends the log's record.
void logInterruptedRun(const char *signalName, int exitCode);

#endif
