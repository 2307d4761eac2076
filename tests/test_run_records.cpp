// The run log and the wire trace: the record a run leaves, as it goes and
// when it is cut short, and every byte on the line of a whole simulated
// update.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Console.h"
#include "RecordFiles.h"
#include "RunLog.h"
#include "RunRecord.h"
#include "RunReport.h"
#include "TestSupport.h"
#include "UnitModel.h"
#include "WireTrace.h"
#include "platform/Platform.h"

namespace {

// Local time with its offset, under time zones east and west of UTC, with
// half hours, on both sides of a change to summer time, and where the local
// date is another year than UTC's.
TEST(RunLogTimeTest, LocalTimeCarriesItsOffset) {
  const struct {
    const char *zone;
    time_t t;
    const char *text;
  } cases[] = {
      {"UTC0", 0, "1970-01-01T00:00:00+00:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1796657971, "2026-12-07T16:39:31+01:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1782900000, "2026-07-01T12:00:00+02:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1774745999, "2026-03-29T01:59:59+01:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1774746000, "2026-03-29T03:00:00+02:00"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1798759800, "2027-01-01T00:30:00+01:00"},
      {"NST3:30NDT,M3.2.0,M11.1.0", 1796657971, "2026-12-07T12:09:31-03:30"},
      {"NST3:30NDT,M3.2.0,M11.1.0", 1798759800, "2026-12-31T20:00:00-03:30"},
      {"LINT-14", 1798759800, "2027-01-01T13:30:00+14:00"},
  };
  const char *saved = getenv("TZ");
  const std::string savedZone = saved != nullptr ? saved : "";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.zone);
    setenv("TZ", c.zone, 1);
    tzset();
    EXPECT_EQ(RunLog_LocalTime(c.t), c.text);
  }
  if (saved != nullptr) {
    setenv("TZ", savedZone.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// A quoted text of the wire trace read back into its bytes.
std::string unquote(const std::string &quoted) {
  std::string bytes;
  for (size_t k = 1; k + 1 < quoted.size(); k++) {
    if (quoted[k] != '\\') {
      bytes += quoted[k];
      continue;
    }
    const char c = quoted[++k];
    if (c == 'x') {
      bytes += static_cast<char>(std::stoi(quoted.substr(k + 1, 2), nullptr, 16));
      k += 2;
    } else {
      bytes += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
  }
  return bytes;
}

class RunLogTest : public TempDirTest {
 protected:
  void TearDown() override {
    RunLog_Close();
    WireTrace_Close();
    TempDirTest::TearDown();
  }
  // Opens the records as a run does; "" for one not asked for.
  static void openRecords(const std::string &log, const std::string &trace = "") {
    const RecordFileRequest records[] = {
        {"--log", "run log", "log", log, 0, RunLog_Attach},
        {"--trace", "wire trace", "trace", trace, 1, WireTrace_Attach}};
    std::string reason;
    ASSERT_EQ(RecordFiles_Open(records, 2, &reason), 1) << reason;
  }
  // The log's lines without the start and end lines, whose time varies.
  static std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> found;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("start   ", 0) != 0 && line.rfind("end     ", 0) != 0) {
        found.push_back(line);
      }
    }
    return found;
  }
  static void show(const std::string &text) { Console_Printf("%s", text.c_str()); }
  // A run of the tool with these options, and what it wrote on standard
  // error after the stand-in warning.
  static int run(std::vector<const char *> args, std::string *err) {
    args.insert(args.begin(), "TessaronFwUpgrade");
    testing::internal::CaptureStderr();
    const int code = fwupgradeMainWithArguments(static_cast<int>(args.size()), args.data());
    *err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err->rfind(standInWarningLine(), 0), 0u);
    err->erase(0, standInWarningLine().size());
    return code;
  }
};

