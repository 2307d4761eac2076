// Image validation and concatenation: an Intel HEX image text turned into
// the flat image the unit takes, with its length and checksum.
#include "ImageConversion.h"

#include <stdlib.h>
#include <string.h>

#include "Console.h"
#include "IntelHex.h"
#include "StartUp.h"

int gDataConcatenatedLenght = 0;
uint32_t gDataConcatenatedCheckSum = 0;

uint32_t imageCheckSum(void) {
  uint32_t checkSum = 0;
  for (int index = 0; index < gDataConcatenatedLenght; index++) {
    checkSum -= gDataConcatenated[index];
  }
  return checkSum;
}

// Copies the n characters of a record text into the line store, eight at a
// time: a short copy of varying length that compilers would otherwise turn
// into a string instruction slow to start, once for each of 76,000 lines.
static void copyRecordText(char *line, const char *recordText, size_t n) {
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    memcpy(line + k, recordText + k, 8);
  }
  for (; k < n; k++) {
    line[k] = recordText[k];
  }
}

// The position of the first carriage return or line feed among the first n
// characters of a record text, n when there is none.
static size_t lineEnd(const char *recordText, size_t n) {
  const void *cr = memchr(recordText, '\r', n);
  const void *lf =
      memchr(recordText, '\n', cr != nullptr ? static_cast<const char *>(cr) - recordText : n);
  const void *end = lf != nullptr ? lf : cr;
  return end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - recordText) : n;
}

// One line on a record the image area cannot take; the verdict is 0.
static BOOL rejectRecord(int index, const char *problem, const char *intelHexStringLine) {
  Console_Printf("\r\nERROR: record %d%s: %s\r\n", index + 1, problem, intelHexStringLine);
  return 0;
}

// The line store holds the start code, one record text and the terminator.
#define INTEL_HEX_LINE_STORE 100

// Copies record text `recordText` into the line store `line` as a line that
// starts with its start code and ends at its first carriage return or line
// feed: the line that StrRemoveNL with a zero replacement leaves, cut while
// copying so that no line is walked twice. A record text too long for the
// store is cut to what fits, so that nothing lands past the store; false
// then.
static bool takeRecordLine(char *line, const char *recordText) {
  const size_t recordTextRoom = INTEL_HEX_LINE_STORE - 2;
  const size_t recordLength = strlen(recordText);
  const bool tooLong = recordLength > recordTextRoom;
  const size_t kept = lineEnd(recordText, tooLong ? recordTextRoom : recordLength);
  line[0] = ':';
  copyRecordText(line + 1, recordText, kept);
  line[1 + kept] = '\0';
  return !tooLong;
}

// Moves the address window to the one an extended linear address record
// names. Only the second address byte selects the window: the unit's images
// run from 0x8000xxxx (microcontroller) or 0x0000xxxx (logic).
static BOOL selectAddressWindow(int index, const char *line, const uint8_t *data_contents,
                                uint32_t *memory_offset) {
  if (intel_hex_line_data_length(line) < 2) {
    return rejectRecord(
        index, " is an extended linear address record without its two address bytes", line);
  }
  *memory_offset = static_cast<uint32_t>(data_contents[1]) * 65536u;
  if (*memory_offset >= CONCAT_BUFFER_SIZE) {
    return rejectRecord(index, " places data beyond the 4 MiB image area", line);
  }
  return 1;
}

// Places a data record's bytes in the image area and makes the image end
// with them. A record may run on past the end of its 64 KiB window: the
// offset is flat, with no wrap inside the window. The line passed the test
// when its bytes were taken, so its address field is read as
// intel_hex_line_address reads a valid line, without testing it again.
static BOOL placeDataRecord(int index, const char *line, const uint8_t *data_contents,
                            uint32_t memory_offset) {
  const uint32_t address =
      memory_offset + 256u * u8_from_hex_string(line + 3) + u8_from_hex_string(line + 5);
  const uint8_t data_length = intel_hex_line_data_length(line);
  if (address + data_length > CONCAT_BUFFER_SIZE) {
    return rejectRecord(index, " places data beyond the 4 MiB image area", line);
  }
  memcpy(gDataConcatenated + address, data_contents, data_length);
  gDataConcatenatedLenght = static_cast<int>(address + data_length);
  return 1;
}

// Tests one record text and applies it to the image; 0 ends the conversion
// (the reason has been printed).
static BOOL applyRecord(int index, const char *recordText, uint32_t *memory_offset) {
  char intelHexStringLine[INTEL_HEX_LINE_STORE];
  const bool fits = takeRecordLine(intelHexStringLine, recordText);

  // Data and extended linear address records are tested by taking their
  // bytes, which tests the line first; only a failure is looked at again,
  // to tell a bad line from a full heap. Other records are tested alone.
  const uint8_t recordType = intel_hex_line_record_type(intelHexStringLine);
  const bool extendedLinear = recordType == INTEL_HEX_RECORD_EXTENDED_LINEAR_ADDRESS;
  const bool dataRecord = recordType == INTEL_HEX_RECORD_DATA;
  uint8_t *data_contents = nullptr;
  bool lineIsValid = false;
  if (fits) {
    if (extendedLinear || dataRecord) {
      data_contents = new_u8_data_array_from_intel_hex_string(intelHexStringLine);
    }
    lineIsValid = data_contents != nullptr ||
                  intel_hex_line_is_valid(intelHexStringLine) == INTEL_HEX_STRING_OK;
  }
  if (!lineIsValid) {
    Console_Line("\r\n intel_hex_line_is_valid \r");
    Console_Printf("%s", intelHexStringLine);
    Console_Line("\r");
    return 0;
  }
  if ((extendedLinear || dataRecord) && data_contents == nullptr) {
    return rejectRecord(index, ", no memory for its data bytes", intelHexStringLine);
  }

  BOOL applied = 1;
  if (extendedLinear) {
    applied = selectAddressWindow(index, intelHexStringLine, data_contents, memory_offset);
  } else if (dataRecord) {
    applied = placeDataRecord(index, intelHexStringLine, data_contents, *memory_offset);
  }
  // End of file, segment and start address records change nothing, and the
  // walk goes on past the end-of-file record.
  free(data_contents);
  return applied;
}

BOOL ValidateFwAndConcatenateData(char *gHexData) {
  uint32_t memory_offset = 0;

  memset(gDataConcatenated, 0xFF, CONCAT_BUFFER_SIZE);
  gDataConcatenatedLenght = 0;

  char **extractedHexLine = str_split(gHexData, ":");
  if (extractedHexLine == nullptr) {
    Console_Line("\r\nNUL extractedHexLine \r");
    return 0;
  }

  BOOL result = 1;
  for (int index = 0; result && extractedHexLine[index] != nullptr; index++) {
    result = applyRecord(index, extractedHexLine[index], &memory_offset);
  }
  free(extractedHexLine);
  return result;
}
