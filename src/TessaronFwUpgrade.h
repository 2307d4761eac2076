// The update driver: start-up and operator dialogue, the unit's console
// protocol, port detection, the update sequence, image conversion and the
// web upload package.
#ifndef TESSARONFWUPGRADE_H
#define TESSARONFWUPGRADE_H

#include <stdint.h>

#include "firmware/BinImage.h"
#include "platform/Win32Types.h"

// The release of the embedded images, from the image catalogue.
#define FIRMWARE_VERSION_TO_UPLOAD AUTOGEN_RELEASE_VERSION
#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)
#define DATA_BUFFER_SIZE 1024 * 1000

#define KORVEX_PRODUCT_NAME "613284"
#define FIRMWARE_FILE_HEADER_FOR_WEB "KorVex\r\n" KORVEX_PRODUCT_NAME "\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928

// Programmable-logic device codes reported by the unit.
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

#define VALIDATE_TX_PRODUCT_ID_STRING "Korvex 6G SDI EXTENDER TX\r\n>>"
#define VALIDATE_TX2_PRODUCT_ID_STRING "Korvex 6G SDI EXT PELMAROTH-B TX\r\n>>"
#define VALIDATE_RX_PRODUCT_ID_STRING "Korvex 6G SDI EXTENDER RX\r\n>>"
#define VALIDATE_RX2_PRODUCT_ID_STRING "Korvex 6G SDI EXT PELMAROTH-B RX\r\n>>"

extern char *gHexFirmware;
extern char *gHexFPGA_Code;
extern uint8_t *gDataConcatenated;
extern int gDataConcatenatedLenght;
extern uint32_t gDataConcatenatedCheckSum;
extern char *gDataBuffer;
extern int gComPortNumber;
extern int gBaudRate;
// Whether the last updateFirmware() saw the unit's console come back after
// the reboot (and so showed the success line). An update that returned 1
// without it took both images, but the unit's restart is unconfirmed.
extern BOOL gUnitRestartConfirmed;

// The whole run of the update tool. It is the program's main(); programs
// that link the driver as a library (tests, the web package writer) reach it
// under this name. Its result is the exit code: 0 the update succeeded and
// the unit's console came back, 1 the update failed, 2 the unit took both
// images but did not confirm its restart, -1 the operator's port or rate
// could not be used.
int fwupgradeMain(void);

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage);
BOOL StrRemoveNL(char *str, char ch);

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse);
BOOL sendData(uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse);
BOOL detectComPortAndBaudrate(void);
BOOL updateFirmware(void);
BOOL ValidateFwAndConcatenateData(char *gHexData);
// The unit's reply to "%fw -v", its line ends already blanks, read as
// "%d.%d.%d %s %d.%d %d" reads it (`model` gets at most 7 characters and its
// terminator); the number of fields converted.
int parseVersionReply(const char *reply, int *fw_ver, int *fw_rev, int *fw_sub, char *model,
                      int *fpga_ver, int *fpga_rev, int *fpga_type);
BOOL createFirmwareFileForWeb(void);
// The same from a given image text, which it converts in place.
BOOL createFirmwareFileForWebFromText(char *text);

// Allocates and fills gHexFirmware, gDataConcatenated and gDataBuffer as the
// run starts; 0 (after a one-line message) when memory is short.
BOOL allocateSharedBuffers(void);
// A build from stand-in images says so on standard error as it starts, and
// runs nowhere it could reach a real unit: 0 (after a second line saying why)
// where it must stop at once.
BOOL standInImagesMayRun(void);
#define STANDIN_IMAGES_WARNING \
  "WARNING: this program carries stand-in images made for tests; never use it on a real unit."
// Releases the shared buffers and empties their pointers.
void releaseSharedBuffers(void);
// 0 minus the 32-bit sum of the first gDataConcatenatedLenght image bytes.
uint32_t imageCheckSum(void);

#endif