// What the screen shows, line by line, with every progress figure redrawn;
// the record keeps each line as it stands once it is whole.
TEST_F(RunLogTest, TranscriptLinesAreWrittenWholeAsShown) {
  openRecords("run.log");
  RunLog_Start();
  show("\n\rYou are about to upload\n\r\n\rDetecting..");
  EXPECT_EQ(lines(readWholeFile("run.log")),
            (std::vector<std::string>{"out", "out     You are about to upload", "out"}));
  show("OK\r\n");
  show("Sending data ... ");
  show("1%");
  show("\b\b10%");
  show("\b\b\b100%");
  EXPECT_EQ(lines(readWholeFile("run.log")).back(), "out     Detecting..OK");
  show(" OK\n\r\n\rPlease wait ... ");
  show(" 97%");
  // Backspaces move back without erasing, as on the screen.
  show("\b\b\b\b");
  show("100%");
  show("\b\b\b\b");
  show("100%");
  // A record ends the line being drawn; the line end that then comes ends
  // nothing more.
  RunLog_Record("unit", "firmware %s", "1.00.08");
  show("\n\r\n\rThe update was successful\r\n");
  show("\r\nPress any key to exit");
  Console_Error("COM3 (/dev/ttyUSB0): %s", "Input/output error");
  show("x\b\b");
  RunLog_Close();
  EXPECT_EQ(lines(readWholeFile("run.log")),
            (std::vector<std::string>{
                "out", "out     You are about to upload", "out", "out     Detecting..OK",
                "out     Sending data ... 100% OK", "out", "out     Please wait ... 100%",
                "unit    firmware 1.00.08", "out", "out     The update was successful", "out",
                "out     Press any key to exit", "err     COM3 (/dev/ttyUSB0): Input/output error",
                "out     x"}));
  const std::string text = readWholeFile("run.log");
  EXPECT_EQ(text.rfind("start   ", 0), 0u);
  EXPECT_NE(text.find("\nend     "), std::string::npos);
}

// The record of a run cut short ends with the line that was being drawn and
// the lines of the interrupt; a carriage return draws over a line. A record
// that a killed run left mid-line is ended before the next run's start.
TEST_F(RunLogTest, AnInterruptedRunEndsItsRecordWhereItStopped) {
  writeWholeFile("run.log", "an earlier run\nout     Sending 12");
  openRecords("run.log");
  RunLog_Start();
  show("Sending 45%");
  size_t length = 0;
  std::string interrupt = RunLog_InterruptText("SIGTERM", 143, &length);
  EXPECT_EQ(interrupt.size(), length);
  EXPECT_EQ(interrupt, "out     Sending 45%\nresult  interrupted by SIGTERM\nexit    143\n");
  show("\b\b\b\b\b\b\b\b\b\b\bAb\rX\n");
  interrupt = RunLog_InterruptText("SIGHUP", 129, &length);
  EXPECT_EQ(interrupt, "result  interrupted by SIGHUP\nexit    129\n");
  // At the last key wait the outcome is written already.
  RunLog_Result("the update failed", 1);
  EXPECT_STREQ(RunLog_InterruptText("SIGINT", 1, &length), "");
  EXPECT_EQ(length, 0u);
  const std::string text = readWholeFile("run.log");
  EXPECT_EQ(text.rfind("an earlier run\nout     Sending 12\nstart   ", 0), 0u) << text;
  EXPECT_EQ(lines(text),
            (std::vector<std::string>{"an earlier run", "out     Sending 12", "out     Xbnding 45%",
                                      "result  the update failed", "exit    1"}));
}

