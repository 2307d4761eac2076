#include "RunOptions.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "Console.h"
#include "PortNames.h"
#include "RunLog.h"
#include "TessaronFwUpgrade.h"
#include "firmware/BinImage.h"
#include "platform/Platform.h"

namespace {

// The logic devices by the code the unit reports (DEVICE_... in
// TessaronFwUpgrade.h).
const char *deviceName(int code) {
  static const char *const kNames[] = {"none",        "XC7A35_484",   "XC7A50_484",   "XC7A75_484",
                                       "XC7A100_484", "XC7A200_S484", "XC7A200_F484", "XC7A75_676",
                                       "XC7A100_676", "XC7A15_484"};
  return code >= 0 && code < static_cast<int>(sizeof kNames / sizeof kNames[0]) ? kNames[code]
                                                                                : "unknown";
}

const char *imagesKind(void) {
  return strcmp(AUTOGEN_IMAGES_KIND, "release") == 0 ? "release images"
                                                     : "stand-in images, never for a real unit";
}

// The most ports --list-ports shows.
#define PORT_LIST_CAPACITY 256

// One image of this release for the unit, converted as the update converts
// it: its name, length and checksum. 0 (after the conversion's message)
// when the text is not valid.
BOOL showImage(const char *what, char *text, int entry) {
  if (text == nullptr || !ValidateFwAndConcatenateData(text)) {
    Console_Line("\r\nERROR: the image cannot be converted !\r");
    return 0;
  }
  Console_Printf("    %-20s%-32s%9d bytes  checksum %u\r\n", what, AUTOGEN_FILES[entry].filePath,
                 gDataConcatenatedLenght, imageCheckSum());
  return 1;
}

// A text of the port list as the system gave it (a file name, a link's
// target, an adapter's attribute), made safe for the terminal.
std::string shown(const char *text) { return Console_Printable(text, strlen(text), false); }

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

void printVersionText(void) {
  Console_Printf("TessaronFwUpgrade %s\n", FWUPG_TOOL_VERSION);
  Console_Printf("Firmware release %s, %s:\n", FIRMWARE_VERSION_TO_UPLOAD, imagesKind());
  Console_Printf("  # file text-bytes text-sha256 image-bytes checksum\n");
  for (int k = 0; k < AUTOGEN_FILE_COUNT; k++) {
    Console_Printf("  %s\n", AUTOGEN_IMAGE_FIGURES[k]);
  }
}

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
  if (found > PORT_LIST_CAPACITY) {
    Console_Printf("... and %d more\r\n", found - PORT_LIST_CAPACITY);
  }
  return 0;
}

BOOL showUnitInformation(void) {
  const UnitIdentity &unit = gUnitIdentity;
  Console_Printf("\r\nUnit on %s at %d baud\r\n", PortNames_TextWithDevice(gComPortNumber).c_str(),
                 gBaudRate);
  Console_Printf("  Firmware version : %d.%02d.%02d\r\n", unit.fw_ver, unit.fw_rev, unit.fw_sub);
  Console_Printf("  Logic version    : %s %d.%02d\r\n", unit.model, unit.fpga_ver, unit.fpga_rev);
  Console_Printf("  Logic device     : %d (%s%s)\r\n", unit.fpga_type, deviceName(unit.fpga_type),
                 unit.fpga_type == DEVICE_XC7A100_484 ? ", engineering sample" : "");
  Console_Printf("  Role             : %s\r\n", unit.role == 1 ? "TX" : "RX");
  Console_Printf("  Release %s would write:\r\n", FIRMWARE_VERSION_TO_UPLOAD);
  return showImage("Programmable Logic", gHexFPGA_Code, unit.logicEntry) &&
         showImage("Firmware", gHexFirmware, AUTOGEN_MICROCONTROLLER_ENTRY);
}

void logRunStart(int argc, const char *const *argv) {
  RunLog_Record("tool", "TessaronFwUpgrade %s", FWUPG_TOOL_VERSION);
  RunLog_Record("command", "%s", CommandLine_Text(argc, argv).c_str());
  RunLog_Record("release", "%s, %s", FIRMWARE_VERSION_TO_UPLOAD, imagesKind());
}

void logUnitIdentity(void) {
  const UnitIdentity &unit = gUnitIdentity;
  if (unit.versionFields == 7) {
    RunLog_Record("unit", "firmware %d.%02d.%02d, logic %s %d.%02d, device %d (%s)", unit.fw_ver,
                  unit.fw_rev, unit.fw_sub, unit.model, unit.fpga_ver, unit.fpga_rev,
                  unit.fpga_type, deviceName(unit.fpga_type));
  } else {
    RunLog_Record("unit", "versions not known: %d of the 7 fields of the reply to \"%%fw -v\"",
                  unit.versionFields);
  }
  if (unit.role >= 0) {
    RunLog_Record("role", "%s", unit.role == 1 ? "TX" : "RX");
  }
  // The images this release has for the unit, with the figures IMAGES.txt
  // gives: what an update sends.
  if (unit.logicEntry >= 0) {
    RunLog_Record("image", "%s", AUTOGEN_IMAGE_FIGURES[unit.logicEntry]);
    RunLog_Record("image", "%s", AUTOGEN_IMAGE_FIGURES[AUTOGEN_MICROCONTROLLER_ENTRY]);
  }
}

void logRunEnd(int exitCode, const char *outcome) { RunLog_Result(outcome, exitCode); }

void logInterruptedRun(const char *signalName, int exitCode) {
  const int fd = RunLog_Descriptor();
  if (fd >= 0) {
    size_t length = 0;
    const char *text = RunLog_InterruptText(signalName, exitCode, &length);
    Platform_WriteDescriptor(fd, text, length);
  }
}
