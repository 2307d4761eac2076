// What every program of the tool does as it starts: the stand-in check, and
// the shared buffers that the update and the web package work in.
#ifndef STARTUP_H
#define STARTUP_H

#include <stdint.h>

#include "firmware/BinImage.h"
#include "platform/Win32Types.h"

// The release of the embedded images, from the image catalogue.
#define FIRMWARE_VERSION_TO_UPLOAD AUTOGEN_RELEASE_VERSION
#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)
#define DATA_BUFFER_SIZE (1024 * 1000)

// The microcontroller image text, from start-up to the end of the run.
extern char *gHexFirmware;
// The logic image text the update sequence chose; released with the others.
extern char *gHexFPGA_Code;
// The image area, CONCAT_BUFFER_SIZE bytes and 16 more.
extern uint8_t *gDataConcatenated;
// DATA_BUFFER_SIZE bytes: every serial read lands here, and every command is
// framed here.
extern char *gDataBuffer;

// Allocates and fills gHexFirmware, gDataConcatenated and gDataBuffer as the
// run starts; 0 (after a one-line message) when memory is short.
BOOL allocateSharedBuffers(void);
// Releases the shared buffers and empties their pointers.
void releaseSharedBuffers(void);
// A heap copy of the text of catalogue entry `catalogueEntry` with 16 zero
// bytes behind it, for one conversion; NULL when memory is short. The caller
// frees it.
char *newImageTextCopy(int catalogueEntry);

// A build from stand-in images says so on standard error as it starts, and
// runs nowhere it could reach a real unit: 0 (after a second line saying why)
// where it must stop at once.
BOOL standInImagesMayRun(void);
#define STANDIN_IMAGES_WARNING \
  "WARNING: this program carries stand-in images made for tests; never use it on a real unit."

#endif