// A command line whose records can't be kept apart or written is refused
// with 64 before any port is touched, and leaves every file as it was: the
// same file by another spelling, from the root, through a link or a hard
// link; a file another run holds (not emptied for a trace either); a file
// that can't be written, after one made for the run (removed again, even
// when the name was a link to nothing: the link stays); a pipe without a
// reader.
TEST_F(RunLogTest, RecordsThatCannotBeKeptApartAreRefusedAndLeaveEveryFileAsItWas) {
  const std::string root = std::filesystem::current_path().string();
  const std::string absolute = root + "/keep.log";
  const struct {
    std::vector<const char *> args;
    std::string reason;
  } cases[] = {
      {{"--log", "keep.log", "--trace", "./keep.log"},
       "--log keep.log and --trace ./keep.log name the same file; give each its own file"},
      {{"--trace", "keep.log", "--log", absolute.c_str()},
       "--log " + absolute + " and --trace keep.log name the same file; give each its own file"},
      {{"--log", "link.log", "--trace", "keep.log"},
       "--log link.log and --trace keep.log name the same file; give each its own file"},
      {{"--log", "keep.log", "--trace", "hard.log"},
       "--log keep.log and --trace hard.log name the same file; give each its own file"},
      {{"--log", "held.log"},
       "--log: held.log is being written by another run; give each run its own log"},
      {{"--log", "new.log", "--trace", "held.log"},
       "--trace: held.log is being written by another run; give each run its own trace"},
      {{"--log", "dangling.log", "--trace", "no-such-folder/t"},
       "--trace: no-such-folder/t cannot be written: No such file or directory"},
      {{"--log", "new.log", "--trace", "."}, "--trace: . cannot be written: Is a directory"},
      // A pipe that no one reads would hold the run once its buffer is full.
      {{"--log", "pipe"}, "--log: pipe cannot be written: No such device or address"},
  };
  writeWholeFile("keep.log", "earlier record\n");
  writeWholeFile("held.log", "another run's record\n");
  std::filesystem::create_symlink("keep.log", "link.log");
  std::filesystem::create_hard_link("keep.log", "hard.log");
  std::filesystem::create_symlink("target.log", "dangling.log");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  PlatformRecordFile other;
  ASSERT_EQ(Platform_OpenRecordFile("held.log", &other), 1);
  ASSERT_EQ(Platform_HoldRecordFile(&other), 1);
  const std::set<std::string> before = entries();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.reason);
    std::string err;
    EXPECT_EQ(run(c.args, &err), 64);
    EXPECT_EQ(err.substr(0, err.find('\n')), "ERROR: " + c.reason);
    EXPECT_EQ(Sim_CallCount("PreparePorts"), 0);
    EXPECT_EQ(RunLog_IsOpen(), 0);
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(readWholeFile("keep.log"), "earlier record\n");
    EXPECT_EQ(readWholeFile("held.log"), "another run's record\n");
    EXPECT_TRUE(std::filesystem::is_symlink("dangling.log"));
  }
  Platform_CloseRecordFile(&other, 0);
  // A file that lost its name before it was held (another run made it and
  // was refused) would take a record no one sees.
  PlatformRecordFile gone;
  ASSERT_EQ(Platform_OpenRecordFile("gone.log", &gone), 1);
  std::filesystem::remove("gone.log");
  EXPECT_EQ(Platform_HoldRecordFile(&gone), -1);
  Platform_CloseRecordFile(&gone, 1);
  // Once the other run is done, the log is this run's to add to.
  std::string err;
  EXPECT_EQ(run({"--log", "held.log", "--list-ports"}, &err), 0);
  EXPECT_EQ(readWholeFile("held.log").rfind("another run's record\nstart   ", 0), 0u);
}

