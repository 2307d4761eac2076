// The record of one run: every fact that the run log, the --info display
// and the run's JSON report show, gathered in one place as the run goes.
// The update sequence and the run fill it beside the globals they always
// kept (gComPortNumber, gBaudRate, gUnitIdentity, gUnitRestartConfirmed);
// whatever shows the run reads it from here.
#ifndef RUNRECORD_H
#define RUNRECORD_H

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

#include "UnitUpdate.h"
#include "platform/Win32Types.h"

// One image the run announced to the unit.
struct RunRecordImage {
  std::string kind;  // "logic" or "firmware"
  std::string file;  // its file name in the catalogue
  long length = 0;
  uint32_t checksum = 0;
  bool acknowledged = false;  // the unit answered its data with "SUCCESS"
};

// The versions the unit reported once its restart was confirmed.
struct RunRecordUnitAfter {
  bool asked = false;     // "%fw -v" was sent after the restart
  int versionFields = 0;  // fields of the reply; 7 when the unit answered whole
  int fw_ver = 0, fw_rev = 0, fw_sub = 0;
  std::string model;
  int fpga_ver = 0, fpga_rev = 0, fpga_type = -1;
};

// One port of the port list (--list-ports).
struct RunRecordPort {
  int number = 0;
  std::string device;
  bool held = false;
  std::string note;
};

struct RunRecord {
  std::vector<std::string> command;  // the arguments as given, argv[0] first
  time_t start = 0;
  time_t end = 0;  // 0 until the run has ended

  int portNumber = 0;      // the port the run used or tried; 0 none
  std::string portDevice;  // what the port leads to; "" when not known
  int baudRate = 0;        // the unit's console rate; 0 not known

  // The unit as interrogated before anything was written to it.
  bool unitAsked = false;  // "%fw -v" was answered or asked
  UnitIdentity before = {0, 0, 0, 0, "", 0, 0, -1, -1, -1};
  std::string identification;  // the reply to "%fw -p" that told the role; "" none

  std::vector<RunRecordImage> images;

  bool restartConfirmed = false;
  const char *restartHow = nullptr;  // "prompt", "answer", or nullptr

  RunRecordUnitAfter after;

  bool portsListed = false;
  std::vector<RunRecordPort> ports;

  const char *result = nullptr;  // a word of the report's "result"; nullptr while running
  std::string outcome;           // the run log's words for the result
  int exitCode = 0;
};

extern RunRecord gRunRecord;

// Starts a new record for the run with this command line, at the time now.
void RunRecord_Begin(int argc, const char *const *argv);
// The port (and its rate, 0 while unknown) the run opened, or (not
// `opened`) the one it tried; the device is looked up for an open port only.
void RunRecord_SetPort(int portNumber, int baudRate, BOOL opened);
// The unit's versions as interrogated (gUnitIdentity), and the reply that
// told its role ("" when none did).
void RunRecord_SetUnitBefore(const UnitIdentity &unit, const char *identification);
// An image announced to the unit; RunRecord_ImageAcknowledged marks the last
// one taken.
void RunRecord_ImageAnnounced(const char *kind, const char *file, long length, uint32_t checksum);
void RunRecord_ImageAcknowledged(void);
// How the unit's restart was confirmed: "prompt" or "answer".
void RunRecord_RestartConfirmed(const char *how);
void RunRecord_SetUnitAfter(const RunRecordUnitAfter &after);
void RunRecord_SetPorts(const std::vector<RunRecordPort> &ports);
// The run's result ("updated", "failed", ...), its words and its exit code.
void RunRecord_End(const char *result, const char *outcome, int exitCode);

// Called after every change of the record (nullptr: none), so that what is
// kept ready for an interrupt follows it.
void RunRecord_SetChangeHook(void (*hook)(void));

#endif
