#include "RunLogRecords.h"

#include "CommandLine.h"
#include "RunLog.h"
#include "RunRecord.h"
#include "StartUp.h"
#include "TextHelpers.h"
#include "UnitUpdate.h"
#include "VersionText.h"
#include "firmware/BinImage.h"
#include "platform/Platform.h"

#include <string>
#include <vector>

void logRunStart(void) {
  std::vector<const char *> argv;
  for (const std::string &argument : gRunRecord.command) {
    argv.push_back(argument.c_str());
  }
  RunLog_Record("tool", "TessaronFwUpgrade %s", FWUPG_TOOL_VERSION);
  RunLog_Record("command", "%s",
                CommandLine_Text(static_cast<int>(argv.size()), argv.data()).c_str());
  RunLog_Record("release", "%s, %s", FIRMWARE_VERSION_TO_UPLOAD, imagesKindText());
}

void logUnitIdentity(void) {
  const UnitIdentity &unit = gRunRecord.before;
  if (unit.versionFields == 7) {
    // The model is the unit's text: escaped, so that it can't break the
    // record's line.
    RunLog_Record("unit", "firmware %d.%02d.%02d, logic %s %d.%02d, device %d (%s)", unit.fw_ver,
                  unit.fw_rev, unit.fw_sub, printableText(unit.model).c_str(), unit.fpga_ver,
                  unit.fpga_rev, unit.fpga_type, logicDeviceName(unit.fpga_type));
  } else {
    RunLog_Record("unit", "versions not known: %d of the 7 fields of the reply to \"%%fw -v\"",
                  unit.versionFields);
  }
  if (unit.role >= 0) {
    RunLog_Record("role", "%s", unit.role == 1 ? "TX" : "RX");
  }
  // The images this release has for the unit, with the figures IMAGES.txt
  // gives: what an update sends.
  if (unit.logicEntry >= 0) {
    RunLog_Record("image", "%s", AUTOGEN_IMAGE_FIGURES[unit.logicEntry]);
    RunLog_Record("image", "%s", AUTOGEN_IMAGE_FIGURES[AUTOGEN_MICROCONTROLLER_ENTRY]);
  }
}

void logUnitAfter(void) {
  const RunRecordUnitAfter &after = gRunRecord.after;
  if (!after.asked) {
    return;
  }
  if (after.versionFields == 7) {
    RunLog_Record("after", "firmware %d.%02d.%02d, logic %s %d.%02d, device %d (%s)", after.fw_ver,
                  after.fw_rev, after.fw_sub, printableText(after.model).c_str(), after.fpga_ver,
                  after.fpga_rev, after.fpga_type, logicDeviceName(after.fpga_type));
  } else {
    RunLog_Record("after",
                  "no versions after the restart: %d of the 7 fields of the reply to "
                  "\"%%fw -v\"",
                  after.versionFields);
  }
}

void logRunEnd(int exitCode, const char *outcome) { RunLog_Result(outcome, exitCode); }

void logInterruptedRun(const char *signalName, int exitCode) {
  const int fd = RunLog_Descriptor();
  if (fd >= 0) {
    size_t length = 0;
    const char *text = RunLog_InterruptText(signalName, exitCode, &length);
    Platform_WriteDescriptor(fd, text, length);
  }
}
