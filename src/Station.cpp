#include "Station.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "Console.h"
#include "PortNames.h"
#include "RunLog.h"
#include "StartUp.h"
#include "platform/Platform.h"

namespace {

// How long the station waits for output before it looks at the interrupts
// and the board again, and how often a terminal board is redrawn.
const DWORD kPollMs = 100;
const uint64_t kRedrawMs = 250;
// The most ports --all looks on.
const int kPortCapacity = 256;
#define PATH_CAPACITY 4096

std::string gOutcome;

struct Station {
  const CommandLineOptions *options;
  std::vector<StationUnit> units;
  std::vector<PlatformProcess *> processes;
  std::vector<std::vector<std::string>> commands;
  std::vector<std::string> reports;  // each unit's report file
  std::vector<std::string> errors;   // each unit's standard error file
  std::vector<StationPassedOver> passedOver;
  std::string folder;  // the private folder
  bool terminal;
  size_t linesDrawn;
  uint64_t lastDrawMs;
  std::vector<int> plainShown;  // the phase each unit's last plain line showed
  bool stopped;
  uint64_t startMs;
  std::string searched;  // --all: how the search ended, once every port has been looked on
};

// --all: once no port is being looked on any more, how many units answered
// and how long the search took.
void noteSearchEnd(Station *station) {
  if (!station->options->allPorts || !station->searched.empty()) {
    return;
  }
  size_t found = 0;
  for (const StationUnit &unit : station->units) {
    if (!unit.ended && unit.phase == STATION_LOOKING) {
      return;
    }
    found += unit.phase != STATION_NO_UNIT && unit.phase != STATION_UNUSABLE ? 1 : 0;
  }
  const uint64_t ms = Platform_GetTickCount64() - station->startMs;
  station->searched = std::to_string(found) + (found == 1 ? " unit" : " units") + " found on " +
                      std::to_string(station->units.size()) + " ports in " +
                      std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
  if (station->terminal) {
    RunLog_Record("search", "%s", station->searched.c_str());
  } else {
    Console_Printf("%s\r\n", station->searched.c_str());
  }
}

// Whether the board shows the unit: with --all only once a unit answered
// on its port (a port without one is not a unit of the station).
bool shown(const Station &station, const StationUnit &unit) {
  if (!station.options->allPorts) {
    return true;
  }
  if (unit.ended) {
    return unit.phase != STATION_NO_UNIT && unit.phase != STATION_UNUSABLE &&
           !(unit.phase == STATION_INTERRUPTED && unit.interruptedIn == STATION_LOOKING);
  }
  return unit.phase != STATION_LOOKING;
}

// The board on a terminal: every line redrawn in place.
void drawTerminal(Station *station, bool force) {
  const uint64_t now = Platform_GetTickCount64();
  if (!force && now - station->lastDrawMs < kRedrawMs) {
    return;
  }
  station->lastDrawMs = now;
  std::string text;
  if (station->linesDrawn > 0) {
    text += "\x1b[" + std::to_string(station->linesDrawn) + "A";
  }
  size_t lines = 0;
  for (const StationUnit &unit : station->units) {
    if (shown(*station, unit)) {
      text += "\r" + StationUnit_BoardLine(unit) + "\x1b[K\r\n";
      lines++;
    }
  }
  if (station->options->allPorts) {
    text += "\r" +
            (station->searched.empty()
                 ? "looking for units on " + std::to_string(station->units.size()) + " ports"
                 : station->searched) +
            "\x1b[K\r\n";
    lines++;
  }
  for (size_t k = lines; k < station->linesDrawn; k++) {
    text += "\x1b[K\r\n";
  }
  station->linesDrawn = lines > station->linesDrawn ? lines : station->linesDrawn;
  // Straight to the screen: the run log gets the plain lines instead.
  Platform_ConsoleWrite(text.data(), text.size());
}

// The board on a pipe or in a file: one line each time a unit's phase
// changes, no figures, no escape codes.
void drawPlain(Station *station) {
  for (size_t k = 0; k < station->units.size(); k++) {
    const StationUnit &unit = station->units[k];
    if (!shown(*station, unit)) {
      continue;
    }
    // A new phase, or a new end (a run that ends in the phase it was in).
    const int phase = static_cast<int>(unit.phase) * 2 + (unit.ended ? 1 : 0);
    if (phase != station->plainShown[k]) {
      station->plainShown[k] = phase;
      const std::string line = StationUnit_PlainLine(unit);
      if (station->terminal) {
        RunLog_Record("unit", "%s", line.c_str());
      } else {
        Console_Printf("%s\r\n", line.c_str());
      }
    }
  }
}

void draw(Station *station, bool force) {
  noteSearchEnd(station);
  if (station->terminal) {
    drawTerminal(station, force);
  }
  drawPlain(station);
}

// The ports --all looks on: every port there is that no other program
// holds. The ones passed over are noted; ports without a device are not
// ports of this station at all.
BOOL portsOfAll(Station *station) {
  std::vector<PlatformPortInfo> ports(kPortCapacity);
  const int found = Platform_ListPorts(ports.data(), kPortCapacity);
  if (found < 0) {
    Console_Error("ERROR: the COM ports cannot be listed: %s", Platform_LastErrorText());
    return 0;
  }
  for (int k = 0; k < found && k < kPortCapacity; k++) {
    const PlatformPortInfo &port = ports[k];
    // An adapter that no COM number reaches is a port by its path.
    const int number = port.number > 0 ? port.number : PortNames_OfPath(port.device);
    if (number == 0) {
      continue;
    }
    const std::string name = PortNames_Text(number);
    if (port.held) {
      station->passedOver.push_back(
          {name, port.note[0] != '\0' ? port.note : "held by another program"});
    } else if (port.note[0] != '\0' && strncmp(port.note, "no device", 9) != 0) {
      station->passedOver.push_back({name, port.note});
    } else if (port.note[0] == '\0') {
      station->units.push_back(StationUnit_New(number));
    }
  }
  return 1;
}

// A unit's file in `folder`: "unit-COM5.log". Not "COM5.log": on Windows
// a name of COM1 to COM9, whatever its extension, is that serial port
// itself, so the unit's record would be written to (and a reader would
// wait on) the unit's own line.
// A port named by its path gets a name of its path's letters, digits, '.',
// '-' and '_', every other byte as '_' ("unit-_dev_ttyUSB0.log").
std::string unitFile(const std::string &folder, const StationUnit &unit, const char *extension) {
  const char *path = PortNames_Path(unit.portNumber);
  std::string name = path != nullptr ? path : unit.port;
  for (char &c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    c = plain ? c : '_';
  }
  return folder + "/unit-" + name + extension;
}

// Starts the run of every unit.
void startRuns(Station *station, const std::string &self) {
  const CommandLineOptions &options = *station->options;
  const std::string reportDir = options.logDir.empty() ? station->folder : options.logDir;
  for (StationUnit &unit : station->units) {
    const char *path = PortNames_Path(unit.portNumber);
    std::vector<std::string> command = {
        self, "--port", path != nullptr ? path : std::to_string(unit.portNumber), "--no-wait"};
    if (options.info) {
      command.push_back("--info");
    }
    if (!options.logDir.empty()) {
      command.insert(command.end(), {"--log", unitFile(options.logDir, unit, ".log")});
    }
    station->reports.push_back(unitFile(reportDir, unit, ".json"));
    command.insert(command.end(), {"--report", station->reports.back()});
    station->errors.push_back(unitFile(station->folder, unit, ".err"));
    std::vector<const char *> argv;
    for (const std::string &argument : command) {
      argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    unit.startedMs = Platform_GetTickCount64();
    PlatformProcess *process = Platform_StartProcess(argv.data(), station->errors.back().c_str());
    if (process == nullptr) {
      const int why = errno;
      FILE *err = fopen(station->errors.back().c_str(), "a");
      if (err != nullptr) {
        fprintf(err, "ERROR: the run for %s could not be started: %s\n", unit.port.c_str(),
                strerror(why));
        fclose(err);
      }
      unit.endedMs = unit.startedMs;
      StationUnit_End(&unit, 1, 0);
    }
    station->processes.push_back(process);
    station->commands.push_back(command);
    station->plainShown.push_back(-1);
  }
}

// Once an interrupt has come: every run still going is stopped, once.
void stopOnInterrupt(Station *station) {
  if (Platform_InterruptCaught() == 0 || station->stopped) {
    return;
  }
  station->stopped = true;
  for (PlatformProcess *process : station->processes) {
    if (process != nullptr) {
      Platform_StopProcess(process);
    }
  }
}

// Reads the runs' output until every run has ended; an interrupt stops
// them all, as an interrupt stops a single run.
void watchRuns(Station *station) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    size_t running = 0;
    for (PlatformProcess *process : station->processes) {
      running += process != nullptr ? 1 : 0;
    }
    if (running == 0) {
      return;
    }
    stopOnInterrupt(station);
    const int ready = Platform_WaitForOutput(station->processes.data(),
                                             static_cast<int>(station->processes.size()), kPollMs);
    // Ctrl-C at a terminal reaches the runs as it reaches the station: one
    // that ended of it during the wait ended interrupted.
    stopOnInterrupt(station);
    if (ready >= 0) {
      StationUnit &unit = station->units[ready];
      const long n = Platform_ReadOutput(station->processes[ready], buffer.data(), buffer.size());
      if (n > 0) {
        unit.transcript.append(buffer.data(), static_cast<size_t>(n));
        StationUnit_Read(&unit);
      } else if (n == 0) {
        const int code = Platform_EndProcess(station->processes[ready]);
        station->processes[ready] = nullptr;
        unit.endedMs = Platform_GetTickCount64();
        StationUnit_End(&unit, code, station->stopped ? 1 : 0);
      }
    }
    draw(station, false);
  }
}

