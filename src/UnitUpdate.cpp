// The update sequence: the unit's versions and role, the choice of the logic
// image, the upload of both images and the check that the unit came back.
#include "UnitUpdate.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "ComPortAPI.h"
#include "Console.h"
#include "ConsoleProtocol.h"
#include "ImageConversion.h"
#include "PortDetection.h"
#include "RunLogRecords.h"
#include "RunRecord.h"
#include "TextHelpers.h"
#include "StartUp.h"
#include "firmware/BinImage.h"
#include "platform/Platform.h"

BOOL gUnitRestartConfirmed = 0;
UnitIdentity gUnitIdentity = {0, 0, 0, 0, "", 0, 0, -1, -1, -1};

const char *logicDeviceName(int code) {
  // Each code once, by its constant, beside the name it has.
  static const struct {
    int code;
    const char *name;
  } kDevices[] = {
      {DEVICE_NONE, "none"},
      {DEVICE_XC7A35_484, "XC7A35_484"},
      {DEVICE_XC7A50_484, "XC7A50_484"},
      {DEVICE_XC7A75_484, "XC7A75_484"},
      {DEVICE_XC7A100_484, "XC7A100_484"},
      {DEVICE_XC7A200_S484, "XC7A200_S484"},
      {DEVICE_XC7A200_F484, "XC7A200_F484"},
      {DEVICE_XC7A75_676, "XC7A75_676"},
      {DEVICE_XC7A100_676, "XC7A100_676"},
      {DEVICE_XC7A15_484, "XC7A15_484"},
  };
  for (const auto &device : kDevices) {
    if (device.code == code) {
      return device.name;
    }
  }
  return "unknown";
}

#define REBOOT_STEPS 46
#define REBOOT_STEP_MS 3000

// Reads the unit's version reply the way "%d.%d.%d %s %d.%d %d" reads it,
// except that a device name longer than 7 characters is cut to 7 instead of
// running past `model`. Returns the number of fields converted.
int parseVersionReply(const char *reply, int *fw_ver, int *fw_rev, int *fw_sub, char *model,
                      int *fpga_ver, int *fpga_rev, int *fpga_type) {
  int consumed = 0;
  const int head = sscanf(reply, "%d.%d.%d%n", fw_ver, fw_rev, fw_sub, &consumed);
  if (head != 3) {
    return head < 0 ? 0 : head;
  }
  const char *p = reply + consumed;
  while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) {
    p++;
  }
  if (*p == '\0') {
    return 3;
  }
  size_t tokenLength = 0;
  while (p[tokenLength] != '\0' && !isspace(static_cast<unsigned char>(p[tokenLength]))) {
    tokenLength++;
  }
  const size_t kept = std::min<size_t>(tokenLength, 7);
  memcpy(model, p, kept);
  model[kept] = '\0';
  const int tail = sscanf(p + tokenLength, "%d.%d %d", fpga_ver, fpga_rev, fpga_type);
  return 4 + (tail < 0 ? 0 : tail);
}

// Announces the image now in gDataConcatenated (catalogue entry `entry`) with
// its checksum and length and waits for the unit's "Ready".
static BOOL announceImage(const char *kind, int entry, const char *command, int readingTimeoutMs) {
  char commandToSend[100];
  gDataConcatenatedCheckSum = imageCheckSum();
  snprintf(commandToSend, sizeof commandToSend, "%s %u %d", command, gDataConcatenatedCheckSum,
           gDataConcatenatedLenght);
  RunRecord_ImageAnnounced(kind, AUTOGEN_FILES[entry].filePath, gDataConcatenatedLenght,
                           gDataConcatenatedCheckSum);
  (void)ComPortAPI_SetReadingTimeoutInMs(readingTimeoutMs);
  if (!sendCommand(commandToSend, 0, 1, "Ready")) {
    Console_Line("FAILED [Unit not ready]\r");
    return 0;
  }
  Console_Line("OK\r");
  return 1;
}

// Streams the image at 115200 baud and waits for "SUCCESS".
static BOOL streamImage(void) {
  (void)ComPortAPI_SetBaudRate(115200);
  (void)ComPortAPI_SetReadingTimeoutInMs(1000);
  return sendData(gDataConcatenated, gDataConcatenatedLenght, 1, "SUCCESS");
}

int chooseLogicImage(const autogen_logic_image *images, int count, int deviceCode, int isTx) {
  for (int k = 0; k < count; k++) {
    if (images[k].deviceCode == deviceCode && (isTx < 0 || images[k].isTx == isTx)) {
      return images[k].entry;
    }
  }
  return -1;
}

