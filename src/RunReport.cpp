#include "RunReport.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "RunLog.h"
#include "StartUp.h"
#include "firmware/BinImage.h"
#include "platform/Platform.h"

namespace {

using Json = nlohmann::ordered_json;

std::string sPath;
std::string sTemporary;
// The run's own document is in place: an interrupt at the last key wait
// leaves it so.
volatile sig_atomic_t sWritten = 0;

// The "interrupted" document kept ready for the interrupt hook, in two
// slots: the one not in use is rendered anew and then made the one in use,
// so that the hook never sees half a document. The signal's name goes in
// at `signalAt`, the exit code in place of the `codeLength` characters at
// `codeAt`.
struct ReadyDocument {
  std::string text;
  size_t signalAt = 0;
  size_t codeAt = 0;
  size_t codeLength = 0;
};
ReadyDocument sReady[2];
volatile sig_atomic_t sReadyIndex = -1;

// The length of the UTF-8 sequence that starts at text[k], 0 when none
// does (a stray byte, an overlong or a surrogate form, a cut sequence).
size_t utf8SequenceAt(const std::string &text, size_t k) {
  const unsigned char c = static_cast<unsigned char>(text[k]);
  size_t length = 0;
  unsigned min = 0;
  unsigned value = 0;
  if (c < 0x80) {
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    length = 2, min = 0x80, value = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, min = 0x800, value = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, value = c & 0x07;
  } else {
    return 0;
  }
  if (k + length > text.size()) {
    return 0;
  }
  for (size_t j = 1; j < length; j++) {
    const unsigned char next = static_cast<unsigned char>(text[k + j]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  return length;
}

// Text from outside as a JSON string's characters: valid UTF-8 kept, any
// other byte the character of its value.
Json text(const std::string &bytes) {
  std::string utf8;
  for (size_t k = 0; k < bytes.size();) {
    const size_t length = utf8SequenceAt(bytes, k);
    if (length > 0) {
      utf8.append(bytes, k, length);
      k += length;
    } else {
      const unsigned char c = static_cast<unsigned char>(bytes[k++]);
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return Json(utf8);
}

std::string versionText(int major, int minor, int sub) {
  char digits[48];
  snprintf(digits, sizeof digits, "%d.%02d.%02d", major, minor, sub);
  return digits;
}

std::string logicVersionText(int major, int minor) {
  char digits[32];
  snprintf(digits, sizeof digits, "%d.%02d", major, minor);
  return digits;
}

// The versions of a reply to "%fw -v" with `fields` fields read: each
// value null that the reply did not give.
void putVersions(Json &unit, int fields, int fw_ver, int fw_rev, int fw_sub,
                 const std::string &model, int fpga_ver, int fpga_rev, int fpga_type) {
  unit["firmware"] = fields >= 3 ? Json(versionText(fw_ver, fw_rev, fw_sub)) : Json(nullptr);
  unit["logic_model"] = fields >= 4 ? text(model) : Json(nullptr);
  unit["logic_version"] = fields >= 6 ? Json(logicVersionText(fpga_ver, fpga_rev)) : Json(nullptr);
  unit["device_code"] = fields >= 7 ? Json(fpga_type) : Json(nullptr);
}

Json unitBefore(const RunRecord &record) {
  if (!record.unitAsked) {
    return nullptr;
  }
  const UnitIdentity &u = record.before;
  Json unit = Json::object();
  putVersions(unit, u.versionFields, u.fw_ver, u.fw_rev, u.fw_sub, u.model, u.fpga_ver, u.fpga_rev,
              u.fpga_type);
  unit["device"] = u.versionFields >= 7 ? Json(logicDeviceName(u.fpga_type)) : Json(nullptr);
  unit["role"] = u.role == 1 ? Json("TX") : u.role == 0 ? Json("RX") : Json(nullptr);
  unit["identification"] =
      record.identification.empty() ? Json(nullptr) : text(record.identification);
  return unit;
}

Json unitAfter(const RunRecord &record) {
  const RunRecordUnitAfter &a = record.after;
  if (!a.asked) {
    return nullptr;
  }
  Json unit = Json::object();
  unit["answered"] = a.versionFields == 7;
  putVersions(unit, a.versionFields, a.fw_ver, a.fw_rev, a.fw_sub, a.model, a.fpga_ver, a.fpga_rev,
              a.fpga_type);
  unit["device"] = a.versionFields >= 7 ? Json(logicDeviceName(a.fpga_type)) : Json(nullptr);
  return unit;
}

Json portName(int number) { return Json("COM" + std::to_string(number)); }

Json document(const RunRecord &record) {
  Json doc = Json::object();
  doc["tool"] = {{"name", "TessaronFwUpgrade"},
                 {"version", FWUPG_TOOL_VERSION},
                 {"release", FIRMWARE_VERSION_TO_UPLOAD},
                 {"images", AUTOGEN_IMAGES_KIND}};
  Json command = Json::array();
  for (const std::string &argument : record.command) {
    command.push_back(text(argument));
  }
  doc["command"] = command;
  if (record.portNumber > 0) {
    doc["port"] = {{"name", portName(record.portNumber)},
                   {"device", record.portDevice.empty() ? Json(nullptr) : text(record.portDevice)}};
  } else {
    doc["port"] = nullptr;
  }
  doc["baud"] = record.baudRate > 0 ? Json(record.baudRate) : Json(nullptr);
  doc["unit_before"] = unitBefore(record);
  Json images = Json::array();
  for (const RunRecordImage &image : record.images) {
    images.push_back({{"kind", image.kind},
                      {"file", text(image.file)},
                      {"length", image.length},
                      {"checksum", image.checksum},
                      {"acknowledged", image.acknowledged}});
  }
  doc["images"] = images;
  doc["restart"] = {
      {"confirmed", record.restartConfirmed},
      {"how", record.restartHow != nullptr ? Json(record.restartHow) : Json(nullptr)}};
  doc["unit_after"] = unitAfter(record);
  if (record.portsListed) {
    // One object a port, so that a port list that learns more of its ports
    // can add fields beside these.
    Json ports = Json::array();
    for (const RunRecordPort &port : record.ports) {
      ports.push_back({{"name", portName(port.number)},
                       {"device", text(port.device)},
                       {"held", port.held},
                       {"note", port.note.empty() ? Json(nullptr) : text(port.note)}});
    }
    doc["ports"] = ports;
  }
  doc["result"] = record.result != nullptr ? record.result : "interrupted";
  doc["outcome"] = text(record.outcome);
  doc["exit_code"] = record.exitCode;
  doc["start"] = RunLog_LocalTime(record.start);
  doc["end"] = record.end != 0 ? Json(RunLog_LocalTime(record.end)) : Json(nullptr);
  return doc;
}

std::string rendered(const Json &doc) {
  return doc.dump(2, ' ', true, Json::error_handler_t::replace) + "\n";
}

// Renders the "interrupted" document of the record as it stands now into
// the slot not in use, then hands it to the hook.
void renderInterrupted(void) {
  if (sPath.empty()) {
    return;
  }
  RunRecord record = gRunRecord;
  record.result = "interrupted";
  record.outcome = "interrupted by ";
  record.exitCode = 0;
  record.end = 0;
  const int next = sReadyIndex == 0 ? 1 : 0;
  ReadyDocument &ready = sReady[next];
  ready.text = rendered(document(record));
  // Both keys stand once in the document with their quotes unescaped: a
  // quote inside a string value is written \".
  const std::string outcomeKey = "\"outcome\": \"interrupted by ";
  const std::string codeKey = "\"exit_code\": 0";
  ready.signalAt = ready.text.find(outcomeKey) + outcomeKey.size();
  ready.codeAt = ready.text.find(codeKey) + codeKey.size() - 1;
  ready.codeLength = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  sReadyIndex = next;
}

// A new name beside `path` for the document being written.
std::string temporaryBeside(const std::string &path, unsigned attempt) {
  const unsigned seed = static_cast<unsigned>(time(nullptr)) ^
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(&attempt) >> 4);
  char suffix[24];
  snprintf(suffix, sizeof suffix, ".%08x.tmp", seed + attempt * 7919u);
  return path + suffix;
}

}  // namespace

BOOL RunReport_Open(const char *path, std::string *reason) {
  RunReport_Close();
  if (Platform_FileKind(path, 1) == PLATFORM_OTHER_FILE) {
    *reason = "Not a regular file";
    return 0;
  }
  // The document goes to a new file beside the name: the folder must take
  // one. The name found free here is the one the document is written to.
  for (unsigned attempt = 0; attempt < 100; attempt++) {
    const std::string temporary = temporaryBeside(path, attempt);
    if (Platform_CanCreateFile(temporary.c_str())) {
      sPath = path;
      sTemporary = temporary;
      sWritten = 0;
      RunRecord_SetChangeHook(renderInterrupted);
      renderInterrupted();
      return 1;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  *reason = strerror(errno != 0 ? errno : EIO);
  return 0;
}

BOOL RunReport_IsOpen(void) { return sPath.empty() ? 0 : 1; }

const char *RunReport_Path(void) { return sPath.c_str(); }

BOOL RunReport_Write(std::string *reason) {
  if (sPath.empty()) {
    *reason = "no report is open";
    return 0;
  }
  const std::string doc = RunReport_Document(gRunRecord);
  const PlatformPiece piece = {doc.data(), doc.size()};
  if (!Platform_PlaceFile(sTemporary.c_str(), sPath.c_str(), &piece, 1)) {
    *reason = strerror(errno != 0 ? errno : EIO);
    return 0;
  }
  sWritten = 1;
  return 1;
}

void RunReport_Close(void) {
  RunRecord_SetChangeHook(nullptr);
  sReadyIndex = -1;
  sPath.clear();
  sTemporary.clear();
  sWritten = 0;
}

std::string RunReport_Document(const RunRecord &record) { return rendered(document(record)); }

void RunReport_WriteInterrupted(const char *signalName, int exitCode) {
  const int index = sReadyIndex;
  if (index < 0 || sWritten) {
    return;
  }
  const ReadyDocument &ready = sReady[index];
  // The exit code's digits, built by hand: no formatting call is safe here.
  char digits[16];
  size_t n = sizeof digits;
  unsigned value = static_cast<unsigned>(exitCode < 0 ? -exitCode : exitCode);
  do {
    digits[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n > 1);
  if (exitCode < 0) {
    digits[--n] = '-';
  }
  const PlatformPiece pieces[] = {
      {ready.text.data(), ready.signalAt},
      {signalName, strlen(signalName)},
      {ready.text.data() + ready.signalAt, ready.codeAt - ready.signalAt},
      {digits + n, sizeof digits - n},
      {ready.text.data() + ready.codeAt + ready.codeLength,
       ready.text.size() - ready.codeAt - ready.codeLength},
  };
  (void)Platform_PlaceFile(sTemporary.c_str(), sPath.c_str(), pieces, 5);
}
