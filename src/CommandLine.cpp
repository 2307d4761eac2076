#include "CommandLine.h"

#include <string.h>

#include <algorithm>
#include <set>

#include "PortNames.h"
#include "TextHelpers.h"
#include "platform/PortName.h"

namespace {

// What an option's value is, and so how it is read.
enum ValueKind {
  VALUE_NONE,  // a switch
  VALUE_PORT,  // a COM port: 3, COM3, com3, or a device path
  VALUE_RATE,  // a rate in baud
  VALUE_FILE,  // a file name
};

// The options: each is described here once, and this table drives both
// the reading and the usage.
struct OptionSpec {
  const char *name;       // without the leading "--"
  const char *valueName;  // in the usage; "" for a switch
  ValueKind kind;
  BOOL CommandLineOptions::*flag;         // a switch's field
  std::string CommandLineOptions::*path;  // a file's field
  const char *help;                       // the usage's text; '\n' starts a line of its own
};

const OptionSpec kOptions[] = {
    {"port", "N", VALUE_PORT, nullptr, nullptr,
     "use COM port N (3 or COM3) and no other; no prompt when the\nunit does not answer there. On "
     "Linux N may be the device's\npath: /dev/ttyUSB0, /dev/serial/by-id/... A list (3,5,COM7)\n"
     "makes a station: the units on those ports updated at once"},
    {"baud", "N", VALUE_RATE, nullptr, nullptr,
     "the unit's console rate, 50 to 4000000 (only with --port):\nthe port is opened at this rate "
     "without any detection"},
    {"info", "", VALUE_NONE, &CommandLineOptions::info, nullptr,
     "identify the unit and show its versions and the images this\nrelease would write to it; "
     "nothing is written to the unit"},
    {"log", "FILE", VALUE_FILE, nullptr, &CommandLineOptions::logPath,
     "append a record of the run to FILE"},
    {"trace", "FILE", VALUE_FILE, nullptr, &CommandLineOptions::tracePath,
     "write every byte on the serial line, with times, to FILE"},
    {"report", "FILE", VALUE_FILE, nullptr, &CommandLineOptions::reportPath,
     "write the run's record to FILE as one JSON document at the end\n(docs/report.schema.json); "
     "a station's holds every unit's"},
    {"no-wait", "", VALUE_NONE, &CommandLineOptions::noWait, nullptr,
     "end without waiting for a key press"},
    {"list-ports", "", VALUE_NONE, &CommandLineOptions::listPorts, nullptr,
     "list the COM ports, what each leads to, which adapter it is\n(serial number, ...) and which "
     "another program holds;\nnothing is sent to any port"},
    {"all", "", VALUE_NONE, &CommandLineOptions::allPorts, nullptr,
     "a station of every COM port where a unit answers"},
    {"log-dir", "DIR", VALUE_FILE, nullptr, &CommandLineOptions::logDir,
     "a station: each unit's run log and report in DIR\n(DIR/unit-COM5.log, DIR/unit-COM5.json)"},
    {"help", "", VALUE_NONE, &CommandLineOptions::help, nullptr, "show this text"},
    {"version", "", VALUE_NONE, &CommandLineOptions::version, nullptr,
     "show the tool's version and the images it carries"},
};

const OptionSpec *optionNamed(const std::string &name) {
  for (const OptionSpec &option : kOptions) {
    if (name == option.name) {
      return &option;
    }
  }
  return nullptr;
}

// A number as the command line writes one: decimal digits from 1 without
// leading zeros (as a port's name has it: COM03 names no port) and no sign
// or blank, at most nine digits; -1 when the text is not one.
long decimal(const std::string &text) {
  if (text.empty() || text.size() > 9 || text[0] == '0') {
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

// The port a --port value names: "3" or "COM3" in any case, or a device
// path (anything with a "/": /dev/ttyUSB0, /dev/serial/by-id/...), which is
// opened by that path; 0 when it names none.
int portOfValue(const std::string &value) {
  if (value.find('/') != std::string::npos) {
    return PortNames_OfPath(value);
  }
  const long number = decimal(value);
  if (number > 0) {
    return portNumberInRange(number) ? static_cast<int>(number) : 0;
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

// A value as an error message may echo it: quoted, and escaped so that a
// line break or an escape sequence in it stays visible text.
std::string quoted(const std::string &value) { return "\"" + printableText(value) + "\""; }

// "3,5,COM7": a station's ports, each named once.
BOOL applyPortList(const std::string &value, CommandLineOptions *options, std::string *reason) {
  size_t from = 0;
  for (;;) {
    const size_t comma = value.find(',', from);
    const std::string item = value.substr(from, comma == std::string::npos ? comma : comma - from);
    const int port = portOfValue(item);
    if (port == 0) {
      return refuse(reason, "--port: " + quoted(item) + " in " + quoted(value) +
                                " is no COM port (give each by its number, 3 or COM3, from 1 "
                                "without leading zeros, separated by commas)");
    }
    if (std::find(options->stationPorts.begin(), options->stationPorts.end(), port) !=
        options->stationPorts.end()) {
      return refuse(reason,
                    "--port: " + PortNames_Text(port) + " is named twice in " + quoted(value));
    }
    options->stationPorts.push_back(port);
    if (comma == std::string::npos) {
      return 1;
    }
    from = comma + 1;
  }
}

// Applies one option's value; 0 with the reason when the value is bad.
BOOL applyValue(const OptionSpec &option, const std::string &value, CommandLineOptions *options,
                std::string *reason) {
  const std::string name = std::string("--") + option.name;
  // An option that lost its value to a slip of the keyboard ("--log
  // --info") would otherwise take the next option as its value and change
  // what the run does.
  if (!value.empty() && value[0] == '-') {
    return refuse(reason, name + ": " + quoted(value) +
                              " looks like an option, not a value (a file whose name begins "
                              "with \"-\" is written ./-name)");
  }
  switch (option.kind) {
    case VALUE_PORT:
      if (value.find(',') != std::string::npos) {
        return applyPortList(value, options, reason);
      }
      options->portNumber = portOfValue(value);
      if (options->portNumber == 0) {
        return refuse(reason, name + ": " + quoted(value) +
                                  " is no COM port (give its number, 3 or COM3, from 1 without "
                                  "leading zeros)");
      }
      return 1;
    case VALUE_RATE: {
      const long rate = decimal(value);
      if (rate < COMMAND_LINE_MIN_BAUD_RATE || rate > COMMAND_LINE_MAX_BAUD_RATE) {
        return refuse(
            reason,
            name + ": " + quoted(value) + " is no rate from " +
                std::to_string(COMMAND_LINE_MIN_BAUD_RATE) + " to " +
                std::to_string(COMMAND_LINE_MAX_BAUD_RATE) + " baud" +
                (value.size() > 1 && value[0] == '0' ? " (written without leading zeros)" : ""));
      }
      options->baudRate = static_cast<int>(rate);
      return 1;
    }
    case VALUE_FILE:
      if (value.empty()) {
        return refuse(reason, name + ": the file name is empty");
      }
      options->*option.path = value;
      return 1;
    case VALUE_NONE:
      break;
  }
  return 1;
}

// The options that can't go together, once all are read.
BOOL combinationUsable(const std::set<std::string> &given, const CommandLineOptions &options,
                       std::string *reason) {
  if (given.count("baud") != 0 && given.count("port") == 0) {
    return refuse(reason, "--baud needs --port: a rate is the rate of one port");
  }
  if (given.count("all") != 0 && given.count("port") != 0) {
    return refuse(reason, "--all cannot go with --port: --all looks on every port");
  }
  if (given.count("list-ports") != 0) {
    for (const char *other : {"port", "baud", "info", "all", "log-dir"}) {
      if (given.count(other) != 0) {
        return refuse(reason, std::string("--list-ports cannot go with --") + other +
                                  ": listing the ports uses none of them");
      }
    }
  }
  if (options.station) {
    // Each unit's run finds its own rate and keeps its own record of its
    // line: a station has no serial line of its own.
    if (given.count("baud") != 0) {
      return refuse(reason,
                    "--baud cannot go with a station (--all or a list of ports): each "
                    "unit's rate is found on its own port");
    }
    if (given.count("trace") != 0) {
      return refuse(reason,
                    "--trace cannot go with a station (--all or a list of ports): it "
                    "has no serial line of its own; --log-dir keeps each unit's record");
    }
  } else {
    if (given.count("log-dir") != 0) {
      return refuse(reason,
                    "--log-dir is for a station: give --all or a list of ports (--port 3,5)");
    }
  }
  return 1;
}

}  // namespace

BOOL CommandLine_Parse(int argc, const char *const *argv, CommandLineOptions *options,
                       std::string *reason) {
  *options = CommandLineOptions{};
  reason->clear();
  std::set<std::string> given;
  bool optionsEnded = false;
  for (int k = 1; k < argc; k++) {
    const std::string argument = argv[k];
    if (argument == "--" && !optionsEnded) {
      optionsEnded = true;  // the usual end of the options; nothing may follow
      continue;
    }
    if (!optionsEnded && argument.size() >= 2 && argument[0] == '-' && argument[1] != '-') {
      return refuse(
          reason, "unknown option " + printableText(argument) + " (the options are long: --help)");
    }
    if (optionsEnded || argument.compare(0, 2, "--") != 0) {
      return refuse(reason,
                    "unexpected argument " + quoted(argument) + ": the tool takes options only");
    }
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(2, equals == std::string::npos ? equals : equals - 2);
    const OptionSpec *option = optionNamed(name);
    if (option == nullptr) {
      return refuse(reason, "unknown option --" + printableText(name));
    }
    if (!given.insert(name).second) {
      return refuse(reason, "--" + name + " is given twice");
    }
    if (option->kind == VALUE_NONE) {
      if (equals != std::string::npos) {
        return refuse(reason, "--" + name + " takes no value");
      }
      options->*option->flag = 1;
      if (option->flag == &CommandLineOptions::help ||
          option->flag == &CommandLineOptions::version) {
        return 1;  // the rest is not looked at
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
    if (!applyValue(*option, value, options, reason)) {
      return 0;
    }
  }
  options->station = options->allPorts || !options->stationPorts.empty();
  return combinationUsable(given, *options, reason);
}

const char *CommandLine_Usage(void) {
  static std::string usage;
  if (!usage.empty()) {
    return usage.c_str();
  }
  usage =
      "usage: TessaronFwUpgrade [options]\n"
      "Updates one unit (TX or RX) of the 6G-SDI extender over a serial line. Without\n"
      "options it looks for the unit on COM1 to COM32 and asks for the port and the\n"
      "rate when it finds none.\n"
      "\n";
  // Each option as "  --name VALUE" in a column of 16, its text beside it
  // and its further lines under that text.
  for (const OptionSpec &option : kOptions) {
    std::string head = std::string("  --") + option.name;
    if (option.valueName[0] != '\0') {
      head += std::string(" ") + option.valueName;
    }
    head.resize(std::max<size_t>(head.size() + 1, 18), ' ');
    usage += head;
    for (const char *c = option.help; *c != '\0'; c++) {
      usage += *c == '\n' ? std::string("\n") + std::string(18, ' ') : std::string(1, *c);
    }
    usage += "\n";
  }
  usage +=
      "\n"
      "Options are written --name VALUE or --name=VALUE, each at most once.\n"
      "Exit codes: 0 updated (with --info: unit identified), 1 update failed or unit\n"
      "not found, 2 restart not confirmed, -1 (255) the port or the rate cannot be\n"
      "used, 64 bad command line or a log, trace or report file that cannot be\n"
      "written. A station exits with 1 when any unit failed, else -1 when a port\n"
      "cannot be used, else 2 when a restart was not confirmed, else 0.\n";
  return usage.c_str();
}

std::string CommandLine_Text(int argc, const char *const *argv) {
  std::string text;
  for (int k = 0; k < argc; k++) {
    // Escaped: a line break in an argument must not forge a line of the
    // run log that shows this text.
    const std::string argument = printableText(argv[k]);
    const bool quotes = argument.empty() || argument.find_first_of(" \t\"") != std::string::npos;
    text += (k > 0 ? " " : "") + (quotes ? "\"" + argument + "\"" : argument);
  }
  return text;
}
