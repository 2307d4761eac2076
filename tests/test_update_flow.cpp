// Whole runs of the tool on the simulated platform: the operator's console
// transcript byte for byte, the exit code, and what the unit received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "FailingAllocation.h"
#include "TestSupport.h"
#include "UnitModel.h"

namespace {

// What the operator sees while n bytes are streamed.
std::string progress(size_t n) {
  std::string shown = "1%";
  int percentage = 0;
  size_t sent = 0;
  while (n - sent > 10240) {
    sent += 10240;
    shown += percentage <= 9 ? "\b\b" : "\b\b\b";
    percentage = static_cast<int>(sent * 100 / n);
    shown += std::to_string(percentage) + "%";
  }
  return shown + (percentage <= 9 ? "\b\b" : "\b\b\b") + "100%";
}

std::string rebootDisplay() {
  std::string shown;
  char figure[16];
  for (int i = 0; i < 46; i++) {
    snprintf(figure, sizeof figure, "%3d%%\b\b\b\b", i * 100 / 46);
    shown += figure;
  }
  return shown + "100%\b\b\b\b100%";
}

const std::string kBanner = "\n\rYou are about to upload the firmware version " CATALOGUE_VERSION
                            "\n\r\n\rDetecting COM port and Baud Rate..................";
const std::string kPressKey = "\r\nPress any key to exit";
const std::string kFailedEnd = "\n\rERROR: The update was not successful.\r\n" + kPressKey;
const std::string kUnconfirmedEnd =
    "\n\rWARNING: The unit did not confirm its restart; check it before use.\r\n" + kPressKey;
const std::string kVersionsXc7a35 =
    "Checking firmware version ..............  1.00.08 \r\n"
    "Checking fpga version ..................  K6G-TX 1.03  device:1\r\n";
const std::string kTxOk =
    "Checking product .......... TX OK\r\nKorvex 6G SDI EXTENDER TX\r\n>>\r\n";
const std::string kManualPort = "FAILED\n\r\n\rEnter the COM port number : ";

std::string detected(int port, int baud) {
  return "OK\r\nCOM PORT Number : " + std::to_string(port) +
         "\r\nBaud rate       : " + std::to_string(baud) + " \r\n\r\n";
}

std::string uploads(const std::string &logic, const std::string &firmware) {
  return "Preparing to Upload Programmable Logic ............ OK\r\n"
         "Sending Programmable Logic data ................... " +
         progress(logic.size()) +
         "OK\r\n"
         "Preparing to Upload Firmware ...................... OK\r\n"
         "Sending data ...................................... " +
         progress(firmware.size()) + " OK\n\r\n\r" +
         "Please wait while the unit is rebooting ........... " + rebootDisplay();
}

class UpdateFlowTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    mcu_ = image(kCatalogueMicrocontroller);
  }
  UnitModel &addUnit(int n, const UnitConfig &config) {
    units_.push_back(std::make_unique<UnitModel>(config));
    Sim_AddPort(n, units_.back().get());
    return *units_.back();
  }
  // Catalogue entry k as the tool converts it.
  std::string image(int entry) {
    allocateBuffers();
    EXPECT_EQ(convertCatalogueEntry(entry), 1);
    const std::string bytes = convertedImage();
    releaseSharedBuffers();
    return bytes;
  }
  // The unit received the image whole, with the right announcement.
  static void expectReceived(const ReceivedImage &got, const char *command,
                             const std::string &want) {
    EXPECT_EQ(got.command, command);
    EXPECT_EQ(got.announcedLength, static_cast<long>(want.size()));
    EXPECT_EQ(got.announcedChecksum, checkSumOf(want));
    EXPECT_TRUE(got.complete && got.checksumOk);
    EXPECT_TRUE(std::string(got.data.begin(), got.data.end()) == want)
        << command << ": bytes differ";
  }
  std::string mcu_;
  std::vector<std::unique_ptr<UnitModel>> units_;
};

struct WholeUpdate {
  const char *name;
  int port;
  void (*configure)(UnitConfig &);
  const char *input;
  int logicEntry;
  int productQueries;
  std::string identification;
};

