// What a station shows of its units: each unit's phase as read from the
// transcript its run prints, the board (one line a unit), and the summary
// table at the end. Nothing here starts a process or touches a port; the
// station (Station.h) feeds it.
#ifndef STATIONBOARD_H
#define STATIONBOARD_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/Win32Types.h"

enum StationPhase {
  STATION_LOOKING,      // detection on the unit's port
  STATION_IDENTIFYING,  // versions and product check
  STATION_LOGIC,        // the logic image: announced, then streamed
  STATION_FIRMWARE,     // the microcontroller image
  STATION_REBOOTING,    // the unit's reboot wait
  STATION_DONE,         // the run ended with success (or a restart not confirmed)
  STATION_FAILED,       // the run ended with a failure
  STATION_NO_UNIT,      // nothing answered on the port
  STATION_UNUSABLE,     // the port could not be used
  STATION_INTERRUPTED   // the station was interrupted while the run went on
};

// One unit of a station: its port, what its run printed, and what the
// station made of it.
struct StationUnit {
  int portNumber;
  std::string port;        // "COM5"
  std::string transcript;  // the run's standard output so far
  // Read from the transcript (StationUnit_Read).
  StationPhase phase;
  int percent;                 // of the phase's figure; 0 before the first
  std::string role;            // "TX", "RX", "" while not known
  int deviceCode;              // the logic device's code, -1 while not known
  std::string firmwareBefore;  // "1.00.08"
  std::string logicBefore;     // "K6G-TX 1.03"
  // Known once the run has ended.
  BOOL ended;
  int exitCode;
  StationPhase interruptedIn;  // the phase it was in when interrupted
  std::string firmwareAfter;   // from the run's report, "" when not known
  std::string logicAfter;
  std::string result;  // the run's result in the report's words ("updated", ...)
  uint64_t startedMs, endedMs;
};

StationUnit StationUnit_New(int portNumber);

// Reads the phase, its figure, the role, the logic device and the versions
// from unit->transcript, which holds everything the run printed so far (the
// progress figures are redrawn with backspaces: the last one counts).
void StationUnit_Read(StationUnit *unit);

// The run has ended with `exitCode` (as a shell shows it); `interrupted`
// when the station stopped it. Sets the final phase and the result.
void StationUnit_End(StationUnit *unit, int exitCode, BOOL interrupted);

// The phase as the board shows it: "looking", "logic image 42%",
// "interrupted in firmware image 10%", ...
std::string StationUnit_PhaseText(const StationUnit &unit);
// The board's line of a unit: port, role, logic device, phase.
std::string StationUnit_BoardLine(const StationUnit &unit);
// The line a plain board (a pipe or a file) prints as a unit's phase
// changes: the board's line without the figure.
std::string StationUnit_PlainLine(const StationUnit &unit);

// The summary table: a heading and one line per unit, each ending "\r\n".
std::string Station_SummaryTable(const std::vector<StationUnit> &units);

// The line under the summary: "3 units, 2 updated, 1 not".
std::string Station_TotalsLine(const std::vector<StationUnit> &units, BOOL info);

// The station's exit code from its units' results: 1 when any failed
// (no unit, a run that could not start or crashed count as failed), else
// -1 when a named port could not be used, else 2 when any restart was not
// confirmed, else 0; 128 plus the signal when the station was interrupted.
// No unit at all is a failure.
int Station_ExitCode(const std::vector<StationUnit> &units, int interruptSignal);

// "3:05" for 185000 ms.
std::string Station_Duration(uint64_t milliseconds);

#endif