// Asks the unit for its versions ("%fw -v") and reads the reply into the
// version fields of *unit (role and image left unknown); the number of fields
// converted.
static int askUnitVersions(UnitIdentity *unit) {
  int fw_ver = 0, fw_rev = 0, fw_sub = 0;
  char model[8] = "";
  int fpga_ver = 0, fpga_rev = 0;
  int fpga_type = -1;

  (void)ComPortAPI_SetReadingTimeoutInMs(1000);
  (void)sendCommand("%fw -v", 0, 0, nullptr);

  int nBytesRead = 0;
  (void)readIntoDataBuffer(&nBytesRead);
  StrRemoveNL(gDataBuffer, ' ');
  const int nbr = parseVersionReply(gDataBuffer, &fw_ver, &fw_rev, &fw_sub, model, &fpga_ver,
                                    &fpga_rev, &fpga_type);
  *unit = UnitIdentity{nbr, fw_ver, fw_rev, fw_sub, "", fpga_ver, fpga_rev, fpga_type, -1, -1};
  memcpy(unit->model, model, sizeof model);
  return nbr;
}

// Asks the unit for its versions and shows them when the reply has every
// field; the logic-device code, -1 when the reply gave none.
static int readUnitVersions(void) {
  const int nbr = askUnitVersions(&gUnitIdentity);
  const UnitIdentity &unit = gUnitIdentity;
  if (nbr == 7) {
    Console_Printf("Checking firmware version ..............  %d.%02d.%02d \r\n", unit.fw_ver,
                   unit.fw_rev, unit.fw_sub);
    // The device name is the unit's text: shown as a wrong reply is, so
    // that an escape sequence in it can't act on the operator's terminal.
    Console_Printf("Checking fpga version ..................  %s %d.%02d  device:%d\r\n",
                   printableReply(unit.model).c_str(), unit.fpga_ver, unit.fpga_rev,
                   unit.fpga_type);
  }
  return unit.fpga_type;
}

BOOL askUnitVersionsAfterRestart(void) {
  UnitIdentity unit;
  const int nbr = askUnitVersions(&unit);
  RunRecordUnitAfter after;
  after.asked = true;
  after.versionFields = nbr;
  after.fw_ver = unit.fw_ver;
  after.fw_rev = unit.fw_rev;
  after.fw_sub = unit.fw_sub;
  after.model = unit.model;
  after.fpga_ver = unit.fpga_ver;
  after.fpga_rev = unit.fpga_rev;
  after.fpga_type = unit.fpga_type;
  RunRecord_SetUnitAfter(after);
  return nbr == 7 ? 1 : 0;
}

// Tells TX from RX by the identification texts the unit may give to
// "%fw -p", tried in turn; 0 when none matched.
static BOOL identifyUnitRole(bool *isTx, const char **identification) {
  static const struct {
    const char *text;
    bool isTx;
  } kProducts[] = {
      {VALIDATE_TX_PRODUCT_ID_STRING, true},
      {VALIDATE_TX2_PRODUCT_ID_STRING, true},
      {VALIDATE_RX_PRODUCT_ID_STRING, false},
      {VALIDATE_RX2_PRODUCT_ID_STRING, false},
  };
  int matched = -1;
  for (int k = 0; k < 4 && matched < 0; k++) {
    if (sendCommand("%fw -p", 0, 1, kProducts[k].text)) {
      matched = k;
    }
  }
  if (matched < 0) {
    Console_Line("FAILED\r");
    return 0;
  }
  *isTx = kProducts[matched].isTx;
  *identification = kProducts[matched].text;
  gUnitIdentity.role = *isTx ? 1 : 0;
  if (*isTx) {
    Console_Line("TX OK\r");
    Console_Printf("%s", VALIDATE_TX_PRODUCT_ID_STRING);
  } else {
    Console_Line("RX OK\r");
    Console_Printf("%s", VALIDATE_RX_PRODUCT_ID_STRING);
  }
  Console_Line("\r");
  return 1;
}

// The interrogation and the choice of the logic image from `images`; the
// reply to "%fw -p" that told the role in *identification.
static BOOL identifyAndSelect(const autogen_logic_image *images, int count,
                              const char **identification) {
  const int fpga_type = readUnitVersions();

  Console_Printf("Checking product .......... ");
  // A code that no image serves for either role is refused before the unit
  // is asked for its role.
  if (chooseLogicImage(images, count, fpga_type, -1) < 0) {
    Console_Line("FAILED, Unknown product\r");
    return 0;
  }
  if (fpga_type == DEVICE_XC7A100_484) {
    Console_Line("ENG. SAMPLE detected\r");
  }

  bool isTx = false;
  if (!identifyUnitRole(&isTx, identification)) {
    return 0;
  }

  // A code may be served for one role only: a unit of the other role is an
  // unknown product as well.
  const int page_idx = chooseLogicImage(images, count, fpga_type, isTx ? 1 : 0);
  if (page_idx < 0) {
    Console_Line("FAILED, Unknown product\r");
    return 0;
  }
  gUnitIdentity.logicEntry = page_idx;
  free(gHexFPGA_Code);
  gHexFPGA_Code = newImageTextCopy(page_idx);
  if (gHexFPGA_Code == nullptr) {
    Console_Line("\r\nERROR: Not enough memory for the Programmable Logic image !\r");
    return 0;
  }
  return 1;
}

