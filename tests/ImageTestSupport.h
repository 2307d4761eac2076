// Helpers of the image tests: record lines built independently of the
// module under test, and exact-size heap copies of texts.
#ifndef IMAGETESTSUPPORT_H
#define IMAGETESTSUPPORT_H

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

// One Intel HEX record line in upper-case hex, with its checksum, without a
// line end.
inline std::string hexRecord(int type, int address, const std::vector<uint8_t> &data) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address & 0xFF), static_cast<uint8_t>(type)};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  static const char digits[] = "0123456789ABCDEF";
  std::string line = ":";
  for (uint8_t b : bytes) {
    line += digits[b >> 4];
    line += digits[b & 0x0F];
  }
  return line;
}

inline std::string dataRecord(int address, const std::vector<uint8_t> &data) {
  return hexRecord(0, address, data);
}

// Extended linear address record with the upper address given.
inline std::string elaRecord(int upper) {
  return hexRecord(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
}

inline const char *eofRecord() { return ":00000001FF"; }

// n bytes counting up from first.
inline std::vector<uint8_t> byteRun(int n, int first) {
  std::vector<uint8_t> bytes;
  for (int k = 0; k < n; k++) bytes.push_back(static_cast<uint8_t>(first + k));
  return bytes;
}

// A heap copy of exactly the text and its terminator, so that a read past
// the terminator is caught by AddressSanitizer.
inline std::unique_ptr<char[]> exactCopy(const std::string &text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

#endif
