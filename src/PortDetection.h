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

// The same on port nId alone (--port): its rates in the same order. 1 with
// the port open as after detectComPortAndBaudrate; 0 with no port open and
// *portUsable 0 when the port could not be opened at any rate (the port's
// failure shown, as an open shows it), 1 when no unit answered there.
BOOL detectUnitOnPort(int nId, BOOL *portUsable);
// The rates detection tries, in its order, for the messages.
#define DETECTION_RATES_TEXT "115200, 9600, 57600, 4800, 2400 or 1200"

#endif
