#include "RunRecord.h"

#include "platform/Platform.h"

RunRecord gRunRecord;

namespace {

void (*sChangeHook)(void) = nullptr;

void changed(void) {
  if (sChangeHook != nullptr) {
    sChangeHook();
  }
}

}  // namespace

void RunRecord_Begin(int argc, const char *const *argv) {
  gRunRecord = RunRecord();
  for (int k = 0; k < argc; k++) {
    gRunRecord.command.push_back(argv[k]);
  }
  gRunRecord.start = time(nullptr);
  changed();
}

void RunRecord_SetPort(int portNumber, int baudRate, BOOL opened) {
  gRunRecord.portNumber = portNumber;
  char device[PLATFORM_PORT_TEXT];
  gRunRecord.portDevice =
      opened && portNumber > 0 && Platform_PortDevice(portNumber, device, sizeof device) ? device
                                                                                         : "";
  gRunRecord.baudRate = baudRate;
  changed();
}

void RunRecord_SetUnitBefore(const UnitIdentity &unit, const char *identification) {
  gRunRecord.unitAsked = true;
  gRunRecord.before = unit;
  gRunRecord.identification = identification != nullptr ? identification : "";
  changed();
}

void RunRecord_ImageAnnounced(const char *kind, const char *file, long length, uint32_t checksum) {
  RunRecordImage image;
  image.kind = kind;
  image.file = file;
  image.length = length;
  image.checksum = checksum;
  gRunRecord.images.push_back(image);
  changed();
}

void RunRecord_ImageAcknowledged(void) {
  if (!gRunRecord.images.empty()) {
    gRunRecord.images.back().acknowledged = true;
    changed();
  }
}

void RunRecord_RestartConfirmed(const char *how) {
  gRunRecord.restartConfirmed = true;
  gRunRecord.restartHow = how;
  changed();
}

void RunRecord_SetUnitAfter(const RunRecordUnitAfter &after) {
  gRunRecord.after = after;
  changed();
}

void RunRecord_SetPorts(const std::vector<RunRecordPort> &ports) {
  gRunRecord.portsListed = true;
  gRunRecord.ports = ports;
  changed();
}

void RunRecord_End(const char *result, const char *outcome, int exitCode) {
  gRunRecord.result = result;
  gRunRecord.outcome = outcome != nullptr ? outcome : "";
  gRunRecord.exitCode = exitCode;
  gRunRecord.end = time(nullptr);
  changed();
}

void RunRecord_SetChangeHook(void (*hook)(void)) { sChangeHook = hook; }
