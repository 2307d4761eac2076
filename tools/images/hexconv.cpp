// hexconv IN.hex OUT.bin
//
// Converts an Intel HEX image into the flat image the tool sends to the
// unit, through the tool's own conversion, and writes its bytes. For
// measurement and for comparing with other converters.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "ImageConversion.h"
#include "StartUp.h"
#include "platform/Platform.h"

namespace {

// A zero-filled block for one of the two large buffers. On Linux it asks
// for huge pages: a converter that runs once per image would otherwise
// spend as long taking 2,000 page faults on its 8 MB as converting. The
// conversion itself is the tool's, unchanged.
class Block {
 public:
  explicit Block(size_t size) {
#if defined(__linux__)
    // Room to start the block on a huge page boundary.
    mapped_ = size + kHugePage;
    void *memory =
        mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory != MAP_FAILED) {
      mapping_ = static_cast<char *>(memory);
      const uintptr_t start = reinterpret_cast<uintptr_t>(mapping_);
      data_ = mapping_ + ((kHugePage - start % kHugePage) % kHugePage);
      (void)madvise(data_, size, MADV_HUGEPAGE);
    }
#else
    data_ = static_cast<char *>(calloc(size, 1));
#endif
  }
  ~Block() {
#if defined(__linux__)
    if (mapping_ != nullptr) munmap(mapping_, mapped_);
#else
    free(data_);
#endif
  }
  Block(const Block &) = delete;
  Block &operator=(const Block &) = delete;

  char *data() const { return data_; }

 private:
  char *data_ = nullptr;
#if defined(__linux__)
  static constexpr size_t kHugePage = 2 * 1024 * 1024;
  char *mapping_ = nullptr;
  size_t mapped_ = 0;
#endif
};

// The size of the file, or -1.
long fileSize(FILE *in) {
  if (fseek(in, 0, SEEK_END) != 0) return -1;
  const long size = ftell(in);
  return fseek(in, 0, SEEK_SET) == 0 ? size : -1;
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

  FILE *in = fopen(argv[1], "rb");
  const long size = in != nullptr ? fileSize(in) : -1;
  if (size < 0) {
    fprintf(stderr, "hexconv: %s: cannot read the file\n", argv[1]);
    if (in != nullptr) fclose(in);
    return 1;
  }
  // The text with 16 zero bytes behind it, as the tool holds its images,
  // and the image buffer: the area and 16 bytes more.
  Block text(static_cast<size_t>(size) + 16);
  Block image(CONCAT_BUFFER_SIZE + 16);
  if (text.data() == nullptr || image.data() == nullptr) {
    fprintf(stderr, "hexconv: not enough memory\n");
    fclose(in);
    return 1;
  }
  const bool read =
      fread(text.data(), 1, static_cast<size_t>(size), in) == static_cast<size_t>(size);
  fclose(in);
  if (!read) {
    fprintf(stderr, "hexconv: %s: cannot read the file\n", argv[1]);
    return 1;
  }

  gDataConcatenated = reinterpret_cast<uint8_t *>(image.data());
  int status = 0;
  if (!ValidateFwAndConcatenateData(text.data())) {
    fprintf(stderr, "\nhexconv: %s: not a valid image\n", argv[1]);
    status = 1;
  } else if (!writeImage(argv[2])) {
    fprintf(stderr, "hexconv: %s: cannot write the image\n", argv[2]);
    status = 1;
  }
  gDataConcatenated = nullptr;
  return status;
}
