// The platform under the fuzz targets: no serial port exists, nothing is
// waited for, and console output is dropped, so that a conversion that
// rejects its text doesn't spend the run printing the rejected line.
#include "platform/Platform.h"

HANDLE Platform_CreateFileA(const char *, DWORD, DWORD, DWORD, DWORD) {
  return INVALID_HANDLE_VALUE;
}
BOOL Platform_SetupComm(HANDLE, DWORD, DWORD) { return FALSE; }
BOOL Platform_SetCommTimeouts(HANDLE, const COMMTIMEOUTS *) { return FALSE; }
BOOL Platform_SetCommState(HANDLE, const DCB *) { return FALSE; }
BOOL Platform_PurgeComm(HANDLE, DWORD) { return FALSE; }
BOOL Platform_EscapeCommFunction(HANDLE, DWORD) { return FALSE; }
BOOL Platform_ReadFile(HANDLE, void *, DWORD, DWORD *bytesRead) {
  if (bytesRead != nullptr) {
    *bytesRead = 0;
  }
  return FALSE;
}
BOOL Platform_WriteFile(HANDLE, const void *, DWORD, DWORD *bytesWritten) {
  if (bytesWritten != nullptr) {
    *bytesWritten = 0;
  }
  return FALSE;
}
BOOL Platform_CloseHandle(HANDLE) { return FALSE; }
BOOL Platform_PreparePorts(BOOL) { return FALSE; }
int Platform_ListPorts(PlatformPortInfo *, int) { return 0; }
BOOL Platform_PortDevice(int, char *, size_t) { return FALSE; }
const char *Platform_LastErrorText(void) { return "no serial port under the fuzz targets"; }
void Platform_Sleep(DWORD) {}
uint64_t Platform_GetTickCount64(void) { return 0; }
void Platform_ConsoleInit(void) {}
void Platform_SetInterruptHook(void (*)(const char *, int)) {}
void Platform_ConsoleWrite(const char *, size_t) {}
int Platform_ConsoleReadInt(int *) { return -1; }
int Platform_Getch(void) { return -1; }
void Platform_SetInterruptExitCode(int) {}
