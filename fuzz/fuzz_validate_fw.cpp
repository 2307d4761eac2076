// Any text through the image conversion. The text is an exactly sized heap
// copy, so a read past its terminator shows, and the image buffer is the
// tool's own (4 MiB area and 16 bytes behind it, which must stay as they
// were). The verdict, the length and every byte placed must agree with a
// plain conversion written here from the record rules:
//   records are the non-empty texts between ":" characters; one longer than
//   98 characters, or that fails the line test once cut at its first line
//   end, refuses the text; an extended linear address record without two
//   data bytes, or that selects a window at or beyond 4 MiB, refuses it; so
//   does a data record that would run past the area; the length is the end
//   of the last data record placed.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>

#include "FuzzReference.h"
#include "IntelHex.h"
#include "ImageConversion.h"
#include "StartUp.h"

namespace {

struct Conversion {
  bool accepted = false;
  long length = 0;
  std::map<uint32_t, uint8_t> placed;  // offset -> byte, the later record winning
};

Conversion convert(const std::string &text) {
  Conversion c;
  uint32_t window = 0;
  bool anyRecord = false;
  size_t k = 0;
  while (k < text.size()) {
    if (text[k] == ':') {
      k++;
      continue;
    }
    const size_t end = std::min(text.find(':', k), text.size());
    const std::string recordText = text.substr(k, end - k);
    k = end;
    anyRecord = true;
    if (recordText.size() > 98) return c;
    const std::string line = ":" + recordText.substr(0, recordText.find_first_of("\r\n"));
    if (!ref::lineIsValid(line)) return c;
    const unsigned n = ref::pair(line, 1);
    const uint8_t type = ref::recordType(line);
    if (type == 4) {
      if (n < 2) return c;
      window = static_cast<uint32_t>(ref::pair(line, 11)) * 65536u;
      if (window >= CONCAT_BUFFER_SIZE) return c;
    } else if (type == 0) {
      const uint32_t at = window + ref::pair(line, 3) * 256u + ref::pair(line, 5);
      if (at + n > CONCAT_BUFFER_SIZE) return c;
      for (unsigned j = 0; j < n; j++) c.placed[at + j] = ref::pair(line, 9 + 2 * j);
      c.length = at + n;
    }
  }
  c.accepted = anyRecord;
  return c;
}

const uint8_t kGuard[16] = {0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = allocateSharedBuffers() == 1;
  FUZZ_CHECK(ready);

  const std::string text(reinterpret_cast<const char *>(data),
                         strnlen(reinterpret_cast<const char *>(data), size));
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);

  const BOOL result = ValidateFwAndConcatenateData(copy.get());
  const Conversion want = convert(text);
  FUZZ_CHECK(result == (want.accepted ? 1 : 0));
  FUZZ_CHECK(gDataConcatenatedLenght == want.length);
  FUZZ_CHECK(memcmp(gDataConcatenated + CONCAT_BUFFER_SIZE, kGuard, sizeof kGuard) == 0);
  for (const auto &[offset, byte] : want.placed) {
    FUZZ_CHECK(gDataConcatenated[offset] == byte);
    // Untouched neighbours keep the fill.
    if (offset > 0 && want.placed.count(offset - 1) == 0) {
      FUZZ_CHECK(gDataConcatenated[offset - 1] == 0xFF);
    }
    if (offset + 1 < CONCAT_BUFFER_SIZE && want.placed.count(offset + 1) == 0) {
      FUZZ_CHECK(gDataConcatenated[offset + 1] == 0xFF);
    }
  }
  if (want.placed.empty()) {
    FUZZ_CHECK(gDataConcatenated[0] == 0xFF && gDataConcatenated[CONCAT_BUFFER_SIZE - 1] == 0xFF);
  }
  return 0;
}
