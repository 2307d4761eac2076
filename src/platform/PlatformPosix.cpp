// The platform layer on Linux and macOS: serial ports through termios, the
// console on file descriptors 0 and 1.
//
// Port numbers map to devices without any configuration. When a folder
// "dosdevices" stands beside the program, it is the whole map:
// dosdevices/comN, a symbolic link to a serial device or a pseudo-terminal,
// is port N, and a number without an entry does not exist (so tests and
// demos never touch the machine's own ports). The folder is looked for
// beside the path the program was started by (a symbolic link, say) and then
// beside the program's real file. A "dosdevices" that is there but is no
// usable folder (a link to nothing, a plain file, unreadable) means no port
// at all, never the machine's devices. Otherwise a fixed table reaches the
// usual devices, unless the program asked for a map (Platform_PreparePorts).
//
// A port that another program holds is never used: one named by a live UUCP
// lock file, one in exclusive mode, one under flock().
//
// A HANDLE points at a PosixPort. Nothing is printed here: the serial link
// above reports failures; the reason for the last one, naming the port and
// its device, is kept for Platform_LastErrorText.
#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE
#endif

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#if defined(__APPLE__)
#include <crt_externs.h>
#include <mach-o/dyld.h>
#endif

#include "OperatorNumber.h"
#include "Platform.h"
#include "PortName.h"
#include "PosixClock.h"
#include "PosixLineSettings.h"
#include "PosixTermios2.h"

namespace {

struct PosixPort {
  int fd;
  COMMTIMEOUTS timeouts;
  std::string name;       // "COM3 (/dev/ttyUSB0)", for the failure texts
  bool exclusiveSetHere;  // this program put the terminal in exclusive mode
};

}  // namespace

// Why the last serial call failed, e.g.
// "COM3 (/dev/ttyUSB0): Permission denied (on Linux, ...)".
char gPosixLastError[1024];

namespace {

// What an interrupt must undo, kept where its handler reaches it without a
// lock or an allocation: the descriptor of the open port, and the operator
// terminal's settings while the key wait has changed them.
volatile sig_atomic_t gInterruptPortFd = -1;
volatile sig_atomic_t gInterruptPortExclusiveHere = 0;
volatile sig_atomic_t gKeyWaitChangedTerminal = 0;
struct termios gTerminalBeforeKeyWait;

const char kInterruptedBySigint[] = "\nInterrupted by SIGINT; the serial port is closed.\n";
const char kInterruptedBySigterm[] = "\nInterrupted by SIGTERM; the serial port is closed.\n";
const char kInterruptedBySighup[] = "\nInterrupted by SIGHUP; the serial port is closed.\n";

// SIGINT, SIGTERM, SIGHUP. Only async-signal-safe calls (ioctl is a plain
// system call), so that it works wherever the program is: in a read, a
// write, the reboot sleep or the key wait. The port's exclusive flag would
// outlive the process on a pseudo-terminal and keep any other user out of
// the next run, so the flag this program set is cleared before the close.
void onInterrupt(int signo) {
  const int fd = gInterruptPortFd;
  if (fd >= 0) {
    if (gInterruptPortExclusiveHere) {
      ioctl(fd, TIOCNXCL);
    }
    close(fd);
  }
  if (gKeyWaitChangedTerminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &gTerminalBeforeKeyWait);
  }
  const char *text = kInterruptedBySighup;
  size_t length = sizeof kInterruptedBySighup - 1;
  if (signo == SIGINT) {
    text = kInterruptedBySigint;
    length = sizeof kInterruptedBySigint - 1;
  } else if (signo == SIGTERM) {
    text = kInterruptedBySigterm;
    length = sizeof kInterruptedBySigterm - 1;
  }
  ssize_t ignored = write(STDERR_FILENO, text, length);
  (void)ignored;
  _exit(128 + signo);
}

// Only ports mapped by a dosdevices folder may be used.
bool sPortMapRequired = false;
// The port the current call works on, as the failure texts name it.
std::string sCurrentPort;

void noteText(const std::string &text) {
  const std::string line = sCurrentPort.empty() ? text : sCurrentPort + ": " + text;
  snprintf(gPosixLastError, sizeof gPosixLastError, "%s", line.c_str());
}