const WholeUpdate kWholeUpdates[] = {
    {"TX XC7A35 unit on COM3 at 57600", 3, [](UnitConfig &c) { c.baudRate = 57600; }, "",
     catalogueLogicEntry(DEVICE_XC7A35_484, true), 1, detected(3, 57600) + kVersionsXc7a35 + kTxOk},
    {"second RX text, engineering sample", 2,
     [](UnitConfig &c) {
       c.baudRate = 115200;
       c.versionReply = "1.0.9\r\nK6G-RX 2.10 4\r\n>>";
       c.productId = VALIDATE_RX2_PRODUCT_ID_STRING;
     },
     "", catalogueLogicEntry(DEVICE_XC7A100_484, false), 4,
     detected(2, 115200) + "Checking firmware version ..............  1.00.09 \r\n"
                           "Checking fpga version ..................  K6G-RX 2.10  device:4\r\n"
                           "Checking product .......... ENG. SAMPLE detected\r\n"
                           "RX OK\r\nKorvex 6G SDI EXTENDER RX\r\n>>\r\n"},
    // The unit's console is back before the wait is over: its prompt is
    // dropped with the rest, and the console's answer to the detection
    // command confirms the restart instead.
    {"zero bytes before each acknowledgement, prompt back during the wait", 1,
     [](UnitConfig &c) {
       c.dataAck = std::string("\0SUCCESS", 8);
       c.bootDelayMs = 60000;
     },
     "", catalogueLogicEntry(DEVICE_XC7A35_484, true), 1,
     detected(1, 57600) + kVersionsXc7a35 + kTxOk},
    {"manual path after a failed detection", 3,
     [](UnitConfig &c) {
       c.baudRate = 57600;
       c.droppedHelpReplies = 1000;
     },
     "3\n57600\n", catalogueLogicEntry(DEVICE_XC7A35_484, true), 1,
     kManualPort +
         "\r\nOpening COM3....................OK\r\n\n\r\n\rEnter the BAUD RATE       : "
         "\r\nSetting baud rate at 57600..........OK\r\n" +
         kVersionsXc7a35 + kTxOk},
};

class WholeUpdateTest : public UpdateFlowTest, public testing::WithParamInterface<WholeUpdate> {};

// What the test log shows of a case.
void PrintTo(const WholeUpdate &c, std::ostream *os) { *os << c.name; }

TEST_P(WholeUpdateTest, SendsBothImagesAndWaitsForTheReboot) {
  const WholeUpdate &c = GetParam();
  UnitConfig config;
  c.configure(config);
  UnitModel &unit = addUnit(c.port, config);
  Sim_SetInput(c.input);
  const std::string logic = image(c.logicEntry);

  EXPECT_EQ(fwupgradeMain(), 0);
  EXPECT_EQ(console(), kBanner + c.identification + uploads(logic, mcu_) +
                           "\n\r\n\rThe update was successful, the unit is now operational\r\n" +
                           kPressKey);
  ASSERT_EQ(unit.images().size(), 2u);
  expectReceived(unit.images()[0], "%fw -l", logic);
  expectReceived(unit.images()[1], "%fw -h", mcu_);
  EXPECT_EQ(std::count(unit.commands().begin(), unit.commands().end(), "%%%fw -p"),
            c.productQueries);
  EXPECT_EQ(Sim_GetchCount(), 1);
  // An interrupt at the last key wait would not turn the result into a failure.
  EXPECT_EQ(Sim_InterruptExitCodeAtGetch(), 0);
  EXPECT_EQ(Sim_SleptMs(), 46u * 3000u);
  EXPECT_FALSE(Sim_PortIsOpen(c.port));
  EXPECT_EQ(gDataBuffer, nullptr) << "buffers released";
}

INSTANTIATE_TEST_SUITE_P(Cases, WholeUpdateTest, testing::ValuesIn(kWholeUpdates), NameOfCase());

