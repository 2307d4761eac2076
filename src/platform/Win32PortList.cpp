// Platform layer of the Windows build: the list of COM ports there are
// (--list-ports), with what each leads to and whether another program
// holds it. Nothing is written to any port.
// The plain C runtime calls (snprintf) are used here; the runtime's
// "secure" variants would tie the code to one compiler.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "PortName.h"
#include "Win32Ports.h"

namespace {

// Whether another program holds port n: the open the serial link makes
// (which, for a program with stand-in images, reaches only the
// pseudo-terminals of Wine's port table), closed again at once. `note` gets
// why the port can't be used, "" when it can.
BOOL portHeld(int n, char *note, size_t size) {
  char name[24];
  snprintf(name, sizeof name, "\\\\.\\COM%d", n);
  const HANDLE h = Platform_CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_SYSTEM);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    note[0] = '\0';
    return FALSE;
  }
  const BOOL held = win32LastOpenFoundPortHeld() ? TRUE : FALSE;
  // The reason without the port's name, which the list shows already.
  const char *reason = Platform_LastErrorText();
  const char *portName = win32LastPortName();
  const size_t named = strlen(portName);
  if (strncmp(reason, portName, named) == 0 && strncmp(reason + named, ": ", 2) == 0) {
    reason += named + 2;
  }
  snprintf(note, size, "%s%s", held ? "held by another program: " : "", reason);
  return held;
}

// The COM port numbers there are, with what each leads to: the system's
// COM devices, or for a program with stand-in images the entries of Wine's
// port table, the only ports it may open. 0 when they can't be read.
BOOL portNumbers(std::vector<PortTarget> *found) {
  if (win32PseudoTerminalsOnly()) {
    *found = win32WinePortTable();
    return TRUE;
  }
  // Every DOS device name of the system, NUL-separated; the buffer grows
  // until the list fits.
  std::vector<char> names(65536);
  while (QueryDosDeviceA(NULL, names.data(), static_cast<DWORD>(names.size())) == 0) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 24)) {
      win32NoteFailedPortList();
      return FALSE;
    }
    names.resize(names.size() * 2);
  }
  for (const char *name = names.data(); *name != '\0'; name += strlen(name) + 1) {
    const int n = portNumberFromName(name);
    char target[PLATFORM_PORT_TEXT];
    if (n != 0 && QueryDosDeviceA(name, target, sizeof target) != 0) {
      found->push_back(PortTarget(n, target));
    }
  }
  return TRUE;
}

}  // namespace

BOOL Platform_PortDevice(int number, char *device, size_t size) {
  char name[16];
  snprintf(name, sizeof name, "COM%d", number);
  return size > 0 && QueryDosDeviceA(name, device, static_cast<DWORD>(size)) != 0 ? TRUE : FALSE;
}

int Platform_ListPorts(PlatformPortInfo *ports, int capacity) {
  std::vector<PortTarget> found;
  if (!portNumbers(&found)) {
    return -1;
  }
  std::sort(found.begin(), found.end());
  found.erase(
      std::unique(found.begin(), found.end(),
                  [](const PortTarget &x, const PortTarget &y) { return x.first == y.first; }),
      found.end());
  for (size_t k = 0; k < found.size() && static_cast<int>(k) < capacity; k++) {
    PlatformPortInfo &info = ports[k];
    info.number = found[k].first;
    snprintf(info.device, sizeof info.device, "%s", found[k].second.c_str());
    info.held = portHeld(info.number, info.note, sizeof info.note);
  }
  return static_cast<int>(found.size());
}
