// Plain, one-character-at-a-time readings of the Intel HEX record rules and
// of the base64 rules, written apart from the tool's own table-driven code so
// that the fuzz targets can hold the two against each other.
#ifndef FUZZREFERENCE_H
#define FUZZREFERENCE_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

// Stops the run with a message that names the broken rule; libFuzzer keeps
// the input that did it.
#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

namespace ref {

inline int digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// The byte of the two characters at position k.
inline uint8_t pair(const std::string &s, size_t k) {
  return static_cast<uint8_t>(16 * digit(s[k]) + digit(s[k + 1]));
}

// A record line: ":", count n, address, type, n data bytes, checksum taken
// from the last two characters. A line shorter than 2n + 11 characters is
// refused rather than read past its end.
inline bool lineIsValid(const std::string &line) {
  if (line.empty() || line[0] != ':' || line.size() < 11) return false;
  const unsigned n = pair(line, 1);
  if (line.size() < 2 * n + 11) return false;
  const uint8_t expected = pair(line, line.size() - 2);
  const unsigned bytes = (n + 4) & 0xFF;  // the count is 8 bits wide
  uint8_t sum = 0;
  for (unsigned i = 0; i < bytes; i++) sum = static_cast<uint8_t>(sum - pair(line, 1 + 2 * i));
  return sum == expected;
}

// The type digit, or the terminator's value when the line ends before it.
inline uint8_t recordType(const std::string &line) {
  const char c = line.size() > 8 ? line[8] : '\0';
  return static_cast<uint8_t>(c - '0');
}

// What `u8_from_hex_string` gives for the text from position k.
inline uint8_t hexByteAt(const std::string &s, size_t k) {
  if (k >= s.size()) return 0;
  if (k + 1 == s.size()) return static_cast<uint8_t>(digit(s[k]));
  return pair(s, k);
}

// Base64 decoding, as the two-pass rule reads.
struct Decoded {
  enum Verdict { Refused, Empty, Ok } verdict = Refused;
  long need = 0;
  std::vector<uint8_t> bytes;
};

inline int b64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  if (c == '=') return 64;
  return -1;
}

inline Decoded b64Decode(const uint8_t *s, size_t n) {
  Decoded d;
  long count = 0;
  int pads = 0;
  for (size_t i = 0; i < n; i++) {
    if (s[i] == '\r' && i + 1 < n && s[i + 1] == '\n') continue;
    if (s[i] == '\n') continue;
    const int v = b64Value(s[i]);
    if (v < 0) return d;
    if (v == 64) {
      if (++pads > 2) return d;
    } else if (pads > 0) {
      return d;
    }
    count++;
  }
  if (count == 0) {
    d.verdict = Decoded::Empty;
    return d;
  }
  d.need = (6 * count + 7) / 8;
  uint32_t bits = 0;
  int inGroup = 0;
  int padsSeen = 0;
  for (size_t i = 0; i < n; i++) {
    if (s[i] == '\r' || s[i] == '\n') continue;
    const int v = b64Value(s[i]);
    if (v == 64) padsSeen++;
    bits = (bits << 6) | static_cast<uint32_t>(v & 0x3F);
    if (++inGroup == 4) {
      inGroup = 0;
      d.bytes.push_back(static_cast<uint8_t>(bits >> 16));
      if (padsSeen < 2) d.bytes.push_back(static_cast<uint8_t>(bits >> 8));
      if (padsSeen < 1) d.bytes.push_back(static_cast<uint8_t>(bits));
    }
  }
  d.verdict = Decoded::Ok;
  return d;
}

}  // namespace ref

#endif
