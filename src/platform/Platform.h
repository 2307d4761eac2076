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
#include <stdint.h>

#include "Win32Types.h"

// Serial port. The device name has the form "\\.\COMn".
HANDLE Platform_CreateFileA(const char *deviceName, DWORD desiredAccess, DWORD shareMode,
                            DWORD creationDisposition, DWORD flagsAndAttributes);
BOOL Platform_SetupComm(HANDLE hCom, DWORD inQueue, DWORD outQueue);
BOOL Platform_SetCommTimeouts(HANDLE hCom, const COMMTIMEOUTS *timeouts);
BOOL Platform_SetCommState(HANDLE hCom, const DCB *dcb);
BOOL Platform_PurgeComm(HANDLE hCom, DWORD flags);
BOOL Platform_EscapeCommFunction(HANDLE hCom, DWORD function);
// A read ends at its count or at the read time-out. When the line hangs up
// after some bytes arrived, the read returns them and succeeds; the next
// read reports the hang-up.
BOOL Platform_ReadFile(HANDLE hCom, void *buffer, DWORD bytesToRead, DWORD *bytesRead);
// A write succeeds only when every byte was taken. With write time-outs in
// the record (WriteTotalTimeoutConstant plus WriteTotalTimeoutMultiplier
// per byte) a write not done by then fails with the count it got out; with
// both 0 it has no time-out.
BOOL Platform_WriteFile(HANDLE hCom, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten);
BOOL Platform_CloseHandle(HANDLE hCom);

// A plain wait.
void Platform_Sleep(DWORD milliseconds);
// Milliseconds from an arbitrary start, never going back: the clock that
// bounds the longer waits (the simulated platform's virtual clock there).
uint64_t Platform_GetTickCount64(void);

// Console. Output is never buffered: progress figures are redrawn in place
// with backspaces and must show while the transfer runs. The set-up also
// prepares the process for the ways a run can be cut short: on POSIX a
// closed standard output (SIGPIPE) no longer ends the program, and SIGINT,
// SIGTERM and SIGHUP close the open port, give the terminal back its
// settings and end the program with 128 plus the signal number.
void Platform_ConsoleInit(void);
void Platform_ConsoleWrite(const char *text, size_t length);
// scanf("%d") on the operator's input: its result, the value only on 1.
int Platform_ConsoleReadInt(int *value);
// One key press, without echo and without Enter; returns at once at the end
// of the input so that a script never hangs here.
int Platform_Getch(void);

#endif
