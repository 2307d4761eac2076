// The update tool's run: start-up, the command line, the operator dialogue,
// and the order in which detection, the update sequence (or the report of
// --info) and the last message come.
#include "TessaronFwUpgrade.h"

#include <string.h>

#include <string>

#include "ComPortAPI.h"
#include "PortDetection.h"
#include "StartUp.h"
#include "TextHelpers.h"
#include "UnitUpdate.h"
#include "CommandLine.h"
#include "Console.h"
#include "PortNames.h"
#include "RecordFiles.h"
#include "RunLog.h"
#include "PortList.h"
#include "RunLogRecords.h"
#include "RunRecord.h"
#include "RunReport.h"
#include "Station.h"
#include "UnitInformation.h"
#include "VersionText.h"
#include "WireTrace.h"
#include "platform/Platform.h"

// The rates a port can be asked for by the operator.
#define OPERATOR_MIN_BAUD_RATE 50
#define OPERATOR_MAX_BAUD_RATE 4000000

#define UPDATE_FAILED_MESSAGE "\n\rERROR: The update was not successful.\r\n"
#define UNIT_NOT_IDENTIFIED_MESSAGE "\n\rERROR: The unit was not identified.\r\n"
#define RESTART_UNCONFIRMED_MESSAGE \
  "\n\rWARNING: The unit did not confirm its restart; check it before use.\r\n"

// Exit codes of an update that ran (the manual path's failures, and a port
// given with --port that can't be used, give -1).
#define EXIT_UPDATED 0
#define EXIT_UPDATE_FAILED 1
#define EXIT_RESTART_UNCONFIRMED 2

/*---------------------------------------------------------------------------
 * Start-up and operator dialogue
 *-------------------------------------------------------------------------*/

// The run's outcome for the run log and the report, written once its last
// message is on the screen (and so in the log's transcript) and before any
// key wait, so that an operator who closes the window instead loses nothing
// of it.
static const char *sOutcome = nullptr;
static int sOutcomeExitCode = 0;

