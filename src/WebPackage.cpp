// The web upload package: the microcontroller image as a short text header
// and the image in base64, in "FwToUpload.bin".
#include "WebPackage.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Console.h"
#include "Encoder.h"
#include "FileAPI.h"
#include "ImageConversion.h"
#include "StartUp.h"
#include "firmware/BinImage.h"
#include "platform/Platform.h"

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
// package is never seen half made. A package that can't be written is told
// in one line, by the file module at the open or at the close; after a
// failed open nothing more is tried. 1 when every step went through.
static BOOL writeWebPackage(const char *header, const unsigned char *bufferBase64,
                            int dataLengthBase64) {
  if (!FileAPI_ReplaceFile(WEB_PACKAGE_FILE_NAME)) {
    return 0;
  }
  BOOL written = FileAPI_writeToFileBinary(header, static_cast<uint32_t>(strlen(header)));
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
