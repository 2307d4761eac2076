// The serial line on Linux and macOS: a port number's device (PosixPortMap)
// opened through termios, held for this program alone (PosixPortLocks),
// configured from the Win32 records, read and written under their
// time-outs, and closed.
//
// A HANDLE points at a PosixPort. Nothing is printed here: the serial link
// above reports failures; the reason for the last one, naming the port and
// its device, is kept for Platform_LastErrorText (PosixPortState).
#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE
#endif

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <new>
#include <string>

#include "Platform.h"
#include "PortName.h"
#include "PosixClock.h"
#include "PosixInterrupt.h"
#include "PosixLineSettings.h"
#include "PosixPortLocks.h"
#include "PosixPortMap.h"
#include "PosixPortRules.h"
#include "PosixPortState.h"
#include "PosixTermios2.h"

namespace {

struct PosixPort {
  int fd;
  COMMTIMEOUTS timeouts;
  std::string name;       // "COM3 (/dev/ttyUSB0)", for the failure texts
  bool exclusiveSetHere;  // this program put the terminal in exclusive mode
};

// The open port as an interrupt must give it up.
volatile sig_atomic_t sInterruptFd = -1;
volatile sig_atomic_t sInterruptExclusiveHere = 0;

void releasePortOnInterrupt(void) {
  const int fd = sInterruptFd;
  if (fd >= 0) {
    posixGiveUpExclusive(fd, sInterruptExclusiveHere != 0);
    close(fd);
  }
}

PosixPort *portOf(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  PosixPort *port = static_cast<PosixPort *>(h);
  posixSetCurrentPort(port->name);
  return port;
}

// Sets a rate that has no termios code through Linux's arbitrary-rate
// interface; termiosFromDcb refuses such a rate where there is none.
bool setArbitraryRate(int fd, DWORD rate) {
#if POSIX_HAS_TERMIOS2
  struct termios2 t2;
  if (ioctl(fd, TCGETS2, &t2) != 0) {
    posixNoteError("TCGETS2", errno);
    return false;
  }
  t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t2.c_ispeed = rate;
  t2.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &t2) != 0) {
    posixNoteError("TCSETS2 " + std::to_string(rate), errno);
    return false;
  }
  return true;
#else
  (void)fd;
  posixNoteError("baud rate " + std::to_string(rate), EINVAL);
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

// A write that failed after `done` bytes.
BOOL failedAfter(DWORD done, DWORD *count, const char *what, int error) {
  *count = done;
  posixNoteError(what, error);
  return FALSE;
}

// A read that failed after `got` bytes: what arrived is the caller's all
// the same, and the read succeeds with it; the next read reports the
// failure.
BOOL readFailedAfter(DWORD got, DWORD *bytesRead, const char *what, int error) {
  (void)failedAfter(got, bytesRead, what, error);
  return got > 0 ? TRUE : FALSE;
}

// The device that the last successful open reached.
std::string sOpenedDevice;

// The device `deviceName` stands for: a COM port's through the port map,
// or a device path's own. false, the reason noted, when it can't be a port.
bool devicePathOfName(const char *deviceName, std::string *path) {
  posixSetCurrentPort(deviceName != nullptr ? deviceName : "(no name)");
  const int n = portNumberFromName(deviceName);
  if (n != 0) {
    return posixDevicePathOf(n, path);
  }
  if (deviceName != nullptr && strchr(deviceName, '/') != nullptr &&
      strncmp(deviceName, "\\\\.\\", 4) != 0) {
    return posixDeviceOfPath(deviceName, path);
  }
  posixNoteText("not the name of a COM port");
  return false;
}

}  // namespace