// What the operator can do about the commonest refusals.
const char *hintFor(int error) {
  switch (error) {
#if defined(__linux__)
    case EACCES:
    case EPERM:
      return " (on Linux, add your user to the \"dialout\" group)";
#endif
    case EBUSY:
      return " (another program holds the port)";
    case EIO:
      return " (the line has gone: unplugged, or the unit is off)";
    default:
      return "";
  }
}

// `what` failed with `error`; an empty `what` for the opening of the port.
void noteError(const std::string &what, int error) {
  noteText((what.empty() ? "" : what + ": ") + strerror(error) + hintFor(error));
}

PosixPort *portOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  PosixPort *port = static_cast<PosixPort *>(h);
  sCurrentPort = port->name;
  return port;
}

/*---------------------------------------------------------------------------
 * Port number to device
 *-------------------------------------------------------------------------*/

std::string directoryOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The path the program was started by, its argv[0]; a bare name is looked
// up along PATH as the shell did. Empty when it can't be found.
std::string invokedPath() {
  std::string arg0;
#if defined(__APPLE__)
  char **argv = *_NSGetArgv();
  if (argv != nullptr && argv[0] != nullptr) {
    arg0 = argv[0];
  }
#else
  char cmdline[PATH_MAX + 1];
  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t n = read(fd, cmdline, sizeof cmdline - 1);
    close(fd);
    cmdline[n > 0 ? n : 0] = '\0';
    arg0 = cmdline;  // up to the first NUL
  }
#endif
  if (arg0.empty() || arg0.find('/') != std::string::npos) {
    return arg0;
  }
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  size_t from = 0;
  for (;;) {
    const size_t colon = dirs.find(':', from);
    std::string dir =
        dirs.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + arg0;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string::npos) {
      return "";
    }
    from = colon + 1;
  }
}

// The running program's real file; empty when it can't be found.
std::string executablePath() {
  char path[PATH_MAX + 1];
#if defined(__APPLE__)
  uint32_t size = sizeof path;
  char raw[PATH_MAX + 1];
  if (_NSGetExecutablePath(raw, &size) != 0 || realpath(raw, path) == nullptr) {
    return "";
  }
#else
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return "";
  }
  path[length] = '\0';
#endif
  return path;
}

struct PortMap {
  enum State { Absent, Usable, Broken } state;
  std::string folder;    // Usable, Broken: the dosdevices path
  std::string problem;   // Broken: why it can't serve as the map
  std::string lookedIn;  // Absent: the directories searched
};

// The dosdevices folder beside the path the program was started by, else
// beside its real file. The first "dosdevices" found decides, usable or not.
PortMap findPortMap() {
  std::vector<std::string> directories;
  for (const std::string &program : {invokedPath(), executablePath()}) {
    if (!program.empty()) {
      std::string dir = directoryOf(program);
      char cwd[PATH_MAX + 1];
      if (dir[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr) {
        // Started by a relative path: the tool never changes its directory.
        dir = std::string(cwd) + (dir == "." ? "" : "/" + dir);
      }
      if (std::find(directories.begin(), directories.end(), dir) == directories.end()) {
        directories.push_back(dir);
      }
    }
  }
  PortMap map{PortMap::Absent, "", "", ""};
  for (const std::string &dir : directories) {
    map.lookedIn += (map.lookedIn.empty() ? "" : " and ") + dir;
    const std::string folder = (dir == "/" ? "" : dir) + "/dosdevices";
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        continue;
      }
      return {PortMap::Broken, folder, strerror(errno), ""};
    }
    if (stat(folder.c_str(), &st) != 0) {
      return {PortMap::Broken, folder,
              errno == ENOENT ? "a link to nothing" : std::string(strerror(errno)), ""};
    }
    if (!S_ISDIR(st.st_mode)) {
      return {PortMap::Broken, folder, "not a folder", ""};
    }
    if (access(folder.c_str(), R_OK | X_OK) != 0) {
      return {PortMap::Broken, folder, std::string("unreadable: ") + strerror(errno), ""};
    }
    return {PortMap::Usable, folder, "", ""};
  }
  return map;
}

std::string brokenMapText(const PortMap &map) {
  return "the port map " + map.folder + " cannot be used (" + map.problem +
         "); no port is used, not even the machine's own";
}

