// Conversion of an Intel HEX text into the flat image: placement, length,
// fill, rejections and their reports.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "FailingAllocation.h"
#include "TestSupport.h"

namespace {

const uint8_t kStaleByte = 0x5A;  // what a previous image left in the area
const uint8_t kGuardByte = 0xA5;  // the 16 bytes behind the area

std::string textOf(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\r\n";
  return text;
}

// The offsets and bytes a text must place.
using Placements = std::map<uint32_t, std::vector<uint8_t>>;

class ConversionTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    allocateBuffers();
    // Stale bytes everywhere: each conversion must refill the whole area.
    memset(gDataConcatenated, kStaleByte, CONCAT_BUFFER_SIZE);
    memset(gDataConcatenated + CONCAT_BUFFER_SIZE, kGuardByte, 16);
  }

  // Converts a writable copy of the text, as the tool hands its images over.
  BOOL convert(const std::string &text) {
    text_ = writableText(text);
    return convertAgain();
  }
  // Converts the copy left by the previous convert() once more.
  BOOL convertAgain() {
    Sim_ClearConsole();
    return ValidateFwAndConcatenateData(text_.data());
  }

  // The whole area as it must be: 0xFF but for the placements. Reports the
  // first differing offset.
  void expectArea(const Placements &placements) {
    std::vector<uint8_t> expected(CONCAT_BUFFER_SIZE, 0xFF);
    for (const auto &placement : placements) {
      std::copy(placement.second.begin(), placement.second.end(),
                expected.begin() + placement.first);
    }
    const auto mismatch = std::mismatch(expected.begin(), expected.end(), gDataConcatenated);
    if (mismatch.first != expected.end()) {
      ADD_FAILURE() << "image byte at offset 0x" << std::hex << (mismatch.first - expected.begin())
                    << " is 0x" << int(*mismatch.second) << ", expected 0x" << int(*mismatch.first);
    }
    for (int k = 0; k < 16; k++) {
      EXPECT_EQ(gDataConcatenated[CONCAT_BUFFER_SIZE + k], kGuardByte) << "guard byte " << k;
    }
  }

  std::vector<char> text_;
};

struct Accepted {
  const char *what;
  std::vector<std::string> lines;
  int length;
  Placements placements;
};

