#include "PosixPortLocks.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

#include "PosixPortRules.h"
#include "PosixPortState.h"

// A lock file whose process has gone is stale and ignored; one that names
// no process can't be judged and counts as held.
bool posixHeldByLockFile(const std::string &path) {
  char real[PATH_MAX + 1];
  const std::string device = realpath(path.c_str(), real) != nullptr ? real : path;
  const std::vector<std::string> names = posixLockNames(device);
  for (const char *dir : {"/run/lock", "/var/lock"}) {
    for (const std::string &name : names) {
      const std::string file = std::string(dir) + "/LCK.." + name;
      const int fd = open(file.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
          continue;
        }
        posixNoteText("held by another program (lock file " + file + ": " + strerror(errno) + ")");
        return true;
      }
      char content[64];
      const ssize_t n = read(fd, content, sizeof content);
      close(fd);
      const long pid = n > 0 ? posixLockOwner(content, static_cast<size_t>(n)) : 0;
      if (pid > 0) {
        const int alive = kill(static_cast<pid_t>(pid), 0);
        if (posixLockIsStale(pid, alive, alive != 0 ? errno : 0)) {
          continue;  // its process has gone
        }
      }
      posixNoteText("held by another program (" +
                    (pid > 0 ? "process " + std::to_string(pid) : std::string("no process named")) +
                    " in the lock file " + file + ")");
      return true;
    }
  }
  return false;
}

int posixOpenPortDevice(const std::string &path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool posixTakePort(int fd, bool *exclusiveSetHere) {
  *exclusiveSetHere = false;
  // Another program's exclusive mode keeps other users out but lets root
  // in, so it is asked for here; the lock keeps out every program that asks
  // for it.
#ifdef TIOCGEXCL
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    posixNoteText("held by another program (it has the port in exclusive mode)");
    return false;
  }
#endif
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      posixNoteText("held by another program (it has locked the port)");
    } else {
      posixNoteError("lock", errno);
    }
    return false;
  }
  *exclusiveSetHere = ioctl(fd, TIOCEXCL) == 0;
  return true;
}

void posixGiveUpExclusive(int fd, bool exclusiveSetHere) {
  if (exclusiveSetHere) {
    ioctl(fd, TIOCNXCL);
  }
}