// The device of port n and the port's name for the failure texts; false
// (the reason noted) when the port does not exist or must not be reached.
bool devicePathOf(int n, std::string *path) {
  const std::string com = "COM" + std::to_string(n);
  const PortMap map = findPortMap();
  if (map.state == PortMap::Broken) {
    sCurrentPort = com;
    noteText(brokenMapText(map));
    return false;
  }
  if (map.state == PortMap::Usable) {
    *path = map.folder + "/com" + std::to_string(n);
    char device[PATH_MAX + 1];
    sCurrentPort = com + " (" + *path;
    if (realpath(path->c_str(), device) != nullptr) {
      sCurrentPort += std::string(" -> ") + device;
    }
    sCurrentPort += ")";
    return true;
  }
  sCurrentPort = com;
  if (sPortMapRequired) {
    noteText("no such port: this program reaches ports only through a dosdevices folder");
    return false;
  }
  if (n >= 1 && n <= 4) {
    *path = "/dev/ttyS" + std::to_string(n - 1);
  } else if (n >= 5 && n <= 20) {
    *path = "/dev/ttyUSB" + std::to_string(n - 5);
  } else if (n >= 21 && n <= 32) {
    *path = "/dev/ttyACM" + std::to_string(n - 21);
  } else {
    noteError("", ENOENT);
    return false;
  }
  sCurrentPort = com + " (" + *path + ")";
  return true;
}

/*---------------------------------------------------------------------------
 * Ports held by other programs
 *-------------------------------------------------------------------------*/

// The process that a UUCP lock file names: its pid as ASCII (often padded
// to ten characters) or as a binary int; 0 when the file names none.
long lockOwner(const char *content, size_t length) {
  size_t k = 0;
  while (k < length && (content[k] == ' ' || content[k] == '\t')) {
    k++;
  }
  long pid = 0;
  size_t digits = 0;
  for (; k < length && content[k] >= '0' && content[k] <= '9' && pid < 100000000L; k++, digits++) {
    pid = pid * 10 + (content[k] - '0');
  }
  while (k < length && isspace(static_cast<unsigned char>(content[k]))) {
    k++;
  }
  if (digits > 0 && k == length) {
    return pid;
  }
  if (length == sizeof(int)) {
    int binary = 0;
    memcpy(&binary, content, sizeof binary);
    return binary > 0 ? binary : 0;
  }
  return 0;
}

// Whether a live process holds the device by a UUCP lock file
// (/run/lock/LCK..ttyUSB0, LCK..pts_5 for /dev/pts/5); noted if so. A lock
// file whose process has gone is stale and ignored; one that names no
// process can't be judged and counts as held.
bool heldByLockFile(const std::string &path) {
  char real[PATH_MAX + 1];
  const std::string device = realpath(path.c_str(), real) != nullptr ? real : path;
  std::vector<std::string> names;
  if (device.rfind("/dev/", 0) == 0) {
    std::string underDev = device.substr(5);
    std::replace(underDev.begin(), underDev.end(), '/', '_');
    names.push_back(underDev);
  }
  const std::string last = device.substr(device.rfind('/') + 1);
  if (std::find(names.begin(), names.end(), last) == names.end()) {
    names.push_back(last);
  }
  for (const char *dir : {"/run/lock", "/var/lock"}) {
    for (const std::string &name : names) {
      const std::string file = std::string(dir) + "/LCK.." + name;
      const int fd = open(file.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
          continue;
        }
        noteText("held by another program (lock file " + file + ": " + strerror(errno) + ")");
        return true;
      }
      char content[64];
      const ssize_t n = read(fd, content, sizeof content);
      close(fd);
      const long pid = n > 0 ? lockOwner(content, static_cast<size_t>(n)) : 0;
      if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        continue;  // stale: its process has gone
      }
      noteText("held by another program (" +
               (pid > 0 ? "process " + std::to_string(pid) : std::string("no process named")) +
               " in the lock file " + file + ")");
      return true;
    }
  }
  return false;
}

/*---------------------------------------------------------------------------
 * Line settings
 *-------------------------------------------------------------------------*/

// Sets a rate that has no termios code through Linux's arbitrary-rate
// interface; termiosFromDcb refuses such a rate where there is none.
bool setArbitraryRate(int fd, DWORD rate) {
#if POSIX_HAS_TERMIOS2
  struct termios2 t2;
  if (ioctl(fd, TCGETS2, &t2) != 0) {
    noteError("TCGETS2", errno);
    return false;
  }
  t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t2.c_ispeed = rate;
  t2.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t2) != 0) {
    noteError("TCSETS2 " + std::to_string(rate), errno);
    return false;
  }
  return true;
