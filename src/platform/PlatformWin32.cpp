// Platform layer of the Windows build: the serial port through the KERNEL32
// communications calls, the console through the C runtime.
//
// Every serial function hands its arguments to the Win32 call of the same
// name unchanged, so that the port behaves exactly as the driver of the COM
// port defines it: reads end at the count or at the COMMTIMEOUTS limits,
// writes wait on CTS while output flow control is on, up to the write
// time-outs of the record.

// scanf is the plain C runtime call here; the runtime's "secure" variants
// would tie the code to one compiler.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

HANDLE Platform_CreateFileA(const char *deviceName, DWORD desiredAccess, DWORD shareMode,
                            DWORD creationDisposition, DWORD flagsAndAttributes) {
  // No security attributes, no template; no FILE_FLAG_OVERLAPPED is ever
  // passed, so every read and write below is synchronous.
  return CreateFileA(deviceName, desiredAccess, shareMode, NULL, creationDisposition,
                     flagsAndAttributes, NULL);
}

BOOL Platform_SetupComm(HANDLE hCom, DWORD inQueue, DWORD outQueue) {
  return SetupComm(hCom, inQueue, outQueue);
}

BOOL Platform_SetCommTimeouts(HANDLE hCom, const COMMTIMEOUTS *timeouts) {
  // The Win32 prototype takes a non-const pointer although it only reads the
  // record; a copy keeps the caller's master record untouchable.
  COMMTIMEOUTS copy = *timeouts;
  return SetCommTimeouts(hCom, &copy);
}

BOOL Platform_SetCommState(HANDLE hCom, const DCB *dcb) {
  DCB copy = *dcb;
  return SetCommState(hCom, &copy);
}

BOOL Platform_PurgeComm(HANDLE hCom, DWORD flags) { return PurgeComm(hCom, flags); }

BOOL Platform_EscapeCommFunction(HANDLE hCom, DWORD function) {
  return EscapeCommFunction(hCom, function);
}

BOOL Platform_ReadFile(HANDLE hCom, void *buffer, DWORD bytesToRead, DWORD *bytesRead) {
  DWORD received = 0;
  const BOOL result = ReadFile(hCom, buffer, bytesToRead, &received, NULL);
  *bytesRead = received;
  // Bytes that came before a failure (a USB adapter that goes away as the
  // unit reboots) are the unit's last reply; the next read reports it.
  return result || received > 0 ? TRUE : FALSE;
}

BOOL Platform_WriteFile(HANDLE hCom, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten) {
  DWORD sent = 0;
  const BOOL result = WriteFile(hCom, buffer, bytesToWrite, &sent, NULL);
  *bytesWritten = sent;
  // A write that runs into the port's write time-out completes "successfully"
  // with fewer bytes than asked: for the serial link that is a failure.
  return result && sent == bytesToWrite ? TRUE : FALSE;
}

BOOL Platform_CloseHandle(HANDLE hCom) { return CloseHandle(hCom); }

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

int Platform_ConsoleReadInt(int *value) { return scanf("%d", value); }

int Platform_Getch(void) { return _getch(); }
