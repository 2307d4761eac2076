// The tool's command line: long options in the GNU manner ("--port 3" or
// "--port=3"), read into one record before anything else happens. Reading
// it touches nothing: no port, no file; whether a log or a trace file can be
// written is found out by start-up, which opens them before any port.
//
// Started without arguments, the tool runs exactly as it always has:
// detection over every port, the operator's prompts when nothing answers,
// and a key press at the end.
#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <string>
#include <vector>

#include "platform/Win32Types.h"

// The exit code of a command line that can't be run: an unknown option, a
// bad value, a log or trace file that can't be opened (sysexits' EX_USAGE).
#define COMMAND_LINE_EXIT_USAGE 64

// The rates a unit's console may be given with --baud, as on the manual path.
#define COMMAND_LINE_MIN_BAUD_RATE 50
#define COMMAND_LINE_MAX_BAUD_RATE 4000000

// What each option means is described once, in the option table of
// CommandLine.cpp, which also writes the usage.
struct CommandLineOptions {
  int portNumber = 0;      // --port: the only port used (a device path's number: PortNames.h);
                           // 0 when detection scans them all
  int baudRate = 0;        // --baud: the unit's console rate, no detection; 0 when not given
  BOOL info = 0;           // --info
  std::string logPath;     // --log; "" for none
  std::string tracePath;   // --trace; "" for none
  std::string reportPath;  // --report; "" for none
  BOOL noWait = 0;         // --no-wait
  BOOL listPorts = 0;      // --list-ports
  BOOL help = 0;           // --help
  BOOL version = 0;        // --version
  // A station: several units at once, each by a run of its own.
  BOOL station = 0;               // --all, or --port with a list
  std::vector<int> stationPorts;  // --port 3,5,7: the ports in the order given
  BOOL allPorts = 0;              // --all
  std::string logDir;             // --log-dir; "" for none
};

// Reads argv[1..argc-1] into *options. 1 when the command line can be run;
// 0 with the reason, one line naming the argument, in *reason. --help and
// --version end the reading where they stand: what follows them is not
// looked at. Every other option may be given once, in any order.
BOOL CommandLine_Parse(int argc, const char *const *argv, CommandLineOptions *options,
                       std::string *reason);

// What --help prints (and a bad command line after its reason).
const char *CommandLine_Usage(void);

// The command line as given, quoted where an argument holds a blank, for
// the run log.
std::string CommandLine_Text(int argc, const char *const *argv);

#endif
