#include "PortList.h"

#include <stdio.h>

#include <vector>

#include "Console.h"
#include "RunRecord.h"
#include "platform/Platform.h"

// The most ports --list-ports shows.
#define PORT_LIST_CAPACITY 256

int listComPorts(void) {
  std::vector<PlatformPortInfo> ports(PORT_LIST_CAPACITY);
  const int found = Platform_ListPorts(ports.data(), PORT_LIST_CAPACITY);
  if (found < 0) {
    Console_Error("ERROR: the COM ports cannot be listed: %s", Platform_LastErrorText());
    return -1;
  }
  if (found == 0) {
    Console_Printf("No COM port found.\r\n");
  }
  for (int k = 0; k < found && k < PORT_LIST_CAPACITY; k++) {
    const PlatformPortInfo &port = ports[static_cast<size_t>(k)];
    char name[16];
    snprintf(name, sizeof name, "COM%d", port.number);
    Console_Printf("%-7s %s%s%s%s\r\n", name, port.device, port.note[0] != '\0' ? "  (" : "",
                   port.note, port.note[0] != '\0' ? ")" : "");
  }
  std::vector<RunRecordPort> listed;
  for (int k = 0; k < found && k < PORT_LIST_CAPACITY; k++) {
    const PlatformPortInfo &port = ports[static_cast<size_t>(k)];
    RunRecordPort entry;
    entry.number = port.number;
    entry.device = port.device;
    entry.held = port.held != 0;
    entry.note = port.note;
    listed.push_back(entry);
  }
  RunRecord_SetPorts(listed);
  if (found > PORT_LIST_CAPACITY) {
    Console_Printf("... and %d more\r\n", found - PORT_LIST_CAPACITY);
  }
  return 0;
}
