// The update tool: start-up and operator dialogue, the unit's console
// protocol, port detection, the update sequence, image conversion and the
// web upload package.
#include "TessaronFwUpgrade.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "ComPortAPI.h"
#include "Console.h"
#include "Encoder.h"
#include "FileAPI.h"
#include "IntelHex.h"
#include "firmware/BinImage.h"
#include "platform/Platform.h"

char *gHexFirmware = nullptr;
char *gHexFPGA_Code = nullptr;
uint8_t *gDataConcatenated = nullptr;
int gDataConcatenatedLenght = 0;
uint32_t gDataConcatenatedCheckSum = 0;
char *gDataBuffer = nullptr;
int gComPortNumber = 0;
int gBaudRate = 0;
BOOL gUnitRestartConfirmed = 0;

// One data write to the unit.
#define DATA_CHUNK_SIZE 10240
// One serial read: the buffer less the terminating zero byte.
#define MAX_READ_SIZE (DATA_BUFFER_SIZE - 1)

#define DETECTION_FIRST_PORT 1
#define DETECTION_LAST_PORT 32
#define DETECTION_ATTEMPTS_PER_RATE 2
#define DETECTION_COMMAND "%help -c version"
#define DETECTION_EXPECTED_ANSWER \
  "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"

// The rates a port can be asked for by the operator.
#define OPERATOR_MIN_BAUD_RATE 50
#define OPERATOR_MAX_BAUD_RATE 4000000

#define REBOOT_STEPS 46
#define REBOOT_STEP_MS 3000

// The longest a reply collection listens: well past the longest a unit
// needs ("Ready" near the end of a 10 s announcement wait, then a silent
// time-out), and short of holding the tool for ever on a unit that never
// falls silent.
#define REPLY_COLLECTION_LIMIT_MS 60000
// The most of a wrong reply that is shown to the operator.
#define REPLY_DISPLAY_LIMIT 4096

#define UPDATE_FAILED_MESSAGE "\n\rERROR: The update was not successful.\r\n"
#define RESTART_UNCONFIRMED_MESSAGE \
  "\n\rWARNING: The unit did not confirm its restart; check it before use.\r\n"

// Exit codes of an update that ran (the manual path's failures give -1).
#define EXIT_UPDATED 0
#define EXIT_UPDATE_FAILED 1
#define EXIT_RESTART_UNCONFIRMED 2

static const int kDetectionBaudRates[] = {115200, 9600, 57600, 4800, 2400, 1200};

// A build from stand-in images must never reach a real unit: it may use only
// the ports of a port map.
#ifndef FWUPG_STANDIN_IMAGES
#error "FWUPG_STANDIN_IMAGES (1 for stand-in images, 0 for release images) is not defined"
#endif

/*---------------------------------------------------------------------------
 * Start-up and operator dialogue
 *-------------------------------------------------------------------------*/

BOOL StrRemoveNL(char *str, char ch) {
  if (str == nullptr) {
    return 1;
  }
  // Walk to the terminator the text had on entry: with NUL as the
  // replacement the text ends at its first line end, but every later line
  // end is overwritten too.
  const size_t length = strlen(str);
  for (size_t k = 0; k < length; k++) {
    if (str[k] == '\n' || str[k] == '\r') {
      str[k] = ch;
    }
  }
  return 1;
}

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage) {
  if (lastMessage != nullptr && lastMessage[0] != '\0') {
    Console_Printf("%s", lastMessage);
  }
  Console_Printf("\r\nPress any key to exit");
  (void)Platform_Getch();
}

// A copy of an embedded image text with 16 zero bytes behind it, so that it
// can be walked as one text and split in place by the conversion.
static char *newImageTextCopy(int catalogueEntry) {
  const autogen_files &entry = AUTOGEN_FILES[catalogueEntry];
  char *copy = static_cast<char *>(calloc(static_cast<size_t>(entry.fileDataLength) + 16, 1));
  if (copy != nullptr) {
    memcpy(copy, entry.fileData, static_cast<size_t>(entry.fileDataLength));
  }
  return copy;
}

BOOL allocateSharedBuffers(void) {
  releaseSharedBuffers();
  gHexFirmware = newImageTextCopy(AUTOGEN_MICROCONTROLLER_ENTRY);
  gDataConcatenated = static_cast<uint8_t *>(calloc(CONCAT_BUFFER_SIZE + 16, 1));
  gDataBuffer = static_cast<char *>(calloc(DATA_BUFFER_SIZE, 1));
  if (gHexFirmware == nullptr || gDataConcatenated == nullptr || gDataBuffer == nullptr) {
    Console_Line("\r\nERROR: Not enough memory to prepare the update !\r");
    releaseSharedBuffers();
    return 0;
  }
  memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
  return 1;
}

