// hexconv IN.hex OUT.bin
//
// Converts an Intel HEX image into the flat image the tool sends to the
// unit, through the tool's own conversion, and writes its bytes. For
// measurement and for comparing with other converters.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "TessaronFwUpgrade.h"
#include "platform/Platform.h"

namespace {

// The whole file with 16 zero bytes behind it, as the tool holds its images.
bool readText(const char *path, std::vector<char> *text) {
  FILE *in = fopen(path, "rb");
  if (in == nullptr) {
    return false;
  }
  bool ok = fseek(in, 0, SEEK_END) == 0;
  const long size = ok ? ftell(in) : -1;
  ok = ok && size >= 0 && fseek(in, 0, SEEK_SET) == 0;
  if (ok) {
    text->assign(static_cast<size_t>(size) + 16, '\0');
    ok = fread(text->data(), 1, static_cast<size_t>(size), in) == static_cast<size_t>(size);
  }
  fclose(in);
  return ok;
}

bool writeImage(const char *path) {
  FILE *out = fopen(path, "wb");
  if (out == nullptr) {
    return false;
  }
  const size_t length = static_cast<size_t>(gDataConcatenatedLenght);
  bool ok = fwrite(gDataConcatenated, 1, length, out) == length;
  ok = fclose(out) == 0 && ok;
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: hexconv IN.hex OUT.bin\n");
    return 2;
  }
  Platform_ConsoleInit();
  std::vector<char> text;
  if (!readText(argv[1], &text)) {
    fprintf(stderr, "hexconv: %s: cannot read the file\n", argv[1]);
    return 1;
  }
  // The image buffer as start-up prepares it.
  gDataConcatenated = static_cast<uint8_t *>(calloc(CONCAT_BUFFER_SIZE + 16, 1));
  if (gDataConcatenated == nullptr) {
    fprintf(stderr, "hexconv: not enough memory for the image buffer\n");
    return 1;
  }
  memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);

  int status = 0;
  if (!ValidateFwAndConcatenateData(text.data())) {
    fprintf(stderr, "\nhexconv: %s: not a valid image\n", argv[1]);
    status = 1;
  } else if (!writeImage(argv[2])) {
    fprintf(stderr, "hexconv: %s: cannot write the image\n", argv[2]);
    status = 1;
  }
  free(gDataConcatenated);
  gDataConcatenated = nullptr;
  return status;
}
