// The POSIX platform layer on real pseudo-terminals: the port map, exclusive
// open, raw 8N1 line settings, the read time-out rule, hang-up, and the
// purge. Each test links its own pseudo-terminal as dosdevices/com<N> beside
// this program, N unique to the process, so tests may run side by side.
#include "../PtyPorts.h"
#include "platform/PosixLineSettings.h"
#include "platform/PosixTermios2.h"

#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

DCB lineSettings(DWORD rate, bool ctsFlow) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = rate;
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = ctsFlow ? 1 : 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  return dcb;
}

// Opens the port and configures it as the serial link does.
HANDLE openConfigured(const MappedPort &port, DWORD readTimeoutMs, DWORD rate = 57600,
                      DWORD writeTimeoutMs = 0) {
  HANDLE h = openPort(port.name());
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  const COMMTIMEOUTS cto = {readTimeoutMs, 0, readTimeoutMs, 0, writeTimeoutMs};
  EXPECT_EQ(Platform_SetCommTimeouts(h, &cto), TRUE);
  const DCB dcb = lineSettings(rate, false);
  EXPECT_EQ(Platform_SetCommState(h, &dcb), TRUE);
  EXPECT_EQ(Platform_PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR),
            TRUE);
  return h;
}

// A failed open leaves its reason, naming the port and its map entry.
TEST(PlatformPosix, PortsComeFromTheMapBesideTheProgram) {
  MappedPort port;
  MappedPort dangling(1, MappedPort::Dangling);
  MappedPort plainFile(2, MappedPort::PlainFile);
  const auto entry = [](int k) {
    const int n = uniquePort(k);
    return "COM" + std::to_string(n) + " (" + mapDirectory() + "/com" + std::to_string(n);
  };
  struct Case {
    std::string name;
    bool opens;
    std::string reason;
  } cases[] = {
      {port.name(), true, ""},
      {"COM" + std::to_string(uniquePort(0)), true, ""},  // without the "\\.\" prefix
      {deviceName(uniquePort(3)), false,                  // no entry: the port does not exist
       entry(3) + "): No such file or directory"},
      {dangling.name(), false, entry(1) + "): No such file or directory"},  // a link to nothing
      {plainFile.name(), false,
       entry(2) + " -> " + plainFile.target() + "): not a serial port or terminal"},
      {"\\\\.\\COM0", false, "\\\\.\\COM0: not the name of a COM port"},
      {"\\\\.\\COM", false, "\\\\.\\COM: not the name of a COM port"},
      {"\\\\.\\COM0" + std::to_string(uniquePort(0)), false, ""},
      {port.name() + "x", false, ""},
      {"\\\\.\\LPT1", false, ""},
  };
  for (const Case &c : cases) {
    HANDLE h = openPort(c.name);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.name;
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_EQ(Platform_CloseHandle(h), TRUE);
    } else if (!c.reason.empty()) {
      EXPECT_EQ(Platform_LastErrorText(), c.reason);
    }
  }
}

