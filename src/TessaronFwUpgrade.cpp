// The update tool's run: start-up, the operator dialogue, and the order in
// which detection, the update sequence and the last message come.
#include "TessaronFwUpgrade.h"

#include <string.h>

#include "ComPortAPI.h"
#include "Console.h"
#include "platform/Platform.h"

// The rates a port can be asked for by the operator.
#define OPERATOR_MIN_BAUD_RATE 50
#define OPERATOR_MAX_BAUD_RATE 4000000

#define UPDATE_FAILED_MESSAGE "\n\rERROR: The update was not successful.\r\n"
#define RESTART_UNCONFIRMED_MESSAGE \
  "\n\rWARNING: The unit did not confirm its restart; check it before use.\r\n"

// Exit codes of an update that ran (the manual path's failures give -1).
#define EXIT_UPDATED 0
#define EXIT_UPDATE_FAILED 1
#define EXIT_RESTART_UNCONFIRMED 2

/*---------------------------------------------------------------------------
 * Start-up and operator dialogue
 *-------------------------------------------------------------------------*/

BOOL StrRemoveNL(char *str, char ch) {
  if (str == nullptr) {
    return 1;
  }
  // Walk to the terminator the text had on entry: with NUL as the
  // replacement the text ends at its first line end, but every later line
  // end is overwritten too.
  const size_t length = strlen(str);
  for (size_t k = 0; k < length; k++) {
    if (str[k] == '\n' || str[k] == '\r') {
      str[k] = ch;
    }
  }
  return 1;
}

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage) {
  if (lastMessage != nullptr && lastMessage[0] != '\0') {
    Console_Printf("%s", lastMessage);
  }
  Console_Printf("\r\nPress any key to exit");
  (void)Platform_Getch();
}

// The manual path, after a detection that found nothing: the operator types
// the port, which is opened, and its rate, which is set. 0 when either can't
// be used; the port is then closed again.
static BOOL openPortTheOperatorNames(void) {
  Console_Printf("FAILED");
  Console_Printf("\n\r\n\rEnter the COM port number : ");
  if (Platform_ConsoleReadInt(&gComPortNumber) != 1) {
    // What detection left here is no choice of the operator's: port 0,
    // which no port has, and the failure of an open.
    gComPortNumber = 0;
    Console_Error("ERROR: no COM port number was read from the input");
  }
  Console_Printf("\r\nOpening COM%d....................", gComPortNumber);
  if (!ComPortAPI_OpenCOM(gComPortNumber)) {
    return 0;
  }
  Console_Line("OK\r");
  Console_Printf("\n\r\n\rEnter the BAUD RATE       : ");
  BOOL rateUsable = 1;
  if (Platform_ConsoleReadInt(&gBaudRate) != 1) {
    gBaudRate = 0;
    rateUsable = 0;
    Console_Error("ERROR: no baud rate was read from the input");
  } else if (gBaudRate < OPERATOR_MIN_BAUD_RATE || gBaudRate > OPERATOR_MAX_BAUD_RATE) {
    rateUsable = 0;
    Console_Error("ERROR: %d baud is outside the rates a port can run at (%d to %d)", gBaudRate,
                  OPERATOR_MIN_BAUD_RATE, OPERATOR_MAX_BAUD_RATE);
  }
  Console_Printf("\r\nSetting baud rate at %d..........", gBaudRate);
  if (!rateUsable || !ComPortAPI_SetBaudRate(gBaudRate)) {
    (void)ComPortAPI_CloseCOM();
    return 0;
  }
  Console_Line("OK\r");
  return 1;
}

int fwupgradeMain(void) {
  Platform_ConsoleInit();
  if (!standInImagesMayRun()) {
    return -1;
  }
  if (!Platform_PreparePorts(FWUPG_STANDIN_IMAGES)) {
    Console_Error("ERROR: %s", Platform_LastErrorText());
    dipsplayLastMessageToUserBeforeExit("");
    return -1;
  }
  // Ports left out for a program with stand-in images are named once here:
  // detection passes them over in silence, as it does missing ports.
  if (Platform_LastErrorText()[0] != '\0') {
    Console_Error("%s", Platform_LastErrorText());
  }
  if (!allocateSharedBuffers()) {
    dipsplayLastMessageToUserBeforeExit("");
    return -1;
  }

  Console_Printf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
  Console_Printf("\n\r\n\rDetecting COM port and Baud Rate..................");

  // No port is open yet: this only stores the setting, so that every port
  // that detection or the operator opens runs without flow control.
  (void)ComPortAPI_SetHardwareFlowControl(0);

  if (detectComPortAndBaudrate()) {
    Console_Line("OK\r");
    Console_Printf("COM PORT Number : %d", gComPortNumber);
    Console_Printf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
  } else if (!openPortTheOperatorNames()) {
    dipsplayLastMessageToUserBeforeExit("");
    releaseSharedBuffers();
    return -1;
  }

  (void)ComPortAPI_SetHardwareFlowControl(1);
  const BOOL updated = updateFirmware();
  (void)ComPortAPI_CloseCOM();
  // Scripts read the outcome from the exit code: an update whose unit did
  // not show its console again is not reported as a plain success.
  int exitCode = EXIT_UPDATED;
  const char *lastMessage = "";
  if (!updated) {
    exitCode = EXIT_UPDATE_FAILED;
    lastMessage = UPDATE_FAILED_MESSAGE;
  } else if (!gUnitRestartConfirmed) {
    exitCode = EXIT_RESTART_UNCONFIRMED;
    lastMessage = RESTART_UNCONFIRMED_MESSAGE;
  }
  Platform_SetInterruptExitCode(exitCode);  // the result stands, even if the key wait is cut short
  dipsplayLastMessageToUserBeforeExit(lastMessage);
  releaseSharedBuffers();
  return exitCode;
}