#else
  (void)fd;
  noteError("baud rate " + std::to_string(rate), EINVAL);
  return false;
#endif
}

// tcsetattr succeeds when any one change took; whether the ones that matter
// did, read back from the terminal.
bool settingsTaken(int fd, const struct termios &asked, bool standardRate) {
  struct termios check;
  return tcgetattr(fd, &check) == 0 && (check.c_cflag & CSIZE) == (asked.c_cflag & CSIZE) &&
         (check.c_cflag & PARENB) == (asked.c_cflag & PARENB) &&
         (check.c_cflag & CRTSCTS) == (asked.c_cflag & CRTSCTS) &&
         (!standardRate || cfgetospeed(&check) == cfgetospeed(&asked));
}

// Raises or lowers one modem control line. A pseudo-terminal has none, and
// its refusal changes nothing for the line.
void setModemLine(int fd, int line, bool raised) { ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line); }

/*---------------------------------------------------------------------------
 * Console
 *-------------------------------------------------------------------------*/

void writeAll(int fd, const char *text, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, text, length);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN) {
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, -1);
        continue;
      }
      return;  // nowhere left to show it
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace

/*---------------------------------------------------------------------------
 * Serial port
 *-------------------------------------------------------------------------*/

HANDLE Platform_CreateFileA(const char *deviceName, DWORD, DWORD, DWORD, DWORD) {
  sCurrentPort = deviceName != nullptr ? deviceName : "(no name)";
  const int n = portNumberFromName(deviceName);
  if (n == 0) {
    noteText("not the name of a COM port");
    return INVALID_HANDLE_VALUE;
  }
  std::string path;
  if (!devicePathOf(n, &path) || heldByLockFile(path)) {
    return INVALID_HANDLE_VALUE;
  }
  // Non-blocking so that a port without carrier opens at once; reads and
  // writes wait in poll() instead.
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    noteError("", errno);
    return INVALID_HANDLE_VALUE;
  }
  if (!isatty(fd)) {
    noteText("not a serial port or terminal");
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  // One program at a time, as on Windows. Another program's exclusive mode
  // keeps other users out but lets root in, so it is asked for here; the
  // lock keeps out every program that asks for it.
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    noteText("held by another program (it has the port in exclusive mode)");
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
#endif
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      noteText("held by another program (it has locked the port)");
    } else {
      noteError("lock", errno);
    }
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  PosixPort *port = new (std::nothrow) PosixPort{};
  if (port == nullptr) {
    noteError("", ENOMEM);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  port->exclusiveSetHere = ioctl(fd, TIOCEXCL) == 0;
  port->fd = fd;
  port->name = sCurrentPort;
  gInterruptPortFd = fd;
  gInterruptPortExclusiveHere = port->exclusiveSetHere ? 1 : 0;
  return port;
}

BOOL Platform_SetupComm(HANDLE hCom, DWORD, DWORD) {
  // The terminal driver sizes its own queues.
  return portOf(hCom) != nullptr;
}

BOOL Platform_SetCommTimeouts(HANDLE hCom, const COMMTIMEOUTS *timeouts) {
  PosixPort *port = portOf(hCom);
  if (port == nullptr || timeouts == nullptr) {
    return FALSE;
  }
  port->timeouts = *timeouts;
  return TRUE;
}

BOOL Platform_SetCommState(HANDLE hCom, const DCB *dcb) {
  PosixPort *port = portOf(hCom);
  if (port == nullptr || dcb == nullptr) {
    return FALSE;
  }
  struct termios t;
  if (tcgetattr(port->fd, &t) != 0) {
    noteError("tcgetattr", errno);
    return FALSE;
  }
  bool standardRate = false;
  const std::string problem = termiosFromDcb(*dcb, &t, &standardRate);
  if (!problem.empty()) {
    noteError(problem, EINVAL);
    return FALSE;
  }
  if (tcsetattr(port->fd, TCSANOW, &t) != 0) {
    noteError("tcsetattr", errno);
    return FALSE;
  }
  if (!standardRate && !setArbitraryRate(port->fd, dcb->BaudRate)) {
    return FALSE;
  }
  if (!settingsTaken(port->fd, t, standardRate)) {
    noteError("line settings not taken", EINVAL);
    return FALSE;
  }
  setModemLine(port->fd, TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE);
  setModemLine(port->fd, TIOCM_RTS, dcb->fRtsControl != RTS_CONTROL_DISABLE);
  return TRUE;
}

