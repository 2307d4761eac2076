// Platform layer of the Windows build: the output-file steps of the web
// package, through the C runtime and the KERNEL32 file calls.
// The plain C runtime calls (_open, _fdopen) are used here; the runtime's
// "secure" variants would tie the code to one compiler.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

// The C runtime's errno for the Win32 errors a file step meets, so that the
// reason reads the same on every system.
static int errnoOfWin32Error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

int Platform_FileKind(const char *path, BOOL followLink) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return PLATFORM_NO_FILE;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    if (!followLink) {
      return PLATFORM_LINK;
    }
    struct _stat64 st;
    if (_stat64(path, &st) != 0) {
      return PLATFORM_NO_FILE;
    }
    return (st.st_mode & _S_IFMT) == _S_IFREG ? PLATFORM_REGULAR_FILE : PLATFORM_OTHER_FILE;
  }
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? PLATFORM_OTHER_FILE : PLATFORM_REGULAR_FILE;
}

FILE *Platform_CreateNewFile(const char *path) {
  // _O_EXCL is CREATE_NEW: it fails on any existing name, a link included.
  const int fd =
      _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    return NULL;
  }
  FILE *stream = _fdopen(fd, "wb");
  if (stream == NULL) {
    const int saved = errno;
    _close(fd);
    _unlink(path);
    errno = saved;
  }
  return stream;
}

void Platform_TextModeStream(FILE *stream) {
  fflush(stream);
  (void)_setmode(_fileno(stream), _O_TEXT);
}

BOOL Platform_CommitFile(FILE *stream, const char *from, const char *to) {
  int error = 0;
  if (fflush(stream) != 0) {
    error = errno;
  } else if (!FlushFileBuffers((HANDLE)_get_osfhandle(_fileno(stream)))) {
    error = errnoOfWin32Error(GetLastError());
  }
  if (fclose(stream) != 0 && error == 0) {
    error = errno;
  }
  // A plain file that is replaced hands on its access list and attributes,
  // which ReplaceFileA keeps, so that a package kept private stays private.
  // Where ReplaceFileA is refused (Wine refuses a name without a folder, and
  // some file systems and shares refuse it as well) the new file takes the
  // name by a move, as it does over a link or a new name: MoveFileExA
  // replaces the name in one step, never follows a link, and the file keeps
  // the access it was created with, the folder's rather than the old
  // package's. A failed ReplaceFileA without a backup name always leaves the
  // new file under its own name, so the move still finds it.
  if (error == 0) {
    const DWORD replaced = GetFileAttributesA(to);
    const bool plainFile =
        replaced != INVALID_FILE_ATTRIBUTES &&
        (replaced & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    const BOOL placed = (plainFile && ReplaceFileA(to, from, NULL, 0, NULL, NULL)) ||
                        MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!placed) {
      error = errnoOfWin32Error(GetLastError());
    }
  }
  errno = error;
  return error == 0 ? 1 : 0;
}

BOOL Platform_CanCreateFile(const char *path) {
  const int fd =
      _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    return FALSE;
  }
  _close(fd);
  _unlink(path);
  return TRUE;
}

BOOL Platform_PlaceFile(const char *temporary, const char *target, const PlatformPiece *pieces,
                        int count) {
  const int fd = _open(temporary, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    return FALSE;
  }
  int error = 0;
  for (int k = 0; k < count && error == 0; k++) {
    const char *text = pieces[k].text;
    size_t length = pieces[k].length;
    while (length > 0) {
      const int chunk = length > 65536 ? 65536 : static_cast<int>(length);
      const int n = _write(fd, text, static_cast<unsigned>(chunk));
      if (n <= 0) {
        error = n < 0 ? errno : ENOSPC;
        break;
      }
      text += n;
      length -= static_cast<size_t>(n);
    }
  }
  if (error == 0 && !FlushFileBuffers((HANDLE)_get_osfhandle(fd))) {
    error = errnoOfWin32Error(GetLastError());
  }
  if (_close(fd) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 &&
      !MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = errnoOfWin32Error(GetLastError());
  }
  if (error != 0) {
    _unlink(temporary);
  }
  errno = error;
  return error == 0 ? TRUE : FALSE;
}

// A file's identity: its volume and its index there, links followed.
static BOOL fileIdentity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
  const HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  const BOOL ok = GetFileInformationByHandle(h, info);
  CloseHandle(h);
  return ok;
}

BOOL Platform_SameFile(const char *path, const char *other) {
  BY_HANDLE_FILE_INFORMATION a, b;
  return fileIdentity(path, &a) && fileIdentity(other, &b) &&
                 a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                 a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow
             ? TRUE
             : FALSE;
}

BOOL Platform_WriteDescriptor(int fd, const char *text, size_t length) {
  while (length > 0) {
    const int chunk = length > 65536 ? 65536 : static_cast<int>(length);
    const int n = _write(fd, text, static_cast<unsigned>(chunk));
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
