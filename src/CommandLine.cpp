#include "CommandLine.h"

#include <string.h>

#include "platform/PortName.h"

namespace {

enum OptionId {
  OPT_PORT,
  OPT_BAUD,
  OPT_INFO,
  OPT_LOG,
  OPT_TRACE,
  OPT_NO_WAIT,
  OPT_LIST_PORTS,
  OPT_HELP,
  OPT_VERSION,
  OPT_ALL,
  OPT_LOG_DIR,
  OPT_REPORT,
  OPT_COUNT
};

struct OptionSpec {
  const char *name;  // without the leading "--"
  bool takesValue;
};

const OptionSpec kOptions[OPT_COUNT] = {
    {"port", true},     {"baud", true},     {"info", false},       {"log", true},
    {"trace", true},    {"no-wait", false}, {"list-ports", false}, {"help", false},
    {"version", false}, {"all", false},     {"log-dir", true},     {"report", true},
};

// A decimal number of at most nine digits, nothing else (no sign, no
// blank); -1 when the text is not one.
long decimal(const std::string &text) {
  if (text.empty() || text.size() > 9) {
    return -1;
  }
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return -1;
    }
    value = value * 10 + (c - '0');
  }
  return value;
}

// The port a --port value names, by the rule every platform layer uses for
// device names: "3" or "COM3" in any case; 0 when it names none.
int portOfValue(const std::string &value) {
  if (!value.empty() && value[0] >= '0' && value[0] <= '9') {
    return portNumberFromName(("COM" + value).c_str());
  }
  if (value.size() > 3 && (value[0] == 'C' || value[0] == 'c')) {
    return portNumberFromName(value.c_str());
  }
  return 0;
}

BOOL refuse(std::string *reason, const std::string &text) {
  *reason = text;
  return 0;
}

// "3,5,COM7": a station's ports, each named once.
BOOL applyPortList(const std::string &value, CommandLineOptions *options, std::string *reason) {
  size_t from = 0;
  for (;;) {
    const size_t comma = value.find(',', from);
    const std::string item = value.substr(from, comma == std::string::npos ? comma : comma - from);
    const int port = portOfValue(item);
    if (port == 0) {
      return refuse(reason, "--port: \"" + item + "\" in \"" + value +
                                "\" is no COM port (give each by its number, 3 or COM3, from 1 "
                                "without leading zeros, separated by commas)");
    }
    for (const int earlier : options->stationPorts) {
      if (earlier == port) {
        return refuse(
            reason, "--port: COM" + std::to_string(port) + " is named twice in \"" + value + "\"");
      }
    }
    options->stationPorts.push_back(port);
    if (comma == std::string::npos) {
      break;
    }
    from = comma + 1;
  }
  options->station = 1;
  return 1;
}

// Applies one option's value; 0 with the reason when the value is bad.
BOOL applyValue(OptionId id, const std::string &value, CommandLineOptions *options,
                std::string *reason) {
  switch (id) {
    case OPT_PORT:
      if (value.find(',') != std::string::npos) {
        return applyPortList(value, options, reason);
      }
      options->portNumber = portOfValue(value);
      if (options->portNumber == 0) {
        return refuse(reason, "--port: \"" + value +
                                  "\" is no COM port (give its number, 3 or COM3, from 1 without "
                                  "leading zeros)");
      }
      return 1;
    case OPT_BAUD: {
      const long rate = decimal(value);
      if (rate < COMMAND_LINE_MIN_BAUD_RATE || rate > COMMAND_LINE_MAX_BAUD_RATE) {
        return refuse(reason, "--baud: \"" + value + "\" is no rate from " +
                                  std::to_string(COMMAND_LINE_MIN_BAUD_RATE) + " to " +
                                  std::to_string(COMMAND_LINE_MAX_BAUD_RATE) + " baud");
      }
      options->baudRate = static_cast<int>(rate);
      return 1;
    }
    case OPT_LOG:
    case OPT_TRACE:
    case OPT_LOG_DIR:
    case OPT_REPORT:
      if (value.empty()) {
        return refuse(reason, std::string("--") + kOptions[id].name + ": the file name is empty");
      }
      (id == OPT_LOG       ? options->logPath
       : id == OPT_TRACE   ? options->tracePath
       : id == OPT_LOG_DIR ? options->logDir
                           : options->reportPath) = value;
      return 1;
    default:
      return 1;
  }
}

void applySwitch(OptionId id, CommandLineOptions *options) {
  switch (id) {
    case OPT_INFO:
      options->info = 1;
      break;
    case OPT_NO_WAIT:
      options->noWait = 1;
      break;
    case OPT_LIST_PORTS:
      options->listPorts = 1;
      break;
    case OPT_HELP:
      options->help = 1;
      break;
    case OPT_VERSION:
      options->version = 1;
      break;
    case OPT_ALL:
      options->allPorts = 1;
      options->station = 1;
      break;
    default:
      break;
  }
}

