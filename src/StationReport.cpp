// The station's documents: each unit's run report read back, one made for a
// unit whose run left none, and the station's own (--report), which holds
// them all in one array with the totals.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Station.h"
#include "StartUp.h"
#include "UnitUpdate.h"
#include "firmware/BinImage.h"
#include "platform/Platform.h"

using nlohmann::json;

namespace {

json toolRecord(void) {
  return {{"name", "TessaronFwUpgrade"},
          {"version", FWUPG_TOOL_VERSION},
          {"release", FIRMWARE_VERSION_TO_UPLOAD},
          {"images", AUTOGEN_IMAGES_KIND}};
}

json textOrNull(const std::string &text) { return text.empty() ? json(nullptr) : json(text); }

// "K6G-TX 1.03" as the logic's model and version.
void splitLogic(const std::string &logic, json *model, json *version) {
  const size_t blank = logic.rfind(' ');
  *model = blank == std::string::npos ? textOrNull(logic) : json(logic.substr(0, blank));
  *version = blank == std::string::npos ? json(nullptr) : json(logic.substr(blank + 1));
}

}  // namespace

BOOL StationReport_ReadUnit(const std::string &path, StationUnit *unit, std::string *document) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return 0;
  }
  std::stringstream text;
  text << in.rdbuf();
  const json report = json::parse(text.str(), nullptr, false);
  if (report.is_discarded() || !report.is_object()) {
    return 0;
  }
  const json &after = report.value("unit_after", json(nullptr));
  if (after.is_object()) {
    unit->firmwareAfter = after.value("firmware", json(nullptr)).is_string()
                              ? after["firmware"].get<std::string>()
                              : "";
    std::string logic;
    for (const char *field : {"logic_model", "logic_version"}) {
      if (after.value(field, json(nullptr)).is_string()) {
        logic += (logic.empty() ? "" : " ") + after[field].get<std::string>();
      }
    }
    unit->logicAfter = logic;
  }
  // The run's own word on its result, except where the station stopped it:
  // a run cut short by the station's interrupt is "interrupted" either way.
  if (report.value("result", json(nullptr)).is_string() && unit->phase != STATION_INTERRUPTED) {
    unit->result = report["result"].get<std::string>();
  }
  *document = report.dump();
  return 1;
}

std::string StationReport_UnitFallback(const StationUnit &unit,
                                       const std::vector<std::string> &command) {
  json before = nullptr;
  if (!unit.firmwareBefore.empty() || unit.deviceCode >= 0) {
    json model, version;
    splitLogic(unit.logicBefore, &model, &version);
    before = {
        {"firmware", textOrNull(unit.firmwareBefore)},
        {"logic_model", model},
        {"logic_version", version},
        {"device_code", unit.deviceCode >= 0 ? json(unit.deviceCode) : json(nullptr)},
        {"device", unit.deviceCode >= 0 ? json(logicDeviceName(unit.deviceCode)) : json(nullptr)},
        {"role", textOrNull(unit.role)},
        {"identification", nullptr}};
  }
  json commandLine = json::array();
  for (size_t k = 0; k < command.size(); k++) {
    commandLine.push_back(k == 0 ? std::string("TessaronFwUpgrade") : command[k]);
  }
  const json document = {
      {"tool", toolRecord()},
      {"command", commandLine},
      {"port", {{"name", unit.port}, {"device", nullptr}}},
      {"baud", nullptr},
      {"unit_before", before},
      {"images", json::array()},
      {"restart", {{"confirmed", false}, {"how", nullptr}}},
      {"unit_after", nullptr},
      {"result", unit.result},
      {"outcome",
       "the run left no report; it ended with exit code " + std::to_string(unit.exitCode)},
      {"exit_code", unit.exitCode},
      {"start", nullptr},
      {"end", nullptr},
  };
  return document.dump();
}

BOOL StationReport_Write(const std::string &path, int argc, const char *const *argv,
                         const std::string &start, const std::string &end, int exitCode,
                         const std::vector<StationUnit> &units,
                         const std::vector<std::string> &documents,
                         const std::vector<StationPassedOver> &passedOver, std::string *reason) {
  json totals = {{"units", units.size()},    {"updated", 0},     {"failed", 0},
                 {"restart_unconfirmed", 0}, {"interrupted", 0}, {"identified", 0}};
  for (const StationUnit &unit : units) {
    const char *counted = unit.result == "updated"               ? "updated"
                          : unit.result == "restart unconfirmed" ? "restart_unconfirmed"
                          : unit.result == "interrupted"         ? "interrupted"
                          : unit.result == "identified"          ? "identified"
                                                                 : "failed";
    totals[counted] = totals[counted].get<int>() + 1;
  }
  json command = json::array();
  for (int k = 0; k < argc; k++) {
    command.push_back(k == 0 ? std::string("TessaronFwUpgrade") : std::string(argv[k]));
  }
  json passed = json::array();
  for (const StationPassedOver &port : passedOver) {
    passed.push_back({{"port", port.port}, {"reason", port.reason}});
  }
  json unitDocuments = json::array();
  for (const std::string &document : documents) {
    unitDocuments.push_back(json::parse(document));
  }
  const json station = {{"station",
                         {{"tool", toolRecord()},
                          {"command", command},
                          {"start", start},
                          {"end", end},
                          {"exit_code", exitCode},
                          {"totals", totals},
                          {"ports_passed_over", passed}}},
                        {"units", unitDocuments}};
  // Written beside its name and put in place whole: a reader never sees
  // half a document, and an earlier one stays when this one fails.
  const std::string fresh = path + ".new";
  (void)remove(fresh.c_str());
  FILE *out = Platform_CreateNewFile(fresh.c_str());
  if (out == nullptr) {
    *reason = strerror(errno);
    return 0;
  }
  const std::string text = station.dump(2) + "\n";
  const bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
  if (!written || !Platform_CommitFile(out, fresh.c_str(), path.c_str())) {
    *reason = strerror(errno != 0 ? errno : EIO);
    (void)remove(fresh.c_str());
    return 0;
  }
  return 1;
}