BOOL standInImagesMayRun(void) {
#if FWUPG_STANDIN_IMAGES
  // Standard error, so that the operator's transcript stays as it is.
  Console_Error("%s", STANDIN_IMAGES_WARNING);
  const char *refusal = Platform_StandInRefusal();
  if (refusal != nullptr) {
    Console_Error("%s", refusal);
    return 0;
  }
#endif
  return 1;
}

void releaseSharedBuffers(void) {
  free(gDataBuffer);
  gDataBuffer = nullptr;
  free(gDataConcatenated);
  gDataConcatenated = nullptr;
  free(gHexFirmware);
  gHexFirmware = nullptr;
  free(gHexFPGA_Code);
  gHexFPGA_Code = nullptr;
}

// The manual path, after a detection that found nothing: the operator types
// the port, which is opened, and its rate, which is set. 0 when either can't
// be used; the port is then closed again.
static BOOL openPortTheOperatorNames(void) {
  Console_Printf("FAILED");
  Console_Printf("\n\r\n\rEnter the COM port number : ");
  if (Platform_ConsoleReadInt(&gComPortNumber) != 1) {
    // What detection left here is no choice of the operator's: port 0,
    // which no port has, and the failure of an open.
    gComPortNumber = 0;
    Console_Error("ERROR: no COM port number was read from the input");
  }
  Console_Printf("\r\nOpening COM%d....................", gComPortNumber);
  if (!ComPortAPI_OpenCOM(gComPortNumber)) {
    return 0;
  }
  Console_Line("OK\r");
  Console_Printf("\n\r\n\rEnter the BAUD RATE       : ");
  BOOL rateUsable = 1;
  if (Platform_ConsoleReadInt(&gBaudRate) != 1) {
    gBaudRate = 0;
    rateUsable = 0;
    Console_Error("ERROR: no baud rate was read from the input");
  } else if (gBaudRate < OPERATOR_MIN_BAUD_RATE || gBaudRate > OPERATOR_MAX_BAUD_RATE) {
    rateUsable = 0;
    Console_Error("ERROR: %d baud is outside the rates a port can run at (%d to %d)", gBaudRate,
                  OPERATOR_MIN_BAUD_RATE, OPERATOR_MAX_BAUD_RATE);
  }
  Console_Printf("\r\nSetting baud rate at %d..........", gBaudRate);
  if (!rateUsable || !ComPortAPI_SetBaudRate(gBaudRate)) {
    (void)ComPortAPI_CloseCOM();
    return 0;
  }
  Console_Line("OK\r");
  return 1;
}

int fwupgradeMain(void) {
  Platform_ConsoleInit();
  if (!standInImagesMayRun()) {
    return -1;
  }
  if (!Platform_PreparePorts(FWUPG_STANDIN_IMAGES)) {
    Console_Error("ERROR: %s", Platform_LastErrorText());
    dipsplayLastMessageToUserBeforeExit("");
    return -1;
  }
  if (!allocateSharedBuffers()) {
    dipsplayLastMessageToUserBeforeExit("");
    return -1;
  }

  Console_Printf("\n\rYou are about to upload the firmware version %s", FIRMWARE_VERSION_TO_UPLOAD);
  Console_Printf("\n\r\n\rDetecting COM port and Baud Rate..................");

  // No port is open yet: this only stores the setting, so that every port
  // that detection or the operator opens runs without flow control.
  (void)ComPortAPI_SetHardwareFlowControl(0);

  if (detectComPortAndBaudrate()) {
    Console_Line("OK\r");
    Console_Printf("COM PORT Number : %d", gComPortNumber);
    Console_Printf("\r\nBaud rate       : %d \r\n\r\n", gBaudRate);
  } else if (!openPortTheOperatorNames()) {
    dipsplayLastMessageToUserBeforeExit("");
    releaseSharedBuffers();
    return -1;
  }

  (void)ComPortAPI_SetHardwareFlowControl(1);
  const BOOL updated = updateFirmware();
  (void)ComPortAPI_CloseCOM();
  // Scripts read the outcome from the exit code: an update whose unit did
  // not show its console again is not reported as a plain success.
  int exitCode = EXIT_UPDATED;
  const char *lastMessage = "";
  if (!updated) {
    exitCode = EXIT_UPDATE_FAILED;
    lastMessage = UPDATE_FAILED_MESSAGE;
  } else if (!gUnitRestartConfirmed) {
    exitCode = EXIT_RESTART_UNCONFIRMED;
    lastMessage = RESTART_UNCONFIRMED_MESSAGE;
  }
  Platform_SetInterruptExitCode(exitCode);  // the result stands, even if the key wait is cut short
  dipsplayLastMessageToUserBeforeExit(lastMessage);
  releaseSharedBuffers();
  return exitCode;
}