static void logOutcome(void) {
  if (sOutcome == nullptr) {
    return;
  }
  logRunEnd(sOutcomeExitCode, sOutcome);
  sOutcome = nullptr;
  RecordFiles_ReportIncomplete();
  std::string why;
  if (RunReport_IsOpen() && !RunReport_Write(&why)) {
    // The update's result stands; only its report is missing.
    Console_Error("ERROR: --report: %s not written: %s", printableText(RunReport_Path()).c_str(),
                  why.c_str());
  }
}

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage) {
  if (lastMessage != nullptr && lastMessage[0] != '\0') {
    Console_Printf("%s", lastMessage);
  }
  Console_Printf("\r\nPress any key to exit");
  logOutcome();
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

// The first line of a run: what it is about to do.
static void showBanner(const CommandLineOptions &options) {
  if (options.info) {
    Console_Printf("\n\rUnit information; this tool carries firmware release %s",
                   FIRMWARE_VERSION_TO_UPLOAD);
  } else {
    Console_Printf("\n\rYou are about to upload the firmware version %s",
                   FIRMWARE_VERSION_TO_UPLOAD);
  }
  Console_Printf("\n\r\n\rDetecting COM port and Baud Rate..................");
}

// Opens the unit's port as the options say, at the unit's rate, and shows
// it: 1 when open; 0 when no unit answered (nothing is asked of the
// operator when a port was given, nor for --info); -1 when the port or the
// rate can't be used. Each failure has been shown.
static int openUnitPort(const CommandLineOptions &options) {
  const int port = options.portNumber;
  const std::string portText = PortNames_Text(port);
  if (port != 0 && options.baudRate != 0) {
    // No detection: the rate is stored first, so that the port opens at it.
    (void)ComPortAPI_SetBaudRate(options.baudRate);
    if (!ComPortAPI_OpenCOM(port)) {
      Console_Error("ERROR: %s cannot be used; no other port is tried", portText.c_str());
      RunRecord_SetPort(port, 0, 0);
      return -1;
    }
    gComPortNumber = port;
    gBaudRate = options.baudRate;
  } else if (port != 0) {
    RunRecord_SetPort(port, 0, 0);
    BOOL usable = 0;
    if (!detectUnitOnPort(port, &usable)) {
      if (!usable) {
        Console_Error("ERROR: %s cannot be used; no other port is tried", portText.c_str());
        return -1;
      }
      Console_Printf("FAILED");
      Console_Error("ERROR: no unit answered on %s at " DETECTION_RATES_TEXT " baud",
                    portText.c_str());
      return 0;
    }
  } else if (!detectComPortAndBaudrate()) {
    if (options.info) {
      Console_Printf("FAILED");
      Console_Error("ERROR: no unit answered on any COM port at " DETECTION_RATES_TEXT " baud");
      return 0;
    }
    if (!openPortTheOperatorNames()) {
      RunRecord_SetPort(gComPortNumber, 0, 0);
      return -1;
    }
    RunRecord_SetPort(gComPortNumber, gBaudRate, 1);
    return 1;
  }
  RunRecord_SetPort(gComPortNumber, gBaudRate, 1);
  Console_Line("OK\r");
  if (PortNames_Path(gComPortNumber) != nullptr) {
    // The port as the operator named it; the log has the device it led to.
    Console_Printf("Serial port     : %s", portText.c_str());
    RunLog_Record("port", "%s", PortNames_TextWithDevice(gComPortNumber).c_str());
  } else {
    Console_Printf("COM PORT Number : %d", gComPortNumber);
  }
  Console_Printf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
  return 1;
}

// The end of a run: its last message, its outcome in the run log, and the
// key press, which --no-wait leaves out and which a query (--info,
// --list-ports) never asks for. With `resultStands`, an interrupt at the key
// wait ends the program with the run's exit code.
static int endRun(const CommandLineOptions &options, int exitCode, const char *result,
                  const char *lastMessage, const char *outcome, BOOL resultStands) {
  const BOOL keyWait = !options.noWait && !options.info && !options.listPorts;
  RunRecord_End(result, outcome, exitCode);
  if (resultStands) {
    Platform_SetInterruptExitCode(exitCode);
  }
  sOutcome = outcome;
  sOutcomeExitCode = exitCode;
  if (keyWait) {
    dipsplayLastMessageToUserBeforeExit(lastMessage);
  } else {
    if (lastMessage[0] != '\0') {
      Console_Printf("%s", lastMessage);
    }
    logOutcome();
  }
  return exitCode;
}

// --info on the open port: the unit identified and what this release would
// write to it; nothing else is sent.
static int reportUnit(const CommandLineOptions &options) {
  const BOOL identified = identifyUnitAndSelectImage();
  logUnitIdentity();
  const BOOL shown = identified && showUnitInformation();
  (void)ComPortAPI_CloseCOM();
  if (shown) {
    return endRun(options, EXIT_UPDATED, "identified", "", "the unit was identified", 0);
  }
  if (identified) {
    return endRun(options, EXIT_UPDATE_FAILED, "failed", "",
                  "the images of this release could not be converted", 0);
  }
  return endRun(options, EXIT_UPDATE_FAILED, "not identified", UNIT_NOT_IDENTIFIED_MESSAGE,
                "the unit was not identified", 0);
}

// After a confirmed restart, for a run that keeps a record (--log,
// --report): what the unit runs now, asked once and shown in one line. A
// unit that does not answer is said to, and the update stands.
static void checkUnitAfterRestart(void) {
  if (askUnitVersionsAfterRestart()) {
    const RunRecordUnitAfter &after = gRunRecord.after;
    Console_Printf("Unit now reports firmware %d.%02d.%02d, logic %s %d.%02d\r\n", after.fw_ver,
                   after.fw_rev, after.fw_sub, printableText(after.model).c_str(), after.fpga_ver,
                   after.fpga_rev);
  } else {
    Console_Printf("Unit did not report its versions after the restart\r\n");
  }
  logUnitAfter();
}

// The update on the open port, and its outcome.
static int updateUnit(const CommandLineOptions &options) {
  const BOOL updated = updateFirmware();
  // A run without a record asks nothing more: its wire and its screen stay
  // what they always were.
  if (updated && gUnitRestartConfirmed &&
      (!options.logPath.empty() || !options.reportPath.empty())) {
    checkUnitAfterRestart();
  }
  (void)ComPortAPI_CloseCOM();
  // Scripts read the outcome from the exit code: an update whose unit did
  // not show its console again is not reported as a plain success.
  if (!updated) {
    return endRun(options, EXIT_UPDATE_FAILED, "failed", UPDATE_FAILED_MESSAGE, "the update failed",
                  1);
  }
  if (!gUnitRestartConfirmed) {
    return endRun(options, EXIT_RESTART_UNCONFIRMED, "restart unconfirmed",
                  RESTART_UNCONFIRMED_MESSAGE,
                  "both images were taken; the unit did not confirm its restart", 1);
  }
  return endRun(options, EXIT_UPDATED, "updated", "",
                "the update succeeded and the unit's console came back", 1);
}

// The run as the options ask, with the log and the trace open.
static int runWithOptions(const CommandLineOptions &options) {
  // The port map concerns COM numbers only: a port given by its path is
  // reached by that path (a program with stand-in images still opens only a
  // pseudo-terminal), whether or not a map is there.
  const BOOL prepared = Platform_PreparePorts(FWUPG_STANDIN_IMAGES);
  if (!prepared && PortNames_Path(options.portNumber) == nullptr) {
    Console_Error("ERROR: %s", Platform_LastErrorText());
    return endRun(options, -1, "port unusable", "", "no port may be used here", 0);
  }
  // Ports left out for a program with stand-in images are named once here:
  // detection passes them over in silence, as it does missing ports.
  if (prepared && Platform_LastErrorText()[0] != '\0') {
    Console_Error("%s", Platform_LastErrorText());
  }
  if (options.listPorts) {
    const int listed = listComPorts();
    return endRun(options, listed, listed == 0 ? "listed" : "failed", "",
                  listed == 0 ? "the ports were listed" : "the ports could not be listed", 0);
  }
  if (!allocateSharedBuffers()) {
    return endRun(options, -1, "failed", "", "not enough memory", 0);
  }

  showBanner(options);
  // No port is open yet: this only stores the setting, so that every port
  // that detection or the operator opens runs without flow control.
  (void)ComPortAPI_SetHardwareFlowControl(0);
  const int opened = openUnitPort(options);
  int exitCode = -1;
  if (opened == 0) {
    exitCode = endRun(options, EXIT_UPDATE_FAILED, "no unit",
                      options.info ? UNIT_NOT_IDENTIFIED_MESSAGE : UPDATE_FAILED_MESSAGE,
                      "no unit answered", 0);
  } else if (opened < 0) {
    exitCode =
        endRun(options, -1, "port unusable", "", "the port or the rate could not be used", 0);
  } else {
    (void)ComPortAPI_SetHardwareFlowControl(1);
    exitCode = options.info ? reportUnit(options) : updateUnit(options);
  }
  releaseSharedBuffers();
  return exitCode;
}

// A station (--all, or --port with a list): every unit by a run of its
// own; the station's record in the run log.
static int runStation(const CommandLineOptions &options, int argc, const char *const *argv) {
  if (!Platform_PreparePorts(FWUPG_STANDIN_IMAGES)) {
    Console_Error("ERROR: %s", Platform_LastErrorText());
    logRunEnd(-1, "no port may be used here");
    return -1;
  }
  const int exitCode = Station_Run(options, argc, argv);
  logRunEnd(exitCode, Station_Outcome());
  return exitCode;
}

// A command line that can't be run: the reason and the usage on standard
// error, nothing opened.
static int refuseCommandLine(const std::string &reason) {
  Console_Error("ERROR: %s", reason.c_str());
  Console_Error("%s", "");
  std::string usage = CommandLine_Usage();
  usage.erase(usage.find_last_not_of('\n') + 1);
  Console_Error("%s", usage.c_str());
  return COMMAND_LINE_EXIT_USAGE;
}

// The report's file must be none of the other records': each would write
// over the other. Judged by what the names lead to, so only names that lead
// somewhere can be compared.
static BOOL reportIsItsOwnFile(const CommandLineOptions &options, std::string *reason) {
  const char *report = options.reportPath.c_str();
  for (const std::string *other : {&options.logPath, &options.tracePath}) {
    if (!other->empty() && Platform_SameFile(report, other->c_str())) {
      *reason = "--report: " + printableText(options.reportPath) + " is the file of --" +
                (other == &options.logPath ? "log" : "trace");
      return 0;
    }
  }
  return 1;
}

// Closes whatever openRecords opened.
static void closeRecords(void) {
  RunReport_Close();
  RunLog_Close();
  WireTrace_Close();
  // A record whose last lines failed only after the result.
  RecordFiles_ReportIncomplete();
}

// Opens the records the options ask for, before any port is touched: a
// file that can't be written, that two options name or that another run is
// writing is a bad value like any other. A record joins here with its line.
// The report is written whole at the end: here its folder is only tried.
static BOOL openRecords(const CommandLineOptions &options, std::string *reason) {
  const RecordFileRequest records[] = {
      {"--log", "run log", "log", options.logPath, 0, RunLog_Attach},
      {"--trace", "wire trace", "trace", options.tracePath, 1, WireTrace_Attach},
  };
  std::string why;
  if (!options.reportPath.empty()) {
    // Before the trace is opened, which empties it: a trace that the report
    // names stays as it was.
    if (!reportIsItsOwnFile(options, reason)) {
      return 0;
    }
    if (!RunReport_Open(options.reportPath.c_str(), &why)) {
      *reason = "--report: " + printableText(options.reportPath) + " cannot be written: " + why;
      return 0;
    }
    // A station writes a document of its own there (Station.cpp): the
    // single run's report is only checked for, never kept ready.
    if (options.station) {
      RunReport_Close();
    }
  }
  if (!RecordFiles_Open(records, sizeof records / sizeof records[0], reason)) {
    RunReport_Close();
    return 0;
  }
  // Again, now that the log and the trace are there: a name of the report
  // that led nowhere before may lead to one of them now.
  if (!options.reportPath.empty() && !reportIsItsOwnFile(options, reason)) {
    RunReport_Close();
    RunLog_Discard();
    WireTrace_Discard();
    return 0;
  }
  return 1;
}

// The interrupt hook: the log's record and the report end as the run did.
static void recordInterruptedRun(const char *signalName, int exitCode) {
  logInterruptedRun(signalName, exitCode);
  RunReport_WriteInterrupted(signalName, exitCode);
}

int fwupgradeMainWithArguments(int argc, const char *const *argv) {
  Platform_ConsoleInit();
  if (!standInImagesMayRun()) {
    return -1;
  }
  CommandLineOptions options;
  std::string reason;
  if (!CommandLine_Parse(argc, argv, &options, &reason)) {
    return refuseCommandLine(reason);
  }
  if (options.help) {
    Console_Printf("%s", CommandLine_Usage());
    return 0;
  }
  if (options.version) {
    printVersionText();
    return 0;
  }
  if (!openRecords(options, &reason)) {
    return refuseCommandLine(reason);
  }
  RunRecord_Begin(argc, argv);
  if (RunLog_IsOpen()) {
    RunLog_Start();
    logRunStart();
  }
  if (RunLog_IsOpen() || RunReport_IsOpen()) {
    Platform_SetInterruptHook(recordInterruptedRun);
  }
  const int exitCode = options.station ? runStation(options, argc, argv) : runWithOptions(options);
  Platform_SetInterruptHook(nullptr);
  closeRecords();
  return exitCode;
}

int fwupgradeMain(void) {
  const char *const argv[] = {"TessaronFwUpgrade"};
  return fwupgradeMainWithArguments(1, argv);
}
