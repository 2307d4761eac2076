// The platform layer on Linux and macOS: serial ports through termios, the
// console on file descriptors 0 and 1.
//
// Port numbers map to devices without any configuration. When a folder
// "dosdevices" stands beside the executable, it is the whole map:
// dosdevices/comN, a symbolic link to a serial device or a pseudo-terminal,
// is port N, and a number without an entry does not exist (so tests and
// demos never touch the machine's own ports). Otherwise a fixed table
// reaches the usual devices.
//
// A HANDLE points at a PosixPort. Nothing is printed here: the serial link
// above reports failures in its own words; the operating system's reason for
// the last failure stays in gPosixLastError for a debugger or a core dump.
#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE
#endif

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

#include <new>
#include <string>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "Platform.h"
#include "PosixTermios2.h"

namespace {

struct PosixPort {
  int fd;
  COMMTIMEOUTS timeouts;
};

}  // namespace

// Why the last serial call failed, e.g. "open /dev/pts/3: Device or resource busy".
char gPosixLastError[256];

namespace {

// What an interrupt must undo, kept where its handler reaches it without a
// lock or an allocation: the descriptor of the open port, and the operator
// terminal's settings while the key wait has changed them.
volatile sig_atomic_t gInterruptPortFd = -1;
volatile sig_atomic_t gKeyWaitChangedTerminal = 0;
struct termios gTerminalBeforeKeyWait;

const char kInterruptedBySigint[] = "\nInterrupted by SIGINT; the serial port is closed.\n";
const char kInterruptedBySigterm[] = "\nInterrupted by SIGTERM; the serial port is closed.\n";
const char kInterruptedBySighup[] = "\nInterrupted by SIGHUP; the serial port is closed.\n";

// SIGINT, SIGTERM, SIGHUP. Only async-signal-safe calls (ioctl is a plain
// system call), so that it works wherever the program is: in a read, a
// write, the reboot sleep or the key wait. The port's exclusive flag would
// outlive the process on a pseudo-terminal and keep any other user out of
// the next run, so it is cleared before the close.
void onInterrupt(int signo) {
  const int fd = gInterruptPortFd;
  if (fd >= 0) {
    ioctl(fd, TIOCNXCL);
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

void noteError(const std::string &what, int error) {
  snprintf(gPosixLastError, sizeof gPosixLastError, "%s: %s", what.c_str(), strerror(error));
}

PosixPort *portOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  return static_cast<PosixPort *>(h);
}

uint64_t monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

/*---------------------------------------------------------------------------
 * Port number to device
 *-------------------------------------------------------------------------*/

// "\\.\COMn" (or "COMn"), n in decimal from 1, without leading zeros.
bool parsePortNumber(const char *name, int *n) {
  static const char kPrefix[] = "\\\\.\\";
  if (strncmp(name, kPrefix, sizeof kPrefix - 1) == 0) {
    name += sizeof kPrefix - 1;
  }
  if (strncasecmp(name, "COM", 3) != 0) {
    return false;
  }
  const char *digits = name + 3;
  if (*digits < '1' || *digits > '9') {
    return false;
  }
  long value = 0;
  for (const char *c = digits; *c != '\0'; c++) {
    if (*c < '0' || *c > '9' || value > 100000) {
      return false;
    }
    value = value * 10 + (*c - '0');
  }
  *n = static_cast<int>(value);
  return true;
}

// The directory that holds the running executable, without a trailing slash;
// empty when it can't be found.
std::string executableDirectory() {
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
  std::string dir(path);
  const size_t slash = dir.rfind('/');
  if (slash == std::string::npos) {
    return "";
  }
  return slash == 0 ? std::string("/") : dir.substr(0, slash);
}

// The device path of port n, or empty when the port does not exist.
std::string devicePathOf(int n) {
  const std::string exeDir = executableDirectory();
  if (!exeDir.empty()) {
    const std::string map = exeDir + (exeDir == "/" ? "" : "/") + "dosdevices";
    struct stat st;
    if (stat(map.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return map + "/com" + std::to_string(n);
    }
  }
  if (n >= 1 && n <= 4) {
    return "/dev/ttyS" + std::to_string(n - 1);
  }
  if (n >= 5 && n <= 20) {
    return "/dev/ttyUSB" + std::to_string(n - 5);
  }
  if (n >= 21 && n <= 32) {
    return "/dev/ttyACM" + std::to_string(n - 21);
  }
  return "";
}

/*---------------------------------------------------------------------------
 * Line settings
 *-------------------------------------------------------------------------*/

struct StandardRate {
  DWORD rate;
  speed_t code;
};

const StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool standardRateCode(DWORD rate, speed_t *code) {
  for (const StandardRate &r : kStandardRates) {
    if (r.rate == rate) {
      *code = r.code;
      return true;
    }
  }
  return false;
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
  int n = 0;
  if (deviceName == nullptr || !parsePortNumber(deviceName, &n)) {
    noteError(deviceName != nullptr ? deviceName : "(null)", ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = devicePathOf(n);
  if (path.empty()) {
    noteError(deviceName, ENOENT);
    return INVALID_HANDLE_VALUE;
  }
  // Non-blocking so that a port without carrier opens at once; reads and
  // writes wait in poll() instead.
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    noteError("open " + path, errno);
    return INVALID_HANDLE_VALUE;
  }
  if (!isatty(fd)) {
    noteError(path, ENOTTY);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  // One program at a time, as on Windows. TIOCEXCL keeps other users out,
  // but root passes it; the lock keeps out every program that asks for it.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    noteError("lock " + path, errno == EWOULDBLOCK ? EBUSY : errno);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  PosixPort *port = new (std::nothrow) PosixPort{};
  if (port == nullptr) {
    noteError(path, ENOMEM);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  ioctl(fd, TIOCEXCL);
  port->fd = fd;
  gInterruptPortFd = fd;
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
  // Raw: no byte is translated, added or swallowed in either direction.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL;
  switch (dcb->ByteSize) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    case 8:
      t.c_cflag |= CS8;
      break;
    default:
      noteError("data bits", EINVAL);
      return FALSE;
  }
  switch (dcb->Parity) {
    case 0:  // NOPARITY
      break;
    case 1:  // ODDPARITY
      t.c_cflag |= PARENB | PARODD;
      t.c_iflag |= INPCK;
      break;
    case 2:  // EVENPARITY
      t.c_cflag |= PARENB;
      t.c_iflag |= INPCK;
      break;
    default:
      noteError("parity", EINVAL);
      return FALSE;
  }
  if (dcb->StopBits == 2) {  // TWOSTOPBITS
    t.c_cflag |= CSTOPB;
  } else if (dcb->StopBits != 0) {
    noteError("stop bits", EINVAL);
    return FALSE;
  }
  // CTS output flow control; termios ties RTS input handshaking to it, the
  // nearest setting there is.
  if (dcb->fOutxCtsFlow) {
    t.c_cflag |= CRTSCTS;
  }
  // Reads and writes wait in poll(); a read takes what is there.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  // B0 would mean "hang up" to the terminal driver; no line runs at 0 baud.
  if (dcb->BaudRate == 0) {
    noteError("baud rate 0", EINVAL);
    return FALSE;
  }
  speed_t code = B38400;
  const bool standard = standardRateCode(dcb->BaudRate, &code);
  if (!standard && !POSIX_HAS_TERMIOS2) {
    noteError("baud rate " + std::to_string(dcb->BaudRate), EINVAL);
    return FALSE;
  }
  if (cfsetspeed(&t, standard ? code : B38400) != 0 || tcsetattr(port->fd, TCSANOW, &t) != 0) {
    noteError("tcsetattr", errno);
    return FALSE;
  }
#if POSIX_HAS_TERMIOS2
  if (!standard) {
    struct termios2 t2;
    if (ioctl(port->fd, TCGETS2, &t2) != 0) {
      noteError("TCGETS2", errno);
      return FALSE;
    }
    t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t2.c_ispeed = dcb->BaudRate;
    t2.c_ospeed = dcb->BaudRate;
    if (ioctl(port->fd, TCSETS2, &t2) != 0) {
      noteError("TCSETS2 " + std::to_string(dcb->BaudRate), errno);
      return FALSE;
    }
  }
#endif
  // tcsetattr succeeds when any one change took; check the ones that matter.
  struct termios check;
  if (tcgetattr(port->fd, &check) != 0 || (check.c_cflag & CSIZE) != (t.c_cflag & CSIZE) ||
      (check.c_cflag & PARENB) != (t.c_cflag & PARENB) ||
      (check.c_cflag & CRTSCTS) != (t.c_cflag & CRTSCTS) ||
      (standard && cfgetospeed(&check) != code)) {
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
  const uint64_t deadline = monotonicMs() + limit;
  auto *out = static_cast<uint8_t *>(buffer);
  DWORD got = 0;
  for (bool first = true; got < bytesToRead; first = false) {
    const uint64_t now = monotonicMs();
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
  const uint64_t deadline = monotonicMs() + limit;
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
      const uint64_t now = monotonicMs();
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
  // keep a non-root user out of the next open.
  ioctl(port->fd, TIOCNXCL);
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

uint64_t Platform_GetTickCount64(void) { return monotonicMs(); }

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

int Platform_ConsoleReadInt(int *value) { return scanf("%d", value); }

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
