// A station's child runs on Windows: this program started again on one port
// (CreateProcess), its transcript read through an anonymous pipe, its
// diagnostics appended to a file; the console interrupts the station notes
// instead of ending at once; and the private folder of the children's files.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "Platform.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

struct PlatformProcess {
  HANDLE process;
  HANDLE output;  // the read end of the child's standard output; NULL once ended
};

namespace {

volatile LONG sInterrupt = 0;

BOOL WINAPI noteInterrupt(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    InterlockedCompareExchange(&sInterrupt, 2, 0);
    // The children share the console and get the same event: each ends its
    // run as an interrupt ends it, and the station shows what they did.
    return TRUE;
  }
  return FALSE;
}

// One argument as the C runtime of the child reads it back.
std::string quoted(const std::string &argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
    return argument;
  }
  std::string out = "\"";
  size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

}  // namespace

BOOL Platform_OwnExecutable(char *path, size_t capacity) {
  const DWORD n = GetModuleFileNameA(NULL, path, static_cast<DWORD>(capacity));
  return n > 0 && n < capacity;
}

PlatformProcess *Platform_StartProcess(const char *const *argv, const char *errorPath) {
  SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
  HANDLE readEnd = NULL, writeEnd = NULL;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    return nullptr;
  }
  // Only the write end goes to the child.
  (void)SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, NULL);
  HANDLE error = CreateFileA(errorPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  std::string commandLine;
  for (int k = 0; argv[k] != nullptr; k++) {
    commandLine += (k > 0 ? " " : "") + quoted(argv[k]);
  }
  std::vector<char> writable(commandLine.begin(), commandLine.end());
  writable.push_back('\0');
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writeEnd;
  startup.hStdError = error;
  PROCESS_INFORMATION info;
  const BOOL started =
      input != INVALID_HANDLE_VALUE && error != INVALID_HANDLE_VALUE &&
      CreateProcessA(argv[0], writable.data(), NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info);
  CloseHandle(writeEnd);
  if (input != INVALID_HANDLE_VALUE) {
    CloseHandle(input);
  }
  if (error != INVALID_HANDLE_VALUE) {
    CloseHandle(error);
  }
  if (!started) {
    CloseHandle(readEnd);
    return nullptr;
  }
  CloseHandle(info.hThread);
  return new PlatformProcess{info.hProcess, readEnd};
}

int Platform_WaitForOutput(PlatformProcess *const *processes, int count, DWORD milliseconds) {
  // Anonymous pipes can't be waited on: look at each, then wait a little.
  const ULONGLONG until = GetTickCount64() + milliseconds;
  for (;;) {
    for (int k = 0; k < count; k++) {
      if (processes[k] == nullptr || processes[k]->output == NULL) {
        continue;
      }
      DWORD available = 0;
      if (!PeekNamedPipe(processes[k]->output, NULL, 0, NULL, &available, NULL) || available > 0) {
        return k;  // output, or the pipe has ended
      }
    }
    if (GetTickCount64() >= until || InterlockedCompareExchange(&sInterrupt, 0, 0) != 0) {
      return -1;
    }
    Sleep(20);
  }
}

long Platform_ReadOutput(PlatformProcess *process, char *buffer, size_t capacity) {
  if (process->output == NULL) {
    return 0;
  }
  DWORD available = 0;
  if (PeekNamedPipe(process->output, NULL, 0, NULL, &available, NULL) && available == 0) {
    return -1;
  }
  DWORD got = 0;
  if (!ReadFile(process->output, buffer, static_cast<DWORD>(capacity), &got, NULL) || got == 0) {
    CloseHandle(process->output);
    process->output = NULL;
    return 0;
  }
  return static_cast<long>(got);
}

void Platform_StopProcess(PlatformProcess *process) {
  // Ending the process closes its port; Windows gives the line back.
  (void)TerminateProcess(process->process, 0xC000013AU);
}

int Platform_EndProcess(PlatformProcess *process) {
  (void)WaitForSingleObject(process->process, INFINITE);
  DWORD code = 255;
  (void)GetExitCodeProcess(process->process, &code);
  CloseHandle(process->process);
  if (process->output != NULL) {
    CloseHandle(process->output);
  }
  delete process;
  // 0xC000013A: ended by Ctrl-C; shown as a shell shows SIGINT.
  return code == 0xC000013AU ? 130 : static_cast<int>(code & 0xFF);
}

void Platform_CatchInterrupts(void) { (void)SetConsoleCtrlHandler(noteInterrupt, TRUE); }

int Platform_InterruptCaught(void) {
  return static_cast<int>(InterlockedCompareExchange(&sInterrupt, 0, 0));
}

const char *Platform_InterruptName(void) { return Platform_InterruptCaught() != 0 ? "Ctrl-C" : ""; }

BOOL Platform_OutputIsTerminal(void) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
    return 0;
  }
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) ? 1 : 0;
}

BOOL Platform_MakePrivateFolder(char *path, size_t capacity) {
  char base[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n > MAX_PATH) {
    return 0;
  }
  for (unsigned attempt = 0; attempt < 100; attempt++) {
    const int length = snprintf(path, capacity, "%sTessaronFwUpgrade-station-%lu-%u", base,
                                static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (length < 0 || static_cast<size_t>(length) >= capacity) {
      return 0;
    }
    if (CreateDirectoryA(path, NULL)) {
      return 1;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      return 0;
    }
  }
  return 0;
}

void Platform_RemoveFolder(const char *path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((std::string(path) + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
        (void)DeleteFileA((std::string(path) + "\\" + found.cFileName).c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  (void)RemoveDirectoryA(path);
}