/*---------------------------------------------------------------------------
 * Command and data exchange
 *-------------------------------------------------------------------------*/

// One serial read into gDataBuffer, kept as text: the bytes read (0 to
// MAX_READ_SIZE, in *nBytesRead) with a zero byte behind them, whatever the
// read's result, which is returned.
static BOOL readIntoDataBuffer(int *nBytesRead) {
  const BOOL readOk = ComPortAPI_ReadCOM(gDataBuffer, MAX_READ_SIZE, nBytesRead);
  *nBytesRead = std::max(0, std::min(*nBytesRead, MAX_READ_SIZE));
  gDataBuffer[*nBytesRead] = '\0';
  return readOk;
}

// Collects the unit's reply into `reply` (DATA_BUFFER_SIZE bytes): every
// read lands in gDataBuffer and is added to the reply until a whole reading
// time-out passes without a byte. A unit that never falls silent can't hold
// the tool: the collection also ends once it has received as many bytes as
// the reply buffer holds, zero bytes counted (only the text before a zero
// byte joins the reply), and starts no read once REPLY_COLLECTION_LIMIT_MS
// have passed, so it ends at most one reading time-out after that.
static void collectResponse(char *reply) {
  int totalBytesRead = 0;
  size_t replyLength = 0;
  reply[0] = '\0';
  const uint64_t start = Platform_GetTickCount64();
  while (totalBytesRead < MAX_READ_SIZE &&
         Platform_GetTickCount64() - start < REPLY_COLLECTION_LIMIT_MS) {
    int nBytesRead = 0;
    if (!readIntoDataBuffer(&nBytesRead) || nBytesRead == 0) {
      break;
    }
    if (totalBytesRead == 0) {
      replyLength = 0;
    }
    // The text just read ends at its first zero byte.
    const size_t pieceLength = strnlen(gDataBuffer, static_cast<size_t>(nBytesRead));
    const size_t room = static_cast<size_t>(DATA_BUFFER_SIZE - 1) - replyLength;
    const size_t kept = std::min(pieceLength, room);
    memcpy(reply + replyLength, gDataBuffer, kept);
    replyLength += kept;
    reply[replyLength] = '\0';
    totalBytesRead += nBytesRead;
  }
}

// A reply as it may be shown on the operator's terminal: control characters
// other than carriage return and line feed (an escape sequence would act on
// the terminal) and bytes beyond ASCII (a UTF-8 terminal reads control
// characters out of some) as \xNN, and no more than REPLY_DISPLAY_LIMIT of
// its bytes, with the count of those left out.
static std::string printableReply(const char *reply) {
  const size_t length = strlen(reply);
  const size_t shown = std::min<size_t>(length, REPLY_DISPLAY_LIMIT);
  std::string text;
  text.reserve(shown);
  for (size_t k = 0; k < shown; k++) {
    const unsigned char c = static_cast<unsigned char>(reply[k]);
    if ((c < 0x20 && c != '\r' && c != '\n') || c >= 0x7F) {
      static const char kDigits[] = "0123456789ABCDEF";
      text += "\\x";
      text += kDigits[c >> 4];
      text += kDigits[c & 0x0F];
    } else {
      text += static_cast<char>(c);
    }
  }
  if (length > shown) {
    text += "... (" + std::to_string(length - shown) + " more bytes)";
  }
  return text;
}

