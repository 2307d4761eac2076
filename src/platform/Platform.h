// The tool's only door to the operating system.
//
// Exactly one implementation is linked into each program:
//   PlatformWin32.cpp  the Windows build (KERNEL32 serial calls, the console)
//   PlatformPosix.cpp  Linux and macOS (termios on a serial device or a pty)
//   PlatformSim.cpp    an in-process simulated unit on a virtual clock, for
//                      fast and deterministic tests
// The serial operations take the arguments and give the results of the Win32
// call they are named after, so that the serial link above them is written
// once and reads like the Windows program it is.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stddef.h>

#include "Win32Types.h"

// Serial port. The device name has the form "\\.\COMn".
HANDLE Platform_CreateFileA(const char *deviceName, DWORD desiredAccess, DWORD shareMode,
                            DWORD creationDisposition, DWORD flagsAndAttributes);
BOOL Platform_SetupComm(HANDLE hCom, DWORD inQueue, DWORD outQueue);
BOOL Platform_SetCommTimeouts(HANDLE hCom, const COMMTIMEOUTS *timeouts);
BOOL Platform_SetCommState(HANDLE hCom, const DCB *dcb);
BOOL Platform_PurgeComm(HANDLE hCom, DWORD flags);
BOOL Platform_EscapeCommFunction(HANDLE hCom, DWORD function);
BOOL Platform_ReadFile(HANDLE hCom, void *buffer, DWORD bytesToRead, DWORD *bytesRead);
BOOL Platform_WriteFile(HANDLE hCom, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten);
BOOL Platform_CloseHandle(HANDLE hCom);

// Settles, before any port is touched, how port numbers reach devices. With
// portMapRequired (programs that carry stand-in images) ports are reached
// only through a port map, never the machine's usual devices. 0 when no port
// may be used at all: a port map that is there but unusable, or none where
// one is required.
BOOL Platform_PreparePorts(BOOL portMapRequired);

// Why the last serial call failed, in words for the operator: the port, its
// device where there is one, and the system's reason. "" before any failure.
const char *Platform_LastErrorText(void);

// A plain wait.
void Platform_Sleep(DWORD milliseconds);

// Console. Output is never buffered: progress figures are redrawn in place
// with backspaces and must show while the transfer runs.
void Platform_ConsoleInit(void);
void Platform_ConsoleWrite(const char *text, size_t length);
// One line of the operator's input as a decimal number: 1 with the value; 0
// when the line holds anything else, an empty line too; EOF at the end of
// the input. The value is stored only on 1.
int Platform_ConsoleReadInt(int *value);
// One key press, without echo and without Enter; returns at once at the end
// of the input so that a script never hangs here.
int Platform_Getch(void);

#endif
