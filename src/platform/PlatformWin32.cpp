// Platform layer of the Windows build: the serial port through the KERNEL32
// communications calls, the console through the C runtime.
//
// Every serial function hands its arguments to the Win32 call of the same
// name unchanged, so that the port behaves exactly as the driver of the COM
// port defines it: reads end at the count or at the COMMTIMEOUTS limits,
// writes wait on CTS while output flow control is on, up to the write
// time-outs of the record. A failing call keeps the system's error code for
// Platform_LastErrorText.

// The plain C runtime calls (fgets, snprintf) are used here; the runtime's
// "secure" variants would tie the code to one compiler.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include "OperatorNumber.h"
#include "PortName.h"

namespace {

// The port of the last open ("COM3"), what failed last, and the system's
// error code then.
char sPortName[16];
const char *sFailedCall = "";
DWORD sErrorCode = 0;
char sErrorText[512];

BOOL noted(BOOL result, const char *call) {
  if (!result) {
    sErrorCode = GetLastError();
    sFailedCall = call;
  }
  return result;
}

}  // namespace

HANDLE Platform_CreateFileA(const char *deviceName, DWORD desiredAccess, DWORD shareMode,
                            DWORD creationDisposition, DWORD flagsAndAttributes) {
  // The failure texts name the port as the other layers do; a name that is
  // no COM port's goes to the system all the same, and is shown as given.
  const int n = portNumberFromName(deviceName);
  if (n != 0) {
    snprintf(sPortName, sizeof sPortName, "COM%d", n);
  } else {
    const char *shortName = strncmp(deviceName, "\\\\.\\", 4) == 0 ? deviceName + 4 : deviceName;
    snprintf(sPortName, sizeof sPortName, "%s", shortName);
  }
  // No security attributes, no template; no FILE_FLAG_OVERLAPPED is ever
  // passed, so every read and write below is synchronous.
  const HANDLE h = CreateFileA(deviceName, desiredAccess, shareMode, NULL, creationDisposition,
                               flagsAndAttributes, NULL);
  (void)noted(h != INVALID_HANDLE_VALUE, "");
  return h;
}

BOOL Platform_SetupComm(HANDLE hCom, DWORD inQueue, DWORD outQueue) {
  return noted(SetupComm(hCom, inQueue, outQueue), "queue sizes: ");
}

BOOL Platform_SetCommTimeouts(HANDLE hCom, const COMMTIMEOUTS *timeouts) {
  // The Win32 prototype takes a non-const pointer although it only reads the
  // record; a copy keeps the caller's master record untouchable.
  COMMTIMEOUTS copy = *timeouts;
  return noted(SetCommTimeouts(hCom, &copy), "time-outs: ");
}

BOOL Platform_SetCommState(HANDLE hCom, const DCB *dcb) {
  DCB copy = *dcb;
  return noted(SetCommState(hCom, &copy), "line settings: ");
}

BOOL Platform_PurgeComm(HANDLE hCom, DWORD flags) { return PurgeComm(hCom, flags); }

BOOL Platform_EscapeCommFunction(HANDLE hCom, DWORD function) {
  return EscapeCommFunction(hCom, function);
}

BOOL Platform_ReadFile(HANDLE hCom, void *buffer, DWORD bytesToRead, DWORD *bytesRead) {
  DWORD received = 0;
  const BOOL result = noted(ReadFile(hCom, buffer, bytesToRead, &received, NULL), "read: ");
  *bytesRead = received;
  // Bytes that came before a failure (a USB adapter that goes away as the
  // unit reboots) are the unit's last reply; the next read reports it.
  return result || received > 0 ? TRUE : FALSE;
}

BOOL Platform_WriteFile(HANDLE hCom, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten) {
  DWORD sent = 0;
  const BOOL result = noted(WriteFile(hCom, buffer, bytesToWrite, &sent, NULL), "write: ");
  *bytesWritten = sent;
  // A write that runs into the port's write time-out completes "successfully"
  // with fewer bytes than asked: for the serial link that is a failure.
  if (result && sent != bytesToWrite) {
    sErrorCode = ERROR_TIMEOUT;
    sFailedCall = "write: ";
    return FALSE;
  }
  return result;
}

BOOL Platform_CloseHandle(HANDLE hCom) { return noted(CloseHandle(hCom), "close: "); }

BOOL Platform_PreparePorts(BOOL) {
  // Windows names its COM ports itself; there is no other table to fall
  // back to.
  return TRUE;
}

const char *Platform_LastErrorText(void) {
  if (sErrorCode == 0) {
    return "";
  }
  char reason[400];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      NULL, sErrorCode, 0, reason, sizeof reason, NULL);
  if (length == 0) {
    snprintf(reason, sizeof reason, "system error %lu", static_cast<unsigned long>(sErrorCode));
  }
  // The system's text ends with a line end.
  for (size_t k = strlen(reason);
       k > 0 && (reason[k - 1] == '\r' || reason[k - 1] == '\n' || reason[k - 1] == ' '); k--) {
    reason[k - 1] = '\0';
  }
  snprintf(sErrorText, sizeof sErrorText, "%s: %s%s", sPortName, sFailedCall, reason);
  return sErrorText;
}

void Platform_Sleep(DWORD milliseconds) { Sleep(milliseconds); }

uint64_t Platform_GetTickCount64(void) { return GetTickCount64(); }

void Platform_ConsoleInit(void) {
  // A console stdout is unbuffered already, but one redirected to a file or
  // a pipe is fully buffered by the runtime: the progress figures would then
  // only appear at exit.
  setvbuf(stdout, NULL, _IONBF, 0);
  // The texts carry their own "\r" and "\n" in both orders; text mode would
  // turn every "\n" into "\r\n" and change what the operator's log shows.
  (void)_setmode(_fileno(stdout), _O_BINARY);
}

void Platform_ConsoleWrite(const char *text, size_t length) {
  if (length > 0) {
    (void)fwrite(text, 1, length, stdout);
  }
}

int Platform_ConsoleReadInt(int *value) { return readOperatorNumber(stdin, value); }

int Platform_Getch(void) { return _getch(); }

/*---------------------------------------------------------------------------
 * Output files and start-up
 *-------------------------------------------------------------------------*/

#include <errno.h>
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
  // A link of that name, or a new name, takes a move: MoveFileExA replaces a
  // link, never what it leads to, and the new file keeps the access it was
  // created with.
  if (error == 0) {
    const DWORD replaced = GetFileAttributesA(to);
    const bool plainFile =
        replaced != INVALID_FILE_ATTRIBUTES &&
        (replaced & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    const BOOL placed =
        plainFile ? ReplaceFileA(to, from, NULL, 0, NULL, NULL)
                  : MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!placed) {
      error = errnoOfWin32Error(GetLastError());
    }
  }
  errno = error;
  return error == 0 ? 1 : 0;
}

const char *Platform_StandInRefusal(void) {
  // Wine's ntdll exports wine_get_version; Windows' own does not.
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL) {
    return NULL;
  }
  return "ERROR: stopping: a build with stand-in images runs only under Wine, for tests, and "
         "this is Windows itself.";
}
