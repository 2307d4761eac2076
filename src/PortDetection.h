// Port and baud-rate detection: the port on which a unit's console answers,
// and the rate at which it does.
#ifndef PORTDETECTION_H
#define PORTDETECTION_H

#include "platform/Win32Types.h"

// The chosen port and line rate: detection's find, or the operator's.
extern int gComPortNumber;
extern int gBaudRate;

// Tries COM1 to COM32 at each detection rate until the unit's console gives
// its help text. 1 with that port open and gComPortNumber and gBaudRate set;
// 0 with no port open.
BOOL detectComPortAndBaudrate(void);
// One exchange of detection on the open port, at its rate and reading
// time-out in force: 1 when the unit's console gives its exact answer.
BOOL consoleAnswersDetectionCommand(void);

#endif
