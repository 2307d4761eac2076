// The console protocol on the simulated platform: command framing, reply
// collection, data streaming with its percentage display, and detection.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UnitModel.h"

namespace {

const char kHelpAnswer[] =
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";

class ProtocolTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    allocateBuffers();
  }
  // Opens port n with a unit configured by `config`.
  void openUnit(int n, const UnitConfig &config) {
    unit_ = std::make_unique<UnitModel>(config);
    Sim_AddPort(n, unit_.get());
    ComPortAPI_SetBaudRate(config.baudRate);
    ASSERT_EQ(ComPortAPI_OpenCOM(n), 1);
  }
  std::unique_ptr<UnitModel> unit_;
};

TEST_F(ProtocolTest, CommandFraming) {
  Sim_AddPort(1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  EXPECT_EQ(sendCommand("%fw -v", 0, 0, nullptr), 1);
  EXPECT_EQ(sendCommand("%fw -v", 1, 0, nullptr), 1);
  EXPECT_EQ(sendCommand("%fw -p", 2, 0, nullptr), 1) << "any value but 1 adds the prefix";
  // Ten bytes: the prefix "%%", the six characters of "%fw -v", LF, CR.
  EXPECT_EQ(Sim_BytesWritten(1), std::string("%%%fw -v\n\r%fw -v\n\r%%%fw -p\n\r"));
  // A null expected reply: nothing is read, whatever validateResponse says.
  EXPECT_EQ(sendCommand("%fw -v", 0, 1, nullptr), 1);
  EXPECT_EQ(Sim_CallCount("ReadFile"), 0);
}

struct ReplyCase {
  const char *name;
  std::string productId;
  int byteGapMs;
  const char *expected;
  BOOL result;
};

const ReplyCase kReplies[] = {
    {"exact", "Korvex 6G SDI EXTENDER TX\r\n>>", 0, "Korvex 6G SDI EXTENDER TX\r\n>>", 1},
    {"byte by byte, gaps under the time-out", "Korvex 6G SDI EXTENDER TX\r\n>>", 499,
     "Korvex 6G SDI EXTENDER TX\r\n>>", 1},
    // Reads end T ms after they begin, so only a gap that leaves one whole
    // read empty ends the reply.
    {"a gap of two time-outs splits the reply", "Korvex 6G SDI EXTENDER TX\r\n>>", 1001,
     "Korvex 6G SDI EXTENDER TX\r\n>>", 0},
    {"no final prompt", "Korvex 6G SDI EXTENDER TX\r\n", 0, "Korvex 6G SDI EXTENDER TX\r\n>>", 0},
    {"more than expected", "Korvex 6G SDI EXTENDER TX\r\n>>\r\n", 0,
     "Korvex 6G SDI EXTENDER TX\r\n>>", 0},
    {"case matters", "korvex 6G SDI EXTENDER TX\r\n>>", 0, "Korvex 6G SDI EXTENDER TX\r\n>>", 0},
    {"no reply", "", 0, "Ready", 0},
    {"no reply, none expected", "", 0, "", 1},
    // Zero bytes are line noise, dropped wherever they stand, also when a
    // read brings nothing else.
    {"zero bytes anywhere", std::string("\0Korvex 6G SDI\0 EXTENDER TX\r\n>>\0", 32), 0,
     "Korvex 6G SDI EXTENDER TX\r\n>>", 1},
    {"a read of zero bytes only", std::string("Korvex 6G\0\0\0\0\0\0 SDI EXTENDER TX\r\n>>", 36),
     120, "Korvex 6G SDI EXTENDER TX\r\n>>", 1},
};

class ReplyTest : public ProtocolTest, public testing::WithParamInterface<ReplyCase> {};

// What the test log shows of a case.
void PrintTo(const ReplyCase &c, std::ostream *os) { *os << c.name; }

TEST_P(ReplyTest, IsJudgedWholeAfterALineSilentForOneTimeout) {
  const ReplyCase &c = GetParam();
  UnitConfig config;
  config.productId = c.productId;
  config.replyByteGapMs = c.byteGapMs;
  openUnit(4, config);
  ComPortAPI_SetReadingTimeoutInMs(500);
  EXPECT_EQ(sendCommand("%fw -p", 0, 1, c.expected), c.result);
  EXPECT_EQ(console(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyTest, testing::ValuesIn(kReplies), NameOfCase());

TEST_F(ProtocolTest, ValidateOffCollectsAndSucceedsWhateverArrives) {
  UnitConfig config;
  openUnit(1, config);
  const uint64_t start = Sim_NowMs();
  EXPECT_EQ(sendCommand("%fw -p", 0, 0, "something else"), 1);
  // It waited for the reply and one silent time-out behind it.
  EXPECT_GE(Sim_NowMs() - start, 500u);
}

// A unit that never falls silent: the collection ends once it has received
// what the reply buffer holds, zero bytes counted, or 60 s after it began.
struct EndlessReply {
  const char *name;
  std::string text;  // repeated without end
  int paceBaud;      // 0: the line rate, 57600
  uint64_t minMs, maxMs;
  uint64_t minBytes, maxBytes;
};

const uint64_t kReplyBuffer = DATA_BUFFER_SIZE - 1;
const EndlessReply kEndlessReplies[] = {
    {"text at 4 Mbit/s", "1.0.8\r\n", 4000000, 2500, 3000, kReplyBuffer, kReplyBuffer + 200000},
    {"zero bytes at 4 Mbit/s", std::string(1, '\0'), 4000000, 2500, 3000, kReplyBuffer,
     kReplyBuffer + 200000},
    {"text at the line rate", "1.0.8\r\n", 0, 60000, 60500, 340000, 350000},
    {"a byte every 100 ms", "x", 100, 60000, 60500, 590, 600},
};

class EndlessReplyTest : public ProtocolTest, public testing::WithParamInterface<EndlessReply> {};

// What the test log shows of a case.
void PrintTo(const EndlessReply &c, std::ostream *os) { *os << c.name; }

TEST_P(EndlessReplyTest, StopsAtTheBufferSizeOrAfterSixtySeconds) {
  const EndlessReply &c = GetParam();
  UnitConfig config;
  config.floodOnVersion = true;
  config.versionReply = c.text;
  config.floodPaceBaud = c.paceBaud;
  openUnit(1, config);
  ComPortAPI_SetReadingTimeoutInMs(500);
  const uint64_t start = Sim_NowMs();
  EXPECT_EQ(sendCommand("%fw -v", 0, 1, "Ready"), 0);
  uint64_t received = 0;
  for (const SimWireEvent &e : Sim_WireLog()) {
    received += e.kind == SimWireEvent::Read ? e.bytes.size() : 0;
  }
  EXPECT_GE(Sim_NowMs() - start, c.minMs);
  EXPECT_LE(Sim_NowMs() - start, c.maxMs);
  EXPECT_GE(received, c.minBytes);
  EXPECT_LE(received, c.maxBytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, EndlessReplyTest, testing::ValuesIn(kEndlessReplies), NameOfCase());

TEST_F(ProtocolTest, WriteFailureIsReported) {
  Sim_AddPort(1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  Sim_FailCall("WriteFile", 1);
  EXPECT_EQ(sendCommand("%fw -v", 0, 1, "x"), 0);
  EXPECT_EQ(console(), "\r\nError occurred when sending data !\r\n");
  EXPECT_EQ(Sim_CallCount("ReadFile"), 0);
}

// The percentage display after each write, as the operator sees it.
struct Transfer {
  int length;
  std::vector<size_t> writes;
  std::string display;
};

const Transfer kTransfers[] = {
    {0, {}, "1%"},
    {1, {1}, "1%\b\b100%"},
    {10240, {10240}, "1%\b\b100%"},
    {10241, {10240, 1}, "1%\b\b99%\b\b\b100%"},
    {20480, {10240, 10240}, "1%\b\b50%\b\b\b100%"},
    {25000, {10240, 10240, 4520}, "1%\b\b40%\b\b\b81%\b\b\b100%"},
    // 10 full writes and a last byte: 9%, then two-digit figures.
    {102401,
     {10240, 10240, 10240, 10240, 10240, 10240, 10240, 10240, 10240, 10240, 1},
     "1%\b\b9%\b\b19%\b\b\b29%\b\b\b39%\b\b\b49%\b\b\b59%\b\b\b69%\b\b\b79%\b\b\b89%"
     "\b\b\b99%\b\b\b100%"},
};

class TransferTest : public ProtocolTest, public testing::WithParamInterface<Transfer> {};

// What the test log shows of a case.
void PrintTo(const Transfer &c, std::ostream *os) { *os << c.length << " bytes"; }

TEST_P(TransferTest, WritesInChunksAndRedrawsThePercentage) {
  const Transfer &c = GetParam();
  Sim_AddPort(1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  std::vector<uint8_t> data(static_cast<size_t>(c.length) + 1);
  for (size_t k = 0; k < data.size(); k++) {
    data[k] = static_cast<uint8_t>(k * 7);
  }
  EXPECT_EQ(sendData(data.data(), c.length, 1, nullptr), 1);
  EXPECT_EQ(console(), c.display);
  std::vector<size_t> writes;
  std::string all;
  for (const SimWireEvent &e : Sim_WireLog()) {
    if (e.kind == SimWireEvent::Write) {
      writes.push_back(e.bytes.size());
      all += e.bytes;
    }
  }
  EXPECT_EQ(writes, c.writes);
  EXPECT_EQ(all, std::string(data.begin(), data.begin() + c.length));
  EXPECT_EQ(Sim_CallCount("ReadFile"), 0);
}

INSTANTIATE_TEST_SUITE_P(Bytes, TransferTest, testing::ValuesIn(kTransfers),
                         [](const testing::TestParamInfo<Transfer> &info) {
                           return std::to_string(info.param.length);
                         });

// What the unit answered instead of the acknowledgement reaches the
// operator's terminal harmless and at most 4096 bytes long; zero bytes are
// dropped before the reply is judged or shown.
struct WrongAck {
  const char *name;
  std::string ack;
  std::string shown;  // empty: the acknowledgement is taken
};

const std::string kA4095(4095, 'A');
const WrongAck kWrongAcks[] = {
    {"zero bytes around the acknowledgement", std::string("\0SUCCESS\0", 9), ""},
    {"an error behind a zero byte", std::string("SUCCESS\0\r\nERROR: flash", 22),
     "SUCCESS\r\nERROR: flash"},
    {"zero bytes and an escape", std::string("\0\0\x1b", 3), "\\x1B"},
    {"plain", "FAILURE", "FAILURE"},
    {"control characters", "\x1b[2J\tERR\r\n\x7f\x01", "\\x1B[2J\\x09ERR\r\n\\x7F\\x01"},
    {"bytes beyond ASCII",
     "\x9b"
     "31m\xc3\xa9",
     "\\x9B31m\\xC3\\xA9"},
    {"4096 bytes", kA4095 + "B", kA4095 + "B"},
    {"one byte more", kA4095 + "BC", kA4095 + "B... (1 more bytes)"},
    {"cut after an escaped byte", kA4095 + "\x1b[2J", kA4095 + "\\x1B... (3 more bytes)"},
};

class WrongAckTest : public ProtocolTest, public testing::WithParamInterface<WrongAck> {};

// What the test log shows of a case.
void PrintTo(const WrongAck &c, std::ostream *os) { *os << c.name; }

TEST_P(WrongAckTest, IsShownEscapedAndCut) {
  const WrongAck &c = GetParam();
  UnitConfig config;
  config.baudRate = 115200;
  config.dataAck = c.ack;
  openUnit(1, config);
  uint8_t data[3] = {0x61, 0x62, 0x63};
  ASSERT_EQ(sendCommand("%fw -l 4294967002 3", 0, 1, "Ready"), 1);
  EXPECT_EQ(sendData(data, 3, 1, "SUCCESS"), c.shown.empty());
  EXPECT_EQ(console(),
            "1%\b\b100%" + (c.shown.empty() ? ""
                                            : "\r\nExpected : SUCCESS  received : " + c.shown +
                                                  "\r\n\r\nError: Expected response did  not "
                                                  "matched !\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Cases, WrongAckTest, testing::ValuesIn(kWrongAcks), NameOfCase());

// A unit that takes nothing more after "Ready": each write fails once it has
// waited 60 s, with the texts of a failed write.
struct WriteNotTaken {
  const char *name;
  BOOL (*send)();
  const char *shown;
};

const WriteNotTaken kWritesNotTaken[] = {
    {"command", [] { return sendCommand("%fw -v", 0, 1, "x"); },
     "\r\nError occurred when sending data !\r\n"},
    {"data block",
     [] {
       std::vector<uint8_t> block(10240, 0x5A);
       return sendData(block.data(), 10240, 1, "SUCCESS");
     },
     "1%"},
};

class WriteNotTakenTest : public ProtocolTest, public testing::WithParamInterface<WriteNotTaken> {};

// What the test log shows of a case.
void PrintTo(const WriteNotTaken &c, std::ostream *os) { *os << c.name; }

TEST_P(WriteNotTakenTest, FailsAfterSixtySeconds) {
  const WriteNotTaken &c = GetParam();
  UnitConfig config;
  config.stopReadingAfterReady = true;
  openUnit(1, config);
  ASSERT_EQ(sendCommand("%fw -l 0 5", 0, 1, "Ready"), 1);
  const uint64_t start = Sim_NowMs();
  EXPECT_EQ(c.send(), 0);
  EXPECT_EQ(Sim_NowMs() - start, 60000u);
  EXPECT_EQ(console(), c.shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteNotTakenTest, testing::ValuesIn(kWritesNotTaken),
                         NameOfCase());

TEST_F(ProtocolTest, SendDataStopsSilentlyAtAFailedWrite) {
  Sim_AddPort(1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  std::vector<uint8_t> data(30000, 1);
  Sim_FailCall("WriteFile", 2);
  EXPECT_EQ(sendData(data.data(), 30000, 1, "SUCCESS"), 0);
  EXPECT_EQ(console(), "1%\b\b34%");
  EXPECT_EQ(Sim_BytesWritten(1).size(), 10240u);
}

/*---------------------------------------------------------------------------
 * Detection
 *-------------------------------------------------------------------------*/

class DetectionTest : public ProtocolTest {
 protected:
  // Rates at which the help command went out on port n, in order.
  static std::vector<DWORD> helpRates(int n) {
    std::vector<DWORD> rates;
    for (const SimWireEvent &e : Sim_WireLog()) {
      if (e.kind == SimWireEvent::Write && e.port == n) {
        EXPECT_EQ(e.bytes, "%%%help -c version\n\r");
        EXPECT_FALSE(e.ctsFlow);
        rates.push_back(e.baud);
      }
    }
    return rates;
  }
  void SetUp() override {
    ProtocolTest::SetUp();
    ComPortAPI_SetHardwareFlowControl(0);
  }
};

TEST_F(DetectionTest, FindsTheUnitOnTheLowestAnsweringPortAtTheFirstAnsweringRate) {
  UnitConfig config;
  config.baudRate = 57600;
  UnitModel unit(config);
  Sim_AddPort(3, &unit);
  Sim_AddPort(7, &unit);
  EXPECT_EQ(detectComPortAndBaudrate(), 1);
  EXPECT_EQ(gComPortNumber, 3);
  EXPECT_EQ(gBaudRate, 57600);
  EXPECT_TRUE(Sim_PortIsOpen(3));
  EXPECT_EQ(Sim_PortDcb(3).BaudRate, 57600u);
  EXPECT_EQ(helpRates(3), (std::vector<DWORD>{115200, 115200, 9600, 9600, 57600}));
  EXPECT_EQ(helpRates(7), std::vector<DWORD>{});
  EXPECT_EQ(console(), "");
  // Absent COM1 and COM2 were only probed.
  EXPECT_EQ(Sim_CallCount("CreateFileA"), 2 + 1 + 3);
}

// Two attempts at each rate; only the exact answer, whole, matches.
struct HelpAnswer {
  const char *name;
  int garbled;
  std::string answer;
  BOOL found;
  int rate;
  size_t attempts;
  bool garbleHead = false;  // the garbled answers start wrong, not end short
  int byteGapMs = 0;
};

const std::string kHelp = kHelpAnswer;
const HelpAnswer kHelpAnswers[] = {
    {"first answer", 0, kHelp, 1, 115200, 1},
    {"one garbled", 1, kHelp, 1, 115200, 2},
    // Known wrong from its first read on, the answer is read to its end (a
    // byte every 20 ms, three reads), so that none of it spoils the second
    // attempt.
    {"one garbled at its start, read to its end", 1, kHelp, 1, 115200, 2, true, 20},
    {"two garbled", 2, kHelp, 1, 9600, 3},
    {"three garbled", 3, kHelp, 1, 9600, 4},
    // Not found: the absent ports tried after COM1 leave the rate at 0.
    {"answer cut short", 0, kHelp.substr(0, 72), 0, 0, 12},
    {"answer and a blank", 0, kHelp + " ", 0, 0, 12},
    {"line end before the answer", 0, "\r\n" + kHelp, 0, 0, 12},
};

class HelpAnswerTest : public DetectionTest, public testing::WithParamInterface<HelpAnswer> {};

// What the test log shows of a case.
void PrintTo(const HelpAnswer &c, std::ostream *os) { *os << c.name; }

TEST_P(HelpAnswerTest, OnlyTheExactAnswerMatchesAtEitherAttempt) {
  const HelpAnswer &c = GetParam();
  UnitConfig config;
  config.baudRate = 0;  // answers at any rate
  config.garbledHelpReplies = c.garbled;
  config.garbleHelpHead = c.garbleHead;
  config.replyByteGapMs = c.byteGapMs;
  config.helpReply = c.answer;
  UnitModel unit(config);
  Sim_AddPort(1, &unit);
  EXPECT_EQ(detectComPortAndBaudrate(), c.found);
  EXPECT_EQ(gBaudRate, c.rate);
  EXPECT_EQ(helpRates(1).size(), c.attempts);
}

INSTANTIATE_TEST_SUITE_P(Cases, HelpAnswerTest, testing::ValuesIn(kHelpAnswers), NameOfCase());

struct Silence {
  const char *name;
  void (*arrange)();
  DWORD storedRate;
  size_t helpCommands;
};

const Silence kSilences[] = {
    {"no port at all", [] {}, 9600, 0},
    {"a held port is skipped", [] { Sim_HoldPort(2); }, 9600, 0},
    {"a silent port, the last one tried", [] { Sim_AddPort(32); }, 1200, 12},
};

class SilenceTest : public DetectionTest, public testing::WithParamInterface<Silence> {};

// What the test log shows of a case.
void PrintTo(const Silence &c, std::ostream *os) { *os << c.name; }

TEST_P(SilenceTest, NothingAnswers) {
  const Silence &c = GetParam();
  c.arrange();
  EXPECT_EQ(detectComPortAndBaudrate(), 0);
  EXPECT_FALSE(serialLinkHeldAPort());
  EXPECT_EQ(g_dcb.BaudRate, c.storedRate);
  EXPECT_EQ(Sim_BytesWritten(2).size() + helpRates(32).size(), c.helpCommands);
  EXPECT_EQ(console(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, SilenceTest, testing::ValuesIn(kSilences), NameOfCase());

// A port that talks without a pause at every rate (a GPS receiver, another
// device's console) holds detection at most 30 s: each attempt stops soon
// after its reply can no longer be the answer. The unit behind it is found.
struct TalkingPort {
  const char *name;
  std::string text;  // repeated without end, from the first help command on
  int paceBaud;      // 0: the rate of that command, 115200
};

const TalkingPort kTalkingPorts[] = {
    {"GPS sentences", "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n", 0},
    {"the answer again and again", kHelpAnswer, 0},
    {"a byte every 100 ms", "x", 100},
};

class TalkingPortTest : public DetectionTest, public testing::WithParamInterface<TalkingPort> {};

// What the test log shows of a case.
void PrintTo(const TalkingPort &c, std::ostream *os) { *os << c.name; }

TEST_P(TalkingPortTest, IsPassedWithinThirtySeconds) {
  const TalkingPort &c = GetParam();
  UnitConfig talker;
  talker.baudRate = 0;  // hears the help command at every rate
  talker.helpFlood = c.text;
  talker.floodPaceBaud = c.paceBaud;
  UnitModel talking(talker);
  UnitModel unit{UnitConfig()};
  Sim_AddPort(2, &talking);
  Sim_AddPort(5, &unit);
  EXPECT_EQ(detectComPortAndBaudrate(), 1);
  EXPECT_EQ(gComPortNumber, 5);
  EXPECT_EQ(gBaudRate, 57600);
  // Two attempts at each of the six rates, and no more than 30 s in all.
  EXPECT_EQ(talking.commands().size(), 12u);
  uint64_t leftMs = 0;
  for (const SimWireEvent &e : Sim_WireLog()) {
    if (e.kind == SimWireEvent::Close && e.port == 2) {
      leftMs = e.timeMs;
    }
  }
  EXPECT_LE(leftMs, 30000u);
  EXPECT_EQ(console(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, TalkingPortTest, testing::ValuesIn(kTalkingPorts), NameOfCase());

TEST_F(DetectionTest, APortThatRefusesARateIsTriedAtTheOthers) {
  UnitConfig config;
  config.baudRate = 4800;
  UnitModel unit(config);
  Sim_AddPort(1, &unit);
  Sim_SetPortRates(1, {9600, 4800});
  EXPECT_EQ(detectComPortAndBaudrate(), 1);
  EXPECT_EQ(gBaudRate, 4800);
  EXPECT_EQ(console(), "ERROR: COM1 configuration failed !ERROR: COM1 configuration failed !");
}

}  // namespace
