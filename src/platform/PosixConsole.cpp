// The console, the clock and the waits on Linux and macOS: output on file
// descriptor 1, the operator's numbers and key press on descriptor 0, and
// the interrupts that end a run (PosixInterrupt). Nothing here knows the
// serial line: an open port registers its own release for an interrupt.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "OperatorNumber.h"
#include "Platform.h"
#include "PosixClock.h"
#include "PosixInterrupt.h"

namespace {

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
  posixInterruptInstall();
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
  posixInterruptRestoreTerminal(&saved);
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  unsigned char key = 0;
  ssize_t n;
  do {
    n = read(STDIN_FILENO, &key, 1);
  } while (n < 0 && errno == EINTR);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  posixInterruptRestoreTerminal(nullptr);
  return n == 1 ? key : EOF;
}

void Platform_SetInterruptExitCode(int exitCode) { posixInterruptExitWith(exitCode); }

void Platform_SetInterruptHook(void (*hook)(const char *signalName, int exitCode)) {
  posixInterruptRunLogWith(hook);
}
