// The update sequence: the unit's versions and role, the choice of the logic
// image, the upload of both images and the check that the unit came back.
#ifndef UNITUPDATE_H
#define UNITUPDATE_H

#include "firmware/BinImage.h"
#include "platform/Win32Types.h"

// Programmable-logic device codes reported by the unit: the one table of the
// codes the tool knows. Which of them an image serves, and for which role, is
// the image catalogue's (firmware/catalogue.json, read through
// tools/images/catalogue.py, which reads these lines too).
#define DEVICE_NONE 0x00
#define DEVICE_XC7A35_484 0x01
#define DEVICE_XC7A50_484 0x02
#define DEVICE_XC7A75_484 0x03
#define DEVICE_XC7A100_484 0x04
#define DEVICE_XC7A200_S484 0x05
#define DEVICE_XC7A200_F484 0x06
#define DEVICE_XC7A75_676 0x07
#define DEVICE_XC7A100_676 0x08
#define DEVICE_XC7A15_484 0x09

// The name of a logic-device code, as the codes above name it ("XC7A35_484");
// "unknown" for a code not among them.
const char *logicDeviceName(int code);

#define VALIDATE_TX_PRODUCT_ID_STRING "Korvex 6G SDI EXTENDER TX\r\n>>"
#define VALIDATE_TX2_PRODUCT_ID_STRING "Korvex 6G SDI EXT PELMAROTH-B TX\r\n>>"
#define VALIDATE_RX_PRODUCT_ID_STRING "Korvex 6G SDI EXTENDER RX\r\n>>"
#define VALIDATE_RX2_PRODUCT_ID_STRING "Korvex 6G SDI EXT PELMAROTH-B RX\r\n>>"

// What the last interrogation learnt of the unit, for --info and the run
// log.
struct UnitIdentity {
  int versionFields;  // fields read from the reply to "%fw -v"; 7 when it was whole
  int fw_ver, fw_rev, fw_sub;
  char model[8];
  int fpga_ver, fpga_rev, fpga_type;
  int role;        // 1 TX, 0 RX, -1 not identified
  int logicEntry;  // the logic image chosen (AUTOGEN_FILES), -1 none
};
extern UnitIdentity gUnitIdentity;

// Whether the last updateFirmware() saw the unit's console come back after
// the reboot (and so showed the success line). An update that returned 1
// without it took both images, but the unit's restart is unconfirmed.
extern BOOL gUnitRestartConfirmed;

// The whole update of the unit on the open port: versions, role, logic
// image, firmware image, reboot. 1 when the unit took both images.
BOOL updateFirmware(void);
// Its first half: the unit's versions and role (gUnitIdentity), and the
// logic image for it copied into gHexFPGA_Code. Nothing is written to the
// unit but "%fw -v" and "%fw -p". 1 when the unit was identified.
BOOL identifyUnitAndSelectImage(void);
// The same with the logic images `images` (count rows, laid out as the
// catalogue's AUTOGEN_LOGIC_IMAGES) in place of the catalogue's.
BOOL identifyUnitAndSelectImageFrom(const autogen_logic_image *images, int count);
// The entry of AUTOGEN_FILES that `images` give a unit reporting deviceCode
// in the role isTx (1 TX, 0 RX; -1 either role), or -1 when none serves it.
int chooseLogicImage(const autogen_logic_image *images, int count, int deviceCode, int isTx);
// After a confirmed restart: asks the unit "%fw -v" once more, shows
// nothing, and puts what it reports in the run record (gRunRecord.after). 1
// when the reply had every field.
BOOL askUnitVersionsAfterRestart(void);
// The unit's reply to "%fw -v", its line ends already blanks, read as
// "%d.%d.%d %s %d.%d %d" reads it (`model` gets at most 7 characters and its
// terminator); the number of fields converted.
int parseVersionReply(const char *reply, int *fw_ver, int *fw_rev, int *fw_sub, char *model,
                      int *fpga_ver, int *fpga_rev, int *fpga_type);

#endif