// The options that can't go together, once all are read.
BOOL combinationUsable(const bool given[OPT_COUNT], const CommandLineOptions &options,
                       std::string *reason) {
  if (given[OPT_BAUD] && !given[OPT_PORT]) {
    return refuse(reason, "--baud needs --port: a rate is the rate of one port");
  }
  if (given[OPT_ALL] && given[OPT_PORT]) {
    return refuse(reason, "--all cannot go with --port: --all looks on every port");
  }
  if (given[OPT_LIST_PORTS]) {
    for (const OptionId other : {OPT_PORT, OPT_BAUD, OPT_INFO, OPT_ALL, OPT_LOG_DIR, OPT_REPORT}) {
      if (given[other]) {
        return refuse(reason, std::string("--list-ports cannot go with --") + kOptions[other].name +
                                  ": listing the ports uses none of them");
      }
    }
  }
  if (options.station) {
    // Each unit's run finds its own rate, and keeps its own record of the
    // line: a station has no serial line of its own.
    if (given[OPT_BAUD]) {
      return refuse(reason,
                    "--baud cannot go with a station (--all or a list of ports): each "
                    "unit's rate is found on its own port");
    }
    if (given[OPT_TRACE]) {
      return refuse(reason,
                    "--trace cannot go with a station (--all or a list of ports): it "
                    "has no serial line of its own; --log-dir keeps each unit's record");
    }
  } else {
    for (const OptionId stationOnly : {OPT_LOG_DIR, OPT_REPORT}) {
      if (given[stationOnly]) {
        return refuse(reason, std::string("--") + kOptions[stationOnly].name +
                                  " is for a station: give --all or a list of ports (--port 3,5)");
      }
    }
  }
  return 1;
}

}  // namespace

BOOL CommandLine_Parse(int argc, const char *const *argv, CommandLineOptions *options,
                       std::string *reason) {
  *options = CommandLineOptions{};
  reason->clear();
  bool given[OPT_COUNT] = {};
  bool optionsEnded = false;
  for (int k = 1; k < argc; k++) {
    const std::string argument = argv[k];
    if (argument == "--" && !optionsEnded) {
      optionsEnded = true;  // the usual end of the options; nothing may follow
      continue;
    }
    if (!optionsEnded && argument.size() >= 2 && argument[0] == '-' && argument[1] != '-') {
      return refuse(reason, "unknown option " + argument + " (the options are long: --help)");
    }
    if (optionsEnded || argument.compare(0, 2, "--") != 0) {
      return refuse(reason,
                    "unexpected argument \"" + argument + "\": the tool takes options only");
    }
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(2, equals == std::string::npos ? equals : equals - 2);
    int found = -1;
    for (int id = 0; id < OPT_COUNT; id++) {
      if (name == kOptions[id].name) {
        found = id;
      }
    }
    if (found < 0) {
      return refuse(reason, "unknown option --" + name);
    }
    const OptionId id = static_cast<OptionId>(found);
    if (given[id]) {
      return refuse(reason, "--" + name + " is given twice");
    }
    given[id] = true;
    if (!kOptions[id].takesValue) {
      if (equals != std::string::npos) {
        return refuse(reason, "--" + name + " takes no value");
      }
      applySwitch(id, options);
      if (id == OPT_HELP || id == OPT_VERSION) {
        return 1;
      }
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (k + 1 < argc) {
      value = argv[++k];
    } else {
      return refuse(reason, "--" + name + " needs a value");
    }
    if (!applyValue(id, value, options, reason)) {
      return 0;
    }
  }
  if (!options->logPath.empty() && options->logPath == options->reportPath) {
    return refuse(reason, "--log and --report name the same file \"" + options->logPath + "\"");
  }
  if (!options->logPath.empty() && options->logPath == options->tracePath) {
    return refuse(reason, "--log and --trace name the same file \"" + options->logPath + "\"");
  }
  return combinationUsable(given, *options, reason);
}

const char *CommandLine_Usage(void) {
  return "usage: TessaronFwUpgrade [options]\n"
         "Updates one unit (TX or RX) of the 6G-SDI extender over a serial line. Without\n"
         "options it looks for the unit on COM1 to COM32 and asks for the port and the\n"
         "rate when it finds none.\n"
         "\n"
         "  --port N        use COM port N (3 or COM3) and no other; no prompt when the\n"
         "                  unit does not answer there\n"
         "  --baud N        the unit's console rate, 50 to 4000000 (only with --port):\n"
         "                  the port is opened at this rate without any detection\n"
         "  --info          identify the unit and show its versions and the images this\n"
         "                  release would write to it; nothing is written to the unit\n"
         "  --log FILE      append a record of the run to FILE\n"
         "  --trace FILE    write every byte on the serial line, with times, to FILE\n"
         "  --no-wait       end without waiting for a key press\n"
         "  --port A,B,...  a station: update the units on these ports at once, each by a\n"
         "                  run of its own, on one board and with one summary table\n"
         "  --all           a station of every port where a unit answers\n"
         "  --log-dir DIR   a station's units' logs and reports: DIR/COM5.log, COM5.json\n"
         "  --report FILE   a station's document: the units' reports and the totals\n"
         "  --list-ports    list the COM ports, what each leads to and which another\n"
         "                  program holds; nothing is sent to any port\n"
         "  --help          show this text\n"
         "  --version       show the tool's version and the images it carries\n"
         "\n"
         "Options are written --name VALUE or --name=VALUE, each at most once.\n"
         "Exit codes: 0 updated (with --info: unit identified), 1 update failed or unit\n"
         "not found, 2 restart not confirmed, -1 (255) the port or the rate cannot be\n"
         "used, 64 bad command line or a log or trace file that cannot be written.\n";
}

std::string CommandLine_Text(int argc, const char *const *argv) {
  std::string text;
  for (int k = 0; k < argc; k++) {
    const std::string argument = argv[k];
    const bool quoted = argument.empty() || argument.find_first_of(" \t\"") != std::string::npos;
    text += (k > 0 ? " " : "") + (quoted ? "\"" + argument + "\"" : argument);
  }
  return text;
}