TEST_F(ConversionTest, AcceptedTextsPlaceTheirBytes) {
  const std::vector<uint8_t> sixteen = byteRun(16, 0x40);
  const Accepted cases[] = {
      {"end-of-file record only", {eofRecord()}, 0, {}},
      {"no extended address: the 16-bit address is the offset",
       {dataRecord(0x1234, byteRun(4, 0x10)), eofRecord()},
       0x1238,
       {{0x1234, byteRun(4, 0x10)}}},
      {"upper address 0x8001 reaches the image through its low byte",
       {elaRecord(0x8001), dataRecord(0x0000, sixteen), eofRecord()},
       0x10010,
       {{0x10000, sixteen}}},
      {"upper address 0x8000 is offset 0",
       {elaRecord(0x8000), dataRecord(0x8000, byteRun(4, 1)),
        hexRecord(5, 0, {0x80, 0, 0x81, 0xC1}), eofRecord()},
       0x8004,
       {{0x8000, byteRun(4, 1)}}},
      {"a gap holds 0xFF inside the image",
       {dataRecord(0x00, byteRun(4, 1)), dataRecord(0x10, byteRun(4, 5)), eofRecord()},
       0x14,
       {{0x00, byteRun(4, 1)}, {0x10, byteRun(4, 5)}}},
      {"a record without data sets the length to its offset",
       {dataRecord(0x00, byteRun(4, 1)), dataRecord(0x20, {}), eofRecord()},
       0x20,
       {{0x00, byteRun(4, 1)}}},
      {"a record after the end-of-file record is still placed",
       {dataRecord(0x00, byteRun(2, 1)), eofRecord(), dataRecord(0x100, byteRun(2, 9)),
        eofRecord()},
       0x102,
       {{0x00, byteRun(2, 1)}, {0x100, byteRun(2, 9)}}},
      {"an extended segment address changes no offset",
       {hexRecord(2, 0, {0x10, 0x00}), dataRecord(0x10, byteRun(2, 1)), eofRecord()},
       0x12,
       {{0x10, byteRun(2, 1)}}},
      {"a record at the end of a window runs on into the next one",
       {elaRecord(0x0000), dataRecord(0xFFF8, sixteen), eofRecord()},
       0x10008,
       {{0xFFF8, sixteen}}},
      {"the later of two overlapping records wins; the length follows the last record",
       {dataRecord(0x100, byteRun(4, 1)), dataRecord(0x102, byteRun(4, 0x50)),
        dataRecord(0x10, byteRun(2, 0x60)), eofRecord()},
       0x12,
       {{0x100, {1, 2, 0x50, 0x51, 0x52, 0x53}}, {0x10, byteRun(2, 0x60)}}},
      {"data ending exactly at the end of the area",
       {elaRecord(0x003F), dataRecord(0xFFF0, sixteen), eofRecord()},
       CONCAT_BUFFER_SIZE,
       {{0x3FFFF0, sixteen}}},
      {"43 data bytes and the line end fill the line store",
       {dataRecord(0x00, byteRun(43, 0)), eofRecord()},
       43,
       {{0x00, byteRun(43, 0)}}},
      {"the line ends at its first line feed or carriage return; what follows is ignored",
       {dataRecord(0x00, byteRun(2, 1)) + "\n", dataRecord(0x02, byteRun(2, 3)) + "\r\nFF",
        dataRecord(0x04, byteRun(2, 5)) + "\rx", eofRecord()},
       6,
       {{0x00, byteRun(6, 1)}}},
      {"lower-case hex digits", {":0400000001020304f2", eofRecord()}, 4, {{0x00, {1, 2, 3, 4}}}},
  };
  for (const Accepted &c : cases) {
    SCOPED_TRACE(c.what);
    memset(gDataConcatenated, kStaleByte, CONCAT_BUFFER_SIZE);
    EXPECT_EQ(convert(textOf(c.lines)), 1);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(gDataConcatenatedLenght, c.length);
    expectArea(c.placements);
  }
}

TEST_F(ConversionTest, TheTextIsSplitInPlaceSoASecondConversionSeesOnlyItsFirstRecord) {
  ASSERT_EQ(convert(textOf(
                {dataRecord(0x00, byteRun(4, 1)), dataRecord(0x10, byteRun(4, 5)), eofRecord()})),
            1);
  EXPECT_EQ(gDataConcatenatedLenght, 0x14);
  EXPECT_EQ(text_[0], ':');
  EXPECT_EQ(text_[dataRecord(0x00, byteRun(4, 1)).size() + 2], '\0');

  EXPECT_EQ(convertAgain(), 1);
  EXPECT_EQ(gDataConcatenatedLenght, 4);
  expectArea({{0x00, byteRun(4, 1)}});
}

struct Rejected {
  const char *what;
  std::string text;
  std::string console;
  int length;  // the end of the last record placed before the rejection
  Placements placements;
};

std::string invalidLineReport(const std::string &line) {
  return "\r\n intel_hex_line_is_valid \r\n" + line + "\r\n";
}