// A UUCP lock file that names a live process of another user holds the
// port: kill() fails with EPERM then, not ESRCH. Root may signal any
// process, so the open is made by a child that has become "nobody", with
// the lock naming process 1; the port itself is open to all, so that only
// the lock can keep the child out.
TEST(PlatformPosix, ALockOfAnotherUsersLiveProcessHoldsThePort) {
  const struct passwd *nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) {
    GTEST_SKIP() << "becoming the user nobody needs root and that user";
  }
  MappedPort port;
  ASSERT_EQ(chmod(port.target().c_str(), 0666), 0);
  std::string name = port.target().substr(strlen("/dev/"));
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string lock = "/run/lock/LCK.." + name;
  const int fd = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    GTEST_SKIP() << "no lock file can be made: " << lock << ": " << strerror(errno);
  }
  const char owner[] = "         1\n";
  EXPECT_EQ(write(fd, owner, sizeof owner - 1), static_cast<ssize_t>(sizeof owner - 1));
  close(fd);
  int reply[2];
  ASSERT_EQ(pipe(reply), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(reply[0]);
    if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
      _exit(3);
    }
    const HANDLE h = openPort(port.name());
    const std::string reason = h == INVALID_HANDLE_VALUE ? Platform_LastErrorText() : "opened";
    _exit(write(reply[1], reason.data(), reason.size()) > 0 ? 0 : 4);
  }
  close(reply[1]);
  std::string reason;
  char buf[512];
  for (ssize_t n; (n = read(reply[0], buf, sizeof buf)) > 0;) {
    reason.append(buf, static_cast<size_t>(n));
  }
  close(reply[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  unlink(lock.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(reason.find("held by another program (process 1 in the lock file " + lock + ")"),
            std::string::npos)
      << reason;
}

TEST(PlatformPosix, OneHolderAtATimeAndTheExclusiveFlagGoesWithTheClose) {
  MappedPort port;
  HANDLE first = openPort(port.name());
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(openPort(port.name()), INVALID_HANDLE_VALUE) << "a held port must not open again";
  EXPECT_NE(std::string(Platform_LastErrorText()).find("): held by another program ("),
            std::string::npos)
      << Platform_LastErrorText();

  // The pseudo-terminal is in exclusive mode while held, and no more once
  // closed: the flag outlives the close and would lock the next user out.
  const int probe = open(port.target().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(probe, 0);
  int exclusive = 0;
  EXPECT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  EXPECT_EQ(Platform_CloseHandle(first), TRUE);
  EXPECT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  close(probe);
  HANDLE again = openPort(port.name());
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  Platform_CloseHandle(again);
}

TEST(PlatformPosix, LineSettingsAreRaw8N1WithTheRateAndFlowControlAsked) {
  struct Case {
    DWORD rate;
    bool cts;
    BOOL accepted;
    speed_t code;
  } cases[] = {
      {57600, false, TRUE, B57600},
      {115200, true, TRUE, B115200},
      {1200, false, TRUE, B1200},
      {0, false, FALSE, B0},
  };
  for (const Case &c : cases) {
    MappedPort port;
    HANDLE h = openPort(port.name());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const DCB dcb = lineSettings(c.rate, c.cts);
    EXPECT_EQ(Platform_SetCommState(h, &dcb), c.accepted) << c.rate;
    if (c.accepted) {
      // On Linux the master's line settings are the slave's.
      struct termios t;
      ASSERT_EQ(tcgetattr(port.master(), &t), 0);
      EXPECT_EQ(cfgetospeed(&t), c.code) << c.rate;
      EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
      EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
      EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.cts) << c.rate;
      EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
      EXPECT_EQ(t.c_oflag & OPOST, 0u);
      EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    }
    EXPECT_EQ(Platform_EscapeCommFunction(h, SETDTR), TRUE) << "no modem lines on a pty: ignored";
    Platform_CloseHandle(h);
  }
}

// The record the terminal is given, worked out without a terminal: from a
// cooked line with every option on, a raw one with just what the DCB asks.
TEST(PosixLineSettings, TheDcbBecomesARawTermiosRecord) {
  const tcflag_t kShape = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
  struct Case {
    DWORD rate;
    BYTE byteSize, parity, stopBits;
    bool cts;
    std::string problem;
    tcflag_t shape;  // the bits of kShape set
    bool standardRate;
    speed_t code;
  } cases[] = {
      {57600, 8, NOPARITY, ONESTOPBIT, false, "", CS8, true, B57600},
      {115200, 8, NOPARITY, ONESTOPBIT, true, "", CS8 | CRTSCTS, true, B115200},
      {9600, 7, 2, 2, false, "", CS7 | PARENB | CSTOPB, true, B9600},  // even, two stop bits
      {1200, 5, 1, ONESTOPBIT, false, "", CS5 | PARENB | PARODD, true, B1200},  // odd
      {50, 6, NOPARITY, ONESTOPBIT, false, "", CS6, true, B50},
      // No termios code: left to the arbitrary-rate interface where there is one.
      {250000, 8, NOPARITY, ONESTOPBIT, false, POSIX_HAS_TERMIOS2 ? "" : "baud rate 250000", CS8,
       false, B38400},
      {0, 8, NOPARITY, ONESTOPBIT, false, "baud rate 0", 0, false, 0},
      {57600, 9, NOPARITY, ONESTOPBIT, false, "data bits", 0, false, 0},
      {57600, 4, NOPARITY, ONESTOPBIT, false, "data bits", 0, false, 0},
      {57600, 8, 3, ONESTOPBIT, false, "parity", 0, false, 0},   // mark
      {57600, 8, NOPARITY, 1, false, "stop bits", 0, false, 0},  // one and a half
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rate);
    struct termios t;
    memset(&t, 0, sizeof t);
    t.c_iflag = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                INPCK | IGNPAR;
    t.c_oflag = OPOST;
    t.c_lflag = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS8 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    DCB dcb = lineSettings(c.rate, c.cts);
    dcb.ByteSize = c.byteSize;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stopBits;
    bool standardRate = !c.standardRate;
    EXPECT_EQ(termiosFromDcb(dcb, &t, &standardRate), c.problem);
    if (!c.problem.empty()) {
      continue;
    }
    EXPECT_EQ(t.c_cflag & kShape, c.shape);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), static_cast<tcflag_t>(CREAD | CLOCAL | HUPCL));
    EXPECT_EQ(t.c_iflag, (c.shape & PARENB) != 0 ? static_cast<tcflag_t>(INPCK) : 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(standardRate, c.standardRate);
    EXPECT_EQ(cfgetospeed(&t), c.code);
    EXPECT_EQ(cfgetispeed(&t), c.code);
  }
}

