#include "IntelHex.h"

#include <stdlib.h>
#include <string.h>

// Field positions in a record line.
#define RECORD_COUNT_POSITION 1
#define RECORD_ADDRESS_HIGH_POSITION 3
#define RECORD_ADDRESS_LOW_POSITION 5
#define RECORD_TYPE_POSITION 8
#define RECORD_DATA_POSITION 9
// Start code, count, address, type and checksum: the characters of a record
// with no data.
#define RECORD_FRAME_CHARACTERS 11

namespace {

// Whether the line holds at least `count` characters before its terminator,
// looking at no character beyond the terminator.
bool lineHasAtLeast(const char *line, size_t count) {
  for (size_t k = 0; k < count; k++) {
    if (line[k] == '\0') {
      return false;
    }
  }
  return true;
}

}  // namespace

uint8_t intel_hex_start_code_present(const char *intelHexString) {
  return intelHexString != nullptr && intelHexString[0] == ':' ? 1 : 0;
}

uint8_t intel_hex_line_data_length(const char *intelHexString) {
  if (intelHexString == nullptr || intelHexString[0] == '\0') {
    return 0;
  }
  return u8_from_hex_string(intelHexString + RECORD_COUNT_POSITION);
}

uint16_t intel_hex_line_address(const char *intelHexString) {
  if (intel_hex_line_is_valid(intelHexString) != INTEL_HEX_STRING_OK) {
    return 0;
  }
  return static_cast<uint16_t>(u8_from_hex_string(intelHexString + RECORD_ADDRESS_HIGH_POSITION) *
                                   256 +
                               u8_from_hex_string(intelHexString + RECORD_ADDRESS_LOW_POSITION));
}

uint8_t intel_hex_line_record_type(const char *intelHexString) {
  // The type is the second digit of the type byte alone. A line that ends
  // before it reads its terminator there, which is no known type.
  char typeDigit = '\0';
  if (intelHexString != nullptr && lineHasAtLeast(intelHexString, RECORD_TYPE_POSITION)) {
    typeDigit = intelHexString[RECORD_TYPE_POSITION];
  }
  return static_cast<uint8_t>(typeDigit - '0');
}

uint8_t intel_hex_line_is_data_record(const char *intelHexString) {
  return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_DATA ? 1 : 0;
}

uint8_t intel_hex_line_is_extended_linear_address_record(const char *intelHexString) {
  return intel_hex_line_record_type(intelHexString) == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS ? 1
                                                                                                : 0;
}

uint8_t intel_hex_line_is_valid(const char *intelHexString) {
  if (intel_hex_start_code_present(intelHexString) == 0) {
    return INTEL_HEX_STRING_INVALID;
  }
  const uint8_t data_length_in_bytes = intel_hex_line_data_length(intelHexString);
  // The checksum is read from the end of the line and the sum runs over the
  // bytes the count declares: a line too short for both would make either
  // read past its end.
  const size_t lineLength = strlen(intelHexString);
  if (lineLength < 2 * static_cast<size_t>(data_length_in_bytes) + RECORD_FRAME_CHARACTERS) {
    return INTEL_HEX_STRING_INVALID;
  }
  const uint8_t data_sum_expected = u8_from_hex_string(intelHexString + lineLength - 2);
  const uint8_t data_sum_calculated = u8_checksum_from_hex_string(
      intelHexString + RECORD_COUNT_POSITION, static_cast<uint8_t>(data_length_in_bytes + 4));
  return data_sum_expected == data_sum_calculated ? INTEL_HEX_STRING_OK : INTEL_HEX_STRING_INVALID;
}

uint8_t u8_checksum_from_hex_string(const char *hexString, uint8_t numberOfBytes) {
  uint8_t data_sum = 0;
  if (hexString == nullptr) {
    return data_sum;
  }
  for (uint8_t i = 0; i < numberOfBytes; i++) {
    const char *pair = hexString + 2 * static_cast<size_t>(i);
    // A text that ends early ends the sum there, rather than the walk
    // running on past its terminator.
    if (pair[0] == '\0') {
      break;
    }
    data_sum = static_cast<uint8_t>(data_sum - u8_from_hex_string(pair));
    if (pair[1] == '\0') {
      break;
    }
  }
  return data_sum;
}

uint8_t *new_u8_data_array_from_intel_hex_string(const char *intelHexString) {
  const uint8_t data_length = intel_hex_line_data_length(intelHexString);
  if (intel_hex_line_is_valid(intelHexString) != INTEL_HEX_STRING_OK) {
    return nullptr;
  }
  // At least one byte, so that a record without data still gives an array
  // and null always means failure.
  uint8_t *data = static_cast<uint8_t *>(malloc(data_length > 0 ? data_length : 1));
  if (data == nullptr) {
    return nullptr;
  }
  for (uint8_t i = 0; i < data_length; i++) {
    data[i] =
        u8_from_hex_string(intelHexString + RECORD_DATA_POSITION + 2 * static_cast<size_t>(i));
  }
  return data;
}