HANDLE Platform_CreateFileA(const char *deviceName, DWORD, DWORD, DWORD, DWORD) {
  std::string path;
  if (!devicePathOfName(deviceName, &path) || posixHeldByLockFile(path)) {
    return INVALID_HANDLE_VALUE;
  }
  const int fd = posixOpenPortDevice(path);
  if (fd < 0) {
    posixNoteError("", errno);
    return INVALID_HANDLE_VALUE;
  }
  if (!isatty(fd)) {
    posixNoteText("not a serial port or terminal");
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  PosixPort *port = new (std::nothrow) PosixPort{};
  if (port == nullptr) {
    posixNoteError("", ENOMEM);
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  // One program at a time, as on Windows.
  if (!posixTakePort(fd, &port->exclusiveSetHere)) {
    delete port;
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  port->fd = fd;
  port->name = posixCurrentPort();
  char real[PATH_MAX + 1];
  sOpenedDevice = realpath(path.c_str(), real) != nullptr ? real : path;
  sInterruptExclusiveHere = port->exclusiveSetHere ? 1 : 0;
  sInterruptFd = fd;
  posixInterruptReleasePortWith(releasePortOnInterrupt);
  return port;
}

const char *Platform_OpenedPortDevice(void) { return sOpenedDevice.c_str(); }

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
    posixNoteError("tcgetattr", errno);
    return FALSE;
  }
  bool standardRate = false;
  const std::string problem = termiosFromDcb(*dcb, &t, &standardRate);
  if (!problem.empty()) {
    posixNoteError(problem, EINVAL);
    return FALSE;
  }
  if (tcsetattr(port->fd, TCSANOW, &t) != 0) {
    posixNoteError("tcsetattr", errno);
    return FALSE;
  }
  if (!standardRate && !setArbitraryRate(port->fd, dcb->BaudRate)) {
    return FALSE;
  }
  if (!settingsTaken(port->fd, t, standardRate)) {
    posixNoteError("line settings not taken", EINVAL);
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
  const uint64_t deadline =
      posixMonotonicMs() + posixTotalTimeoutMs(port->timeouts.ReadTotalTimeoutConstant,
                                               port->timeouts.ReadTotalTimeoutMultiplier,
                                               bytesToRead);
  auto *out = static_cast<uint8_t *>(buffer);
  DWORD got = 0;
  for (bool first = true; got < bytesToRead; first = false) {
    const int wait = posixMsLeft(deadline, posixMonotonicMs());
    if (wait == 0 && !first) {
      break;  // a unit that never stops sending doesn't hold the read past T
    }
    struct pollfd p = {port->fd, POLLIN, 0};
    const int r = poll(&p, 1, wait);
    if (r < 0) {
      if (errno == EINTR) {
        continue;
      }
      return readFailedAfter(got, bytesRead, "poll", errno);
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
    const bool failed = n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK;
    if (failed || hungUp) {
      return readFailedAfter(got, bytesRead, "read", failed ? errno : EIO);
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
      posixTotalTimeoutMs(port->timeouts.WriteTotalTimeoutConstant,
                          port->timeouts.WriteTotalTimeoutMultiplier, bytesToWrite);
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
      return failedAfter(done, bytesWritten, "write", errno);
    }
    int wait = -1;
    if (limit > 0) {
      wait = posixMsLeft(deadline, posixMonotonicMs());
      if (wait == 0) {
        return failedAfter(done, bytesWritten, "write", ETIMEDOUT);
      }
    }
    struct pollfd p = {port->fd, POLLOUT, 0};
    if (poll(&p, 1, wait) < 0 && errno != EINTR) {
      return failedAfter(done, bytesWritten, "poll", errno);
    }
    if ((p.revents & (POLLERR | POLLNVAL)) != 0 ||
        ((p.revents & POLLHUP) != 0 && (p.revents & POLLOUT) == 0)) {
      return failedAfter(done, bytesWritten, "write", EIO);
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
  posixGiveUpExclusive(port->fd, port->exclusiveSetHere);
  if (sInterruptFd == port->fd) {
    sInterruptFd = -1;
    posixInterruptReleasePortWith(nullptr);
  }
  const int r = close(port->fd);
  if (r != 0) {
    posixNoteError("close", errno);
  }
  delete port;
  return r == 0 ? TRUE : FALSE;
}
