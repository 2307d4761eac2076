// A station: several units updated at once, each by a run of its own (this
// program again, on the unit's one port, --no-wait), so that one unit's
// failure, hang or crash cannot touch another's. The station reads each
// run's transcript for the board, and each run's report for the summary
// table and the station's document (--report).
#ifndef STATION_H
#define STATION_H

#include <string>
#include <vector>

#include "CommandLine.h"
#include "StationBoard.h"

// A port --all did not look on, and why.
struct StationPassedOver {
  std::string port;
  std::string reason;
};

// The whole station as the options ask (options.station); its exit code.
// `argc`/`argv` are the station's own command line, for its report.
int Station_Run(const CommandLineOptions &options, int argc, const char *const *argv);

// The run-log outcome of the last Station_Run.
const char *Station_Outcome(void);

// --- The documents (StationReport.cpp) --------------------------------------
// Reads a unit's run report (`path`); fills the versions after the update
// and the result from it. 0 when there is none or it can't be read.
BOOL StationReport_ReadUnit(const std::string &path, StationUnit *unit, std::string *document);
// A unit's document when its run left none (it could not start, crashed or
// was stopped before writing it), from what the station saw.
std::string StationReport_UnitFallback(const StationUnit &unit,
                                       const std::vector<std::string> &command);
// Writes the station's document to `path`: the station's record and the
// units' documents in one array. 0 with the reason when it can't be written.
BOOL StationReport_Write(const std::string &path, int argc, const char *const *argv,
                         const std::string &start, const std::string &end, int exitCode,
                         const std::vector<StationUnit> &units,
                         const std::vector<std::string> &documents,
                         const std::vector<StationPassedOver> &passedOver, std::string *reason);

#endif
