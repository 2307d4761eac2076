// Helpers of the test programs: the simulated-platform fixture (with a fresh
// working directory where a test needs files), Intel HEX record lines built
// independently of the module under test, the embedded images converted as
// the tool converts them, and the system's base64 tool as a reference.
#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <filesystem>
#ifdef FWUPG_REPORT_SCHEMA
#include <nlohmann/json.hpp>
#endif
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CatalogueFacts.h"
#include "ComPortAPI.h"
#include "PlatformSim.h"
#include "SerialLinkReset.h"
#include "ConsoleProtocol.h"
#include "ImageConversion.h"
#include "PortDetection.h"
#include "StartUp.h"
#include "TessaronFwUpgrade.h"
#include "TextHelpers.h"
#include "UnitUpdate.h"
#include "WebPackage.h"
#include "firmware/BinImage.h"

// The link is reset before the simulated platform, so that a port it still
// holds is closed on the platform it was opened on.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SerialLink_ResetToStart();
    Sim_Reset();
    gComPortNumber = 0;
    gBaudRate = 0;
  }
  void TearDown() override {
    releaseSharedBuffers();
    SerialLink_ResetToStart();
    Sim_Reset();
  }
  // The shared buffers as the tool's start prepares them.
  void allocateBuffers() { ASSERT_EQ(allocateSharedBuffers(), 1); }
  const std::string &console() { return Sim_ConsoleText(); }
};

// Whether the serial link still held a port, told by its close: only a port
// it holds reaches the platform's close. It holds none after the call.
inline bool serialLinkHeldAPort() {
  const int closes = Sim_CallCount("CloseHandle");
  (void)ComPortAPI_CloseCOM();
  return Sim_CallCount("CloseHandle") != closes;
}

// Runs each test in a new empty directory and returns to the old one after.
class TempDirTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    oldDir_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "fwtest-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(oldDir_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    SimTest::TearDown();
  }
  std::filesystem::path oldDir_;
  std::filesystem::path dir_;
};

// The test name of a parameterised case: its description with every run of
// characters other than ASCII letters and digits as one "_".
inline std::string caseName(const std::string &what) {
  std::string name;
  for (const char c : what) {
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (kept) {
      name += c;
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

// Names the instances of a parameterised test after their cases' `name`.
struct NameOfCase {
  template <class Case>
  std::string operator()(const testing::TestParamInfo<Case> &info) const {
    return caseName(info.param.name);
  }
};

inline std::string readWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeWholeFile(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The names in a directory, to see that nothing was left behind.
inline std::set<std::string> entries(const std::string &directory = ".") {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// While it lives, no file of this process grows beyond `bytes`: a write past
// the limit fails with EFBIG ("File too large") as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit limited = saved_;
    limited.rlim_cur = bytes;
    savedHandler_ = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, savedHandler_);
  }
  FileSizeLimit(const FileSizeLimit &) = delete;
  FileSizeLimit &operator=(const FileSizeLimit &) = delete;

 private:
  struct rlimit saved_;
  void (*savedHandler_)(int);
};

// Decodes text with coreutils "base64 -d"; false when the tool refused it.
inline bool coreutilsDecode(const std::string &text, std::string *bytes) {
  writeWholeFile("reference.b64", text);
  if (std::system("base64 -d reference.b64 > reference.bin 2> /dev/null") != 0) {
    return false;
  }
  *bytes = readWholeFile("reference.bin");
  return true;
}

// Encodes bytes with coreutils "base64", in lines of 76 characters and LF.
inline std::string coreutilsEncode(const std::string &bytes) {
  writeWholeFile("reference.bin", bytes);
  EXPECT_EQ(std::system("base64 reference.bin > reference.b64"), 0);
  return readWholeFile("reference.b64");
}

#ifdef FWUPG_REPORT_SCHEMA
// The run report at `path`, parsed, once the jsonschema module has checked it
// against docs/report.schema.json; a document that fails the check fails the
// test with the module's reason.
inline nlohmann::json validReport(const std::string &path) {
  const std::string command =
      std::string(FWUPG_PYTHON) +
      " -c 'import json, sys, jsonschema; "
      "jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' '" +
      path + "' '" FWUPG_REPORT_SCHEMA "' 2>&1";
  FILE *check = popen(command.c_str(), "r");
  std::string said;
  char block[512];
  size_t n;
  while (check != nullptr && (n = fread(block, 1, sizeof block, check)) > 0) said.append(block, n);
  EXPECT_TRUE(check != nullptr && pclose(check) == 0) << path << ": " << said;
  return nlohmann::json::parse(readWholeFile(path), nullptr, false);
}
#endif

// One Intel HEX record line in upper-case hex, with its checksum, without a
// line end.
inline std::string hexRecord(int type, int address, const std::vector<uint8_t> &data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(type)};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  static const char digits[] = "0123456789ABCDEF";
  std::string line = ":";
  for (uint8_t b : bytes) {
    line += digits[b >> 4];
    line += digits[b & 0x0F];
  }
  return line;
}

inline std::string dataRecord(int address, const std::vector<uint8_t> &data) {
  return hexRecord(0, address, data);
}

// Extended linear address record with the upper address given.
inline std::string elaRecord(int upper) {
  return hexRecord(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
}

inline const char *eofRecord() { return ":00000001FF"; }

// n bytes counting up from first.
inline std::vector<uint8_t> byteRun(int n, int first) {
  std::vector<uint8_t> bytes;
  for (int k = 0; k < n; k++) bytes.push_back(static_cast<uint8_t>(first + k));
  return bytes;
}

// A heap copy of exactly the text and its terminator, so that a read past
// the terminator is caught by AddressSanitizer.
inline std::unique_ptr<char[]> exactCopy(const std::string &text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

// A writable copy of an image text with the 16 zero bytes behind it that the
// tool gives its own copies.
inline std::vector<char> writableText(const std::string &text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.resize(text.size() + 16, '\0');
  return copy;
}

// The catalogue entry of the logic image for a device code and role, as the
// catalogue file gives it.
inline int catalogueLogicEntry(int deviceCode, bool isTx) {
  for (const CatalogueLogicImage &image : kCatalogueLogic) {
    if (image.deviceCode == deviceCode && image.isTx == isTx) return image.entry;
  }
  ADD_FAILURE() << "the catalogue has no logic image for device " << deviceCode;
  return 0;  // an entry that exists, so that the failing test can go on
}

inline std::string catalogueText(int entry) {
  return std::string(AUTOGEN_FILES[entry].fileData,
                     static_cast<size_t>(AUTOGEN_FILES[entry].fileDataLength));
}

// The image the last conversion left in gDataConcatenated.
inline std::string convertedImage() {
  return std::string(reinterpret_cast<const char *>(gDataConcatenated),
                     static_cast<size_t>(gDataConcatenatedLenght));
}

// Catalogue entry k converted by the tool (the shared buffers allocated).
inline BOOL convertCatalogueEntry(int k) {
  return ValidateFwAndConcatenateData(writableText(catalogueText(k)).data());
}

// 0 minus the 32-bit sum of the bytes, as the unit checks an image.
inline uint32_t checkSumOf(const std::string &image) {
  uint32_t sum = 0;
  for (const char c : image) sum -= static_cast<unsigned char>(c);
  return sum;
}

// What a program of this build writes on standard error before anything
// else: the stand-in warning line, or nothing in a release build.
inline std::string standInWarningLine() {
  return FWUPG_STANDIN_IMAGES ? std::string(STANDIN_IMAGES_WARNING) + "\n" : std::string();
}

#endif
