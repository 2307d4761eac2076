// Hex digit values by table, shared by the hex text and record modules.
// Converting one image reads each of its 3 MB of digits several times, so a
// digit pair is one look-up rather than two digits and arithmetic.
#ifndef HEXDIGITS_H
#define HEXDIGITS_H

#include <stdint.h>

// The value of every character as a hex digit; 0 for anything else.
struct HexDigitTable {
  uint8_t value[256];
  constexpr HexDigitTable() : value() {
    for (int c = '0'; c <= '9'; c++) value[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; c++) value[c] = static_cast<uint8_t>(c - 55);
    for (int c = 'a'; c <= 'f'; c++) value[c] = static_cast<uint8_t>(c - 87);
  }
};

// 16 x first + second for every pair of characters, indexed by
// first | second << 8.
struct HexPairTable {
  uint8_t value[65536];
  constexpr HexPairTable() : value() {
    const HexDigitTable digits;
    for (int first = 0; first < 256; first++) {
      for (int second = 0; second < 256; second++) {
        value[first | second << 8] =
            static_cast<uint8_t>(16 * digits.value[first] + digits.value[second]);
      }
    }
  }
};

inline constexpr HexDigitTable kHexDigitTable;
inline constexpr HexPairTable kHexPairTable;

inline uint8_t hexDigitValue(char c) { return kHexDigitTable.value[static_cast<unsigned char>(c)]; }

// The byte of the two characters at text, which the caller knows to be
// inside the text (neither is its terminator).
inline uint8_t hexPairValue(const char *text) {
  return kHexPairTable
      .value[static_cast<unsigned char>(text[0]) | static_cast<unsigned char>(text[1]) << 8];
}

#endif
