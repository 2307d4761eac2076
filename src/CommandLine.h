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

struct CommandLineOptions {
  int portNumber;         // --port: the only port used; 0 when detection scans them all
  int baudRate;           // --baud: the unit's console rate, no detection; 0 when not given
  BOOL info;              // --info: identify the unit, show what would be written, stop
  std::string logPath;    // --log: the run's record is appended here; "" for none
  std::string tracePath;  // --trace: every byte on the line; "" for none
  BOOL noWait;            // --no-wait: no key press at the end
  BOOL listPorts;         // --list-ports: show the COM ports, touch none
  BOOL help;              // --help: the usage on standard output
  BOOL version;           // --version: the version on standard output
  // A station: several units at once, each by a run of its own.
  BOOL station;                   // --all, or --port with a list
  std::vector<int> stationPorts;  // --port 3,5,7: the ports in the order given
  BOOL allPorts;                  // --all: every port where a unit answers
  std::string logDir;             // --log-dir: each unit's log and report here; "" for none
  std::string reportPath;         // --report: the station's document; "" for none
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