// A record that stops being written (a full disk, a file size limit) is told
// once as it fails and once after the result; the update goes on to its
// own result. A failing trace is told in the log, after the result there.
TEST_F(RunLogTest, ARecordThatStopsBeingWrittenIsToldTwiceAndTheUpdateGoesOn) {
  const struct {
    const char *log;
    const char *trace;
    long sizeLimit;  // 0 for none
    const char *failing;
  } cases[] = {
      {"/dev/full", "", 0, "the run log /dev/full"},
      {"run.log", "", 600, "the run log run.log"},
      {"run.log", "/dev/full", 0, "the wire trace /dev/full"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.failing);
    SimTest::SetUp();
    UnitConfig config;
    UnitModel unit(config);
    Sim_AddPort(3, &unit);
    std::filesystem::remove("run.log");
    std::string err;
    int code = -1;
    {
      std::unique_ptr<FileSizeLimit> limit;
      if (c.sizeLimit > 0) {
        limit = std::make_unique<FileSizeLimit>(c.sizeLimit);
      }
      code = c.trace[0] != '\0' ? run({"--log", c.log, "--trace", c.trace}, &err)
                                : run({"--log", c.log}, &err);
    }
    EXPECT_EQ(code, 0);
    EXPECT_EQ(unit.images().size(), 2u);
    const std::string warning = std::string("WARNING: ") + c.failing + " cannot be written: ";
    const std::string incomplete =
        std::string("WARNING: ") + c.failing + " is incomplete: it ends where its writing failed";
    // Where the warnings land: standard error, and the log when it is not
    // the one failing.
    const std::string told = c.trace[0] != '\0' ? readWholeFile("run.log") : err;
    const size_t at = told.find(warning);
    ASSERT_NE(at, std::string::npos) << told;
    EXPECT_EQ(told.find(warning, at + 1), std::string::npos) << "told twice";
    const size_t result = told.find("result  the update succeeded");
    const size_t end = told.find(incomplete);
    ASSERT_NE(end, std::string::npos) << told;
    EXPECT_EQ(told.find(incomplete, end + 1), std::string::npos) << "told twice";
    if (result != std::string::npos) {
      EXPECT_LT(result, end);
    }
    EXPECT_NE(err.find(incomplete), std::string::npos) << err;
  }
}

// Bytes as the trace quotes them, and back: every byte value survives.
TEST(WireTraceTest, QuotingShowsEveryByteAndCanBeReadBack) {
  EXPECT_EQ(WireTrace_Quoted("%%fw -v\n\r", 9), "\"%%fw -v\\n\\r\"");
  EXPECT_EQ(WireTrace_Quoted("a\"b\\c\td", 7), "\"a\\\"b\\\\c\\td\"");
  EXPECT_EQ(WireTrace_Quoted("\x00\x1B\x7F\x80\xFF~ ", 7), "\"\\x00\\x1B\\x7F\\x80\\xFF~ \"");
  std::string all;
  for (int c = 0; c < 256; c++) all += static_cast<char>(c);
  EXPECT_EQ(unquote(WireTrace_Quoted(all.data(), 256)), all);
}