// Every byte value passes unchanged both ways; a write of 1 MiB waits until
// the line has taken all of it; a purge drops what arrived before it.
TEST(PlatformPosix, BytesPassUnchangedWritesWaitForAllAndPurgesDrop) {
  MappedPort port;
  HANDLE h = openConfigured(port, 500);
  std::string block(1 << 20, '\0');
  for (size_t k = 0; k < block.size(); k++) {
    block[k] = static_cast<char>(k * 131 + (k >> 8));  // each value once in the first 256
  }
  std::string received;
  std::thread unit([&] { received = port.drain(2000); });
  DWORD count = 0;
  EXPECT_EQ(Platform_WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &count), TRUE);
  EXPECT_EQ(count, block.size());
  unit.join();
  EXPECT_TRUE(received == block);

  const std::string all = block.substr(0, 512);
  ASSERT_EQ(write(port.master(), all.data(), all.size()), static_cast<ssize_t>(all.size()));
  std::vector<char> buf(all.size());
  EXPECT_EQ(Platform_ReadFile(h, buf.data(), static_cast<DWORD>(all.size()), &count), TRUE);
  EXPECT_EQ(std::string(buf.data(), count), all);

  ASSERT_EQ(write(port.master(), "stale", 5), 5);
  usleep(20000);
  EXPECT_EQ(Platform_PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR),
            TRUE);
  EXPECT_EQ(Platform_ReadFile(h, buf.data(), 16, &count), TRUE);
  EXPECT_EQ(count, 0u);
  Platform_CloseHandle(h);
}

