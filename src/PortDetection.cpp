// Port and baud-rate detection: the port on which a unit's console answers,
// and the rate at which it does.
#include "PortDetection.h"

#include <stdio.h>

#include "ComPortAPI.h"
#include "Console.h"
#include "ConsoleProtocol.h"
#include "PortNames.h"
#include "platform/Platform.h"

int gComPortNumber = 0;
int gBaudRate = 0;

#define DETECTION_FIRST_PORT 1
#define DETECTION_LAST_PORT 32
#define DETECTION_ATTEMPTS_PER_RATE 2
#define DETECTION_COMMAND "%help -c version"
#define DETECTION_EXPECTED_ANSWER \
  "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"

// DETECTION_RATES_TEXT (PortDetection.h) names them for the messages.
static const int kDetectionBaudRates[] = {115200, 9600, 57600, 4800, 2400, 1200};

BOOL consoleAnswersDetectionCommand(void) {
  return sendCommandExpectingOnly(DETECTION_COMMAND, DETECTION_EXPECTED_ANSWER);
}

// Tries every detection rate, in order, on port i, which exists and is
// free: 1 with the port open at the rate at which its unit answered, 0 with
// it closed. *opened is set once the port could be opened at some rate.
static BOOL tryDetectionRates(int i, const char *ResponseExpected, BOOL *opened) {
  for (const int rate : kDetectionBaudRates) {
    (void)ComPortAPI_SetBaudRate(rate);
    if (!ComPortAPI_OpenCOM(i)) {
      continue;
    }
    *opened = 1;
    gBaudRate = rate;
    for (int attempt = 0; attempt < DETECTION_ATTEMPTS_PER_RATE; attempt++) {
      // A port that talks without a pause (a GPS receiver, another
      // device's console) is given up on soon after its reply is known
      // wrong, not after a minute of listening.
      if (sendCommandExpectingOnly(DETECTION_COMMAND, ResponseExpected)) {
        return 1;
      }
    }
    (void)ComPortAPI_CloseCOM();
  }
  return 0;
}

BOOL detectComPortAndBaudrate(void) {
  char ResponseExpected[100];
  snprintf(ResponseExpected, sizeof ResponseExpected, "%s", DETECTION_EXPECTED_ANSWER);

  for (int i = DETECTION_FIRST_PORT; i <= DETECTION_LAST_PORT; i++) {
    // A bare open tells whether the port exists and is free; nothing is
    // configured or sent on it.
    if (!ComPortAPI_ProbeCOM(i)) {
      gComPortNumber = 0;
      gBaudRate = 0;
      continue;
    }
    gComPortNumber = i;
    BOOL opened = 0;
    if (tryDetectionRates(i, ResponseExpected, &opened)) {
      return 1;
    }
  }
  return 0;
}

BOOL detectUnitOnPort(int nId, BOOL *portUsable) {
  char ResponseExpected[100];
  snprintf(ResponseExpected, sizeof ResponseExpected, "%s", DETECTION_EXPECTED_ANSWER);
  gComPortNumber = nId;
  gBaudRate = 0;
  *portUsable = 0;
  if (!ComPortAPI_ProbeCOM(nId)) {
    // The one port asked for: its failure is said, as an open's is.
    Console_Printf("ERROR: Opening %s failed !", PortNames_Text(nId).c_str());
    Console_Error("%s", Platform_LastErrorText());
    return 0;
  }
  return tryDetectionRates(nId, ResponseExpected, portUsable);
}