// Collects the unit's reply in a buffer of this exchange and judges it: 1
// when validation is off or the reply equals the expected text. With
// `showMismatch` a wrong reply is shown to the operator beside the expected
// one.
static BOOL receiveAndJudgeResponse(BOOL validateResponse, const char *expectedResponse,
                                    bool showMismatch) {
  char *responseReceivedCopy = static_cast<char *>(calloc(DATA_BUFFER_SIZE, 1));
  if (responseReceivedCopy == nullptr) {
    Console_Line("\r\nERROR: Not enough memory to receive the unit's reply !\r");
    return 0;
  }
  collectResponse(responseReceivedCopy);
  BOOL result = 1;
  if (validateResponse == 1 && strcmp(responseReceivedCopy, expectedResponse) != 0) {
    if (showMismatch) {
      Console_Printf("\r\nExpected : %s  received : %s\r\n", expectedResponse,
                     printableReply(responseReceivedCopy).c_str());
      Console_Line("\r\nError: Expected response did  not matched !\r");
    }
    result = 0;
  }
  free(responseReceivedCopy);
  return result;
}

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse) {
  const int framed =
      snprintf(gDataBuffer, DATA_BUFFER_SIZE, "%s%s\n\r", isEchoON == 1 ? "" : "%%", commandToSend);
  if (framed < 0 || framed >= DATA_BUFFER_SIZE) {
    Console_Line("\r\nError occurred when sending data !\r");
    return 0;
  }
  int nBytesWritten = 0;
  if (!ComPortAPI_WriteCOM(gDataBuffer, framed, &nBytesWritten)) {
    Console_Line("\r\nError occurred when sending data !\r");
    return 0;
  }
  if (expectedResponse == nullptr) {
    return 1;
  }
  return receiveAndJudgeResponse(validateResponse, expectedResponse, false);
}

// Erases the percentage on screen before the next one is drawn.
static void erasePercentage(int percentage) { Console_Printf(percentage <= 9 ? "\b\b" : "\b\b\b"); }

BOOL sendData(uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse) {
  int dataSent = 0;
  int percentage = 0;
  Console_Printf("1%%");
  if (dataToSendLength < 0) {
    return 0;
  }
  while (dataSent != dataToSendLength) {
    const int remaining = dataToSendLength - dataSent;
    int nBytesWritten = 0;
    if (remaining > DATA_CHUNK_SIZE) {
      if (!ComPortAPI_WriteCOM(dataToSend + dataSent, DATA_CHUNK_SIZE, &nBytesWritten)) {
        return 0;
      }
      dataSent += DATA_CHUNK_SIZE;
      erasePercentage(percentage);
      percentage = static_cast<int>(static_cast<long long>(dataSent) * 100 / dataToSendLength);
      Console_Printf("%d%%", percentage);
    } else {
      if (!ComPortAPI_WriteCOM(dataToSend + dataSent, remaining, &nBytesWritten)) {
        return 0;
      }
      erasePercentage(percentage);
      Console_Printf("100%%");
      dataSent = dataToSendLength;
      if (expectedResponse == nullptr) {
        return 1;
      }
      return receiveAndJudgeResponse(validateResponse, expectedResponse, true);
    }
  }
  return 1;
}

/*---------------------------------------------------------------------------
 * Port and baud-rate detection
 *-------------------------------------------------------------------------*/

BOOL detectComPortAndBaudrate(void) {
  char szCOM[16];
  char ResponseExpected[100];
  snprintf(ResponseExpected, sizeof ResponseExpected, "%s", DETECTION_EXPECTED_ANSWER);

  for (int i = DETECTION_FIRST_PORT; i <= DETECTION_LAST_PORT; i++) {
    // A bare open tells whether the port exists and is free; nothing is
    // configured or sent on it.
    snprintf(szCOM, sizeof szCOM, "\\\\.\\COM%d", i);
    g_hCOM = Platform_CreateFileA(szCOM, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_SYSTEM);
    if (g_hCOM == INVALID_HANDLE_VALUE) {
      gComPortNumber = 0;
      gBaudRate = 0;
      continue;
    }
    gComPortNumber = i;
    (void)Platform_CloseHandle(g_hCOM);

    for (const int rate : kDetectionBaudRates) {
      (void)ComPortAPI_SetBaudRate(rate);
      if (!ComPortAPI_OpenCOM(i)) {
        continue;
      }
      gBaudRate = rate;
      for (int attempt = 0; attempt < DETECTION_ATTEMPTS_PER_RATE; attempt++) {
        if (sendCommand(DETECTION_COMMAND, 0, 1, ResponseExpected)) {
          return 1;
        }
      }
      (void)ComPortAPI_CloseCOM();
    }
  }
  return 0;
}

/*---------------------------------------------------------------------------
 * Device interrogation, image selection, upload and completion
 *-------------------------------------------------------------------------*/

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

uint32_t imageCheckSum(void) {
  uint32_t checkSum = 0;
  for (int index = 0; index < gDataConcatenatedLenght; index++) {
    checkSum -= gDataConcatenated[index];
  }
  return checkSum;
}