BOOL Platform_PurgeComm(HANDLE hCom, DWORD flags) {
  PosixPort *port = portOf(hCom);
  if (port == nullptr) {
    return FALSE;
  }
  const bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
  const bool tx = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
  if (!rx && !tx) {
    return TRUE;
  }
  return tcflush(port->fd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0 ? TRUE : FALSE;
}

BOOL Platform_EscapeCommFunction(HANDLE hCom, DWORD function) {
  PosixPort *port = portOf(hCom);
  if (port == nullptr) {
    return FALSE;
  }
  switch (function) {
    case SETDTR:
    case CLRDTR:
      setModemLine(port->fd, TIOCM_DTR, function == SETDTR);
      return TRUE;
    case SETRTS:
    case CLRRTS:
      setModemLine(port->fd, TIOCM_RTS, function == SETRTS);
      return TRUE;
    default:
      return FALSE;
  }
}

// Ends when the count has arrived or T ms after it began, T being the total
// read time-out; the interval time-out never ends a read earlier, as the
// serial link always sets it equal to the total. A read that times out
// succeeds with what arrived, possibly nothing. A unit that drops its USB
// serial port as it reboots sends its last reply and hangs up: the reply is
// returned, and the hang-up is reported by the next read, which gets
// nothing.
BOOL Platform_ReadFile(HANDLE hCom, void *buffer, DWORD bytesToRead, DWORD *bytesRead) {
  if (bytesRead != nullptr) {
    *bytesRead = 0;
  }
  PosixPort *port = portOf(hCom);
  if (port == nullptr || bytesRead == nullptr || (buffer == nullptr && bytesToRead > 0)) {
    return FALSE;
  }
  const uint64_t limit =
      static_cast<uint64_t>(port->timeouts.ReadTotalTimeoutConstant) +
      static_cast<uint64_t>(port->timeouts.ReadTotalTimeoutMultiplier) * bytesToRead;
  const uint64_t deadline = posixMonotonicMs() + limit;
  auto *out = static_cast<uint8_t *>(buffer);
  DWORD got = 0;
  for (bool first = true; got < bytesToRead; first = false) {
    const uint64_t now = posixMonotonicMs();
    if (now >= deadline && !first) {
      break;  // a unit that never stops sending doesn't hold the read past T
    }
    const uint64_t wait = now < deadline ? deadline - now : 0;
    struct pollfd p = {port->fd, POLLIN, 0};
    const int r = poll(&p, 1, wait > INT_MAX ? INT_MAX : static_cast<int>(wait));
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      *bytesRead = got;
      noteError("poll", errno);
      return got > 0 ? TRUE : FALSE;
    }
    if (r == 0) {
      break;  // the time-out has run out
    }
    // With VMIN and VTIME at 0 a terminal read never blocks, and gives 0
    // bytes both when nothing is there and when the line has hung up; only
    // poll's POLLHUP or POLLERR tells the second case.
    const ssize_t n = read(port->fd, out + got, bytesToRead - got);
    if (n > 0) {
      got += static_cast<DWORD>(n);
      continue;
    }
    const bool hungUp = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      *bytesRead = got;
      noteError("read", errno);
      return got > 0 ? TRUE : FALSE;
    }
    if (hungUp) {
      *bytesRead = got;
      noteError("read", EIO);
      return got > 0 ? TRUE : FALSE;
    }
  }
  *bytesRead = got;
  return TRUE;
}

