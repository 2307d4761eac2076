#include "VersionText.h"

#include <string.h>

#include "Console.h"
#include "StartUp.h"
#include "firmware/BinImage.h"

const char *imagesKindText(void) {
  return strcmp(AUTOGEN_IMAGES_KIND, "release") == 0 ? "release images"
                                                     : "stand-in images, never for a real unit";
}

void printVersionText(void) {
  Console_Printf("TessaronFwUpgrade %s\n", FWUPG_TOOL_VERSION);
  Console_Printf("Firmware release %s, %s:\n", FIRMWARE_VERSION_TO_UPLOAD, imagesKindText());
  Console_Printf("  # file text-bytes text-sha256 image-bytes checksum\n");
  for (int k = 0; k < AUTOGEN_FILE_COUNT; k++) {
    Console_Printf("  %s\n", AUTOGEN_IMAGE_FIGURES[k]);
  }
}
