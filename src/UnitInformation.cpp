#include "UnitInformation.h"

#include "Console.h"
#include "ConsoleProtocol.h"
#include "ImageConversion.h"
#include "PortDetection.h"
#include "RunRecord.h"
#include "StartUp.h"
#include "TextHelpers.h"
#include "UnitUpdate.h"
#include "firmware/BinImage.h"

// One image of this release for the unit, converted as the update converts
// it: its name, length and checksum. 0 (after the conversion's message)
// when the text is not valid.
static BOOL showImage(const char *what, char *text, int entry) {
  if (text == nullptr || !ValidateFwAndConcatenateData(text)) {
    Console_Line("\r\nERROR: the image cannot be converted !\r");
    return 0;
  }
  Console_Printf("    %-20s%-32s%9d bytes  checksum %u\r\n", what, AUTOGEN_FILES[entry].filePath,
                 gDataConcatenatedLenght, imageCheckSum());
  return 1;
}

BOOL showUnitInformation(void) {
  const UnitIdentity &unit = gRunRecord.before;
  Console_Printf("\r\nUnit on COM%d at %d baud\r\n", gRunRecord.portNumber, gRunRecord.baudRate);
  Console_Printf("  Firmware version : %d.%02d.%02d\r\n", unit.fw_ver, unit.fw_rev, unit.fw_sub);
  // The model is the unit's own text: escaped, so that it can't drive the
  // terminal.
  Console_Printf("  Logic version    : %s %d.%02d\r\n", printableText(unit.model).c_str(),
                 unit.fpga_ver, unit.fpga_rev);
  Console_Printf("  Logic device     : %d (%s%s)\r\n", unit.fpga_type,
                 logicDeviceName(unit.fpga_type),
                 unit.fpga_type == DEVICE_XC7A100_484 ? ", engineering sample" : "");
  Console_Printf("  Role             : %s\r\n", unit.role == 1 ? "TX" : "RX");
  Console_Printf("  Release %s would write:\r\n", FIRMWARE_VERSION_TO_UPLOAD);
  return showImage("Programmable Logic", gHexFPGA_Code, unit.logicEntry) &&
         showImage("Firmware", gHexFirmware, AUTOGEN_MICROCONTROLLER_ENTRY);
}