BOOL identifyUnitAndSelectImageFrom(const autogen_logic_image *images, int count) {
  const char *identification = "";
  const BOOL identified = identifyAndSelect(images, count, &identification);
  RunRecord_SetUnitBefore(gUnitIdentity, identification);
  return identified;
}

BOOL identifyUnitAndSelectImage(void) {
  return identifyUnitAndSelectImageFrom(AUTOGEN_LOGIC_IMAGES, AUTOGEN_LOGIC_IMAGE_COUNT);
}

// One image of the update: its text, and what the operator sees of it.
struct UploadPhase {
  const char *kind;           // the image's kind in the run record
  const char *invalidText;    // printed as a line when the text is rejected
  const char *preparingText;  // before the announcement
  const char *command;        // the announcement's command
  int readyTimeoutMs;         // silence that ends the unit's "Ready"
  const char *sendingText;    // before the data
};

static const UploadPhase kLogicPhase = {"logic",
                                        "\r\nERROR: Programmable Logic data is not valid !\r",
                                        "Preparing to Upload Programmable Logic ............ ",
                                        "%fw -l",
                                        10000,
                                        "Sending Programmable Logic data ................... "};

static const UploadPhase kFirmwarePhase = {"firmware",
                                           "\r\nERROR: uC Firmware data is not valid !\r",
                                           "Preparing to Upload Firmware ...................... ",
                                           "%fw -h",
                                           5000,
                                           "Sending data ...................................... "};

// Converts the image text, announces the image and streams it until the
// unit acknowledges it.
static BOOL uploadImage(char *imageText, int entry, const UploadPhase &phase) {
  if (!ValidateFwAndConcatenateData(imageText)) {
    Console_Line(phase.invalidText);
    return 0;
  }
  Console_Printf("%s", phase.preparingText);
  if (!announceImage(phase.kind, entry, phase.command, phase.readyTimeoutMs)) {
    return 0;
  }
  Console_Printf("%s", phase.sendingText);
  if (!streamImage()) {
    Console_Line("FAILED\r");
    return 0;
  }
  RunRecord_ImageAcknowledged();
  return 1;
}

// Whether the unit's console is back, from the text read after the reboot
// wait: a boot ends by showing a "[" line and the prompt. A unit that was up
// before the wait ended had that text dropped with the rest (and some boot
// without a word), so any other text, or none, is followed by one detection
// exchange at the console's rate, whose exact answer shows the console as
// surely. A line whose read failed has gone and is not asked. How it showed
// itself ("prompt" or "answer") or nullptr when it did not.
static const char *unitConsoleIsBack(const char *finalText, BOOL lineReadable) {
  const size_t finalLength = strlen(finalText);
  if (finalLength >= 2 && finalText[0] == '[' && finalText[finalLength - 2] == '>' &&
      finalText[finalLength - 1] == '>') {
    return "prompt";
  }
  if (!lineReadable) {
    return nullptr;
  }
  (void)ComPortAPI_SetReadingTimeoutInMs(MAX_WAIT_READ);
  return consoleAnswersDetectionCommand() == 1 ? "answer" : nullptr;
}

BOOL updateFirmware(void) {
  gUnitRestartConfirmed = 0;
  const BOOL identified = identifyUnitAndSelectImage();
  logUnitIdentity();  // the unit as it was before the update, in the run log
  if (!identified) {
    return 0;
  }
  if (!uploadImage(gHexFPGA_Code, gUnitIdentity.logicEntry, kLogicPhase)) {
    return 0;
  }
  Console_Line("OK\r");
  // The firmware's announcement and data go out at 115200 baud, where the
  // logic image left the line.
  if (!uploadImage(gHexFirmware, AUTOGEN_MICROCONTROLLER_ENTRY, kFirmwarePhase)) {
    return 0;
  }

  // The unit reboots into the new firmware at its console rate.
  (void)ComPortAPI_SetBaudRate(gBaudRate);
  Console_Printf(" OK\n\r\n\r");
  Console_Printf("Please wait while the unit is rebooting ........... ");
  for (int i = 0; i < REBOOT_STEPS; i++) {
    Console_Printf("%3d%%", i * 100 / REBOOT_STEPS);
    Platform_Sleep(REBOOT_STEP_MS);
    Console_Printf("\b\b\b\b");
  }
  Console_Printf("%3d%%", 100);

  // What the unit said while rebooting is dropped; then its console must
  // show itself.
  int nBytesRead = 0;
  (void)readIntoDataBuffer(&nBytesRead);
  (void)ComPortAPI_SetReadingTimeoutInMs(11000);
  const BOOL lineReadable = readIntoDataBuffer(&nBytesRead);
  Console_Printf("\b\b\b\b");
  Console_Printf("100%%");
  const char *how = unitConsoleIsBack(gDataBuffer, lineReadable);
  if (how != nullptr) {
    Console_Line("\n\r\n\rThe update was successful, the unit is now operational\r");
    gUnitRestartConfirmed = 1;
    RunRecord_RestartConfirmed(how);
  }
  return 1;
}