TEST_F(UpdateFlowTest, LineSpeedsTimeoutsAndSilencesOfTheDialogue) {
  UnitConfig config;
  config.baudRate = 9600;
  addUnit(1, config);
  ASSERT_EQ(fwupgradeMain(), 0);

  uint64_t lastReplyMs = 0;
  std::vector<SimWireEvent> commands;
  std::vector<uint64_t> silenceBeforeData;
  bool previousWasCommand = false;
  for (const SimWireEvent &e : Sim_WireLog()) {
    if (e.kind == SimWireEvent::Read && !e.bytes.empty()) {
      lastReplyMs = e.timeMs;
    }
    if (e.kind != SimWireEvent::Write) {
      continue;
    }
    const bool command = e.bytes.rfind("%%", 0) == 0;
    if (command) {
      commands.push_back(e);
    } else {
      EXPECT_EQ(e.baud, 115200u) << "image data at 115200 baud";
      EXPECT_TRUE(e.ctsFlow) << "CTS flow control on for the update";
      if (previousWasCommand) {
        silenceBeforeData.push_back(e.timeMs - lastReplyMs);
      }
    }
    previousWasCommand = command;
  }
  ASSERT_GE(commands.size(), 5u);
  const SimWireEvent &logic = commands[commands.size() - 2];
  const SimWireEvent &firmware = commands[commands.size() - 1];
  EXPECT_EQ(logic.bytes.rfind("%%%fw -l ", 0), 0u);
  EXPECT_EQ(logic.baud, 9600u);
  EXPECT_EQ(logic.readTimeoutMs, 10000u);
  EXPECT_EQ(firmware.bytes.rfind("%%%fw -h ", 0), 0u);
  EXPECT_EQ(firmware.baud, 115200u) << "the firmware announcement goes out at 115200";
  EXPECT_EQ(firmware.readTimeoutMs, 5000u);
  // Data follows "Ready" only after one whole reading time-out of silence.
  ASSERT_EQ(silenceBeforeData.size(), 2u);
  EXPECT_GE(silenceBeforeData[0], 10000u);
  EXPECT_GE(silenceBeforeData[1], 5000u);
  // After the firmware the line is back at the detected rate and the last
  // read waits 11 s.
  const SimWireEvent &last = Sim_WireLog()[Sim_WireLog().size() - 2];
  EXPECT_EQ(last.kind, SimWireEvent::Read);
  EXPECT_EQ(last.baud, 9600u);
  EXPECT_EQ(last.readTimeoutMs, 11000u);
}

// Every device code and role of the catalogue file gets its image, whichever
// of the two identification texts of its role the unit answers with (the
// second one for every other entry of the table).
class ImageChoiceTest : public UpdateFlowTest, public testing::WithParamInterface<size_t> {};

TEST_P(ImageChoiceTest, ByDeviceAndRole) {
  const CatalogueLogicImage &c = kCatalogueLogic[GetParam()];
  const std::string logic = image(c.entry);
  UnitConfig config;
  config.baudRate = 115200;
  config.versionReply = "1.0.8 X 1.0 " + std::to_string(c.deviceCode) + "\r\n>>";
  const bool second = GetParam() % 2 != 0;
  config.productId =
      c.isTx ? (second ? VALIDATE_TX2_PRODUCT_ID_STRING : VALIDATE_TX_PRODUCT_ID_STRING)
             : (second ? VALIDATE_RX2_PRODUCT_ID_STRING : VALIDATE_RX_PRODUCT_ID_STRING);
  config.bootText.clear();
  config.bootDelayMs = 3600000;
  UnitModel &unit = addUnit(1, config);
  // Without the unit's console after the reboot: no success line and no
  // error, but a warning and an exit code of its own.
  EXPECT_EQ(fwupgradeMain(), 2);
  EXPECT_EQ(Sim_InterruptExitCodeAtGetch(), 2);
  ASSERT_EQ(unit.images().size(), 2u);
  expectReceived(unit.images()[0], "%fw -l", logic);
  EXPECT_EQ(console().substr(console().size() - kUnconfirmedEnd.size() - 4),
            "100%" + kUnconfirmedEnd);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, ImageChoiceTest,
                         testing::Range<size_t>(0, std::size(kCatalogueLogic)),
                         [](const testing::TestParamInfo<size_t> &info) {
                           const CatalogueLogicImage &c = kCatalogueLogic[info.param];
                           return "device" + std::to_string(c.deviceCode) +
                                  (c.isTx ? "_TX" : "_RX");
                         });

// A port or rate that the operator's line does not give as a number is no
// port or rate at all, whatever detection left behind (a silent COM32 leaves
// port 32, a silent COM4 leaves 1200 baud, both stored and openable).
struct ManualFailure {
  const char *name;
  const char *input;
  void (*arrange)();
  std::string tail;
  std::string reason;
};

