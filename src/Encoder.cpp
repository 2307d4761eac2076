// Base64 with the RFC 4648 alphabet and "=" padding. The encoder writes one
// unbroken run of text followed by a NUL; the decoder accepts text cut into
// lines by CR LF pairs or lone LFs.
//
// Both directions use the same length convention: *dlen holds the capacity of
// the destination on entry and the number of bytes produced on success; when
// the destination is too small it receives the capacity needed and nothing is
// written. An empty input leaves *dlen alone.
#include "Encoder.h"

#include <stdint.h>

#include <climits>

namespace {

const unsigned char base64_enc_map[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

// Indexed by character code 0..127: the 6-bit value of an alphabet
// character, 64 for the pad "=", 127 for everything else.
const unsigned char base64_dec_map[128] = {
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,  //
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,  //
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 62,  127, 127, 127, 63,   //
    52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  127, 127, 127, 64,  127, 127,  //
    127, 0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14,   //
    15,  16,  17,  18,  19,  20,  21,  22,  23,  24,  25,  127, 127, 127, 127, 127,  //
    127, 26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,   //
    41,  42,  43,  44,  45,  46,  47,  48,  49,  50,  51,  127, 127, 127, 127, 127};

const unsigned char PAD_VALUE = 64;
const unsigned char NOT_BASE64 = 127;

// Map entry of a byte, NOT_BASE64 for bytes beyond the 7-bit table.
unsigned char decodeValue(unsigned char c) { return c < 128 ? base64_dec_map[c] : NOT_BASE64; }

}  // namespace

int base64_encode(unsigned char *dst, int *dlen, const unsigned char *src, int slen) {
  if (slen == 0) {
    return 0;
  }
  if (dlen == nullptr || src == nullptr || slen < 0) {
    return -1;
  }

  // The text and its NUL; computed wide so that no length can overflow.
  const int64_t textLength = 4 * ((static_cast<int64_t>(slen) + 2) / 3);
  const int64_t need = textLength + 1;
  if (need > INT_MAX) {
    return -1;  // no int capacity could hold it; *dlen cannot say how much
  }
  if (dst == nullptr || *dlen < need) {
    *dlen = static_cast<int>(need);
    return -1;
  }

  unsigned char *p = dst;
  const int wholeGroups = slen / 3;
  for (int g = 0; g < wholeGroups; ++g) {
    const uint32_t bits = (static_cast<uint32_t>(src[3 * g]) << 16) |
                          (static_cast<uint32_t>(src[3 * g + 1]) << 8) | src[3 * g + 2];
    *p++ = base64_enc_map[(bits >> 18) & 0x3F];
    *p++ = base64_enc_map[(bits >> 12) & 0x3F];
    *p++ = base64_enc_map[(bits >> 6) & 0x3F];
    *p++ = base64_enc_map[bits & 0x3F];
  }

  const int rest = slen - 3 * wholeGroups;
  if (rest > 0) {
    const unsigned char *tail = src + 3 * wholeGroups;
    const uint32_t bits = (static_cast<uint32_t>(tail[0]) << 16) |
                          (rest == 2 ? static_cast<uint32_t>(tail[1]) << 8 : 0);
    *p++ = base64_enc_map[(bits >> 18) & 0x3F];
    *p++ = base64_enc_map[(bits >> 12) & 0x3F];
    *p++ = rest == 2 ? base64_enc_map[(bits >> 6) & 0x3F] : '=';
    *p++ = '=';
  }

  *p = 0;
  *dlen = static_cast<int>(textLength);
  return 0;
}

// The first pass: the number of base64 symbols in the text, pads included,
// line ends left out; -1 when anything else is there, or data after the
// padding, or more than two pads.
static int64_t countBase64Symbols(const unsigned char *src, int slen) {
  int64_t count = 0;
  int pads = 0;
  for (int i = 0; i < slen; ++i) {
    const unsigned char c = src[i];
    if (c == '\r' && i + 1 < slen && src[i + 1] == '\n') {
      continue;
    }
    if (c == '\n') {
      continue;
    }
    const unsigned char value = decodeValue(c);
    if (value == NOT_BASE64) {
      return -1;
    }
    if (value == PAD_VALUE) {
      if (++pads > 2) {
        return -1;
      }
    } else if (pads != 0) {
      return -1;  // data after the padding
    }
    ++count;
  }
  return count;
}

// The second pass, over a text the first has accepted: decodes whole groups
// of four into dst (a short group at the end is dropped) and returns the
// number of bytes written.
static int decodeBase64Groups(unsigned char *dst, const unsigned char *src, int slen) {
  unsigned char *p = dst;
  uint32_t bits = 0;
  int inGroup = 0;
  int padsSeen = 0;
  for (int i = 0; i < slen; ++i) {
    const unsigned char c = src[i];
    if (c == '\r' || c == '\n') {
      continue;
    }
    const unsigned char value = base64_dec_map[c];  // c < 128: checked by the first pass
    if (value == PAD_VALUE) {
      ++padsSeen;
    }
    bits = (bits << 6) | (value & 0x3F);
    if (++inGroup == 4) {
      inGroup = 0;
      *p++ = static_cast<unsigned char>(bits >> 16);
      if (padsSeen < 2) {
        *p++ = static_cast<unsigned char>(bits >> 8);
      }
      if (padsSeen < 1) {
        *p++ = static_cast<unsigned char>(bits);
      }
    }
  }
  return static_cast<int>(p - dst);
}

int base64_decode(unsigned char *dst, int *dlen, const unsigned char *src, int slen) {
  if (slen == 0) {
    return 0;
  }
  if (dlen == nullptr || src == nullptr || slen < 0) {
    return -1;
  }
  const int64_t count = countBase64Symbols(src, slen);
  if (count < 0) {
    return -1;
  }
  if (count == 0) {
    return 0;
  }
  // The pads are counted too, so this can exceed the output by one or two.
  const int64_t need = (6 * count + 7) / 8;
  if (dst == nullptr || *dlen < need) {
    *dlen = static_cast<int>(need);
    return -1;
  }
  *dlen = decodeBase64Groups(dst, src, slen);
  return 0;
}
