#include "IntelHex.h"

#include <stdlib.h>
#include <string.h>

#include "HexDigits.h"

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

// Whether the line holds the characters before the type digit, looking at
// no character beyond its terminator.
inline bool lineReachesTypeDigit(const char *line) {
  return line[0] != '\0' && line[1] != '\0' && line[2] != '\0' && line[3] != '\0' &&
         line[4] != '\0' && line[5] != '\0' && line[6] != '\0' && line[7] != '\0';
}

}  // namespace

uint8_t intel_hex_start_code_present(const char *intelHexString) {
  return intelHexString != nullptr && intelHexString[0] == ':' ? 1 : 0;
}

uint8_t intel_hex_line_data_length(const char *intelHexString) {
  if (intelHexString == nullptr || intelHexString[0] == '\0') {
    return 0;
  }
  const char *count = intelHexString + RECORD_COUNT_POSITION;
  if (count[0] != '\0' && count[1] != '\0') {
    return hexPairValue(count);
  }
  return u8_from_hex_string(count);
}

uint16_t intel_hex_line_address(const char *intelHexString) {
  if (intel_hex_line_is_valid(intelHexString) != INTEL_HEX_STRING_OK) {
    return 0;
  }
  // A valid line is long enough for every field.
  return static_cast<uint16_t>(hexPairValue(intelHexString + RECORD_ADDRESS_HIGH_POSITION) * 256 +
                               hexPairValue(intelHexString + RECORD_ADDRESS_LOW_POSITION));
}

uint8_t intel_hex_line_record_type(const char *intelHexString) {
  // The type is the second digit of the type byte alone. A line that ends
  // before it reads its terminator there, which is no known type.
  char typeDigit = '\0';
  if (intelHexString != nullptr && lineReachesTypeDigit(intelHexString)) {
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
  // From here every pair read lies inside the line: the sum covers at most
  // the first 2n + 8 digits after the start code.
  const uint8_t data_sum_expected = hexPairValue(intelHexString + lineLength - 2);
  const uint8_t numberOfBytes = static_cast<uint8_t>(data_length_in_bytes + 4);
  // Four pairs a step with separate sums, since every line of an image is
  // tested three times on its way into the image.
  const char *pair = intelHexString + RECORD_COUNT_POSITION;
  const char *const end = pair + 2 * static_cast<size_t>(numberOfBytes);
  unsigned sums[4] = {0, 0, 0, 0};
  for (; end - pair >= 8; pair += 8) {
    sums[0] += hexPairValue(pair);
    sums[1] += hexPairValue(pair + 2);
    sums[2] += hexPairValue(pair + 4);
    sums[3] += hexPairValue(pair + 6);
  }
  for (; pair < end; pair += 2) {
    sums[0] += hexPairValue(pair);
  }
  const uint8_t data_sum_calculated =
      static_cast<uint8_t>(0u - (sums[0] + sums[1] + sums[2] + sums[3]));
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
  const char *pair = intelHexString + RECORD_DATA_POSITION;
  for (uint8_t i = 0; i < data_length; i++, pair += 2) {
    data[i] = hexPairValue(pair);
  }
  return data;
}
