// The run's record files on POSIX systems: opened for appending and never
// emptied by the open, told apart by device and inode, held with flock, and
// removed again only when this run made them. Shared by the real and the
// simulated platform, so that the tests work on real files.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Platform.h"

namespace {

// Links followed before a name counts as a loop, as the kernel counts them.
const int kMostLinks = 40;

// Opens for appending; for reading as well where that is allowed, so that
// the last byte of an earlier record can be read. O_NONBLOCK keeps a pipe
// without a reader from holding the run; it is cleared at once.
int openForRecords(const char *path, int create) {
  const int flags = O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | create;
  int fd = open(path, O_RDWR | flags, 0666);
  struct stat st;
  if ((fd < 0 && errno == EACCES) || (fd >= 0 && fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))) {
    // A pipe opened for reading as well is its own reader: once its buffer
    // is full, a write would wait for ever. Opened for writing alone, a pipe
    // without a reader is refused at once (ENXIO).
    if (fd >= 0) {
      close(fd);
    }
    fd = open(path, O_WRONLY | flags, 0666);
  }
  if (fd >= 0) {
    const int status = fcntl(fd, F_GETFL);
    if (status != -1) {
      (void)fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
  }
  return fd;
}

// Where a name that leads to nothing would make its file: the name itself,
// or the target at the end of its links. Without it a run refused later
// could not tell which file it made, and could remove the link instead.
std::string endOfLinks(const char *path) {
  std::string name = path;
  for (int hop = 0; hop < kMostLinks; hop++) {
    struct stat st;
    if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      break;
    }
    char target[PATH_MAX];
    const ssize_t n = readlink(name.c_str(), target, sizeof target - 1);
    if (n <= 0) {
      break;
    }
    std::string next(target, static_cast<size_t>(n));
    const size_t slash = name.rfind('/');
    if (next[0] != '/' && slash != std::string::npos) {
      next = name.substr(0, slash + 1) + next;
    }
    name = next;
  }
  return name;
}

}  // namespace

BOOL Platform_OpenRecordFile(const char *path, PlatformRecordFile *file) {
  file->fd = -1;
  file->made = 0;
  file->held = 0;
  file->madePath[0] = '\0';
  int fd = -1;
  // Twice at most: a file that another run makes between the two opens is
  // then opened as it is.
  for (int attempt = 0; attempt < 2 && fd < 0; attempt++) {
    fd = openForRecords(path, 0);
    if (fd >= 0 || errno != ENOENT) {
      break;
    }
    const std::string where = endOfLinks(path);
    if (where.size() >= sizeof file->madePath) {
      errno = ENAMETOOLONG;
      return 0;
    }
    fd = openForRecords(where.c_str(), O_CREAT | O_EXCL);
    if (fd >= 0) {
      file->made = 1;
      memcpy(file->madePath, where.c_str(), where.size() + 1);
    } else if (errno != EEXIST) {
      return 0;
    }
  }
  if (fd < 0) {
    return 0;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return 0;
  }
  file->fd = fd;
  file->volume = static_cast<uint64_t>(st.st_dev);
  file->index = static_cast<uint64_t>(st.st_ino);
  file->regular = S_ISREG(st.st_mode) ? 1 : 0;
  return 1;
}

int Platform_HoldRecordFile(PlatformRecordFile *file) {
  if (!file->regular) {
    file->held = 1;
    return 1;
  }
  // flock belongs to the open file, not the process: a second open of the
  // same file, even in this process, does not get it.
  if (flock(file->fd, LOCK_EX | LOCK_NB) == 0) {
    // A run that made the file and was then refused removes it before it
    // lets go: a file held only once it has no name any more would take a
    // record that no one ever sees.
    struct stat st;
    if (fstat(file->fd, &st) == 0 && st.st_nlink == 0) {
      (void)flock(file->fd, LOCK_UN);
      errno = ENOENT;
      return -1;
    }
    file->held = 1;
    return 1;
  }
  if (errno == EWOULDBLOCK) {
    return 0;
  }
  if (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) {
    // A file system without locks: the record is written all the same,
    // without the guard against a second run.
    file->held = 1;
    return 1;
  }
  return -1;
}

BOOL Platform_EmptyRecordFile(PlatformRecordFile *file) {
  if (!file->regular) {
    return 1;
  }
  return ftruncate(file->fd, 0) == 0 ? 1 : 0;
}

int Platform_LastByteOfRecordFile(const PlatformRecordFile *file) {
  struct stat st;
  if (!file->regular || fstat(file->fd, &st) != 0 || st.st_size <= 0) {
    return -1;
  }
  unsigned char last = 0;
  if (pread(file->fd, &last, 1, st.st_size - 1) != 1) {
    return -1;
  }
  return last;
}

void Platform_CloseRecordFile(PlatformRecordFile *file, BOOL removeMade) {
  if (file->fd < 0) {
    return;
  }
  if (removeMade && file->made && file->held) {
    // Only the very file made here: not one that has taken its name since,
    // and never a link.
    struct stat st;
    if (lstat(file->madePath, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_dev) == file->volume &&
        static_cast<uint64_t>(st.st_ino) == file->index) {
      (void)unlink(file->madePath);
    }
  }
  close(file->fd);
  file->fd = -1;
  file->held = 0;
}