// Every byte of a whole update on the simulated line, with the rate in
// force: the unit's replies quoted, silences, and each image's data, whose
// blocks add up to the image's length and their byte sums to 0 minus the
// checksum of its announcement.
TEST_F(RunLogTest, TheTraceShowsEveryExchangeOfAWholeUpdate) {
  UnitConfig config;
  config.baudRate = 57600;
  UnitModel unit(config);
  Sim_AddPort(2, nullptr);
  Sim_AddPort(3, &unit);
  openRecords("", "wire.trace");
  EXPECT_EQ(fwupgradeMain(), 0);
  WireTrace_Close();
  std::istringstream trace(readWholeFile("wire.trace"));
  std::string line;
  std::getline(trace, line);
  EXPECT_EQ(line.rfind("# wire trace of the serial line, begun 20", 0), 0u) << line;
  // "<port> <rate> <event>", the time left out, in order.
  std::vector<std::string> events;
  uint64_t lastTime = 0;
  while (std::getline(trace, line)) {
    if (line[0] == '#') {
      continue;
    }
    std::istringstream fields(line);
    uint64_t time = 0;
    std::string port, rate;
    fields >> time >> port >> rate;
    EXPECT_GE(time, lastTime);
    lastTime = time;
    std::string rest;
    std::getline(fields, rest);
    events.push_back(port + " " + rate + rest);
  }
  EXPECT_GE(lastTime, 138000u);  // the reboot wait is in the times
  const auto has = [&events](const std::string &event) {
    return std::find(events.begin(), events.end(), event) != events.end();
  };
  const auto reply = [](const std::string &text) {
    return std::to_string(text.size()) + " " +
           WireTrace_Quoted(text.data(), static_cast<int>(text.size()));
  };
  EXPECT_TRUE(has("COM2 115200 open, read time-out 500 ms, CTS flow control off"));
  EXPECT_TRUE(has("COM3 9600 < 0 (silent for 500 ms)"));
  EXPECT_TRUE(has("COM3 57600 > " + reply("%%%help -c version\n\r")));
  EXPECT_TRUE(has("COM3 57600 < " + reply(config.helpReply)));
  EXPECT_TRUE(has("COM3 57600 CTS flow control 1 (1 on, 0 off)"));
  EXPECT_TRUE(has("COM3 57600 < " + reply(config.versionReply)));
  EXPECT_TRUE(has("COM3 57600 < " + reply(config.productId)));
  EXPECT_TRUE(has("COM3 57600 < 5 \"Ready\""));
  EXPECT_TRUE(has("COM3 115200 rate 115200"));
  EXPECT_TRUE(has("COM3 115200 < 7 \"SUCCESS\""));
  EXPECT_TRUE(has("COM3 57600 read time-out 11000 ms"));
  EXPECT_TRUE(has("COM3 57600 < " + reply(config.bootText)));
  EXPECT_EQ(events.back(), "COM3 57600 close");

  ASSERT_EQ(unit.images().size(), 2u);
  size_t image = 0;
  uint32_t sum = 0;
  long bytes = 0;
  for (const std::string &event : events) {
    unsigned long count = 0, blockSum = 0;
    if (sscanf(event.c_str(), "COM3 115200 > %lu data, byte sum %lu", &count, &blockSum) == 2) {
      sum += static_cast<uint32_t>(blockSum);
      bytes += static_cast<long>(count);
    } else if (bytes > 0 && event.rfind("COM3 115200 > ", 0) == 0) {
      // The last block of an image, short enough to be shown whole.
      const std::string data = unquote(event.substr(event.find('"')));
      EXPECT_EQ(std::to_string(data.size()), event.substr(14, event.find(' ', 14) - 14));
      for (const char c : data) sum += static_cast<unsigned char>(c);
      bytes += static_cast<long>(data.size());
    } else if (event == "COM3 115200 < 7 \"SUCCESS\"") {
      ASSERT_LT(image, unit.images().size());
      EXPECT_EQ(bytes, unit.images()[image].announcedLength) << "image " << image + 1;
      EXPECT_EQ(sum + unit.images()[image].announcedChecksum, 0u) << "image " << image + 1;
      image++;
      sum = 0;
      bytes = 0;
    }
  }
  EXPECT_EQ(image, 2u);
}

