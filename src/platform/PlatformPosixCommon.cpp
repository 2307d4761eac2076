// What the POSIX platform and the simulated platform of the tests share: the
// output-file steps and standard error, which the simulation performs for
// real so that the tests see the files the tool leaves. The new file of a
// package is left to the interrupt handler to remove until it has taken its
// name (PosixInterrupt; the simulation installs no handler).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Platform.h"
#include "PosixInterrupt.h"

int Platform_FileKind(const char *path, BOOL followLink) {
  struct stat st;
  if ((followLink ? stat(path, &st) : lstat(path, &st)) != 0) {
    return PLATFORM_NO_FILE;
  }
  if (S_ISLNK(st.st_mode)) {
    return PLATFORM_LINK;
  }
  return S_ISREG(st.st_mode) ? PLATFORM_REGULAR_FILE : PLATFORM_OTHER_FILE;
}

FILE *Platform_CreateNewFile(const char *path) {
  // O_EXCL fails on any existing name, a link included, so nothing that
  // someone placed there is ever opened.
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    return nullptr;
  }
  FILE *stream = fdopen(fd, "wb");
  if (stream == nullptr) {
    const int saved = errno;
    close(fd);
    unlink(path);
    errno = saved;
  } else {
    posixInterruptRemoveFile(path);
  }
  return stream;
}

void Platform_TextModeStream(FILE *) {}

BOOL Platform_CommitFile(FILE *stream, const char *from, const char *to) {
  int error = 0;
  // A regular file that is replaced hands on its permission bits, so that a
  // package kept private stays private. A link of that name is replaced, not
  // followed: the new file then keeps, as under a new name, the mode it was
  // created with (0666 less the user's umask).
  struct stat replaced;
  if (lstat(to, &replaced) == 0 && S_ISREG(replaced.st_mode) &&
      fchmod(fileno(stream), replaced.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO)) != 0) {
    error = errno;
  }
  // A full disk may show only at the flush, the sync or the close.
  if (error == 0 && (fflush(stream) != 0 || fsync(fileno(stream)) != 0)) {
    error = errno;
  }
  if (fclose(stream) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && rename(from, to) != 0) {
    error = errno;
  }
  if (error == 0) {
    posixInterruptRemoveFile(nullptr);  // in place: nothing left to remove
  }
  errno = error;
  return error == 0 ? 1 : 0;
}

BOOL Platform_CanCreateFile(const char *path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    return 0;
  }
  close(fd);
  unlink(path);
  return 1;
}

BOOL Platform_PlaceFile(const char *temporary, const char *target, const PlatformPiece *pieces,
                        int count) {
  // open, write, fsync, close, rename and unlink only: an interrupt hook
  // calls this.
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    return 0;
  }
  int error = 0;
  for (int k = 0; k < count && error == 0; k++) {
    const char *text = pieces[k].text;
    size_t length = pieces[k].length;
    while (length > 0) {
      const ssize_t n = write(fd, text, length);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
        break;
      }
      text += n;
      length -= static_cast<size_t>(n);
    }
  }
  if (error == 0 && fsync(fd) != 0) {
    error = errno;
  }
  if (close(fd) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && rename(temporary, target) != 0) {
    error = errno;
  }
  if (error != 0) {
    unlink(temporary);
  }
  errno = error;
  return error == 0 ? 1 : 0;
}

BOOL Platform_SameFile(const char *path, const char *other) {
  struct stat a, b;
  return stat(path, &a) == 0 && stat(other, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino
             ? 1
             : 0;
}

BOOL Platform_WriteDescriptor(int fd, const char *text, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, text, length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (n == 0) {
        errno = EIO;
      }
      return 0;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
  return 1;
}

const char *Platform_StandInRefusal(void) { return nullptr; }
