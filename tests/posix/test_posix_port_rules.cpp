// The POSIX serial layer's rules, from tables: no terminal, no file system.
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>

#include <string>
#include <vector>

#include "platform/PosixPortRules.h"

namespace {

using Strings = std::vector<std::string>;

TEST(PosixPortRules, TheMapIsLookedForBesideTheInvokedPathThenTheRealFile) {
  const struct {
    const char *invoked, *executable, *cwd;
    Strings directories;
  } cases[] = {
      {"/opt/fw/link", "/srv/real/fw", "/home", {"/opt/fw", "/srv/real"}},
      {"./fw", "/srv/real/fw", "/home/op", {"/home/op", "/srv/real"}},
      {"bin/fw", "/home/op/bin/fw", "/home/op", {"/home/op/bin"}},  // the same folder once
      {"/fw", "/fw", "/", {"/"}},
      {"", "/srv/real/fw", "/", {"/srv/real"}},  // argv[0] not found
      {"", "", "/", {}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(posixMapDirectories(c.invoked, c.executable, c.cwd), c.directories) << c.invoked;
  }
  EXPECT_EQ(posixMapFolder("/"), "/dosdevices");
  EXPECT_EQ(posixMapFolder("/opt/fw"), "/opt/fw/dosdevices");
}

TEST(PosixPortRules, TheFirstDosdevicesFoundDecidesUsableOrNot) {
  const PosixMapFinding nothing{PosixMapFinding::Nothing, ""};
  const PosixMapFinding folder{PosixMapFinding::Folder, ""};
  const PosixMapFinding dangling{PosixMapFinding::Unusable, "a link to nothing"};
  const Strings both = {"/opt/fw", "/srv/real"};
  const struct {
    const char *name;
    std::vector<PosixMapFinding> findings;
    PosixPortMap::State state;
    std::string folder, problem, lookedIn;
  } cases[] = {
      {"beside the link", {folder, folder}, PosixPortMap::Usable, "/opt/fw/dosdevices", "", ""},
      {"beside the real file",
       {nothing, folder},
       PosixPortMap::Usable,
       "/srv/real/dosdevices",
       "",
       ""},
      // A broken map beside the link is not passed over for a usable one.
      {"broken first",
       {dangling, folder},
       PosixPortMap::Broken,
       "/opt/fw/dosdevices",
       "a link to nothing",
       ""},
      {"broken second",
       {nothing, dangling},
       PosixPortMap::Broken,
       "/srv/real/dosdevices",
       "a link to nothing",
       ""},
      {"none", {nothing, nothing}, PosixPortMap::Absent, "", "", "/opt/fw and /srv/real"},
  };
  for (const auto &c : cases) {
    const PosixPortMap map = posixChoosePortMap(both, c.findings);
    EXPECT_EQ(map.state, c.state) << c.name;
    EXPECT_EQ(map.folder, c.folder) << c.name;
    EXPECT_EQ(map.problem, c.problem) << c.name;
    EXPECT_EQ(map.lookedIn, c.lookedIn) << c.name;
  }
}

TEST(PosixPortRules, WithoutAMapThePortsAreTheUsualDevices) {
  const struct {
    int port;
    const char *device;
  } cases[] = {
      {0, ""},
      {1, "/dev/ttyS0"},
      {4, "/dev/ttyS3"},
      {5, "/dev/ttyUSB0"},
      {20, "/dev/ttyUSB15"},
      {21, "/dev/ttyACM0"},
      {32, "/dev/ttyACM11"},
      {33, ""},
      {-1, ""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(posixFallbackDevice(c.port), c.device) << c.port;
  }
}

TEST(PosixPortRules, LockFilesAreNamedAfterTheDevice) {
  const struct {
    const char *device;
    Strings names;
  } cases[] = {
      {"/dev/ttyUSB0", {"ttyUSB0"}},
      {"/dev/pts/5", {"pts_5", "5"}},
      {"/dev/serial/by-id/usb-x", {"serial_by-id_usb-x", "usb-x"}},
      {"/tmp/dosdevices/com3", {"com3"}},  // a map entry whose device can't be found
  };
  for (const auto &c : cases) {
    EXPECT_EQ(posixLockNames(c.device), c.names) << c.device;
  }
}

TEST(PosixPortRules, ALockFileNamesItsOwnerAsTextOrAsABinaryInt) {
  const int binary = 4321;
  const int negative = -7;
  const struct {
    std::string content;
    long pid;
  } cases[] = {
      {"      1234\n", 1234},
      {"1234", 1234},
      {"\t 99 \n", 99},
      {"12ab\n", 0},
      {"", 0},
      {"\n", 0},
      {"9999999999\n", 0},  // more digits than any pid: no owner
      {std::string(reinterpret_cast<const char *>(&binary), sizeof binary), 4321},
      {std::string(reinterpret_cast<const char *>(&negative), sizeof negative), 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(posixLockOwner(c.content.data(), c.content.size()), c.pid) << c.content;
  }
}

TEST(PosixPortRules, OnlyALockWhoseProcessHasGoneIsStale) {
  const struct {
    const char *name;
    long pid;
    int killResult, killErrno;
    bool stale;
  } cases[] = {
      {"the process has gone", 4321, -1, ESRCH, true},
      {"alive, ours to signal", 4321, 0, 0, false},
      {"alive, another user's", 1, -1, EPERM, false},
      {"no process named", 0, -1, ESRCH, false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(posixLockIsStale(c.pid, c.killResult, c.killErrno), c.stale) << c.name;
  }
}

TEST(PosixPortRules, AWaitEndsAtTheDeadlineWhateverArrivedBefore) {
  EXPECT_EQ(posixTotalTimeoutMs(500, 0, 1000), 500u);
  EXPECT_EQ(posixTotalTimeoutMs(100, 2, 1000), 2100u);
  EXPECT_EQ(posixTotalTimeoutMs(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu),
            0xFFFFFFFFull + 0xFFFFFFFFull * 0xFFFFFFFFull);
  const struct {
    uint64_t deadline, now;
    int left;
  } cases[] = {
      {10000, 7000, 3000},  // what is left, not the whole time-out again
      {10000, 10000, 0},
      {10000, 12000, 0},
      {uint64_t{1} << 40, 0, INT_MAX},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(posixMsLeft(c.deadline, c.now), c.left) << c.deadline << " at " << c.now;
  }
}

}  // namespace