// Which ports a run with --port (and --baud) touches and what it sends, on
// the virtual clock: only the port given is ever opened; with --baud no
// detection command is sent, for an update as for --info; a port that can't
// be opened gives -1 and one where no unit answers gives 1, without a prompt
// or a key wait; --info announces nothing and names the unit's role; a
// command line that can't be run gives 64 and touches no port, with nothing
// on the transcript. A unit on COM2 answers at 57600, one on COM3 at 9600.
TEST_F(RunLogTest, APortGivenIsTheOnlyOneTouched) {
  const std::string unknownProduct = "Korvex 6G SDI EXTENDER XX\r\n>>";
  const struct {
    std::vector<const char *> args;
    int port;  // the only one touched, 0 for none
    int exit;
    std::vector<std::string> com3Hears;  // the commands, in order
    const char *shown = nullptr;         // a line the transcript holds
    const char *productId = nullptr;     // COM3's answer to "fw -p", a TX unit's if none
  } cases[] = {
      {{"--port", "3", "--info", "--no-wait"},
       3,
       0,
       {"%%%help -c version", "%%%fw -v", "%%%fw -p"},
       "  Role             : TX\r\n"},
      {{"--port=COM3", "--baud", "9600", "--info"},
       3,
       0,
       {"%%%fw -v", "%%%fw -p", "%%%fw -p", "%%%fw -p"},
       "  Role             : RX\r\n",
       VALIDATE_RX_PRODUCT_ID_STRING},
      {{"--port", "3", "--baud", "57600", "--info"}, 3, 1, {}},
      {{"--port", "3", "--baud", "9600", "--no-wait"},
       3,
       1,
       {"%%%fw -v", "%%%fw -p", "%%%fw -p", "%%%fw -p", "%%%fw -p"},
       "Checking product .......... FAILED\r\n",
       unknownProduct.c_str()},
      {{"--port", "4", "--no-wait"}, 4, -1, {}},
      {{"--port", "5", "--no-wait"}, 5, 1, {}},
      {{"--port", "3", "--baud", "4000000", "--no-wait"}, 3, -1, {}},
      {{"--baud", "9600", "--no-wait"}, 0, 64, {}},
      {{"--port", "3", "--rate", "9600"}, 0, 64, {}},
      {{"--port", "3", "--log", "no-such-folder/run.log"}, 0, 64, {}},
  };
  for (const auto &c : cases) {
    std::vector<const char *> argv = {"TessaronFwUpgrade"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(CommandLine_Text(static_cast<int>(argv.size()), argv.data()));
    SimTest::SetUp();  // the simulated ports and the link afresh, in the same folder
    UnitConfig other, pinned;
    other.baudRate = 57600;
    pinned.baudRate = 9600;
    if (c.productId != nullptr) pinned.productId = c.productId;
    UnitModel otherUnit(other), pinnedUnit(pinned);
    Sim_AddPort(2, &otherUnit);
    Sim_AddPort(3, &pinnedUnit);
    Sim_HoldPort(4);
    Sim_AddPort(5, nullptr);
    Sim_SetPortRates(3, {9600, 57600, 115200});
    EXPECT_EQ(fwupgradeMainWithArguments(static_cast<int>(argv.size()), argv.data()), c.exit);
    EXPECT_EQ(Sim_GetchCount(), 0);
    EXPECT_EQ(console().find("Enter the COM port number"), std::string::npos);
    for (const SimWireEvent &event : Sim_WireLog()) {
      EXPECT_EQ(event.port, c.port) << "port " << event.port << " touched";
    }
    EXPECT_EQ(pinnedUnit.commands(), c.com3Hears);
    EXPECT_TRUE(otherUnit.commands().empty());
    EXPECT_TRUE(pinnedUnit.images().empty());
    if (c.shown != nullptr) {
      EXPECT_NE(console().find(c.shown), std::string::npos) << console();
    }
    if (c.exit == 64) {
      EXPECT_EQ(console(), "");
      EXPECT_EQ(Sim_CallCount("CreateFileA"), 0);
    }
  }
}

// The document kept ready for an interrupt follows the record, and the
// interrupt only fills in its signal and exit code; once the run's own
// document is written, an interrupt at the key wait leaves it so. Unit text
// of any bytes is a JSON string the file holds in plain ASCII.
TEST_F(RunLogTest, AnInterruptedRunLeavesADocumentThatSaysSo) {
  writeWholeFile("run.json", "an earlier report");
  std::string reason;
  ASSERT_EQ(RunReport_Open("run.json", &reason), 1) << reason;
  const char *const argv[] = {"TessaronFwUpgrade", "--report", "run.json", "caf\xC3\xA9\xFF"};
  RunRecord_Begin(4, argv);
  RunRecord_SetPort(3, 57600, 0);
  UnitIdentity unit = {7, 1, 0, 8, "K\x1B[2J\xC3", 1, 3, 1, 1, 0};
  RunRecord_SetUnitBefore(unit, "Korvex 6G SDI EXTENDER TX\r\n>>");
  RunRecord_ImageAnnounced("logic", "logic.mcs", 808152, 4191911374u);
  EXPECT_EQ(readWholeFile("run.json"), "an earlier report") << "nothing written before the end";

  RunReport_WriteInterrupted("SIGHUP", 129);
  const std::string text = readWholeFile("run.json");
  for (const char c : text) {
    ASSERT_TRUE(c == '\n' || (c >= ' ' && c <= '~')) << "byte " << static_cast<int>(c);
  }
  nlohmann::json report = validReport("run.json");
  EXPECT_EQ(report["result"], "interrupted");
  EXPECT_EQ(report["outcome"], "interrupted by SIGHUP");
  EXPECT_EQ(report["exit_code"], 129);
  EXPECT_TRUE(report["end"].is_null());
  EXPECT_EQ(report["images"][0]["acknowledged"], false);
  EXPECT_EQ(report["images"][0]["checksum"], 4191911374u);
  // Valid UTF-8 stays as it is; a stray byte is the character of its value.
  EXPECT_EQ(report["command"][3], "caf\xC3\xA9\xC3\xBF");
  EXPECT_EQ(report["unit_before"]["logic_model"], "K\x1B[2J\xC3\x83");
  EXPECT_EQ(report["unit_before"]["identification"], "Korvex 6G SDI EXTENDER TX\r\n>>");

  // The record changes: so does the document kept ready.
  RunRecord_ImageAcknowledged();
  RunReport_WriteInterrupted("SIGINT", -1);
  report = validReport("run.json");
  EXPECT_EQ(report["images"][0]["acknowledged"], true);
  EXPECT_EQ(report["outcome"], "interrupted by SIGINT");
  EXPECT_EQ(report["exit_code"], -1);

  RunRecord_End("failed", "the update failed", 1);
  ASSERT_EQ(RunReport_Write(&reason), 1) << reason;
  RunReport_WriteInterrupted("SIGTERM", 1);
  report = validReport("run.json");
  EXPECT_EQ(report["result"], "failed");
  EXPECT_EQ(report["exit_code"], 1);
  EXPECT_FALSE(report["end"].is_null());
  RunReport_Close();
  EXPECT_EQ(entries(), std::set<std::string>{"run.json"});

  // A folder that went away while the run went on: the document is not
  // written, and says why.
  std::filesystem::create_directory("gone");
  ASSERT_EQ(RunReport_Open("gone/run.json", &reason), 1) << reason;
  std::filesystem::remove("gone");
  EXPECT_EQ(RunReport_Write(&reason), 0);
  EXPECT_EQ(reason, "No such file or directory");
  RunReport_Close();
}

// A report that could not be written, or that would write over the log or
// the trace under any name, refuses the command line before a port is
// touched; the log this run made goes again, an earlier one stays whole.
TEST_F(RunLogTest, AReportThatCannotBeItsOwnFileIsRefused) {
  const struct {
    std::vector<const char *> args;
    const char *reason;
  } cases[] = {
      {{"--report", "no-folder/r.json"},
       "--report: no-folder/r.json cannot be written: No such file or directory"},
      {{"--report", "."}, "--report: . cannot be written: Not a regular file"},
      {{"--log", "run.log", "--report", "log-link"}, "--report: log-link is the file of --log"},
      {{"--trace", "wire.trace", "--report", "trace-link"},
       "--report: trace-link is the file of --trace"},
  };
  writeWholeFile("run.log", "an earlier run\n");
  std::filesystem::create_symlink("run.log", "log-link");
  std::filesystem::create_symlink("wire.trace", "trace-link");
  for (const auto &c : cases) {
    std::vector<const char *> argv = {"TessaronFwUpgrade", "--port", "3"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(CommandLine_Text(static_cast<int>(argv.size()), argv.data()));
    SimTest::SetUp();
    UnitModel unit{UnitConfig()};
    Sim_AddPort(3, &unit);
    testing::internal::CaptureStderr();
    EXPECT_EQ(fwupgradeMainWithArguments(static_cast<int>(argv.size()), argv.data()), 64);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string("ERROR: ") + c.reason + "\n"), std::string::npos) << err;
    EXPECT_TRUE(Sim_WireLog().empty());
    EXPECT_EQ(readWholeFile("run.log"), "an earlier run\n");
    // (The trace's own file, made by its open, is the trace's business.)
    std::set<std::string> left = entries();
    left.erase("wire.trace");
    EXPECT_EQ(left, (std::set<std::string>{"run.log", "log-link", "trace-link"}));
  }
}

}  // namespace
