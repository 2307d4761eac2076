// A station's reading of its units' transcripts, the end of each unit's
// run, the station's exit code and the summary table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Station.h"
#include "StationBoard.h"

namespace {

// The texts of a TX unit's update as its run prints them.
const std::string kBanner =
    "\n\rYou are about to upload the firmware version 1.0.9"
    "\n\r\n\rDetecting COM port and Baud Rate..................";
const std::string kFound =
    kBanner + "OK\r\nCOM PORT Number : 3\r\nBaud rate       : 57600 \r\n\r\n";
const std::string kVersions = kFound +
                              "Checking firmware version ..............  1.00.08 \r\n"
                              "Checking fpga version ..................  K6G-TX 1.03  device:4\r\n";
const std::string kIdentified = kVersions + "Checking product .......... ENG. SAMPLE detected\r\n" +
                                "TX OK\r\nKorvex 6G SDI EXTENDER TX\r\n>>\r\n";
const std::string kLogic = kIdentified +
                           "Preparing to Upload Programmable Logic ............ OK\r\n" +
                           "Sending Programmable Logic data ................... ";
const std::string kFirmware = kLogic + "1%\b\b100%OK\r\n" +
                              "Preparing to Upload Firmware ...................... OK\r\n" +
                              "Sending data ...................................... ";
const std::string kReboot =
    kFirmware + "1%\b\b8%\b\b100% OK\n\r\n\rPlease wait while the unit is rebooting ........... ";

struct ReadCase {
  std::string transcript;
  StationPhase phase;
  int percent;
  const char *role;
  int deviceCode;
  const char *firmwareBefore;
  const char *boardLine;
};

TEST(StationTest, ReadsPhaseFigureAndUnitFromTheTranscript) {
  const ReadCase cases[] = {
      {"", STATION_LOOKING, 0, "", -1, "", "COM3    -    -             looking"},
      {kBanner, STATION_LOOKING, 0, "", -1, "", "COM3    -    -             looking"},
      {kFound, STATION_IDENTIFYING, 0, "", -1, "", "COM3    -    -             identifying"},
      // A version line still arriving is not read yet.
      {kFound + "Checking firmware version ..............  1.00", STATION_IDENTIFYING, 0, "", -1,
       "", "COM3    -    -             identifying"},
      {kVersions, STATION_IDENTIFYING, 0, "", 4, "1.00.08",
       "COM3    -    XC7A100_484   identifying"},
      {kIdentified, STATION_IDENTIFYING, 0, "TX", 4, "1.00.08",
       "COM3    TX   XC7A100_484   identifying"},
      {kIdentified + "Preparing to Upload Programmable Logic ............ ", STATION_LOGIC, 0, "TX",
       4, "1.00.08", "COM3    TX   XC7A100_484   logic image 0%"},
      {kLogic + "1%\b\b8%\b\b16", STATION_LOGIC, 8, "TX", 4, "1.00.08",
       "COM3    TX   XC7A100_484   logic image 8%"},
      {kLogic + "1%\b\b8%\b\b16%\b\b\b100%", STATION_LOGIC, 100, "TX", 4, "1.00.08",
       "COM3    TX   XC7A100_484   logic image 100%"},
      // The firmware's figures start again; the logic image's 100% is not one.
      {kFirmware, STATION_FIRMWARE, 0, "TX", 4, "1.00.08",
       "COM3    TX   XC7A100_484   firmware image 0%"},
      {kFirmware + "1%\b\b42%", STATION_FIRMWARE, 42, "TX", 4, "1.00.08",
       "COM3    TX   XC7A100_484   firmware image 42%"},
      {kReboot + "  0%\b\b\b\b  2%\b\b\b\b 97%\b\b\b\b", STATION_REBOOTING, 97, "TX", 4, "1.00.08",
       "COM3    TX   XC7A100_484   rebooting 97%"},
  };
  for (const ReadCase &c : cases) {
    SCOPED_TRACE(c.boardLine);
    StationUnit unit = StationUnit_New(3);
    unit.transcript = c.transcript;
    StationUnit_Read(&unit);
    EXPECT_EQ(unit.phase, c.phase);
    EXPECT_EQ(unit.percent, c.percent);
    EXPECT_EQ(unit.role, c.role);
    EXPECT_EQ(unit.deviceCode, c.deviceCode);
    EXPECT_EQ(unit.firmwareBefore, c.firmwareBefore);
    EXPECT_EQ(StationUnit_BoardLine(unit), c.boardLine);
  }
}

struct EndCase {
  std::string transcript;
  int exitCode;
  bool interrupted;
  StationPhase phase;
  const char *result;
  const char *phaseText;
};

TEST(StationTest, EndsEachRunWithItsResult) {
  const std::string info = "\n\rUnit information; this tool carries firmware release 1.0.9" +
                           kIdentified.substr(kBanner.size() - 50);
  const EndCase cases[] = {
      {kReboot + "100%", 0, false, STATION_DONE, "updated", "done"},
      {kReboot + "100%", 2, false, STATION_DONE, "restart unconfirmed",
       "done (restart not confirmed)"},
      {kLogic + "1%", 1, false, STATION_FAILED, "failed", "failed"},
      {kBanner + "FAILED", 1, false, STATION_NO_UNIT, "no unit", "no unit"},
      {"", 255, false, STATION_UNUSABLE, "port unusable", "port unusable"},
      {info, 0, false, STATION_DONE, "identified", "done"},
      {info, 1, false, STATION_FAILED, "not identified", "failed"},
      // Stopped by the station: where it was is kept.
      {kFirmware + "1%\b\b42%", 143, true, STATION_INTERRUPTED, "interrupted",
       "interrupted in firmware image"},
      {kBanner, 130, true, STATION_INTERRUPTED, "interrupted", "interrupted in looking"},
      // A run that had its result before the interrupt reached it keeps it.
      {kReboot + "100%", 0, true, STATION_DONE, "updated", "done"},
      // A run killed by a signal the station did not send (a crash) failed.
      {kLogic + "1%", 139, false, STATION_FAILED, "failed", "failed"},
  };
  for (const EndCase &c : cases) {
    SCOPED_TRACE(std::string(c.result) + " " + std::to_string(c.exitCode));
    StationUnit unit = StationUnit_New(5);
    unit.transcript = c.transcript;
    StationUnit_End(&unit, c.exitCode, c.interrupted ? 1 : 0);
    EXPECT_EQ(unit.phase, c.phase);
    EXPECT_EQ(unit.result, c.result);
    EXPECT_EQ(StationUnit_PhaseText(unit), c.phaseText);
    EXPECT_EQ(unit.exitCode, c.exitCode);
  }
}

StationUnit ended(int exitCode, const std::string &transcript = "") {
  StationUnit unit = StationUnit_New(3);
  unit.transcript = transcript;
  StationUnit_End(&unit, exitCode, exitCode > 128);
  return unit;
}

TEST(StationTest, ExitCodeTellsTheWorstResult) {
  const StationUnit good = ended(0), failed = ended(1), unusable = ended(255),
                    unconfirmed = ended(2), noUnit = ended(1, kBanner + "FAILED"),
                    interrupted = ended(130);
  const struct {
    std::vector<StationUnit> units;
    int signal;
    int exitCode;
  } cases[] = {
      {{good, good, good}, 0, 0},
      {{good, failed, unconfirmed, unusable}, 0, 1},
      {{good, unusable, unconfirmed}, 0, -1},
      {{good, unconfirmed}, 0, 2},
      {{good, noUnit}, 0, 1},
      {{}, 0, 1},  // --all found no unit
      {{good, interrupted}, 2, 130},
      {{good, good}, 15, 143},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Station_ExitCode(c.units, c.signal), c.exitCode);
  }
}

TEST(StationTest, SummaryHasALineForEachUnitWithVersionsAndTime) {
  StationUnit updated = StationUnit_New(3);
  updated.transcript = kReboot + "100%";
  StationUnit_End(&updated, 0, 0);
  updated.firmwareAfter = "1.00.09";
  updated.logicAfter = "K6G-TX 1.09";
  updated.startedMs = 1000;
  updated.endedMs = 1000 + 185400;
  StationUnit stopped = StationUnit_New(12);
  stopped.transcript = kLogic + "1%";
  StationUnit_End(&stopped, 130, 1);
  const std::string table = Station_SummaryTable({updated, stopped});
  const std::string blanks(24, ' ');
  EXPECT_EQ(table,
            "port    role logic device  before (fw / logic)     after (fw / logic)      result" +
                blanks + "time\r\n" +
                "COM3    TX   XC7A100_484   1.00.08 / K6G-TX 1.03   1.00.09 / K6G-TX 1.09   "
                "updated" +
                std::string(23, ' ') + "3:05\r\n" +
                "COM12   TX   XC7A100_484   1.00.08 / K6G-TX 1.03   -" + std::string(23, ' ') +
                "interrupted in logic image    0:00\r\n");
}

}  // namespace
