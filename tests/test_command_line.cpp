// The command line read into its record: what each form gives, and what is
// refused with which reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "PortNames.h"
#include "platform/PortName.h"

namespace {

struct Expected {
  int port = 0;
  int baud = 0;
  bool info = false;
  std::string log;
  std::string trace;
  std::string report;
  bool noWait = false;
  bool listPorts = false;
  bool help = false;
  bool version = false;
  std::vector<int> station;  // a station's named ports
  bool all = false;
  std::string logDir;
};

Expected with(void (*set)(Expected &)) {
  Expected e;
  set(e);
  return e;
}

struct Case {
  std::vector<const char *> args;  // after the program's name
  Expected expected;               // when read
  const char *refusal;             // nullptr when read; else the whole reason
};

const Case kCases[] = {
    // Read.
    {{}, {}, nullptr},
    {{"--port", "3"}, with([](Expected &e) { e.port = 3; }), nullptr},
    {{"--port=COM41"}, with([](Expected &e) { e.port = 41; }), nullptr},
    {{"--port", "cOm7"}, with([](Expected &e) { e.port = 7; }), nullptr},
    {{"--port", "999999"}, with([](Expected &e) { e.port = 999999; }), nullptr},
    {{"--baud=50", "--port", "12"}, with([](Expected &e) { e.port = 12, e.baud = 50; }), nullptr},
    {{"--port", "1", "--baud", "4000000"},
     with([](Expected &e) { e.port = 1, e.baud = 4000000; }),
     nullptr},
    {{"--no-wait", "--trace=t.txt", "--info", "--log", "run log.txt"},
     with([](Expected &e) {
       e.info = e.noWait = true;
       e.log = "run log.txt";
       e.trace = "t.txt";
     }),
     nullptr},
    {{"--log", "./-info"}, with([](Expected &e) { e.log = "./-info"; }), nullptr},
    {{"--list-ports", "--log", "l.txt"},
     with([](Expected &e) { e.listPorts = true, e.log = "l.txt"; }),
     nullptr},
    {{"--report=r.json", "--list-ports"},
     with([](Expected &e) { e.listPorts = true, e.report = "r.json"; }),
     nullptr},
    {{"--"}, {}, nullptr},
    // A station: a list of ports (any comma makes one, a single port too),
    // or every port.
    {{"--port", "3,com5,COM41"},
     with([](Expected &e) {
       e.station = {3, 5, 41};
     }),
     nullptr},
    {{"--port=7,", "--info"},
     Expected{},
     "--port: \"\" in \"7,\" is no COM port (give "
     "each by its number, 3 or COM3, from 1 without "
     "leading zeros, separated by commas)"},
    {{"--all", "--log-dir", "units", "--report=station.json", "--log", "station.log"},
     with([](Expected &e) {
       e.all = true, e.logDir = "units", e.report = "station.json", e.log = "station.log";
     }),
     nullptr},
    {{"--port", "3,4", "--no-wait", "--info"},
     with([](Expected &e) {
       e.station = {3, 4}, e.noWait = e.info = true;
     }),
     nullptr},
    // --help and --version end the reading: what follows is not looked at.
    {{"--help", "--bogus"}, with([](Expected &e) { e.help = true; }), nullptr},
    {{"--no-wait", "--version", "--port"},
     with([](Expected &e) { e.noWait = e.version = true; }),
     nullptr},

    // Refused.
    {{"--bogus", "--help"}, {}, "unknown option --bogus"},
    {{"--Port", "3"}, {}, "unknown option --Port"},
    {{"--por", "3"}, {}, "unknown option --por"},
    {{"-h"}, {}, "unknown option -h (the options are long: --help)"},
    {{"COM3"}, {}, "unexpected argument \"COM3\": the tool takes options only"},
    {{"--", "--info"}, {}, "unexpected argument \"--info\": the tool takes options only"},
    {{"-"}, {}, "unexpected argument \"-\": the tool takes options only"},
    {{"--port"}, {}, "--port needs a value"},
    {{"--port", "3", "--port", "4"}, {}, "--port is given twice"},
    {{"--info", "--info"}, {}, "--info is given twice"},
    {{"--info=yes"}, {}, "--info takes no value"},
    {{"--port=0"},
     {},
     "--port: \"0\" is no COM port (give its number, 3 or COM3, from 1 without leading zeros)"},
    {{"--port", "03"},
     {},
     "--port: \"03\" is no COM port (give its number, 3 or COM3, from 1 without leading zeros)"},
    {{"--port", "COM"},
     {},
     "--port: \"COM\" is no COM port (give its number, 3 or COM3, from 1 without leading zeros)"},
    {{"--port", "1000000"},
     {},
     "--port: \"1000000\" is no COM port (give its number, 3 or COM3, from 1 without leading "
     "zeros)"},
    {{"--port", "\\\\.\\COM3"},
     {},
     "--port: \"\\\\.\\COM3\" is no COM port (give its number, 3 or COM3, from 1 without leading "
     "zeros)"},
    {{"--port", "ttyUSB0"},
     {},
     "--port: \"ttyUSB0\" is no COM port (give its number, 3 or COM3, from 1 without leading "
     "zeros)"},
    {{"--port", "3 "},
     {},
     "--port: \"3 \" is no COM port (give its number, 3 or COM3, from 1 without leading zeros)"},
    {{"--baud", "9600"}, {}, "--baud needs --port: a rate is the rate of one port"},
    {{"--port", "3", "--baud", "49"}, {}, "--baud: \"49\" is no rate from 50 to 4000000 baud"},
    {{"--port", "3", "--baud=4000001"},
     {},
     "--baud: \"4000001\" is no rate from 50 to 4000000 baud"},
    {{"--port", "3", "--baud", "+9600"},
     {},
     "--baud: \"+9600\" is no rate from 50 to 4000000 baud"},
    {{"--port", "3", "--baud", "9600x"},
     {},
     "--baud: \"9600x\" is no rate from 50 to 4000000 baud"},
    {{"--port", "3", "--baud="}, {}, "--baud: \"\" is no rate from 50 to 4000000 baud"},
    {{"--port", "3", "--baud", "000000050"},
     {},
     "--baud: \"000000050\" is no rate from 50 to 4000000 baud (written without leading zeros)"},
    {{"--port", "3", "--baud", "99999999999"},
     {},
     "--baud: \"99999999999\" is no rate from 50 to 4000000 baud"},
    // An option that lost its value does not take the next option as one,
    // nor anything else that begins with a dash; a value is never echoed raw.
    {{"--log", "--info", "--port", "3"},
     {},
     "--log: \"--info\" looks like an option, not a value (a file whose name begins with \"-\" "
     "is written ./-name)"},
    {{"--trace=-t"},
     {},
     "--trace: \"-t\" looks like an option, not a value (a file whose name begins with \"-\" "
     "is written ./-name)"},
    {{"--port", "-3"},
     {},
     "--port: \"-3\" looks like an option, not a value (a file whose name begins with \"-\" is "
     "written ./-name)"},
    {{"--port", "3", "--baud", "--info"},
     {},
     "--baud: \"--info\" looks like an option, not a value (a file whose name begins with \"-\" "
     "is written ./-name)"},
    {{"--port", "3\n\x1b[31m"},
     {},
     "--port: \"3\\x0A\\x1B[31m\" is no COM port (give its number, 3 or COM3, from 1 without "
     "leading zeros)"},
    {{"--log="}, {}, "--log: the file name is empty"},
    {{"--trace", ""}, {}, "--trace: the file name is empty"},
    {{"--report", "--info"},
     {},
     "--report: \"--info\" looks like an option, not a value (a file whose name begins with "
     "\"-\" is written ./-name)"},
    {{"--list-ports", "--port", "3"},
     {},
     "--list-ports cannot go with --port: listing the ports uses none of them"},
    {{"--port", "3,5,03"},
     {},
     "--port: \"03\" in \"3,5,03\" is no COM port (give each by its number, 3 or COM3, from 1 "
     "without leading zeros, separated by commas)"},
    {{"--port", "3,COM3"}, {}, "--port: COM3 is named twice in \"3,COM3\""},
    {{"--all", "--port", "3"}, {}, "--all cannot go with --port: --all looks on every port"},
    {{"--port", "3,4", "--baud", "9600"},
     {},
     "--baud cannot go with a station (--all or a list of ports): each unit's rate is found on "
     "its own port"},
    {{"--all", "--trace", "t"},
     {},
     "--trace cannot go with a station (--all or a list of ports): it has no serial line of its "
     "own; --log-dir keeps each unit's record"},
    {{"--port", "3", "--log-dir", "units"},
     {},
     "--log-dir is for a station: give --all or a list of ports (--port 3,5)"},
    {{"--list-ports", "--all"},
     {},
     "--list-ports cannot go with --all: listing the ports uses none of them"},
    {{"--info", "--list-ports"},
     {},
     "--list-ports cannot go with --info: listing the ports uses none of them"},
};

TEST(CommandLineTest, ReadsEveryFormAndRefusesWithTheReason) {
  for (const Case &c : kCases) {
    std::vector<const char *> argv = {"TessaronFwUpgrade"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::string text = CommandLine_Text(static_cast<int>(argv.size()), argv.data());
    SCOPED_TRACE(text);
    CommandLineOptions options;
    std::string reason = "left over";
    const BOOL read =
        CommandLine_Parse(static_cast<int>(argv.size()), argv.data(), &options, &reason);
    if (c.refusal != nullptr) {
      EXPECT_EQ(read, 0);
      EXPECT_EQ(reason, c.refusal);
      continue;
    }
    ASSERT_EQ(read, 1) << reason;
    EXPECT_EQ(reason, "");
    const Expected &e = c.expected;
    EXPECT_EQ(options.portNumber, e.port);
    EXPECT_EQ(options.baudRate, e.baud);
    EXPECT_EQ(options.info != 0, e.info);
    EXPECT_EQ(options.logPath, e.log);
    EXPECT_EQ(options.tracePath, e.trace);
    EXPECT_EQ(options.reportPath, e.report);
    EXPECT_EQ(options.noWait != 0, e.noWait);
    EXPECT_EQ(options.listPorts != 0, e.listPorts);
    EXPECT_EQ(options.help != 0, e.help);
    EXPECT_EQ(options.version != 0, e.version);
    EXPECT_EQ(options.stationPorts, e.station);
    EXPECT_EQ(options.allPorts != 0, e.all);
    EXPECT_EQ(options.station != 0, e.all || !e.station.empty());
    EXPECT_EQ(options.logDir, e.logDir);
  }
}

// A device path for --port (anything with a "/") is carried by a number of
// its own above the COM numbers, which the messages turn back into the path.
TEST(CommandLineTest, APortPathIsCarriedByANumberAboveTheComPorts) {
  int numbers[3] = {};
  const char *const paths[3] = {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0",
                                "/dev/ttyUSB0"};
  for (int k = 0; k < 3; k++) {
    const char *argv[] = {"tool", "--port", paths[k]};
    CommandLineOptions options;
    std::string reason;
    ASSERT_EQ(CommandLine_Parse(3, argv, &options, &reason), 1) << reason;
    numbers[k] = options.portNumber;
    EXPECT_TRUE(portNumberIsPath(numbers[k])) << numbers[k];
    EXPECT_STREQ(PortNames_Path(numbers[k]), paths[k]);
  }
  EXPECT_NE(numbers[0], numbers[1]);
  EXPECT_EQ(numbers[0], numbers[2]);  // the same path, the same port

  // Messages name a COM number as ever, and a path escaped, with the
  // device it led to once opened.
  EXPECT_EQ(PortNames_Text(5), "COM5");
  EXPECT_EQ(PortNames_Path(5), nullptr);
  const int odd = PortNames_OfPath("/tmp/\x1B[2Jport\n");
  EXPECT_EQ(PortNames_TextWithDevice(odd), "/tmp/\\x1B[2Jport\\x0A");
  PortNames_SetDevice(odd, "/dev/pts/7");
  EXPECT_EQ(PortNames_TextWithDevice(odd), "/tmp/\\x1B[2Jport\\x0A (/dev/pts/7)");

  // The table holds PORT_PATH_COUNT paths; one more names no port.
  int last = 0;
  for (int k = 0; k < PORT_PATH_COUNT; k++) {
    last = PortNames_OfPath("/dev/ttyUSB" + std::to_string(k + 100));
  }
  EXPECT_EQ(last, 0);
}

// The run log shows the command line so that it could be typed again.
// A line break in an argument can't forge a line of the record.
TEST(CommandLineTest, TextQuotesArgumentsWithBlanksAndEscapesControls) {
  const char *argv[] = {"tool", "--log", "run log.txt", "", "--trace=t\nresult  ok\xC2\x9B"};
  EXPECT_EQ(CommandLine_Text(5, argv),
            "tool --log \"run log.txt\" \"\" \"--trace=t\\x0Aresult  ok\\xC2\\x9B\"");
}

}  // namespace