const std::string kNotOpened = "\r\nOpening COM0....................ERROR: Opening COM0 failed !";
const std::string kNoPortRead =
    "ERROR: no COM port number was read from the input\n"
    "COM0: no such port (ports are numbered from 1)\n";
const std::string kNoRateRead = "ERROR: no baud rate was read from the input\n";

std::string rateTail(const std::string &rate) {
  return "\r\nOpening COM4....................OK\r\n\n\r\n\rEnter the BAUD RATE       : "
         "\r\nSetting baud rate at " +
         rate + "..........";
}

void silentCom32() { Sim_AddPort(32); }
void silentCom4() { Sim_AddPort(4); }
// A rate the tool lets through reaches the port, which takes only these.
void com4TakesDetectionRates() {
  Sim_AddPort(4);
  Sim_SetPortRates(4, {115200, 9600, 57600, 4800, 2400, 1200});
}

const ManualFailure kManualFailures[] = {
    {"port cannot be opened", "9\n", [] {},
     "\r\nOpening COM9....................ERROR: Opening COM9 failed !", "COM9: no such port\n"},
    // The highest number a port name can carry reaches the platform; one
    // above it is refused by the same rule, before the platform.
    {"highest port number", "999999\n", [] {},
     "\r\nOpening COM999999....................ERROR: Opening COM999999 failed !",
     "COM999999: no such port\n"},
    {"port number above the highest", "1000000\n", [] {},
     "\r\nOpening COM1000000....................ERROR: Opening COM1000000 failed !",
     "COM1000000: no such port (ports are numbered up to 999999)\n"},
    {"rate refused", "4\n1234\n", com4TakesDetectionRates, rateTail("1234"),
     "COM4: 1234 baud refused\n"},
    {"no number typed", "abc\n", silentCom32, kNotOpened, kNoPortRead},
    {"end of input", "", silentCom32, kNotOpened, kNoPortRead},
    {"empty line, then a port", "\n4\n", silentCom4, kNotOpened, kNoPortRead},
    {"number and more on the line", "4 57600\n", silentCom4, kNotOpened, kNoPortRead},
    {"rate is a word", "4\nfast\n", silentCom4, rateTail("0"), kNoRateRead},
    {"end of input at the rate", "4\n", silentCom4, rateTail("0"), kNoRateRead},
    {"rate below 50", "4\n49\n", silentCom4, rateTail("49"),
     "ERROR: 49 baud is outside the rates a port can run at (50 to 4000000)\n"},
    // The limits themselves pass the tool's own check and go to the port.
    {"rate 50", "4\n50\n", com4TakesDetectionRates, rateTail("50"), "COM4: 50 baud refused\n"},
    {"rate 4000000", "4\n4000000\n", com4TakesDetectionRates, rateTail("4000000"),
     "COM4: 4000000 baud refused\n"},
    {"rate above 4000000", "4\n4000001\n", silentCom4, rateTail("4000001"),
     "ERROR: 4000001 baud is outside the rates a port can run at (50 to 4000000)\n"},
};

class ManualFailureTest : public UpdateFlowTest,
                          public testing::WithParamInterface<ManualFailure> {};

// What the test log shows of a case.
void PrintTo(const ManualFailure &c, std::ostream *os) { *os << c.name; }

TEST_P(ManualFailureTest, EndsWithMinusOne) {
  const ManualFailure &c = GetParam();
  c.arrange();
  Sim_SetInput(c.input);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fwupgradeMain(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), standInWarningLine() + c.reason);
  EXPECT_EQ(console(), kBanner + kManualPort + c.tail + kPressKey);
  EXPECT_EQ(Sim_GetchCount(), 1);
  for (int n = 1; n <= 32; n++) {
    EXPECT_FALSE(Sim_PortIsOpen(n));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ManualFailureTest, testing::ValuesIn(kManualFailures),
                         NameOfCase());