TEST_F(ConversionTest, RejectedTextsReportTheirFirstBadRecord) {
  const std::string badChecksum = ":0200040005067F";
  const std::string record44 = dataRecord(0x00, byteRun(44, 0));
  const std::string longGarbage(300, '0');
  const Rejected cases[] = {
      {"empty text", "", "\r\nNUL extractedHexLine \r\n", 0, {}},
      {"start codes only", ":::", "\r\nNUL extractedHexLine \r\n", 0, {}},
      {"the third record has a wrong checksum",
       textOf({dataRecord(0x00, byteRun(2, 1)), dataRecord(0x02, byteRun(2, 3)), badChecksum,
               eofRecord()}),
       invalidLineReport(badChecksum),
       4,
       {{0x00, byteRun(4, 1)}}},
      {"a record shorter than its byte count declares",
       textOf({dataRecord(0x00, byteRun(2, 1)), ":02000000FE", eofRecord()}),
       invalidLineReport(":02000000FE"),
       2,
       {{0x00, byteRun(2, 1)}}},
      {"text before the first start code",
       "garbage\r\n" + textOf({eofRecord()}),
       invalidLineReport(":garbage"),
       0,
       {}},
      // A record text longer than 98 characters does not fit the line store
      // with its start code and terminator; the report shows what fits.
      {"44 data bytes and the line end overflow the line store",
       textOf({record44, eofRecord()}),
       invalidLineReport(record44),
       0,
       {}},
      {"a long run of digits",
       textOf({dataRecord(0x00, byteRun(2, 1)), ":" + longGarbage, eofRecord()}),
       invalidLineReport(":" + longGarbage.substr(0, 98)),
       2,
       {{0x00, byteRun(2, 1)}}},
      {"upper address at the end of the area",
       textOf({dataRecord(0x00, byteRun(2, 1)), elaRecord(0x0040), dataRecord(0x00, byteRun(2, 1)),
               eofRecord()}),
       "\r\nERROR: record 2 places data beyond the 4 MiB image area: :020000040040BA\r\n",
       2,
       {{0x00, byteRun(2, 1)}}},
      {"upper address 0xFFFF",
       textOf({elaRecord(0xFFFF), eofRecord()}),
       "\r\nERROR: record 1 places data beyond the 4 MiB image area: :02000004FFFFFC\r\n",
       0,
       {}},
      {"data running past the end of the area",
       textOf({elaRecord(0x003F), dataRecord(0xFFF8, byteRun(16, 0)), eofRecord()}),
       "\r\nERROR: record 2 places data beyond the 4 MiB image area: " +
           dataRecord(0xFFF8, byteRun(16, 0)) + "\r\n",
       0,
       {}},
      {"extended linear address record with one data byte",
       textOf({":0100000400FB", eofRecord()}),
       "\r\nERROR: record 1 is an extended linear address record without its two address bytes: "
       ":0100000400FB\r\n",
       0,
       {}},
      {"extended linear address record without data",
       textOf({dataRecord(0x00, byteRun(2, 1)), ":00000004FC", eofRecord()}),
       "\r\nERROR: record 2 is an extended linear address record without its two address bytes: "
       ":00000004FC\r\n",
       2,
       {{0x00, byteRun(2, 1)}}},
  };
  for (const Rejected &c : cases) {
    SCOPED_TRACE(c.what);
    memset(gDataConcatenated, kStaleByte, CONCAT_BUFFER_SIZE);
    EXPECT_EQ(convert(c.text), 0);
    EXPECT_EQ(console(), c.console);
    EXPECT_EQ(gDataConcatenatedLenght, c.length);
    expectArea(c.placements);
  }
  Sim_ClearConsole();
  EXPECT_EQ(ValidateFwAndConcatenateData(nullptr), 0);
  EXPECT_EQ(console(), "\r\nNUL extractedHexLine \r\n");
}

TEST_F(ConversionTest, ADataArrayThatCannotBeHadFailsTheConversion) {
  if (!FAILING_ALLOCATION_AVAILABLE) {
    GTEST_SKIP() << "allocation failures need a GNU linker (--wrap)";
  }
  const std::string second = dataRecord(0x10, byteRun(2, 3));
  FailingAllocation_FailMalloc(2);
  EXPECT_EQ(convert(textOf({dataRecord(0x00, byteRun(2, 1)), second, eofRecord()})), 0);
  FailingAllocation_FailMalloc(0);
  EXPECT_EQ(console(), "\r\nERROR: record 2, no memory for its data bytes: " + second + "\r\n");
  EXPECT_EQ(gDataConcatenatedLenght, 2);
  expectArea({{0x00, byteRun(2, 1)}});

  const std::string ela = elaRecord(0x0001);
  FailingAllocation_FailMalloc(1);
  EXPECT_EQ(convert(textOf({ela, dataRecord(0x00, byteRun(2, 1)), eofRecord()})), 0);
  FailingAllocation_FailMalloc(0);
  EXPECT_EQ(console(), "\r\nERROR: record 1, no memory for its data bytes: " + ela + "\r\n");
  expectArea({});
}

}  // namespace
