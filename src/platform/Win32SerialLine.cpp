// Platform layer of the Windows build: the serial port through the KERNEL32
// communications calls. The console is Win32Console.cpp, the output files
// Win32Files.cpp.
//
// Every serial function hands its arguments to the Win32 call of the same
// name unchanged, so that the port behaves exactly as the driver of the COM
// port defines it: reads end at the count or at the COMMTIMEOUTS limits,
// writes wait on CTS while output flow control is on, up to the write
// time-outs of the record. A failing call keeps the system's error code for
// Platform_LastErrorText.
//
// A program with stand-in images runs only under Wine and opens only the
// ports that Wine maps to a pseudo-terminal (see "Ports of a program with
// stand-in images" below).

// The plain C runtime calls (snprintf) are used here; the runtime's
// "secure" variants would tie the code to one compiler.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "PortName.h"
#include "Win32Ports.h"

namespace {

// The port of the last open ("COM3"; under Wine, for a program with stand-in
// images, with its device: "COM3 (/dev/pts/4)"), what failed last, and the
// system's error code then. A failure this layer decides itself keeps its
// whole text in sErrorText instead (sOwnText).
char sPortName[MAX_PATH + 32];
const char *sFailedCall = "";
DWORD sErrorCode = 0;
bool sOwnText = false;
char sErrorText[2048];

BOOL noted(BOOL result, const char *call) {
  if (!result) {
    sErrorCode = GetLastError();
    sFailedCall = call;
    sOwnText = false;
  }
  return result;
}

/*---------------------------------------------------------------------------
 * Ports of a program with stand-in images
 *
 * Such a program must never reach a real unit. It runs only under Wine
 * (Platform_StandInRefusal), where a prefix maps COM numbers to the
 * machine's serial devices and USB adapters as readily as to the
 * pseudo-terminals the tests put their simulated units on; so it opens a
 * port only when Wine's port table maps it to a pseudo-terminal, and counts
 * every other port as missing.
 *
 * The port table is the registry key HKLM\Software\Wine\Ports ("COM3" =
 * "/dev/pts/4"), from which Wine's mount manager makes the link
 * dosdevices\com3 that CreateFile("\\.\COM3") follows. That link can't be
 * read from a Windows program without opening what it leads to, and the
 * open alone raises DTR and RTS on a real port. So the port is never opened
 * by its COM name: its table entry is read and checked, and exactly that
 * Unix path is opened, through the Windows name Wine gives it.
 *-------------------------------------------------------------------------*/

bool sPseudoTerminalsOnly = false;

// kernel32's wine_get_dos_file_name: the Windows name of a Unix path, in a
// buffer of the process heap.
typedef WCHAR *(CDECL *WineDosFileName)(const char *unixPath);
WineDosFileName sWineDosFileName = NULL;

const char kWinePortTable[] = "Software\\Wine\\Ports";
const char kNotPseudoTerminal[] =
    "not a pseudo-terminal; a program with stand-in images leaves the port alone";

// "/dev/pts/" and a number, and nothing else: the slave side of a
// pseudo-terminal, never a path that only passes through that folder.
bool isPseudoTerminalPath(const char *path) {
  static const char kPts[] = "/dev/pts/";
  const size_t prefix = sizeof kPts - 1;
  if (strncmp(path, kPts, prefix) != 0 || path[prefix] == '\0') {
    return false;
  }
  for (const char *p = path + prefix; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') {
      return false;
    }
  }
  return true;
}

// The text of a value of Wine's port table that holds one; false otherwise.
bool readTableText(HKEY table, const char *valueName, char *text, DWORD size) {
  DWORD type = 0;
  DWORD length = size - 1;
  if (RegQueryValueExA(table, valueName, NULL, &type, reinterpret_cast<BYTE *>(text), &length) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  text[length] = '\0';
  return true;
}

// Whether something of that Unix path exists. A directory search only looks
// the name up (stat); the file itself, a device perhaps, is not opened.
bool unixPathExists(const char *path) {
  WCHAR *windowsName = sWineDosFileName(path);
  if (windowsName == NULL) {
    return false;
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(windowsName, &found);
  HeapFree(GetProcessHeap(), 0, windowsName);
  if (search == INVALID_HANDLE_VALUE) {
    return false;
  }
  FindClose(search);
  return true;
}

// A port left alone: it fails as a missing port does, with this layer's reason.
HANDLE refused(const char *reason) {
  snprintf(sErrorText, sizeof sErrorText, "%s: %s", sPortName, reason);
  sOwnText = true;
  sErrorCode = ERROR_FILE_NOT_FOUND;
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

// Opens port n by the pseudo-terminal that Wine's port table maps it to.
HANDLE openPseudoTerminalPort(int n, DWORD desiredAccess, DWORD shareMode,
                              DWORD creationDisposition, DWORD flagsAndAttributes) {
  char valueName[16];
  snprintf(valueName, sizeof valueName, "COM%d", n);
  snprintf(sPortName, sizeof sPortName, "%s", valueName);
  HKEY table;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinePortTable, 0, KEY_QUERY_VALUE, &table) !=
      ERROR_SUCCESS) {
    return refused(
        "Wine's port table (HKLM\\Software\\Wine\\Ports) can't be read; a program with "
        "stand-in images opens only the pseudo-terminals named there");
  }
  char path[MAX_PATH];
  const bool inTable = readTableText(table, valueName, path, sizeof path);
  RegCloseKey(table);
  if (!inTable) {
    return refused(
        "Wine's port table (HKLM\\Software\\Wine\\Ports) has no entry for it; a program "
        "with stand-in images opens only the pseudo-terminals named there");
  }
  snprintf(sPortName, sizeof sPortName, "%s (%s)", valueName, path);
  if (!isPseudoTerminalPath(path)) {
    return refused(kNotPseudoTerminal);
  }
  WCHAR *windowsName = sWineDosFileName(path);
  if (windowsName == NULL) {
    return refused("Wine gives this path no Windows name");
  }
  const HANDLE h = CreateFileW(windowsName, desiredAccess, shareMode, NULL, creationDisposition,
                               flagsAndAttributes, NULL);
  (void)noted(h != INVALID_HANDLE_VALUE, "");
  HeapFree(GetProcessHeap(), 0, windowsName);
  return h;
}

// The entries of Wine's port table that name a COM port and a path where
// something exists, in the table's order. Entries that name nothing (or no
// COM port) are as missing ports are.
}  // namespace

