// The web upload package: the microcontroller image as a short text header
// and the image in base64, in "FwToUpload.bin".
#ifndef WEBPACKAGE_H
#define WEBPACKAGE_H

#include "platform/Win32Types.h"

#define KORVEX_PRODUCT_NAME "613284"
#define FIRMWARE_FILE_HEADER_FOR_WEB "KorVex\r\n" KORVEX_PRODUCT_NAME "\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928

// The package of the embedded microcontroller image. The shared buffers must
// be allocated; 1 only when the whole package reached the file.
BOOL createFirmwareFileForWeb(void);
// The same from a given image text, which it converts in place.
BOOL createFirmwareFileForWebFromText(char *text);

#endif
