// Platform layer of the Windows build: the list of COM ports there are
// (--list-ports), with what each leads to, whether another program holds
// it, and the names Device Manager gives its device, which tell one
// adapter from another. Nothing is written to any port.
// The plain C runtime calls (snprintf) are used here; the runtime's
// "secure" variants would tie the code to one compiler.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

// GUID_DEVCLASS_PORTS, Device Manager's class of ports, is defined here.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
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

// What Device Manager shows of a port's device.
struct DeviceNames {
  std::string friendlyName;  // "USB Serial Port (COM5)"
  std::string instanceId;    // "USB\VID_0403&PID_6001\A50285BI", with the serial number
};

// One text property of a device; "" when it has none.
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property) {
  char text[PLATFORM_PORT_FIELD];
  memset(text, 0, sizeof text);
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type,
                                         reinterpret_cast<BYTE *>(text), sizeof text - 1, NULL) ||
      type != REG_SZ) {
    return "";
  }
  return text;
}

// The COM number a device of the ports class has (its "PortName" value);
// 0 for a printer port or a device without one.
int deviceComNumber(HDEVINFO set, SP_DEVINFO_DATA *device) {
  const HKEY key =
      SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) {
    return 0;
  }
  char portName[32];
  memset(portName, 0, sizeof portName);
  DWORD type = 0;
  DWORD length = sizeof portName - 1;
  const LONG status =
      RegQueryValueExA(key, "PortName", NULL, &type, reinterpret_cast<BYTE *>(portName), &length);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && type == REG_SZ ? portNumberFromName(portName) : 0;
}

// Device Manager's names of the present COM ports, by number: the devices of
// the ports class (GUID_DEVCLASS_PORTS) through SetupAPI. Empty when it
// knows none, as Wine's may: the list then shows what it always did.
std::map<int, DeviceNames> deviceManagerNames(void) {
  std::map<int, DeviceNames> names;
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) {
    return names;
  }
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); index++) {
    const int n = deviceComNumber(set, &device);
    if (n == 0) {
      continue;
    }
    DeviceNames &found = names[n];
    found.friendlyName = deviceProperty(set, &device, SPDRP_FRIENDLYNAME);
    char id[PLATFORM_PORT_FIELD];
    memset(id, 0, sizeof id);
    if (SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id - 1, NULL)) {
      found.instanceId = id;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
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
  const std::map<int, DeviceNames> names = deviceManagerNames();
  for (size_t k = 0; k < found.size() && static_cast<int>(k) < capacity; k++) {
    PlatformPortInfo &info = ports[k];
    memset(&info, 0, sizeof info);
    info.number = found[k].first;
    const auto named = names.find(info.number);
    if (named != names.end()) {
      snprintf(info.friendlyName, sizeof info.friendlyName, "%s",
               named->second.friendlyName.c_str());
      snprintf(info.hardwareId, sizeof info.hardwareId, "%s", named->second.instanceId.c_str());
    }
    snprintf(info.device, sizeof info.device, "%s", found[k].second.c_str());
    info.held = portHeld(info.number, info.note, sizeof info.note);
  }
  return static_cast<int>(found.size());
}
