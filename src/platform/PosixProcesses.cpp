// A station's child runs on Linux and macOS: this program started again on
// one port (posix_spawn), its transcript read through a pipe, its
// diagnostics appended to a file; the interrupts the station notes instead
// of ending at once; and the private folder of the children's files.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Platform.h"
#include "PosixInterrupt.h"
#include "PosixPortMap.h"

extern char **environ;

struct PlatformProcess {
  pid_t pid;
  int output;  // the read end of the child's standard output; -1 once ended
};

namespace {

volatile sig_atomic_t sInterrupt = 0;

void noteInterrupt(int signo) {
  if (sInterrupt == 0) {
    sInterrupt = signo;
  }
}

}  // namespace

BOOL Platform_OwnExecutable(char *path, size_t capacity) {
  const std::string invoked = posixInvokedPath();
  if (invoked.empty() || invoked.size() >= capacity) {
    return 0;
  }
  memcpy(path, invoked.c_str(), invoked.size() + 1);
  return 1;
}

PlatformProcess *Platform_StartProcess(const char *const *argv, const char *errorPath) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) {
    return nullptr;
  }
  // Neither end may reach another child: a write end left open in a
  // sibling would keep this child's output from ever ending.
  for (const int fd : pipeEnds) {
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  (void)fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath,
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  // The child ends as today's run ends on an interrupt, whatever the
  // station does with its own.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&defaults, signo);
  }
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int failed =
      posix_spawn(&pid, argv[0], &actions, &attributes, const_cast<char *const *>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (failed != 0) {
    close(pipeEnds[0]);
    errno = failed;
    return nullptr;
  }
  return new PlatformProcess{pid, pipeEnds[0]};
}

int Platform_WaitForOutput(PlatformProcess *const *processes, int count, DWORD milliseconds) {
  std::vector<struct pollfd> polled;
  std::vector<int> index;
  for (int k = 0; k < count; k++) {
    if (processes[k] != nullptr && processes[k]->output >= 0) {
      polled.push_back({processes[k]->output, POLLIN, 0});
      index.push_back(k);
    }
  }
  if (polled.empty()) {
    Platform_Sleep(milliseconds);
    return -1;
  }
  // An interrupt ends the wait early (EINTR), which is what the station
  // wants: it looks at the interrupt next.
  if (poll(polled.data(), polled.size(), static_cast<int>(milliseconds)) <= 0) {
    return -1;
  }
  for (size_t k = 0; k < polled.size(); k++) {
    if (polled[k].revents != 0) {
      return index[k];
    }
  }
  return -1;
}

long Platform_ReadOutput(PlatformProcess *process, char *buffer, size_t capacity) {
  if (process->output < 0) {
    return 0;
  }
  ssize_t n;
  do {
    n = read(process->output, buffer, capacity);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return -1;
  }
  if (n <= 0) {
    close(process->output);
    process->output = -1;
    return 0;
  }
  return static_cast<long>(n);
}

void Platform_StopProcess(PlatformProcess *process) { (void)kill(process->pid, SIGTERM); }

int Platform_EndProcess(PlatformProcess *process) {
  int status = 0;
  pid_t ended;
  do {
    ended = waitpid(process->pid, &status, 0);
  } while (ended < 0 && errno == EINTR);
  if (process->output >= 0) {
    close(process->output);
  }
  delete process;
  if (ended < 0) {
    return 255;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void Platform_CatchInterrupts(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = noteInterrupt;
  sigemptyset(&sa.sa_mask);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaction(signo, &sa, nullptr);
  }
}

int Platform_InterruptCaught(void) { return static_cast<int>(sInterrupt); }

const char *Platform_InterruptName(void) { return posixSignalName(sInterrupt); }

BOOL Platform_OutputIsTerminal(void) {
  const char *term = getenv("TERM");
  return isatty(STDOUT_FILENO) && term != nullptr && strcmp(term, "dumb") != 0;
}

BOOL Platform_MakePrivateFolder(char *path, size_t capacity) {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                        "/TessaronFwUpgrade-station-XXXXXX";
  if (pattern.size() >= capacity) {
    return 0;
  }
  memcpy(path, pattern.c_str(), pattern.size() + 1);
  return mkdtemp(path) != nullptr;  // mode 0700
}

void Platform_RemoveFolder(const char *path) {
  DIR *dir = opendir(path);
  if (dir != nullptr) {
    while (const struct dirent *entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
        (void)unlink((std::string(path) + "/" + entry->d_name).c_str());
      }
    }
    closedir(dir);
  }
  (void)rmdir(path);
}