// Announces the image now in gDataConcatenated with its checksum and length
// and waits for the unit's "Ready".
static BOOL announceImage(const char *command, int readingTimeoutMs) {
  char commandToSend[100];
  gDataConcatenatedCheckSum = imageCheckSum();
  snprintf(commandToSend, sizeof commandToSend, "%s %u %d", command, gDataConcatenatedCheckSum,
           gDataConcatenatedLenght);
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

// The catalogue entry of the logic image for this device code and role, or
// -1 when the catalogue has none; with isTx -1, any image for the code.
static int logicImageEntry(int deviceCode, int isTx) {
  for (const autogen_logic_image &image : AUTOGEN_LOGIC_IMAGES) {
    if (image.deviceCode == deviceCode && (isTx < 0 || image.isTx == isTx)) {
      return image.entry;
    }
  }
  return -1;
}

// Asks the unit for its versions ("%fw -v") and shows them when the reply
// has every field; the logic-device code, -1 when the reply gave none.
static int readUnitVersions(void) {
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
  if (nbr == 7) {
    Console_Printf("Checking firmware version ..............  %d.%02d.%02d \r\n", fw_ver, fw_rev,
                   fw_sub);
    Console_Printf("Checking fpga version ..................  %s %d.%02d  device:%d\r\n", model,
                   fpga_ver, fpga_rev, fpga_type);
  }
  return fpga_type;
}

// Tells TX from RX by the identification texts the unit may give to
// "%fw -p", tried in turn; 0 when none matched.
static BOOL identifyUnitRole(bool *isTx) {
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

static BOOL identifyUnitAndSelectImage(void) {
  const int fpga_type = readUnitVersions();

  Console_Printf("Checking product .......... ");
  if (logicImageEntry(fpga_type, -1) < 0) {
    Console_Line("FAILED, Unknown product\r");
    return 0;
  }
  if (fpga_type == DEVICE_XC7A100_484) {
    Console_Line("ENG. SAMPLE detected\r");
  }

  bool isTx = false;
  if (!identifyUnitRole(&isTx)) {
    return 0;
  }

  // The catalogue serves every device code it knows for both roles.
  const int page_idx = logicImageEntry(fpga_type, isTx ? 1 : 0);
  if (page_idx < 0) {
    Console_Line("FAILED, Unknown product\r");
    return 0;
  }
  free(gHexFPGA_Code);
  gHexFPGA_Code = newImageTextCopy(page_idx);
  if (gHexFPGA_Code == nullptr) {
    Console_Line("\r\nERROR: Not enough memory for the Programmable Logic image !\r");
    return 0;
  }
  return 1;
}

// One image of the update: its text, and what the operator sees of it.
struct UploadPhase {
  const char *invalidText;    // printed as a line when the text is rejected
  const char *preparingText;  // before the announcement
  const char *command;        // the announcement's command
  int readyTimeoutMs;         // silence that ends the unit's "Ready"
  const char *sendingText;    // before the data
};

static const UploadPhase kLogicPhase = {"\r\nERROR: Programmable Logic data is not valid !\r",
                                        "Preparing to Upload Programmable Logic ............ ",
                                        "%fw -l", 10000,
                                        "Sending Programmable Logic data ................... "};

static const UploadPhase kFirmwarePhase = {"\r\nERROR: uC Firmware data is not valid !\r",
                                           "Preparing to Upload Firmware ...................... ",
                                           "%fw -h", 5000,
                                           "Sending data ...................................... "};

// Converts the image text, announces the image and streams it until the
// unit acknowledges it.
static BOOL uploadImage(char *imageText, const UploadPhase &phase) {
  if (!ValidateFwAndConcatenateData(imageText)) {
    Console_Line(phase.invalidText);
    return 0;
  }
  Console_Printf("%s", phase.preparingText);
  if (!announceImage(phase.command, phase.readyTimeoutMs)) {
    return 0;
  }
  Console_Printf("%s", phase.sendingText);
  if (!streamImage()) {
    Console_Line("FAILED\r");
    return 0;
  }
  return 1;
}

BOOL updateFirmware(void) {
  gUnitRestartConfirmed = 0;
  if (!identifyUnitAndSelectImage()) {
    return 0;
  }
  if (!uploadImage(gHexFPGA_Code, kLogicPhase)) {
    return 0;
  }
  Console_Line("OK\r");
  // The firmware's announcement and data go out at 115200 baud, where the
  // logic image left the line.
  if (!uploadImage(gHexFirmware, kFirmwarePhase)) {
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
  // show itself with a "[" line ending in the prompt.
  int nBytesRead = 0;
  (void)readIntoDataBuffer(&nBytesRead);
  (void)ComPortAPI_SetReadingTimeoutInMs(11000);
  (void)readIntoDataBuffer(&nBytesRead);
  Console_Printf("\b\b\b\b");
  Console_Printf("100%%");
  const size_t finalLength = strlen(gDataBuffer);
  if (finalLength >= 2 && gDataBuffer[0] == '[' && gDataBuffer[finalLength - 2] == '>' &&
      gDataBuffer[finalLength - 1] == '>') {
    Console_Line("\n\r\n\rThe update was successful, the unit is now operational\r");
    gUnitRestartConfirmed = 1;
  }
  return 1;
}

/*---------------------------------------------------------------------------
 * Image validation and concatenation
 *-------------------------------------------------------------------------*/

// Copies the n characters of a record text into the line store, eight at a
// time: a short copy of varying length that compilers would otherwise turn
// into a string instruction slow to start, once for each of 76,000 lines.
static void copyRecordText(char *line, const char *recordText, size_t n) {
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    memcpy(line + k, recordText + k, 8);
  }
  for (; k < n; k++) {
    line[k] = recordText[k];
  }
}

// The position of the first carriage return or line feed among the first n
// characters of a record text, n when there is none.
static size_t lineEnd(const char *recordText, size_t n) {
  const void *cr = memchr(recordText, '\r', n);
  const void *lf =
      memchr(recordText, '\n', cr != nullptr ? static_cast<const char *>(cr) - recordText : n);
  const void *end = lf != nullptr ? lf : cr;
  return end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - recordText) : n;
}

// One line on a record the image area cannot take; the verdict is 0.
static BOOL rejectRecord(int index, const char *problem, const char *intelHexStringLine) {
  Console_Printf("\r\nERROR: record %d%s: %s\r\n", index + 1, problem, intelHexStringLine);
  return 0;
}

// The line store holds the start code, one record text and the terminator.
#define INTEL_HEX_LINE_STORE 100

// Copies record text `recordText` into the line store `line` as a line that
// starts with its start code and ends at its first carriage return or line
// feed: the line that StrRemoveNL with a zero replacement leaves, cut while
// copying so that no line is walked twice. A record text too long for the
// store is cut to what fits, so that nothing lands past the store; false
// then.
static bool takeRecordLine(char *line, const char *recordText) {
  const size_t recordTextRoom = INTEL_HEX_LINE_STORE - 2;
  const size_t recordLength = strlen(recordText);
  const bool tooLong = recordLength > recordTextRoom;
  const size_t kept = lineEnd(recordText, tooLong ? recordTextRoom : recordLength);
  line[0] = ':';
  copyRecordText(line + 1, recordText, kept);
  line[1 + kept] = '\0';
  return !tooLong;
}

// Moves the address window to the one an extended linear address record
// names. Only the second address byte selects the window: the unit's images
// run from 0x8000xxxx (microcontroller) or 0x0000xxxx (logic).
static BOOL selectAddressWindow(int index, const char *line, const uint8_t *data_contents,
                                uint32_t *memory_offset) {
  if (intel_hex_line_data_length(line) < 2) {
    return rejectRecord(
        index, " is an extended linear address record without its two address bytes", line);
  }
  *memory_offset = static_cast<uint32_t>(data_contents[1]) * 65536u;
  if (*memory_offset >= CONCAT_BUFFER_SIZE) {
    return rejectRecord(index, " places data beyond the 4 MiB image area", line);
  }
  return 1;
}

// Places a data record's bytes in the image area and makes the image end
// with them. A record may run on past the end of its 64 KiB window: the
// offset is flat, with no wrap inside the window. The line passed the test
// when its bytes were taken, so its address field is read as
// intel_hex_line_address reads a valid line, without testing it again.
static BOOL placeDataRecord(int index, const char *line, const uint8_t *data_contents,
                            uint32_t memory_offset) {
  const uint32_t address =
      memory_offset + 256u * u8_from_hex_string(line + 3) + u8_from_hex_string(line + 5);
  const uint8_t data_length = intel_hex_line_data_length(line);
  if (address + data_length > CONCAT_BUFFER_SIZE) {
    return rejectRecord(index, " places data beyond the 4 MiB image area", line);
  }
  memcpy(gDataConcatenated + address, data_contents, data_length);
  gDataConcatenatedLenght = static_cast<int>(address + data_length);
  return 1;
}

// Tests one record text and applies it to the image; 0 ends the conversion
// (the reason has been printed).
static BOOL applyRecord(int index, const char *recordText, uint32_t *memory_offset) {
  char intelHexStringLine[INTEL_HEX_LINE_STORE];
  const bool fits = takeRecordLine(intelHexStringLine, recordText);

  // Data and extended linear address records are tested by taking their
  // bytes, which tests the line first; only a failure is looked at again,
  // to tell a bad line from a full heap. Other records are tested alone.
  const uint8_t recordType = intel_hex_line_record_type(intelHexStringLine);
  const bool extendedLinear = recordType == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS;
  const bool dataRecord = recordType == INTEL_HEX_RECORD_DATA;
  uint8_t *data_contents = nullptr;
  bool lineIsValid = false;
  if (fits) {
    if (extendedLinear || dataRecord) {
      data_contents = new_u8_data_array_from_intel_hex_string(intelHexStringLine);
    }
    lineIsValid = data_contents != nullptr ||
                  intel_hex_line_is_valid(intelHexStringLine) == INTEL_HEX_STRING_OK;
  }
  if (!lineIsValid) {
    Console_Line("\r\n intel_hex_line_is_valid \r");
    Console_Printf("%s", intelHexStringLine);
    Console_Line("\r");
    return 0;
  }
  if ((extendedLinear || dataRecord) && data_contents == nullptr) {
    return rejectRecord(index, ", no memory for its data bytes", intelHexStringLine);
  }

  BOOL applied = 1;
  if (extendedLinear) {
    applied = selectAddressWindow(index, intelHexStringLine, data_contents, memory_offset);
  } else if (dataRecord) {
    applied = placeDataRecord(index, intelHexStringLine, data_contents, *memory_offset);
  }
  // End of file, segment and start address records change nothing, and the
  // walk goes on past the end-of-file record.
  free(data_contents);
  return applied;
}

BOOL ValidateFwAndConcatenateData(char *gHexData) {
  uint32_t memory_offset = 0;

  memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
  gDataConcatenatedLenght = 0;

  char **extractedHexLine = str_split(gHexData, ":");
  if (extractedHexLine == nullptr) {
    Console_Line("\r\nNUL extractedHexLine \r");
    return 0;
  }

  BOOL result = 1;
  for (int index = 0; result && extractedHexLine[index] != nullptr; index++) {
    result = applyRecord(index, extractedHexLine[index], &memory_offset);
  }
  free(extractedHexLine);
  return result;
}

/*---------------------------------------------------------------------------
 * Web upload package
 *-------------------------------------------------------------------------*/

// Room for the encoded image and the NUL behind it. It bounds the image: one
// of L bytes fits while 4 * ceil(L / 3) + 1 stays within it.
#define WEB_BASE64_BUFFER_SIZE 614400
#define WEB_PACKAGE_FILE_NAME "FwToUpload.bin"

// Writes the base64 text as package lines of FIRMWARE_CHUNCK_SIZE_FOR_WEB
// characters joined by CR LF, the last line without a break, on the open
// stream. 1 when every write went through.
static BOOL writeWebPackageBody(const unsigned char *bufferBase64, int dataLengthBase64) {
  char tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 2];
  BOOL written = 1;
  int remainingByte = dataLengthBase64;
  int currentIndex = 0;
  // Only while more than a full line remains: a text that ends on a line
  // boundary ends with a full line and no break.
  while (remainingByte > FIRMWARE_CHUNCK_SIZE_FOR_WEB) {
    memcpy(tempBufferBase64, bufferBase64 + currentIndex, FIRMWARE_CHUNCK_SIZE_FOR_WEB);
    tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB] = '\r';
    tempBufferBase64[FIRMWARE_CHUNCK_SIZE_FOR_WEB + 1] = '\n';
    written &= FileAPI_writeToFileBinary(tempBufferBase64, FIRMWARE_CHUNCK_SIZE_FOR_WEB + 2);
    currentIndex += FIRMWARE_CHUNCK_SIZE_FOR_WEB;
    remainingByte -= FIRMWARE_CHUNCK_SIZE_FOR_WEB;
  }
  if (remainingByte > 0) {
    memcpy(tempBufferBase64, bufferBase64 + currentIndex, static_cast<size_t>(remainingByte));
    written &= FileAPI_writeToFileBinary(tempBufferBase64, static_cast<uint32_t>(remainingByte));
  }
  return written;
}

