#include "PosixInterrupt.h"

#include <limits.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace {

// Each record is written whole before its flag is raised, and the flag is
// lowered before the record changes, so the handler never sees half of one.
void (*volatile gReleasePort)(void) = nullptr;
volatile sig_atomic_t gTerminalChanged = 0;
struct termios gTerminalBefore;
volatile sig_atomic_t gFilePending = 0;
char gPendingFile[PATH_MAX];
volatile sig_atomic_t gResultShown = 0;
volatile sig_atomic_t gResultCode = 0;
void (*volatile gRunLogHook)(const char *, int) = nullptr;

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Copies `text` to `at`, up to `limit`; where it ended. (No stdio in a
// signal handler.)
char *append(char *at, const char *limit, const char *text) {
  while (*text != '\0' && at < limit) {
    *at++ = *text++;
  }
  return at;
}

// Only async-signal-safe calls, so that it works wherever the program is:
// in a read, a write, the reboot sleep, the key wait or the package's write.
void onInterrupt(int signo) {
  void (*release)(void) = gReleasePort;
  if (release != nullptr) {
    release();
  }
  if (gTerminalChanged) {
    tcsetattr(STDIN_FILENO, TCSANOW, &gTerminalBefore);
  }
  const bool fileRemoved = gFilePending != 0;
  if (fileRemoved) {
    unlink(gPendingFile);
  }
  const int exitCode = gResultShown ? static_cast<int>(gResultCode) : 128 + signo;
  void (*hook)(const char *, int) = gRunLogHook;
  if (hook != nullptr) {
    hook(posixSignalName(signo), exitCode);
  }
  char line[96];
  const char *limit = line + sizeof line;
  char *end = append(line, limit, "\nInterrupted by ");
  end = append(end, limit, posixSignalName(signo));
  end = append(end, limit,
               fileRemoved ? "; the package was not written.\n" : "; the serial port is closed.\n");
  ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(end - line));
  (void)ignored;
  _exit(exitCode);
}

}  // namespace

void posixInterruptInstall(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  for (int signo : kSignals) {
    sigaddset(&sa.sa_mask, signo);
  }
  for (int signo : kSignals) {
    sigaction(signo, &sa, nullptr);
  }
}

void posixInterruptReleasePortWith(void (*release)(void)) { gReleasePort = release; }

void posixInterruptRestoreTerminal(const struct termios *saved) {
  gTerminalChanged = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (saved != nullptr) {
    gTerminalBefore = *saved;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gTerminalChanged = 1;
  }
}

void posixInterruptRemoveFile(const char *path) {
  gFilePending = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (path != nullptr && strlen(path) < sizeof gPendingFile) {
    memcpy(gPendingFile, path, strlen(path) + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gFilePending = 1;
  }
}

void posixInterruptExitWith(int exitCode) {
  gResultCode = exitCode;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  gResultShown = 1;
}

void posixInterruptRunLogWith(void (*hook)(const char *signalName, int exitCode)) {
  gRunLogHook = hook;
}
