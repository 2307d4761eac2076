// One record line of any content through every operation of the record
// module: nothing may be read outside the line (the copy is exactly as long
// as the line and its terminator, so AddressSanitizer sees any overrun), and
// every verdict and field must agree with the plain reading of the rules.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "FuzzReference.h"
#include "IntelHex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string line(reinterpret_cast<const char *>(data),
                         strnlen(reinterpret_cast<const char *>(data), size));
  std::unique_ptr<char[]> text(new char[line.size() + 1]);
  memcpy(text.get(), line.c_str(), line.size() + 1);
  const char *s = text.get();

  const bool valid = ref::lineIsValid(line);
  FUZZ_CHECK(intel_hex_line_is_valid(s) ==
             (valid ? INTEL_HEX_STRING_OK : INTEL_HEX_STRING_INVALID));
  FUZZ_CHECK(intel_hex_start_code_present(s) == (!line.empty() && line[0] == ':'));
  FUZZ_CHECK(intel_hex_line_record_type(s) == ref::recordType(line));
  FUZZ_CHECK(intel_hex_line_is_data_record(s) == (ref::recordType(line) == 0));
  FUZZ_CHECK(intel_hex_line_is_extended_linear_address_record(s) == (ref::recordType(line) == 4));
  const uint8_t n = line.empty() ? 0 : ref::hexByteAt(line, 1);
  FUZZ_CHECK(intel_hex_line_data_length(s) == n);
  FUZZ_CHECK(intel_hex_line_address(s) ==
             (valid ? ref::pair(line, 3) * 256 + ref::pair(line, 5) : 0));

  // The record sum over a count the input chooses, run on from position 1:
  // it must stop at the terminator.
  const uint8_t count = size > 0 ? data[size - 1] : 0;
  uint8_t sum = 0;
  const std::string digits = line.empty() ? std::string() : line.substr(1);
  for (unsigned i = 0; i < count && 2 * i < digits.size(); i++) {
    sum = static_cast<uint8_t>(sum - ref::hexByteAt(digits, 2 * i));
  }
  FUZZ_CHECK(u8_checksum_from_hex_string(line.empty() ? s : s + 1, count) == sum);

  uint8_t *bytes = new_u8_data_array_from_intel_hex_string(s);
  FUZZ_CHECK((bytes != nullptr) == valid);
  if (bytes != nullptr) {
    for (unsigned i = 0; i < n; i++) {
      FUZZ_CHECK(bytes[i] == ref::pair(line, 9 + 2 * i));
    }
    free(bytes);
  }
  return 0;
}
