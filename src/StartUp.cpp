// What every program of the tool does as it starts, before its own work:
// the stand-in check, and the shared buffers with the image texts in them.
// Nothing here touches a serial port, so that the web package writer links
// it without the serial link.
#include "StartUp.h"

#include <stdlib.h>
#include <string.h>

#include "Console.h"
#include "platform/Platform.h"

char *gHexFirmware = nullptr;
char *gHexFPGA_Code = nullptr;
uint8_t *gDataConcatenated = nullptr;
char *gDataBuffer = nullptr;

// A build from stand-in images must never reach a real unit: it may use only
// the ports of a port map.
#ifndef FWUPG_STANDIN_IMAGES
#error "FWUPG_STANDIN_IMAGES (1 for stand-in images, 0 for release images) is not defined"
#endif

// A copy of an embedded image text with 16 zero bytes behind it, so that it
// can be walked as one text and split in place by the conversion.
char *newImageTextCopy(int catalogueEntry) {
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