// The package header for the image in gDataConcatenated: the header line
// with the version, then the image's checksum and its length, one a line.
// The checksum is stored in gDataConcatenatedCheckSum, and both figures are
// shown to the operator.
static void buildWebPackageHeader(char *header, size_t size) {
  char tempString[25];
  snprintf(header, size, "%s%s\r\n", FIRMWARE_FILE_HEADER_FOR_WEB, FIRMWARE_VERSION_TO_UPLOAD);

  gDataConcatenatedCheckSum = imageCheckSum();
  snprintf(tempString, sizeof tempString, "%u", gDataConcatenatedCheckSum);
  strncat(header, tempString, size - strlen(header) - 1);
  strncat(header, "\r\n", size - strlen(header) - 1);
  Console_Printf("\r\n Firmware CheckSum = %s !\r\n", tempString);
  Console_Printf("\r\n Firmware CheckSum u = %u !\r\n", gDataConcatenatedCheckSum);

  snprintf(tempString, sizeof tempString, "%d", gDataConcatenatedLenght);
  strncat(header, tempString, size - strlen(header) - 1);
  strncat(header, "\r\n", size - strlen(header) - 1);
  Console_Printf("\r\n Firmware data length = %d !\r\n", gDataConcatenatedLenght);
}

// Encodes the image in gDataConcatenated into `bufferBase64` (NULL when it
// could not be allocated), whose room *dataLengthBase64 gives on entry and
// the text's length on return. The pads become "A" (value 0); the length
// line gives the exact size. 0, with the reason printed, when there is no
// image or its text does not fit.
static BOOL encodeWebPackageBody(unsigned char *bufferBase64, int *dataLengthBase64) {
  if (gDataConcatenatedLenght <= 0) {
    // The text held no data record: there is nothing to encode, and the
    // buffer must not be written as if it held text.
    Console_Line("\r\nERROR: Firmware image is empty !\r");
    return 0;
  }
  if (bufferBase64 == nullptr || base64_encode(bufferBase64, dataLengthBase64, gDataConcatenated,
                                               gDataConcatenatedLenght) != 0) {
    // *dataLengthBase64 now holds the room the text would need, not a length.
    Console_Line("\r\n ERROR BASE 64 !\r");
    return 0;
  }
  if (bufferBase64[*dataLengthBase64 - 1] == '=') {
    bufferBase64[*dataLengthBase64 - 1] = 'A';
  }
  if (bufferBase64[*dataLengthBase64 - 2] == '=') {
    bufferBase64[*dataLengthBase64 - 2] = 'A';
  }
  return 1;
}

