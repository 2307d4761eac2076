// Platform layer of the Windows build: the console through the C runtime,
// the plain waits and clock, what an interrupt at the last key wait ends
// with, and whether a build with stand-in images may run here at all.
// The plain C runtime calls (fgets) are used here; the runtime's
// "secure" variants would tie the code to one compiler.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "OperatorNumber.h"

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

namespace {

volatile LONG sInterruptExitCode = 0;

// Runs on a thread of its own while the main thread waits for the key.
BOOL WINAPI endWithTheRunsResult(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    ExitProcess(static_cast<UINT>(sInterruptExitCode));
  }
  return FALSE;
}

}  // namespace

void Platform_SetInterruptHook(void (*)(const char *, int)) {
  // An interrupt ends the program as Windows ends it (or, at the last key
  // wait, with the run's result, which the run log has already): nothing to
  // add to the log, which holds every line up to then.
}

void Platform_SetInterruptExitCode(int exitCode) {
  // The port is closed by now: ending the process leaves nothing behind.
  sInterruptExitCode = exitCode;
  (void)SetConsoleCtrlHandler(endWithTheRunsResult, TRUE);
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
