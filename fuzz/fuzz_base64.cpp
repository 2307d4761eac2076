// The base64 codec. The first byte picks the case, the rest is the input:
//   even: round trip. The bytes are encoded into a destination of exactly
//         the size the encoder asks for, the text must be alphabet and pads
//         with its NUL, and decoding it (whole, and cut into CR LF lines)
//         into a destination of exactly the size the decoder asks for gives
//         the bytes back.
//   odd:  arbitrary text decoded into a destination of the capacity the
//         second byte gives, a heap block of exactly that size, so that a
//         write past the capacity shows; verdict, length and bytes must
//         agree with the two-pass rule.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "Encoder.h"
#include "FuzzReference.h"

namespace {

std::unique_ptr<unsigned char[]> block(size_t n) {
  return std::unique_ptr<unsigned char[]>(new unsigned char[n]);
}

// Decodes text into an exactly sized destination; the bytes produced.
std::vector<uint8_t> decodeExactly(const unsigned char *text, int length) {
  unsigned char probe = 0xA5;
  int need = 0;
  FUZZ_CHECK(base64_decode(&probe, &need, text, length) == -1);
  FUZZ_CHECK(probe == 0xA5);
  auto dst = block(static_cast<size_t>(need));
  int dlen = need;
  FUZZ_CHECK(base64_decode(dst.get(), &dlen, text, length) == 0);
  FUZZ_CHECK(dlen >= 0 && dlen <= need && need - dlen <= 2);
  return std::vector<uint8_t>(dst.get(), dst.get() + dlen);
}

void roundTrip(const uint8_t *src, int slen) {
  if (slen == 0) {
    int dlen = 7;
    FUZZ_CHECK(base64_encode(nullptr, &dlen, src, 0) == 0 && dlen == 7);
    return;
  }
  const int textLength = 4 * ((slen + 2) / 3);
  int need = 0;
  unsigned char probe = 0xA5;
  FUZZ_CHECK(base64_encode(&probe, &need, src, slen) == -1);
  FUZZ_CHECK(need == textLength + 1 && probe == 0xA5);
  auto text = block(static_cast<size_t>(need));
  int dlen = need;
  FUZZ_CHECK(base64_encode(text.get(), &dlen, src, slen) == 0);
  FUZZ_CHECK(dlen == textLength && text[textLength] == '\0');
  for (int k = 0; k < textLength; k++) {
    const int v = ref::b64Value(text[k]);
    FUZZ_CHECK(v >= 0 && (v < 64 || k >= textLength - 2));
  }
  const std::vector<uint8_t> original(src, src + slen);
  FUZZ_CHECK(decodeExactly(text.get(), textLength) == original);

  // The same text cut into lines of 76 characters.
  std::vector<unsigned char> lines;
  for (int k = 0; k < textLength; k++) {
    if (k > 0 && k % 76 == 0) {
      lines.push_back('\r');
      lines.push_back('\n');
    }
    lines.push_back(text[k]);
  }
  FUZZ_CHECK(decodeExactly(lines.data(), static_cast<int>(lines.size())) == original);
}

void decodeAnything(const uint8_t *src, int slen, int capacity) {
  auto dst = block(static_cast<size_t>(capacity));
  int dlen = capacity;
  const int result = base64_decode(dst.get(), &dlen, src, slen);
  const ref::Decoded want = ref::b64Decode(src, static_cast<size_t>(slen));
  switch (want.verdict) {
    case ref::Decoded::Refused:
      FUZZ_CHECK(result == -1 && dlen == capacity);
      break;
    case ref::Decoded::Empty:
      FUZZ_CHECK(result == 0 && dlen == capacity);
      break;
    case ref::Decoded::Ok:
      if (want.need > capacity) {
        FUZZ_CHECK(result == -1 && dlen == want.need);
      } else {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(dlen == static_cast<int>(want.bytes.size()));
        FUZZ_CHECK(std::equal(want.bytes.begin(), want.bytes.end(), dst.get()));
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  if ((data[0] & 1) == 0) {
    roundTrip(data + 1, static_cast<int>(size - 1));
  } else if (size >= 2) {
    decodeAnything(data + 2, static_cast<int>(size - 2), data[1]);
  }
  return 0;
}