// Returns once the driver has taken every byte, or fails when the write
// time-outs of the record (constant plus multiplier per byte, as on Win32)
// run out first: a unit that holds CTS low or stops reading fills the line's
// buffer and would otherwise hold the write for ever. Both time-outs 0: no
// limit.
BOOL Platform_WriteFile(HANDLE hCom, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten) {
  if (bytesWritten != nullptr) {
    *bytesWritten = 0;
  }
  PosixPort *port = portOf(hCom);
  if (port == nullptr || bytesWritten == nullptr || (buffer == nullptr && bytesToWrite > 0)) {
    return FALSE;
  }
  const uint64_t limit =
      static_cast<uint64_t>(port->timeouts.WriteTotalTimeoutConstant) +
      static_cast<uint64_t>(port->timeouts.WriteTotalTimeoutMultiplier) * bytesToWrite;
  const uint64_t deadline = posixMonotonicMs() + limit;
  const auto *in = static_cast<const uint8_t *>(buffer);
  DWORD done = 0;
  while (done < bytesToWrite) {
    const ssize_t n = write(port->fd, in + done, bytesToWrite - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *bytesWritten = done;
      noteError("write", errno);
      return FALSE;
    }
    int wait = -1;
    if (limit > 0) {
      const uint64_t now = posixMonotonicMs();
      if (now >= deadline) {
        *bytesWritten = done;
        noteError("write", ETIMEDOUT);
        return FALSE;
      }
      wait = deadline - now > INT_MAX ? INT_MAX : static_cast<int>(deadline - now);
    }
    struct pollfd p = {port->fd, POLLOUT, 0};
    if (poll(&p, 1, wait) < 0 && errno != EINTR) {
      *bytesWritten = done;
      noteError("poll", errno);
      return FALSE;
    }
    if ((p.revents & (POLLERR | POLLNVAL)) != 0 ||
        ((p.revents & POLLHUP) != 0 && (p.revents & POLLOUT) == 0)) {
      *bytesWritten = done;
      noteError("write", EIO);
      return FALSE;
    }
  }
  *bytesWritten = done;
  return TRUE;
}

BOOL Platform_CloseHandle(HANDLE hCom) {
  PosixPort *port = portOf(hCom);
  if (port == nullptr) {
    return FALSE;
  }
  // On a pseudo-terminal the exclusive flag outlives the close and would
  // keep a non-root user out of the next open. Only the flag set here goes.
  if (port->exclusiveSetHere) {
    ioctl(port->fd, TIOCNXCL);
  }
  if (gInterruptPortFd == port->fd) {
    gInterruptPortFd = -1;
  }
  const int r = close(port->fd);
  if (r != 0) {
    noteError("close", errno);
  }
  delete port;
  return r == 0 ? TRUE : FALSE;
}

BOOL Platform_PreparePorts(BOOL portMapRequired) {
  sPortMapRequired = portMapRequired != 0;
  sCurrentPort.clear();
  const PortMap map = findPortMap();
  if (map.state == PortMap::Broken) {
    noteText(brokenMapText(map));
    return FALSE;
  }
  if (map.state == PortMap::Absent && sPortMapRequired) {
    noteText(
        "this program carries stand-in firmware images and reaches ports only through a "
        "dosdevices folder, which is not beside it (looked in " +
        map.lookedIn + "); no port is used");
    return FALSE;
  }
  return TRUE;
}

const char *Platform_LastErrorText(void) { return gPosixLastError; }

/*---------------------------------------------------------------------------
 * Time and console
 *-------------------------------------------------------------------------*/

void Platform_Sleep(DWORD milliseconds) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(milliseconds / 1000u);
  left.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t Platform_GetTickCount64(void) { return posixMonotonicMs(); }

void Platform_ConsoleInit(void) {
  // Everything goes out through write(2); stdio stays unbuffered in case
  // anything else prints.
  setvbuf(stdout, nullptr, _IONBF, 0);
  // Output into a reader that has gone (a pager closed, "| head") must not
  // end the update half-way: the write fails and the update goes on.
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sigaddset(&sa.sa_mask, SIGHUP);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

void Platform_ConsoleWrite(const char *text, size_t length) {
  writeAll(STDOUT_FILENO, text, length);
}

int Platform_ConsoleReadInt(int *value) { return readOperatorNumber(stdin, value); }

int Platform_Getch(void) {
  if (!isatty(STDIN_FILENO)) {
    return getchar();
  }
  // One key from the terminal itself, not from stdin's buffer: the line end
  // left behind by a typed number must not count as the key press.
  struct termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    return getchar();
  }
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // An interrupt during the wait gives the terminal its settings back.
  gTerminalBeforeKeyWait = saved;
  gKeyWaitChangedTerminal = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  unsigned char key = 0;
  ssize_t n;
  do {
    n = read(STDIN_FILENO, &key, 1);
  } while (n < 0 && errno == EINTR);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  gKeyWaitChangedTerminal = 0;
  return n == 1 ? key : EOF;
}
