#include "PortList.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "Console.h"
#include "RunRecord.h"
#include "TextHelpers.h"
#include "platform/Platform.h"

// The most ports --list-ports shows.
#define PORT_LIST_CAPACITY 256

namespace {

// A text of the port list as the system gave it (a file name, a link's
// target, an adapter's attribute), made safe for the terminal.
std::string shown(const char *text) { return printableBytes(text, strlen(text), false); }

// One line of what tells this port's adapter from another, when the system
// says anything.
void showPortDetail(const char *label, const std::string &text) {
  if (!text.empty()) {
    Console_Printf("        %-12s%s\r\n", label, text.c_str());
  }
}

// One port of the list: its name, what it leads to and why it can't be
// used, then the adapter's names and USB figures, a line each.
void showListedPort(const PlatformPortInfo &port) {
  // A device without a COM number is named by its path alone, which
  // --port takes.
  char name[16] = "";
  if (port.number != 0) {
    snprintf(name, sizeof name, "COM%-4d ", port.number);
  }
  const std::string note = shown(port.note);
  Console_Printf("%s%s%s%s%s\r\n", name, shown(port.device).c_str(), note.empty() ? "" : "  (",
                 note.c_str(), note.empty() ? "" : ")");
  showPortDetail("by-id", shown(port.byId));
  showPortDetail("by-path", shown(port.byPath));
  std::string usb;
  if (port.vendorId[0] != '\0' || port.productId[0] != '\0') {
    usb = shown(port.vendorId) + ":" + shown(port.productId);
  }
  for (const char *part : {port.manufacturer, port.product}) {
    if (part[0] != '\0') {
      usb += (usb.empty() ? "" : " ") + shown(part);
    }
  }
  showPortDetail("usb", usb);
  showPortDetail("serial", shown(port.serialNumber));
  showPortDetail("driver", shown(port.driver));
  showPortDetail("name", shown(port.friendlyName));
  showPortDetail("hardware id", shown(port.hardwareId));
}

}  // namespace

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
    showListedPort(ports[static_cast<size_t>(k)]);
  }
  std::vector<RunRecordPort> listed;
  for (int k = 0; k < found && k < PORT_LIST_CAPACITY; k++) {
    const PlatformPortInfo &port = ports[static_cast<size_t>(k)];
    RunRecordPort entry;
    entry.number = port.number;
    entry.device = port.device;
    entry.held = port.held != 0;
    entry.note = port.note;
    const std::pair<const char *, const char *> details[] = {
        {"by_id", port.byId},
        {"by_path", port.byPath},
        {"vendor_id", port.vendorId},
        {"product_id", port.productId},
        {"manufacturer", port.manufacturer},
        {"product", port.product},
        {"serial_number", port.serialNumber},
        {"driver", port.driver},
        {"friendly_name", port.friendlyName},
        {"hardware_id", port.hardwareId},
    };
    for (const auto &detail : details) {
      if (detail.second[0] != '\0') {
        entry.details.emplace_back(detail.first, detail.second);
      }
    }
    listed.push_back(entry);
  }
  RunRecord_SetPorts(listed);
  if (found > PORT_LIST_CAPACITY) {
    Console_Printf("... and %d more\r\n", found - PORT_LIST_CAPACITY);
  }
  return 0;
}