// Ports that may not be used at all end the run before anything is opened.
TEST_F(UpdateFlowTest, PortsThatMayNotBeUsedEndTheRunBeforeDetection) {
  Sim_AddPort(3);
  Sim_FailCall("PreparePorts", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fwupgradeMain(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            standInWarningLine() + "ERROR: port map: PreparePorts failed (injected)\n");
  EXPECT_EQ(console(), kPressKey);
  EXPECT_EQ(Sim_CallCount("CreateFileA"), 0);
  EXPECT_EQ(Sim_GetchCount(), 1);
}

struct UpdateFailure {
  const char *name;
  void (*configure)(UnitConfig &);
  std::string middle;
  // With the logic image sent: the transcript after its percentages.
  std::string afterLogic;
};

const std::string kUnknown = "Checking product .......... FAILED, Unknown product\r\n";
const std::string kNotReady = kVersionsXc7a35 + kTxOk +
                              "Preparing to Upload Programmable Logic ............ "
                              "FAILED [Unit not ready]\r\n";

const UpdateFailure kUpdateFailures[] = {
    {"unknown device code", [](UnitConfig &c) { c.versionReply = "1.0.8 K6G-TX 1.3 2\r\n>>"; },
     "Checking firmware version ..............  1.00.08 \r\n"
     "Checking fpga version ..................  K6G-TX 1.03  device:2\r\n" +
         kUnknown,
     ""},
    {"empty version reply", [](UnitConfig &c) { c.versionReply = ""; }, kUnknown, ""},
    {"too few fields", [](UnitConfig &c) { c.versionReply = "1.0.8 K6G 1.3\r\n>>"; }, kUnknown, ""},
    {"no identification text matches",
     [](UnitConfig &c) { c.productId = "Korvex 6G SDI EXTENDER XX\r\n>>"; },
     kVersionsXc7a35 + "Checking product .......... FAILED\r\n", ""},
    {"device name cut to seven characters",
     [](UnitConfig &c) { c.versionReply = "1.0.8 ABCDEFGHIJKLMNOP 1.3 7\r\n>>"; },
     "Checking firmware version ..............  1.00.08 \r\n"
     "Checking fpga version ..................  ABCDEFG 1.03  device:7\r\n" +
         kUnknown,
     ""},
    // What the unit says reaches the terminal as a wrong reply would.
    {"escape sequence in the device name",
     [](UnitConfig &c) { c.versionReply = "1.0.8 K\x1b]0;\x9b\xff 1.3 2\r\n>>"; },
     "Checking firmware version ..............  1.00.08 \r\n"
     "Checking fpga version ..................  K\\x1B]0;\\x9B\\xFF 1.03  device:2\r\n" +
         kUnknown,
     ""},
    {"zero bytes in the version reply",
     [](UnitConfig &c) { c.versionReply = std::string("\0001.0.8 K6G-TX\0 1.3 2\r\n>>", 24); },
     "Checking firmware version ..............  1.00.08 \r\n"
     "Checking fpga version ..................  K6G-TX 1.03  device:2\r\n" +
         kUnknown,
     ""},
    {"no Ready", [](UnitConfig &c) { c.noReady = true; }, kNotReady, ""},
    {"Ready followed by a line end", [](UnitConfig &c) { c.readyText = "Ready\r\n"; }, kNotReady,
     ""},
    // The first data write waits out the write bound, then fails.
    {"the unit stops reading after Ready", [](UnitConfig &c) { c.stopReadingAfterReady = true; },
     kVersionsXc7a35 + kTxOk +
         "Preparing to Upload Programmable Logic ............ OK\r\n"
         "Sending Programmable Logic data ................... 1%FAILED\r\n",
     ""},
    {"wrong data acknowledgement", [](UnitConfig &c) { c.dataAck = "FAILURE"; },
     kVersionsXc7a35 + kTxOk +
         "Preparing to Upload Programmable Logic ............ OK\r\n"
         "Sending Programmable Logic data ................... ",
     "\r\nExpected : SUCCESS  received : FAILURE\r\n"
     "\r\nError: Expected response did  not matched !\r\nFAILED\r\n"},
    {"an error behind the acknowledgement and a zero byte",
     [](UnitConfig &c) { c.dataAck = std::string("SUCCESS\0\r\nERROR: flash", 22); },
     kVersionsXc7a35 + kTxOk +
         "Preparing to Upload Programmable Logic ............ OK\r\n"
         "Sending Programmable Logic data ................... ",
     "\r\nExpected : SUCCESS  received : SUCCESS\r\nERROR: flash\r\n"
     "\r\nError: Expected response did  not matched !\r\nFAILED\r\n"},
};

class UpdateFailureTest : public UpdateFlowTest,
                          public testing::WithParamInterface<UpdateFailure> {};

// What the test log shows of a case.
void PrintTo(const UpdateFailure &c, std::ostream *os) { *os << c.name; }

TEST_P(UpdateFailureTest, EndsWithOneAndTheErrorLine) {
  const UpdateFailure &c = GetParam();
  std::string middle = c.middle;
  if (!c.afterLogic.empty()) {
    middle += progress(image(catalogueLogicEntry(DEVICE_XC7A35_484, true)).size()) + c.afterLogic;
  }
  UnitConfig config;
  config.baudRate = 115200;
  c.configure(config);
  UnitModel &unit = addUnit(1, config);
  EXPECT_EQ(fwupgradeMain(), 1);
  EXPECT_EQ(Sim_InterruptExitCodeAtGetch(), 1);
  EXPECT_EQ(console(), kBanner + detected(1, 115200) + middle + kFailedEnd);
  EXPECT_LE(unit.images().size(), 1u) << "the firmware never goes out";
  EXPECT_FALSE(Sim_PortIsOpen(1));
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateFailureTest, testing::ValuesIn(kUpdateFailures),
                         NameOfCase());

// After the reboot wait: the console's prompt, read after the wait, confirms
// the restart; any other text, or none, is followed by the detection command,
// sent once at the console's rate, whose exact answer confirms it too.
struct RestartCheck {
  const char *name;
  void (*configure)(UnitConfig &);
  int exitCode;
  size_t probes;
};

const RestartCheck kRestartChecks[] = {
    {"prompt after the wait", [](UnitConfig &) {}, 0, 0},
    {"prompt during the wait", [](UnitConfig &c) { c.bootDelayMs = 30000; }, 0, 1},
    {"silent boot", [](UnitConfig &c) { c.bootText.clear(); }, 0, 1},
    {"boot text without the prompt", [](UnitConfig &c) { c.bootText = "[ 6G-SDI ] booting\r\n"; },
     0, 1},
    {"console not back", [](UnitConfig &c) { c.bootDelayMs = 3600000; }, 2, 1},
    // No line after the acknowledgement: its reads fail, so the console is
    // not asked; the reasons go to standard error only.
    {"line dropped after the acknowledgement", [](UnitConfig &c) { c.hangUpAfterAckMs = 200; }, 2,
     0},
};

class RestartCheckTest : public UpdateFlowTest, public testing::WithParamInterface<RestartCheck> {};

// What the test log shows of a case.
void PrintTo(const RestartCheck &c, std::ostream *os) { *os << c.name; }

TEST_P(RestartCheckTest, ByThePromptOrByTheConsolesAnswer) {
  const RestartCheck &c = GetParam();
  UnitConfig config;
  config.baudRate = 9600;
  c.configure(config);
  addUnit(4, config);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fwupgradeMain(), c.exitCode);
  testing::internal::GetCapturedStderr();
  const std::string end =
      c.exitCode == 0
          ? "\n\r\n\rThe update was successful, the unit is now operational\r\n" + kPressKey
          : kUnconfirmedEnd;
  ASSERT_GE(console().size(), end.size() + 4);
  EXPECT_EQ(console().substr(console().size() - end.size() - 4), "100%" + end);
  // The help commands written after the firmware's announcement: the check's.
  std::vector<SimWireEvent> probes;
  bool firmwareAnnounced = false;
  for (const SimWireEvent &e : Sim_WireLog()) {
    firmwareAnnounced |= e.kind == SimWireEvent::Write && e.bytes.rfind("%%%fw -h", 0) == 0;
    if (firmwareAnnounced && e.kind == SimWireEvent::Write && e.bytes == "%%%help -c version\n\r") {
      probes.push_back(e);
    }
  }
  ASSERT_EQ(probes.size(), c.probes);
  if (!probes.empty()) {
    EXPECT_EQ(probes[0].baud, 9600u) << "at the console's rate";
    EXPECT_GE(probes[0].timeMs, Sim_SleptMs()) << "after the wait";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RestartCheckTest, testing::ValuesIn(kRestartChecks), NameOfCase());

TEST_F(UpdateFlowTest, AUnitThatVanishesMidImageFailsTheTransfer) {
  UnitConfig config;
  config.baudRate = 115200;
  config.vanishAfterImageBytes = 50000;
  addUnit(1, config);
  EXPECT_EQ(fwupgradeMain(), 1);
  const std::string tail = "FAILED\r\n" + kFailedEnd;
  ASSERT_GE(console().size(), tail.size());
  EXPECT_EQ(console().substr(console().size() - tail.size()), tail);
  EXPECT_NE(console().find("Sending Programmable Logic data ................... 1%\b\b"),
            std::string::npos);
}

// gHexFirmware, gDataConcatenated, gDataBuffer: the nth allocation of the
// start-up.
class StartUpBufferTest : public UpdateFlowTest, public testing::WithParamInterface<int> {};

TEST_P(StartUpBufferTest, ThatCannotBeHadEndsTheRunCleanly) {
  if (!FAILING_ALLOCATION_AVAILABLE) {
    GTEST_SKIP() << "allocation failures need a GNU linker (--wrap)";
  }
  FailingAllocation_FailCalloc(GetParam());
  EXPECT_EQ(fwupgradeMain(), -1);
  FailingAllocation_FailCalloc(0);
  EXPECT_EQ(console(), "\r\nERROR: Not enough memory to prepare the update !\r\n" + kPressKey);
  EXPECT_TRUE(gHexFirmware == nullptr && gDataConcatenated == nullptr && gDataBuffer == nullptr);
}

std::string startUpBufferName(const testing::TestParamInfo<int> &info) {
  static const char *const names[] = {"firmware_copy", "image_area", "reply_buffer"};
  return names[info.param - 1];
}

INSTANTIATE_TEST_SUITE_P(Allocation, StartUpBufferTest, testing::Values(1, 2, 3),
                         startUpBufferName);

struct LateAllocation {
  const char *name;
  size_t bytes;
  std::string middle;
};

const LateAllocation kLateAllocations[] = {
    {"logic image copy",
     static_cast<size_t>(
         AUTOGEN_FILES[catalogueLogicEntry(DEVICE_XC7A35_484, true)].fileDataLength) +
         16,
     kVersionsXc7a35 + kTxOk +
         "\r\nERROR: Not enough memory for the Programmable Logic image !\r\n"},
    // The first reply collected after detection is the first product
    // check's; the three others get a buffer but not their text.
    {"reply buffer", DATA_BUFFER_SIZE,
     kVersionsXc7a35 + "Checking product .......... "
                       "\r\nERROR: Not enough memory to receive the unit's reply !\r\nFAILED\r\n"},
};

class LateAllocationTest : public UpdateFlowTest,
                           public testing::WithParamInterface<LateAllocation> {};

// What the test log shows of a case.
void PrintTo(const LateAllocation &c, std::ostream *os) { *os << c.name; }

TEST_P(LateAllocationTest, ThatCannotBeHadFailsTheUpdate) {
  if (!FAILING_ALLOCATION_AVAILABLE) {
    GTEST_SKIP() << "allocation failures need a GNU linker (--wrap)";
  }
  const LateAllocation &c = GetParam();
  UnitConfig config;
  config.baudRate = 115200;
  addUnit(1, config);
  ASSERT_EQ(allocateSharedBuffers(), 1);
  ComPortAPI_SetHardwareFlowControl(0);
  ASSERT_EQ(detectComPortAndBaudrate(), 1);
  Sim_ClearConsole();
  FailingAllocation_FailCallocOfSize(c.bytes);
  EXPECT_EQ(updateFirmware(), 0);
  FailingAllocation_FailCallocOfSize(0);
  EXPECT_EQ(console(), c.middle);
}

INSTANTIATE_TEST_SUITE_P(Cases, LateAllocationTest, testing::ValuesIn(kLateAllocations),
                         NameOfCase());

// Runs with --report on the simulated line: the document each leaves,
// checked against the schema and against what the unit heard, summed up as
// "<result> <images acknowledged>/<announced> <how the restart was
// confirmed> <firmware reported after it>", and the one line the
// after-update check adds to the screen ("" when none).
struct ReportRun {
  const char *name;
  std::vector<const char *> args;
  void (*configure)(UnitConfig &);
  int exitCode;
  const char *summary;
  const char *afterLine;
};

const char kReportedNow[] = "\r\nUnit now reports firmware 1.00.09, logic K6G-TX 2.00\r\n";

const ReportRun kReportRuns[] = {
    {"updated",
     {"--report", "r.json"},
     [](UnitConfig &) {},
     0,
     "updated 2/2 prompt 1.00.09",
     kReportedNow},
    {"console answers when asked",
     {"--report", "r.json", "--log", "r.log"},
     [](UnitConfig &c) { c.bootDelayMs = 30000; },
     0,
     "updated 2/2 answer 1.00.09",
     kReportedNow},
    // The update stands: only the versions after it are missing.
    {"unit silent after the update",
     {"--report", "r.json"},
     [](UnitConfig &c) { c.silentVersionAfterUpdate = true; },
     0,
     "updated 2/2 prompt none",
     "\r\nUnit did not report its versions after the restart\r\n"},
    {"restart not confirmed",
     {"--report", "r.json"},
     [](UnitConfig &c) { c.bootDelayMs = 3600000; },
     2,
     "restart unconfirmed 2/2 - -",
     ""},
    {"unit not ready",
     {"--report", "r.json"},
     [](UnitConfig &c) { c.noReady = true; },
     1,
     "failed 0/1 - -",
     ""},
    {"info", {"--report", "r.json", "--info"}, [](UnitConfig &) {}, 0, "identified 0/0 - -", ""},
};

class ReportRunTest : public TempDirTest, public testing::WithParamInterface<ReportRun> {};

void PrintTo(const ReportRun &c, std::ostream *os) { *os << c.name; }

TEST_P(ReportRunTest, LeavesOneValidDocument) {
  const ReportRun &c = GetParam();
  UnitConfig config;
  config.updatedVersionReply = "1.0.9\r\nK6G-TX 2.0 1\r\n>>";
  c.configure(config);
  UnitModel unit(config);
  Sim_AddPort(3, &unit);
  std::vector<const char *> argv = {"TessaronFwUpgrade", "--port", "3", "--no-wait"};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  testing::internal::CaptureStderr();
  EXPECT_EQ(fwupgradeMainWithArguments(static_cast<int>(argv.size()), argv.data()), c.exitCode);
  testing::internal::GetCapturedStderr();
  // Whatever follows the success line: the after-update line alone.
  const size_t success = console().find("operational");
  EXPECT_EQ(success == std::string::npos ? "" : console().substr(success + 11), c.afterLine);
  EXPECT_EQ(entries().count("r.json") + entries().count("r.log"), entries().size())
      << "nothing left beside the report";

  const nlohmann::json report = validReport("r.json");
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["exit_code"], c.exitCode);
  EXPECT_EQ(report["port"], (nlohmann::json{{"name", "COM3"}, {"device", "sim:COM3"}}));
  EXPECT_EQ(report["unit_before"]["identification"], VALIDATE_TX_PRODUCT_ID_STRING);
  int acknowledged = 0;
  for (size_t k = 0; k < report["images"].size() && k < unit.images().size(); k++) {
    const nlohmann::json &image = report["images"][k];
    EXPECT_EQ(image["length"], unit.images()[k].announcedLength);
    EXPECT_EQ(image["checksum"], unit.images()[k].announcedChecksum);
    acknowledged += image["acknowledged"].get<bool>() ? 1 : 0;
  }
  const nlohmann::json &how = report["restart"]["how"];
  const nlohmann::json &after = report["unit_after"];
  const std::string summary = report["result"].get<std::string>() + " " +
                              std::to_string(acknowledged) + "/" +
                              std::to_string(report["images"].size()) + " " +
                              (how.is_null() ? "-" : how.get<std::string>()) + " " +
                              (after.is_null()              ? "-"
                               : after["answered"] == false ? "none"
                                                            : after["firmware"].get<std::string>());
  EXPECT_EQ(summary, c.summary);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReportRunTest, testing::ValuesIn(kReportRuns), NameOfCase());

}  // namespace