std::vector<PortTarget> win32WinePortTable(void) {
  std::vector<PortTarget> ports;
  HKEY table;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinePortTable, 0, KEY_QUERY_VALUE, &table) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD index = 0;; index++) {
    char valueName[256];
    DWORD nameLength = sizeof valueName;
    char path[MAX_PATH];
    DWORD type = 0;
    DWORD length = sizeof path - 1;
    const LONG status = RegEnumValueA(table, index, valueName, &nameLength, NULL, &type,
                                      reinterpret_cast<BYTE *>(path), &length);
    if (status == ERROR_NO_MORE_ITEMS) {
      break;
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) {
      continue;
    }
    path[length] = '\0';
    const int n = portNumberFromName(valueName);
    if (n != 0 && unixPathExists(path)) {
      ports.push_back(PortTarget(n, path));
    }
  }
  RegCloseKey(table);
  return ports;
}

namespace {

// One line for each port that Wine's port table maps to something that
// exists but is no pseudo-terminal, in sErrorText; "" when there is none.
// Detection passes such a port over in silence, so it is named once here.
void noteTableEntriesLeftAlone(void) {
  sErrorText[0] = '\0';
  sOwnText = true;
  size_t used = 0;
  for (const PortTarget &port : win32WinePortTable()) {
    if (isPseudoTerminalPath(port.second.c_str())) {
      continue;
    }
    const int written =
        snprintf(sErrorText + used, sizeof sErrorText - used, "%sCOM%d (%s): %s",
                 used > 0 ? "\n" : "", port.first, port.second.c_str(), kNotPseudoTerminal);
    if (written < 0 || static_cast<size_t>(written) >= sizeof sErrorText - used) {
      break;
    }
    used += static_cast<size_t>(written);
  }
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
  if (n == 0 && strchr(deviceName, '/') != NULL) {
    // Under Wine a Unix path would reach the machine's own devices past
    // every guard of this layer; on Windows it names no port at all.
    return refused("a device path names a port on Linux only; here, give the COM number");
  }
  if (sPseudoTerminalsOnly) {
    if (n == 0) {
      return refused("not the name of a COM port");
    }
    return openPseudoTerminalPort(n, desiredAccess, shareMode, creationDisposition,
                                  flagsAndAttributes);
  }
  // No security attributes, no template; no FILE_FLAG_OVERLAPPED is ever
  // passed, so every read and write below is synchronous.
  const HANDLE h = CreateFileA(deviceName, desiredAccess, shareMode, NULL, creationDisposition,
                               flagsAndAttributes, NULL);
  (void)noted(h != INVALID_HANDLE_VALUE, "");
  return h;
}

// Windows names the port by its COM name alone.
const char *Platform_OpenedPortDevice(void) { return ""; }

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

bool win32PseudoTerminalsOnly(void) { return sPseudoTerminalsOnly; }

bool win32LastOpenFoundPortHeld(void) {
  return !sOwnText && (sErrorCode == ERROR_ACCESS_DENIED || sErrorCode == ERROR_SHARING_VIOLATION);
}

const char *win32LastPortName(void) { return sPortName; }

void win32NoteFailedPortList(void) {
  (void)noted(FALSE, "list of devices: ");
  snprintf(sPortName, sizeof sPortName, "COM ports");
}

BOOL Platform_PreparePorts(BOOL portMapRequired) {
  sPseudoTerminalsOnly = portMapRequired != 0;
  sErrorCode = 0;
  sOwnText = false;
  if (!sPseudoTerminalsOnly) {
    // Windows names its COM ports itself; there is no other table to fall
    // back to.
    return TRUE;
  }
  sWineDosFileName = reinterpret_cast<WineDosFileName>(reinterpret_cast<void (*)(void)>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name")));
  if (sWineDosFileName == NULL) {
    snprintf(sErrorText, sizeof sErrorText,
             "this program carries stand-in firmware images and opens only the pseudo-terminals "
             "of Wine's port table, but this Wine has no wine_get_dos_file_name; no port is used");
    sOwnText = true;
    return FALSE;
  }
  noteTableEntriesLeftAlone();
  return TRUE;
}

const char *Platform_LastErrorText(void) {
  if (sOwnText) {
    return sErrorText;
  }
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
