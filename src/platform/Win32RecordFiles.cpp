// The run's record files on Windows: opened for appending and never emptied
// by the open, told apart by volume serial number and file index, held with
// a byte-range lock, and removed again only when this run made them.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <string.h>

#include "Platform.h"

namespace {

// The byte that a run locks to hold its record: far beyond any data, so that
// the lock, which Windows enforces on reads and writes, never stands in the
// way of one, and alike for every run.
const DWORD kHoldOffsetLow = 0xFFFFFFFEu;
const DWORD kHoldOffsetHigh = 0x7FFFFFFFu;

int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    default:
      return EIO;
  }
}

HANDLE handleOf(const PlatformRecordFile *file) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(file->fd));
}

}  // namespace

BOOL Platform_OpenRecordFile(const char *path, PlatformRecordFile *file) {
  file->fd = -1;
  file->made = 0;
  file->held = 0;
  file->madePath[0] = '\0';
  // Others may read, write and remove the file while it is open: whether
  // another run is writing it is told by the hold, not by a failed open.
  // Reading, for the last byte of an earlier record, and removing, for a
  // file made here by a run then refused, are asked for where they are
  // allowed.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD accesses[] = {GENERIC_READ | GENERIC_WRITE | DELETE, GENERIC_WRITE | DELETE,
                            GENERIC_READ | GENERIC_WRITE, GENERIC_WRITE};
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_ACCESS_DENIED;
  for (DWORD access : accesses) {
    h = CreateFileA(path, access, share, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    error = GetLastError();
    if (h != INVALID_HANDLE_VALUE || error != ERROR_ACCESS_DENIED) {
      break;
    }
  }
  if (h == INVALID_HANDLE_VALUE) {
    errno = errnoOf(error);
    return 0;
  }
  // OPEN_ALWAYS tells whether the file was there: it is made here otherwise.
  const BOOL made = error != ERROR_ALREADY_EXISTS;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    errno = EIO;
    return 0;
  }
  file->fd = fd;
  file->regular = GetFileType(h) == FILE_TYPE_DISK ? 1 : 0;
  BY_HANDLE_FILE_INFORMATION info;
  if (file->regular && GetFileInformationByHandle(h, &info)) {
    file->volume = info.dwVolumeSerialNumber;
    file->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  } else {
    // A device or a pipe has no identity to compare: it matches no other.
    file->regular = 0;
    file->volume = UINT64_MAX;
    file->index = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h));
  }
  file->made = made && file->regular;
  if (file->made && strlen(path) < sizeof file->madePath) {
    memcpy(file->madePath, path, strlen(path) + 1);
  }
  return 1;
}

int Platform_HoldRecordFile(PlatformRecordFile *file) {
  if (!file->regular) {
    file->held = 1;
    return 1;
  }
  OVERLAPPED at;
  memset(&at, 0, sizeof at);
  at.Offset = kHoldOffsetLow;
  at.OffsetHigh = kHoldOffsetHigh;
  if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &at)) {
    // A run that made the file and was then refused removes it as it lets
    // go: a file held only then would vanish with the record in it.
    FILE_STANDARD_INFO standard;
    if (GetFileInformationByHandleEx(handleOf(file), FileStandardInfo, &standard,
                                     sizeof standard) &&
        standard.DeletePending) {
      (void)UnlockFileEx(handleOf(file), 0, 1, 0, &at);
      errno = ENOENT;
      return -1;
    }
    file->held = 1;
    return 1;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
    return 0;
  }
  if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) {
    // A share without locks: the record is written without the guard.
    file->held = 1;
    return 1;
  }
  errno = errnoOf(error);
  return -1;
}

BOOL Platform_EmptyRecordFile(PlatformRecordFile *file) {
  if (!file->regular) {
    return 1;
  }
  LARGE_INTEGER start;
  start.QuadPart = 0;
  const HANDLE h = handleOf(file);
  if (!SetFilePointerEx(h, start, NULL, FILE_BEGIN) || !SetEndOfFile(h)) {
    errno = errnoOf(GetLastError());
    return 0;
  }
  return 1;
}

int Platform_LastByteOfRecordFile(const PlatformRecordFile *file) {
  LARGE_INTEGER size;
  const HANDLE h = handleOf(file);
  if (!file->regular || !GetFileSizeEx(h, &size) || size.QuadPart <= 0) {
    return -1;
  }
  OVERLAPPED at;
  memset(&at, 0, sizeof at);
  const uint64_t last = static_cast<uint64_t>(size.QuadPart) - 1;
  at.Offset = static_cast<DWORD>(last & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(last >> 32);
  unsigned char byte = 0;
  DWORD read = 0;
  if (!ReadFile(h, &byte, 1, &read, &at) || read != 1) {
    return -1;
  }
  return byte;
}

void Platform_CloseRecordFile(PlatformRecordFile *file, BOOL removeMade) {
  if (file->fd < 0) {
    return;
  }
  if (removeMade && file->made && file->held) {
    // Removed through the handle: the very file made here, never a link
    // that led to it. Without the right to remove, it stays (empty).
    FILE_DISPOSITION_INFO remove;
    remove.DeleteFile = TRUE;
    (void)SetFileInformationByHandle(handleOf(file), FileDispositionInfo, &remove, sizeof remove);
  }
  _close(file->fd);
  file->fd = -1;
  file->held = 0;
}
