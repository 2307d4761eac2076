// No descriptor outlives a port: every way an open through the serial link
// can end on the POSIX layer (no such port, a link to nothing, a file that is
// not a terminal, a port another program holds, settings the port refuses, a
// unit that hangs up, a plain close) leaves the process with exactly the
// descriptors it had before. Each test links its own pseudo-terminal as
// dosdevices/com<N> beside this program, N unique to the process.
#include "../PtyPorts.h"

#include <dirent.h>
#include <sys/file.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ComPortAPI.h"
#include "SerialLinkReset.h"

namespace {

// The process's open descriptors and what each refers to.
std::vector<std::string> openDescriptors() {
  std::vector<std::string> found;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    ADD_FAILURE() << "cannot list /proc/self/fd";
    return found;
  }
  const int own = dirfd(dir);
  while (const dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == own) {
      continue;
    }
    char target[PATH_MAX + 1];
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    found.push_back(std::string(entry->d_name) + " -> " + target);
  }
  closedir(dir);
  return found;
}

class FdHygieneTest : public ::testing::Test {
 protected:
  void SetUp() override { SerialLink_ResetToStart(); }
  void TearDown() override { SerialLink_ResetToStart(); }
};

// Runs `steps` with the map in place and checks that the descriptors after
// are those before.
void expectNoDescriptorLeft(const char *what, const std::function<void()> &steps) {
  const std::vector<std::string> before = openDescriptors();
  steps();
  EXPECT_EQ(openDescriptors(), before) << what;
}

TEST_F(FdHygieneTest, EveryFailedOpenReleasesWhatItOpened) {
  MappedPort dangling(1, MappedPort::Dangling);
  MappedPort plainFile(2, MappedPort::PlainFile);
  MappedPort held(3, MappedPort::Terminal);
  MappedPort spare(4, MappedPort::Terminal);
  MappedPort idle(5, MappedPort::Terminal);
  // Another program's hold on `held`: its own open file with the lock on it.
  const int holder = open(held.target().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  struct Case {
    const char *what;
    int port;
    std::function<void()> before;
  };
  const Case cases[] = {
      {"a number without a map entry", uniquePort(9), [] {}},
      {"a link to nothing", dangling.number(), [] {}},
      {"a plain file, not a terminal", plainFile.number(), [] {}},
      {"a port another program holds", held.number(), [] {}},
      // The port opens but refuses a rate of 0, and is closed again.
      {"settings the port refuses", spare.number(), [] { (void)ComPortAPI_SetBaudRate(0); }},
  };
  for (const Case &c : cases) {
    expectNoDescriptorLeft(c.what, [&] {
      SerialLink_ResetToStart();
      c.before();
      EXPECT_EQ(ComPortAPI_OpenCOM(c.port), 0) << c.what;
      // Detection's probe of the same port fails as well, or closes it.
      (void)ComPortAPI_ProbeCOM(c.port);
      // The link holds no port: it would refuse to probe a free one.
      EXPECT_EQ(ComPortAPI_ProbeCOM(idle.number()), 1) << c.what;
    });
  }
  close(holder);
}

TEST_F(FdHygieneTest, OpenAndCloseRepeatedLeaveNothingBehind) {
  MappedPort port;
  expectNoDescriptorLeft("100 opens and closes", [&] {
    const size_t closed = openDescriptors().size();
    for (int k = 0; k < 100; k++) {
      ASSERT_EQ(ComPortAPI_OpenCOM(port.number()), 1);
      // Open: exactly one more descriptor, on the port's terminal.
      const std::vector<std::string> open = openDescriptors();
      ASSERT_EQ(open.size(), closed + 1);
      ASSERT_EQ(ComPortAPI_CloseCOM(), 1);
      ASSERT_EQ(ComPortAPI_ProbeCOM(port.number()), 1);
    }
  });
  // A second close finds nothing to release and must not close another
  // descriptor that took the old number.
  ASSERT_EQ(ComPortAPI_OpenCOM(port.number()), 1);
  ASSERT_EQ(ComPortAPI_CloseCOM(), 1);
  const int reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reused, 0);
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  EXPECT_NE(fcntl(reused, F_GETFD), -1) << "a second close closed a descriptor it did not own";
  close(reused);
}

TEST_F(FdHygieneTest, AUnitThatHangsUpLeavesOnlyAPortToClose) {
  MappedPort port;
  ASSERT_EQ(ComPortAPI_OpenCOM(port.number()), 1);
  port.hangUp();
  // What is open now: ours, and the port on the hung-up terminal.
  const std::vector<std::string> open = openDescriptors();
  const std::string slave = " -> " + port.target();
  ASSERT_EQ(std::count_if(open.begin(), open.end(),
                          [&](const std::string &d) { return d.find(slave) != std::string::npos; }),
            1);
  char buffer[16];
  int n = 0;
  char command[] = "%%%fw -v\n\r";
  EXPECT_EQ(ComPortAPI_WriteCOM(command, sizeof command - 1, &n), 0);
  EXPECT_EQ(ComPortAPI_ReadCOM(buffer, sizeof buffer, &n), 0);
  EXPECT_EQ(n, 0);
  // The failures themselves opened nothing and closed nothing.
  EXPECT_EQ(openDescriptors(), open);
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  std::vector<std::string> closed = open;
  closed.erase(
      std::remove_if(closed.begin(), closed.end(),
                     [&](const std::string &d) { return d.find(slave) != std::string::npos; }),
      closed.end());
  EXPECT_EQ(openDescriptors(), closed);
}

}  // namespace