// A read ends when its count has arrived or T ms after it began, with what
// arrived by then.
TEST(PlatformPosix, ReadsEndAtTheCountOrTheTimeOut) {
  const long T = 400;
  struct Case {
    const char *name;
    std::vector<std::string> pieces;  // written by the unit 50 ms apart, from the start
    DWORD count;
    std::string expected;
    bool endsEarly;
  } cases[] = {
      {"silence", {}, 100, "", false},
      {"the count arrives at once", {"0123456789"}, 10, "0123456789", true},
      {"fewer bytes than the count", {"01234"}, 10, "01234", false},
      {"the count arrives in pieces", {"012", "345", "678"}, 9, "012345678", true},
      {"more than the count stays for the next read", {"0123456789AB"}, 10, "0123456789", true},
  };
  for (const Case &c : cases) {
    MappedPort port;
    HANDLE h = openConfigured(port, static_cast<DWORD>(T));
    const int master = port.master();
    const std::vector<std::string> pieces = c.pieces;
    std::thread unit([master, pieces] {
      for (const std::string &p : pieces) {
        EXPECT_EQ(write(master, p.data(), p.size()), static_cast<ssize_t>(p.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    char buf[64] = {};
    DWORD got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Platform_ReadFile(h, buf, c.count, &got), TRUE) << c.name;
    const long elapsed = msSince(start);
    unit.join();
    EXPECT_EQ(std::string(buf, got), c.expected) << c.name;
    if (c.endsEarly) {
      EXPECT_LT(elapsed, T) << c.name;
    } else {
      EXPECT_GE(elapsed, T - 2) << c.name;
      EXPECT_LT(elapsed, T + 1000) << c.name;
    }
    Platform_CloseHandle(h);
  }
}

// A byte late in the time-out does not start the time-out again: the read
// ends T after it began, not T after the byte. Only an upper bound is
// checked: a read that waits the whole T again after the byte lasts at
// least 2000 + 3000 ms, while a right one ends at 3000 ms, 1.8 s within it.
TEST(PlatformPosix, AByteLateInTheTimeOutDoesNotProlongTheRead) {
  const DWORD T = 3000;
  MappedPort port;
  HANDLE h = openConfigured(port, T);
  const int master = port.master();
  std::thread unit([master] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(write(master, "x", 1), 1);
  });
  char buf[16];
  DWORD got = 0;
  const auto start = Clock::now();
  EXPECT_EQ(Platform_ReadFile(h, buf, sizeof buf, &got), TRUE);
  const long elapsed = msSince(start);
  unit.join();
  EXPECT_EQ(std::string(buf, got), "x");
  EXPECT_LT(elapsed, 4800);
  Platform_CloseHandle(h);
}

// The unit's side of the line disappears: reads and writes fail at once
// instead of waiting. What it sent just before is the read's, and the next
// read reports the hang-up.
TEST(PlatformPosix, AVanishedLineFailsReadsAndWrites) {
  MappedPort port;
  HANDLE h = openConfigured(port, 5000);
  ASSERT_EQ(write(port.master(), "SUCCESS", 7), 7);
  std::thread unit([&port] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    port.hangUp();
  });
  char buf[16];
  DWORD got = 0;
  auto start = Clock::now();
  EXPECT_EQ(Platform_ReadFile(h, buf, sizeof buf, &got), TRUE);
  unit.join();
  EXPECT_EQ(std::string(buf, got), "SUCCESS");
  EXPECT_LT(msSince(start), 2000);
  start = Clock::now();
  EXPECT_EQ(Platform_ReadFile(h, buf, sizeof buf, &got), FALSE);
  EXPECT_EQ(got, 0u);
  EXPECT_LT(msSince(start), 2000);
  std::string block(100000, 'x');
  DWORD written = 0;
  start = Clock::now();
  EXPECT_EQ(Platform_WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written), FALSE);
  EXPECT_LT(msSince(start), 2000);
  Platform_CloseHandle(h);
}

// A unit that reads nothing: the line fills up, and the write fails at its
// time-out with what the line took. The read time-out is far from the
// write's, so that a write bounded by the wrong one shows.
TEST(PlatformPosix, AWriteTheLineDoesNotTakeFailsAtTheWriteTimeOut) {
  MappedPort port;
  HANDLE h = openConfigured(port, 10000, 57600, 300);
  std::string block(1 << 20, 'x');
  DWORD written = 0;
  const auto start = Clock::now();
  EXPECT_EQ(Platform_WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &written), FALSE);
  EXPECT_GE(msSince(start), 299);
  EXPECT_LT(msSince(start), 2000);
  EXPECT_LT(written, block.size());
  EXPECT_EQ(port.drain().size(), written);
  Platform_CloseHandle(h);
}

TEST(PlatformPosix, SleepWaitsItsLength) {
  const auto start = Clock::now();
  Platform_Sleep(120);
  EXPECT_GE(msSince(start), 119);
}

}  // namespace