// A unit's standard error, for the operator once the summary is shown:
// each line after the stand-in warning, led by the unit's port.
void showErrors(const Station &station) {
  for (size_t k = 0; k < station.units.size(); k++) {
    const StationUnit &unit = station.units[k];
    if (!shown(station, unit) || unit.result == "updated" || unit.result == "identified") {
      continue;
    }
    FILE *err = fopen(station.errors[k].c_str(), "r");
    if (err == nullptr) {
      continue;
    }
    char line[1024];
    while (fgets(line, sizeof line, err) != nullptr) {
      line[strcspn(line, "\r\n")] = '\0';
      if (line[0] != '\0' && strcmp(line, STANDIN_IMAGES_WARNING) != 0) {
        Console_Error("%s: %s", unit.port.c_str(), line);
      }
    }
    fclose(err);
  }
}

std::string portNames(const std::vector<StationUnit> &units) {
  std::string names;
  for (const StationUnit &unit : units) {
    names += (names.empty() ? "" : ", ") + unit.port;
  }
  return names;
}

}  // namespace

const char *Station_Outcome(void) { return gOutcome.c_str(); }

int Station_Run(const CommandLineOptions &options, int argc, const char *const *argv) {
  const std::string start = RunLog_LocalTime(time(nullptr));
  Station station{&options, {}, {}, {}, {}, {}, {}, "", false, 0, 0, {}, false, 0, ""};
  char path[PATH_CAPACITY];
  if (!Platform_OwnExecutable(path, sizeof path)) {
    Console_Error("ERROR: this program's own file cannot be found, to start a run for each unit");
    gOutcome = "the units' runs could not be started";
    return 1;
  }
  const std::string self = path;
  if (!options.logDir.empty() &&
      Platform_FileKind(options.logDir.c_str(), 1) != PLATFORM_OTHER_FILE) {
    Console_Error("ERROR: --log-dir: %s is no folder", options.logDir.c_str());
    gOutcome = "the units' folder cannot be used";
    return COMMAND_LINE_EXIT_USAGE;
  }
  if (!Platform_MakePrivateFolder(path, sizeof path)) {
    Console_Error("ERROR: no folder for the units' reports can be made: %s", strerror(errno));
    gOutcome = "the units' runs could not be started";
    return 1;
  }
  station.folder = path;
  if (options.allPorts ? !portsOfAll(&station) : false) {
    Platform_RemoveFolder(station.folder.c_str());
    gOutcome = "the ports could not be listed";
    return 1;
  }
  for (const int port : options.stationPorts) {
    station.units.push_back(StationUnit_New(port));
  }
  station.terminal = Platform_OutputIsTerminal() != 0;

  Console_Printf("\n\rStation: %s firmware release %s\r\n",
                 options.info ? "identifying units for" : "updating units to",
                 FIRMWARE_VERSION_TO_UPLOAD);
  for (const StationPassedOver &port : station.passedOver) {
    Console_Printf("%s passed over: %s\r\n", port.port.c_str(), port.reason.c_str());
  }
  Console_Printf(options.allPorts ? "Looking on %s\r\n\r\n" : "Units on %s\r\n\r\n",
                 station.units.empty() ? "no port" : portNames(station.units).c_str());

  // From here an interrupt stops the units' runs and the station goes on
  // to show what each did.
  Platform_CatchInterrupts();
  station.startMs = Platform_GetTickCount64();
  startRuns(&station, self);
  draw(&station, true);
  watchRuns(&station);
  draw(&station, true);

  std::vector<StationUnit> units;
  std::vector<std::string> documents;
  for (size_t k = 0; k < station.units.size(); k++) {
    StationUnit &unit = station.units[k];
    if (!shown(station, unit)) {
      continue;
    }
    std::string document;
    if (!StationReport_ReadUnit(station.reports[k], &unit, &document)) {
      document = StationReport_UnitFallback(unit, station.commands[k]);
    }
    units.push_back(unit);
    documents.push_back(document);
  }
  const int signal = Platform_InterruptCaught();
  const int exitCode = Station_ExitCode(units, signal);

  Console_Printf("\r\n%s", Station_SummaryTable(units).c_str());
  if (units.empty()) {
    Console_Printf("no unit answered on %s\r\n",
                   options.allPorts ? "any port" : portNames(station.units).c_str());
  } else {
    Console_Printf("%s\r\n", Station_TotalsLine(units, options.info).c_str());
  }
  showErrors(station);
  if (signal != 0) {
    Console_Error("Interrupted by %s; every unit's run was stopped and its port closed.",
                  Platform_InterruptName());
  }
  if (!options.reportPath.empty()) {
    std::string reason;
    if (!StationReport_Write(options.reportPath, argc, argv, start, RunLog_LocalTime(time(nullptr)),
                             exitCode, units, documents, station.passedOver, &reason)) {
      Console_Error("ERROR: --report: %s cannot be written: %s", options.reportPath.c_str(),
                    reason.c_str());
    }
  }
  Platform_RemoveFolder(station.folder.c_str());
  gOutcome = signal != 0     ? std::string("interrupted by ") + Platform_InterruptName()
             : units.empty() ? "no unit answered"
                             : Station_TotalsLine(units, options.info);
  return exitCode;
}
