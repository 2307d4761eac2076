#include "StationBoard.h"

#include <stdio.h>
#include <string.h>

#include "PortNames.h"
#include "UnitUpdate.h"

namespace {

// The texts of a unit's run that mark where it is. They are the run's own
// transcript texts, which do not change: the station reads them as the
// operator would.
const char kDetecting[] = "Detecting COM port and Baud Rate..................";
const char kDetected[] = "COM PORT Number : ";
const char kFirmwareVersion[] = "Checking firmware version ..............  ";
const char kLogicVersion[] = "Checking fpga version ..................  ";
const char kDevice[] = "  device:";
const char kProduct[] = "Checking product .......... ";
const char kLogicPrepare[] = "Preparing to Upload Programmable Logic ";
const char kLogicSend[] = "Sending Programmable Logic data ";
const char kFirmwarePrepare[] = "Preparing to Upload Firmware ";
const char kFirmwareSend[] = "Sending data ";
const char kRebooting[] = "Please wait while the unit is rebooting ";

// Exit codes of a unit's run.
const int kExitUpdated = 0;
const int kExitFailed = 1;
const int kExitRestartUnconfirmed = 2;
const int kExitPortUnusable = 255;

// The text from `from` up to the first of `stops` (or the end).
std::string fieldAt(const std::string &text, size_t from, const char *stops) {
  const size_t end = text.find_first_of(stops, from);
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// The last figure "nn%" after `from`: the one on screen once the
// backspaces have done their work. 0 before the first.
int lastFigure(const std::string &text, size_t from) {
  const size_t percent = text.rfind('%');
  if (percent == std::string::npos || percent <= from) {
    return 0;
  }
  size_t digits = percent;
  while (digits > from && text[digits - 1] >= '0' && text[digits - 1] <= '9') {
    digits--;
  }
  if (digits == percent || percent - digits > 3) {
    return 0;
  }
  return atoi(text.substr(digits, percent - digits).c_str());
}

// Where the last of the marks is, and which; npos when none is there.
size_t lastMark(const std::string &text, const char *mark) { return text.rfind(mark); }

const char *phaseName(StationPhase phase) {
  switch (phase) {
    case STATION_LOOKING:
      return "looking";
    case STATION_IDENTIFYING:
      return "identifying";
    case STATION_LOGIC:
      return "logic image";
    case STATION_FIRMWARE:
      return "firmware image";
    case STATION_REBOOTING:
      return "rebooting";
    case STATION_DONE:
      return "done";
    case STATION_FAILED:
      return "failed";
    case STATION_NO_UNIT:
      return "no unit";
    case STATION_UNUSABLE:
      return "port unusable";
    default:
      return "interrupted";
  }
}

bool hasFigure(StationPhase phase) {
  return phase == STATION_LOGIC || phase == STATION_FIRMWARE || phase == STATION_REBOOTING;
}

std::string padded(const std::string &text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string deviceText(const StationUnit &unit) {
  return unit.deviceCode < 0 ? "" : logicDeviceName(unit.deviceCode);
}

std::string versionsText(const std::string &firmware, const std::string &logic) {
  if (firmware.empty() && logic.empty()) {
    return "-";
  }
  return (firmware.empty() ? "?" : firmware) + " / " + (logic.empty() ? "?" : logic);
}

}  // namespace

StationUnit StationUnit_New(int portNumber) {
  StationUnit unit;
  unit.portNumber = portNumber;
  unit.port = PortNames_Text(portNumber);
  unit.phase = STATION_LOOKING;
  unit.percent = 0;
  unit.deviceCode = -1;
  unit.ended = 0;
  unit.exitCode = -1;
  unit.interruptedIn = STATION_LOOKING;
  unit.startedMs = unit.endedMs = 0;
  return unit;
}

void StationUnit_Read(StationUnit *unit) {
  const std::string &text = unit->transcript;
  size_t at = text.find(kFirmwareVersion);
  if (at != std::string::npos && text.find("\r\n", at) != std::string::npos) {
    unit->firmwareBefore = fieldAt(text, at + sizeof kFirmwareVersion - 1, " \r\n");
  }
  at = text.find(kLogicVersion);
  const size_t device = at == std::string::npos ? at : text.find(kDevice, at);
  if (device != std::string::npos && text.find("\r\n", device) != std::string::npos) {
    unit->logicBefore =
        text.substr(at + sizeof kLogicVersion - 1, device - (at + sizeof kLogicVersion - 1));
    unit->deviceCode = atoi(fieldAt(text, device + sizeof kDevice - 1, "\r\n").c_str());
  }
  at = text.find(kProduct);
  if (at != std::string::npos) {
    const size_t tx = text.find("TX OK\r\n", at), rx = text.find("RX OK\r\n", at);
    unit->role = tx != std::string::npos ? "TX" : rx != std::string::npos ? "RX" : "";
  }
  if (unit->ended) {
    return;
  }
  // The phases follow one another: the latest mark present is the phase.
  const struct {
    const char *mark;
    StationPhase phase;
  } kMarks[] = {
      {kRebooting, STATION_REBOOTING},      {kFirmwareSend, STATION_FIRMWARE},
      {kFirmwarePrepare, STATION_FIRMWARE}, {kLogicSend, STATION_LOGIC},
      {kLogicPrepare, STATION_LOGIC},       {kDetected, STATION_IDENTIFYING},
  };
  unit->phase = STATION_LOOKING;
  unit->percent = 0;
  for (const auto &mark : kMarks) {
    at = lastMark(text, mark.mark);
    if (at != std::string::npos) {
      unit->phase = mark.phase;
      if (mark.mark != kFirmwarePrepare && mark.mark != kLogicPrepare) {
        unit->percent = hasFigure(mark.phase) ? lastFigure(text, at + strlen(mark.mark)) : 0;
      }
      break;
    }
  }
}

void StationUnit_End(StationUnit *unit, int exitCode, BOOL interrupted) {
  StationUnit_Read(unit);
  const StationPhase reached = unit->phase;
  const bool info = unit->transcript.find("\n\rUnit information; ") != std::string::npos;
  const bool found = unit->transcript.find(kDetected) != std::string::npos;
  unit->ended = 1;
  unit->exitCode = exitCode;
  // A run that ended with its own result before the interrupt reached it
  // keeps that result; 128 plus a signal is the run's interrupted end.
  const bool cut = exitCode > 128 && exitCode < 255;
  if (cut) {
    unit->phase = interrupted ? STATION_INTERRUPTED : STATION_FAILED;
    unit->interruptedIn = reached;
    unit->result = interrupted ? "interrupted" : "failed";
  } else if (exitCode == kExitUpdated) {
    unit->phase = STATION_DONE;
    unit->result = info ? "identified" : "updated";
  } else if (exitCode == kExitRestartUnconfirmed) {
    unit->phase = STATION_DONE;
    unit->result = "restart unconfirmed";
  } else if (exitCode == kExitPortUnusable) {
    unit->phase = STATION_UNUSABLE;
    unit->result = "port unusable";
  } else if (exitCode == kExitFailed && !found &&
             unit->transcript.find(std::string(kDetecting) + "FAILED") != std::string::npos) {
    unit->phase = STATION_NO_UNIT;
    unit->result = "no unit";
  } else {
    unit->phase = STATION_FAILED;
    unit->result = info ? "not identified" : "failed";
  }
  unit->percent = 0;
}

std::string StationUnit_PhaseText(const StationUnit &unit) {
  std::string text = phaseName(unit.phase);
  if (hasFigure(unit.phase)) {
    text += " " + std::to_string(unit.percent) + "%";
  } else if (unit.phase == STATION_INTERRUPTED) {
    text += std::string(" in ") + phaseName(unit.interruptedIn);
  } else if (unit.phase == STATION_DONE && unit.result == "restart unconfirmed") {
    text += " (restart not confirmed)";
  }
  return text;
}

std::string StationUnit_BoardLine(const StationUnit &unit) {
  return padded(unit.port, 8) + padded(unit.role.empty() ? "-" : unit.role, 5) +
         padded(unit.deviceCode < 0 ? "-" : deviceText(unit), 14) + StationUnit_PhaseText(unit);
}

std::string StationUnit_PlainLine(const StationUnit &unit) {
  const std::string line = StationUnit_BoardLine(unit);
  return hasFigure(unit.phase) ? line.substr(0, line.rfind(' ')) : line;
}

std::string Station_Duration(uint64_t milliseconds) {
  const uint64_t seconds = (milliseconds + 500) / 1000;
  char text[32];
  snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
           static_cast<unsigned long long>(seconds % 60));
  return text;
}

std::string Station_SummaryTable(const std::vector<StationUnit> &units) {
  std::string table = padded("port", 8) + padded("role", 5) + padded("logic device", 14) +
                      padded("before (fw / logic)", 24) + padded("after (fw / logic)", 24) +
                      padded("result", 30) + "time\r\n";
  for (const StationUnit &unit : units) {
    std::string result = unit.result;
    if (unit.phase == STATION_INTERRUPTED) {
      result += std::string(" in ") + phaseName(unit.interruptedIn);
    }
    table += padded(unit.port, 8) + padded(unit.role.empty() ? "-" : unit.role, 5) +
             padded(unit.deviceCode < 0 ? "-" : deviceText(unit), 14) +
             padded(versionsText(unit.firmwareBefore, unit.logicBefore), 24) +
             padded(versionsText(unit.firmwareAfter, unit.logicAfter), 24) + padded(result, 30) +
             Station_Duration(unit.endedMs - unit.startedMs) + "\r\n";
  }
  return table;
}

std::string Station_TotalsLine(const std::vector<StationUnit> &units, BOOL info) {
  size_t good = 0;
  for (const StationUnit &unit : units) {
    good += unit.result == "updated" || unit.result == "identified" ? 1 : 0;
  }
  return std::to_string(units.size()) + (units.size() == 1 ? " unit, " : " units, ") +
         std::to_string(good) + (info ? " identified" : " updated") + ", " +
         std::to_string(units.size() - good) + " not";
}

int Station_ExitCode(const std::vector<StationUnit> &units, int interruptSignal) {
  if (interruptSignal != 0) {
    return 128 + interruptSignal;
  }
  bool failed = units.empty(), unusable = false, unconfirmed = false;
  for (const StationUnit &unit : units) {
    failed = failed || unit.phase == STATION_FAILED || unit.phase == STATION_NO_UNIT ||
             unit.phase == STATION_INTERRUPTED;
    unusable = unusable || unit.phase == STATION_UNUSABLE;
    unconfirmed = unconfirmed || unit.result == "restart unconfirmed";
  }
  return failed ? 1 : unusable ? -1 : unconfirmed ? 2 : 0;
}