// One stream for header and body: the file module puts the package in place
// of an earlier one only at a close after which all of it was written, so a
// package is never seen half made. 1 when every step went through.
static BOOL writeWebPackage(const char *header, const unsigned char *bufferBase64,
                            int dataLengthBase64) {
  BOOL written = FileAPI_CreateFile(WEB_PACKAGE_FILE_NAME, 1);
  written &= FileAPI_writeToFileBinary(header, static_cast<uint32_t>(strlen(header)));
  written &= writeWebPackageBody(bufferBase64, dataLengthBase64);
  written &= FileAPI_CloseFile();
  return written;
}

// Writes the package of one microcontroller image text, which it converts in
// place. 1 only when the whole package reached the file.
BOOL createFirmwareFileForWebFromText(char *text) {
  if (text == nullptr || gDataConcatenated == nullptr || !ValidateFwAndConcatenateData(text)) {
    Console_Line("\r\nERROR: Firmware data is not valid !\r");
    return 0;
  }
  Console_Line("\r\n Firmware data is valid !\r");
  char header[100];
  buildWebPackageHeader(header, sizeof header);

  // The body is encoded before the file is opened: a package that cannot be
  // made whole leaves the one from an earlier call as it was.
  unsigned char *bufferBase64 = static_cast<unsigned char *>(malloc(WEB_BASE64_BUFFER_SIZE));
  int dataLengthBase64 = WEB_BASE64_BUFFER_SIZE;
  const BOOL encoded = encodeWebPackageBody(bufferBase64, &dataLengthBase64);
  const BOOL written = encoded && writeWebPackage(header, bufferBase64, dataLengthBase64);
  free(bufferBase64);

  Console_Printf("\r\nPress any key to exit");
  (void)Platform_Getch();
  return encoded && written ? 1 : 0;
}

// The web upload package "FwToUpload.bin" of the embedded microcontroller
// image, from a copy of its text of its own: the text in gHexFirmware may
// have been converted (and so used up) already.
BOOL createFirmwareFileForWeb(void) {
  char *text = newImageTextCopy(AUTOGEN_MICROCONTROLLER_ENTRY);
  if (text == nullptr) {
    Console_Line("\r\nERROR: Not enough memory to prepare the update !\r");
    return 0;
  }
  const BOOL result = createFirmwareFileForWebFromText(text);
  free(text);
  return result;
}

#ifndef FWUPGRADE_LIBRARY
int main(void) { return fwupgradeMain(); }
#endif
