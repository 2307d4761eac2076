// Intel HEX record lines: the validity test and the fields.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "IntelHex.h"
#include "TestSupport.h"

namespace {

const char kDataRecord[] = ":10010000214601360121470136007EFE09D2190140";
const std::vector<uint8_t> kDataRecordBytes = {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01,
                                               0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01};

std::vector<uint8_t> dataBytesOf(const char *line) {
  uint8_t *array = new_u8_data_array_from_intel_hex_string(line);
  EXPECT_NE(array, nullptr) << line;
  std::vector<uint8_t> bytes;
  if (array != nullptr) {
    bytes.assign(array, array + intel_hex_line_data_length(line));
    free(array);
  }
  return bytes;
}

TEST(IntelHexRecord, ValidRecordsAndTheirFields) {
  const struct {
    const char *line;
    int count;
    int address;
    int type;
    bool data;
    bool extendedLinear;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {":00000001FF", 0, 0, 1, false, false, {}},
      {kDataRecord, 16, 0x0100, 0, true, false, kDataRecordBytes},
      {":10010000214601360121470136007efe09d2190140", 16, 0x0100, 0, true, false, kDataRecordBytes},
      {":02123400ABCD40", 2, 0x1234, 0, true, false, {0xAB, 0xCD}},
      {":020000040800F2", 2, 0, 4, false, true, {0x08, 0x00}},
      {":04000005800081C135", 4, 0, 5, false, false, {0x80, 0x00, 0x81, 0xC1}},
      // The type is the second digit alone: "10" reads as a data record,
      // "0A" as 17, which is neither of the two types that act.
      {":00000010F0", 0, 0, 0, true, false, {}},
      {":0000000AF6", 0, 0, 17, false, false, {}},
      // Characters between the declared data and the last two are ignored;
      // the checksum is the last two characters.
      {":00000001zzFF", 0, 0, 1, false, false, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(intel_hex_start_code_present(c.line), 1);
    EXPECT_EQ(intel_hex_line_is_valid(c.line), INTEL_HEX_STRING_OK);
    EXPECT_EQ(intel_hex_line_data_length(c.line), c.count);
    EXPECT_EQ(intel_hex_line_address(c.line), c.address);
    EXPECT_EQ(intel_hex_line_record_type(c.line), c.type);
    EXPECT_EQ(intel_hex_line_is_data_record(c.line), c.data ? 1 : 0);
    EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(c.line), c.extendedLinear ? 1 : 0);
    EXPECT_EQ(dataBytesOf(c.line), c.bytes);
  }
}

TEST(IntelHexRecord, AnyChangedDigitMakesTheRecordInvalid) {
  for (const std::string &valid :
       {std::string(kDataRecord), elaRecord(0x8001), dataRecord(0xFFF8, byteRun(3, 0xF0))}) {
    ASSERT_EQ(intel_hex_line_is_valid(valid.c_str()), INTEL_HEX_STRING_OK) << valid;
    for (size_t position = 1; position < valid.size(); position++) {
      for (const char other : {'0', '7', 'F'}) {
        if (other == valid[position]) continue;
        std::string changed = valid;
        changed[position] = other;
        SCOPED_TRACE(changed);
        EXPECT_EQ(intel_hex_line_is_valid(changed.c_str()), INTEL_HEX_STRING_INVALID);
        EXPECT_EQ(intel_hex_line_address(changed.c_str()), 0);
        EXPECT_EQ(new_u8_data_array_from_intel_hex_string(changed.c_str()), nullptr);
      }
    }
  }
}

// Lines without the start code, shorter than their byte count declares, or
// too short to hold a checksum: invalid, and every operation stays inside
// the line (each is an exact-size heap copy, so AddressSanitizer sees a read
// past its end).
TEST(IntelHexRecord, InvalidLinesReadNothingBeyondTheirEnd) {
  for (const char *text : {
           "00000001FF",
           ";00000001FF",
           " :00000001FF",
           "",
           ":",
           ":F",
           ":00",
           ":0000",
           ":0000000",
           ":00000001",
           ":00000001F",     // one checksum digit short
           ":02000004FA",    // count 2, no data
           ":020000040800",  // count 2, checksum missing
           ":1001000021460136012147013600",
           ":10010000214601360121470136007EFE09D21901",  // checksum cut off
           ":FF00000000FF",
       }) {
    const std::string line = text;
    SCOPED_TRACE(line);
    const auto copy = exactCopy(line);
    EXPECT_EQ(intel_hex_start_code_present(copy.get()), !line.empty() && line[0] == ':');
    EXPECT_EQ(intel_hex_line_is_valid(copy.get()), INTEL_HEX_STRING_INVALID);
    EXPECT_EQ(intel_hex_line_address(copy.get()), 0);
    EXPECT_EQ(new_u8_data_array_from_intel_hex_string(copy.get()), nullptr);
    // The type is read without a validity test; a line that ends before the
    // type digit has no type that acts.
    (void)intel_hex_line_data_length(copy.get());
    if (line.size() < 9) {
      EXPECT_EQ(intel_hex_line_is_data_record(copy.get()), 0);
      EXPECT_EQ(intel_hex_line_is_extended_linear_address_record(copy.get()), 0);
    } else {
      (void)intel_hex_line_record_type(copy.get());
    }
  }
}

TEST(IntelHexRecord, ChecksumOfBytePairs) {
  const struct {
    const char *hex;
    int count;
    int checksum;
  } cases[] = {
      {"10010000214601360121470136007EFE09D21901", 20, 0x40},
      {"00000001", 4, 0xFF},
      {"", 0, 0},
      {"FF", 1, 0x01},
      {"FFFF", 2, 0x02},        // the sum wraps at 8 bits
      {"0102030405", 2, 0xFD},  // only the pairs counted
  };
  for (const auto &c : cases) {
    EXPECT_EQ(u8_checksum_from_hex_string(c.hex, static_cast<uint8_t>(c.count)), c.checksum)
        << c.hex;
  }
}

}  // namespace
