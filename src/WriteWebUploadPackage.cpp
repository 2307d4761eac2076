// Writes the web upload package "FwToUpload.bin" of the embedded
// microcontroller image into the current directory. The update tool never
// writes it; this program is how a release gets its package.
//
// Exit status 0 when the package was written whole, 1 otherwise; -1 when a
// build from stand-in images refuses to run here.
#include "StartUp.h"
#include "WebPackage.h"
#include "platform/Platform.h"

int main(void) {
  Platform_ConsoleInit();
  if (!standInImagesMayRun()) {
    return -1;
  }
  if (!allocateSharedBuffers()) {
    return 1;
  }
  const BOOL written = createFirmwareFileForWeb();
  releaseSharedBuffers();
  return written ? 0 : 1;
}
