// No descriptor outlives a port: every way an open through the serial link
// can end on the POSIX layer (no such port, a link to nothing, a file that is
// not a terminal, a port another program holds, settings the port refuses, a
// unit that hangs up, a plain close) leaves the process with exactly the
// descriptors it had before. Each test links its own pseudo-terminal as
// dosdevices/com<N> beside this program, N unique to the process.
#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE
#endif

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ComPortAPI.h"
#include "platform/Platform.h"

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

std::string mapDirectory() {
  char path[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  path[n > 0 ? n : 0] = '\0';
  std::string dir(path);
  dir = dir.substr(0, dir.rfind('/')) + "/dosdevices";
  mkdir(dir.c_str(), 0755);
  return dir;
}

// A port number no other test process uses at the same time.
int uniquePort(int k) { return 2000 + (getpid() % 7000) * 10 + k; }

std::string deviceName(int n) { return "\\\\.\\COM" + std::to_string(n); }

HANDLE bareOpen(int n) {
  return Platform_CreateFileA(deviceName(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_SYSTEM);
}

// Port n of the map: a pseudo-terminal, a link to nothing, or a plain file.
class MappedPort {
 public:
  enum Kind { Terminal, Dangling, PlainFile };
  MappedPort(int k, Kind kind)
      : n_(uniquePort(k)), link_(mapDirectory() + "/com" + std::to_string(n_)) {
    std::string target;
    if (kind == Terminal) {
      master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      EXPECT_GE(master_, 0);
      EXPECT_EQ(grantpt(master_), 0);
      EXPECT_EQ(unlockpt(master_), 0);
      target = ptsname(master_);
    } else if (kind == Dangling) {
      target = link_ + ".nothing";
    } else {
      file_ = link_ + ".file";
      const int fd = open(file_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      EXPECT_GE(fd, 0);
      close(fd);
      target = file_;
    }
    unlink(link_.c_str());
    EXPECT_EQ(symlink(target.c_str(), link_.c_str()), 0);
    slave_ = target;
  }
  ~MappedPort() {
    unlink(link_.c_str());
    if (!file_.empty()) {
      unlink(file_.c_str());
    }
    hangUp();
  }
  int number() const { return n_; }
  const std::string &target() const { return slave_; }
  void hangUp() {
    if (master_ >= 0) {
      close(master_);
      master_ = -1;
    }
  }

 private:
  int n_;
  std::string link_;
  std::string slave_;
  std::string file_;
  int master_ = -1;
};

class FdHygieneTest : public ::testing::Test {
 protected:
  void SetUp() override { ComPortAPI_ResetForTest(); }
  void TearDown() override {
    (void)ComPortAPI_CloseCOM();
    ComPortAPI_ResetForTest();
  }
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
      ComPortAPI_ResetForTest();
      c.before();
      EXPECT_EQ(ComPortAPI_OpenCOM(c.port), 0) << c.what;
      EXPECT_EQ(ComPortAPI_IsOpen(), 0) << c.what;
      // Detection's bare open of the same port fails as well, or is closed.
      const HANDLE h = bareOpen(c.port);
      if (h != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(Platform_CloseHandle(h)) << c.what;
      }
    });
  }
  close(holder);
}

TEST_F(FdHygieneTest, OpenAndCloseRepeatedLeaveNothingBehind) {
  MappedPort port(1, MappedPort::Terminal);
  expectNoDescriptorLeft("100 opens and closes", [&] {
    const size_t closed = openDescriptors().size();
    for (int k = 0; k < 100; k++) {
      ASSERT_EQ(ComPortAPI_OpenCOM(port.number()), 1);
      // Open: exactly one more descriptor, on the port's terminal.
      const std::vector<std::string> open = openDescriptors();
      ASSERT_EQ(open.size(), closed + 1);
      ASSERT_EQ(ComPortAPI_CloseCOM(), 1);
      const HANDLE h = bareOpen(port.number());
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      ASSERT_TRUE(Platform_CloseHandle(h));
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
  MappedPort port(1, MappedPort::Terminal);
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
