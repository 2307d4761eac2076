// Base64 codec: length handshake, padding, line breaks, rejected input, and
// agreement with the system's base64 tool on random data.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "Encoder.h"
#include "TestSupport.h"

namespace {

const unsigned char SENTINEL = 0xA5;

const unsigned char *bytesOf(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

struct CodecCase {
  const char *name;
  std::string input;
  int capacity;        // *dlen on entry
  int result;          // return value
  int dlenAfter;       // *dlen on return
  std::string output;  // bytes written; empty: nothing written at all
};

void PrintTo(const CodecCase &c, std::ostream *os) { *os << c.name; }

class EncodeTable : public ::testing::TestWithParam<CodecCase> {};
class DecodeTable : public ::testing::TestWithParam<CodecCase> {};

// Runs one codec call on a destination filled with SENTINEL and checks that
// exactly the expected bytes were written and nothing after them.
template <typename Codec>
void checkCase(Codec codec, const CodecCase &c) {
  unsigned char dst[64];
  memset(dst, SENTINEL, sizeof dst);
  int dlen = c.capacity;
  EXPECT_EQ(codec(dst, &dlen, bytesOf(c.input), static_cast<int>(c.input.size())), c.result);
  EXPECT_EQ(dlen, c.dlenAfter);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(dst), c.output.size()), c.output);
  for (size_t k = c.output.size(); k < sizeof dst; ++k) {
    ASSERT_EQ(dst[k], SENTINEL) << "byte " << k << " written";
  }
}

TEST_P(EncodeTable, Case) { checkCase(base64_encode, GetParam()); }
TEST_P(DecodeTable, Case) { checkCase(base64_decode, GetParam()); }

std::string caseName(const ::testing::TestParamInfo<CodecCase> &info) { return info.param.name; }

// The encoder's output includes its NUL.
INSTANTIATE_TEST_SUITE_P(
    Base64, EncodeTable,
    ::testing::Values(
        CodecCase{"Empty", "", 7, 0, 7, ""}, CodecCase{"OneByteNoRoomForNul", "f", 4, -1, 5, ""},
        CodecCase{"OneByteExactRoom", "f", 5, 0, 4, std::string("Zg==\0", 5)},
        CodecCase{"TwoBytesOnePad", "fo", 5, 0, 4, std::string("Zm8=\0", 5)},
        CodecCase{"ThreeBytesNoPad", "foo", 5, 0, 4, std::string("Zm9v\0", 5)},
        CodecCase{"SixBytes", "foobar", 9, 0, 8, std::string("Zm9vYmFy\0", 9)},
        CodecCase{"SevenBytesTooSmall", "foobarx", 12, -1, 13, ""},
        CodecCase{"NegativeCapacity", "foo", -3, -1, 5, ""},
        CodecCase{"HighBitsPlusAndSlash", "\xFB\xFF\xBF", 5, 0, 4, std::string("+/+/\0", 5)},
        CodecCase{"AllBitsSetTwoBytes", "\xFF\xFF", 5, 0, 4, std::string("//8=\0", 5)},
        CodecCase{"ZeroBytes", std::string("\0\0\0\0", 4), 9, 0, 8, std::string("AAAAAA==\0", 9)}),
    caseName);

INSTANTIATE_TEST_SUITE_P(
    Base64, DecodeTable,
    ::testing::Values(CodecCase{"Empty", "", 7, 0, 7, ""},
                      CodecCase{"LineBreaksOnly", "\r\n\n\r\n", 7, 0, 7, ""},
                      CodecCase{"TwoPadsNeedsThreeGivesOne", "Zg==", 3, 0, 1, "f"},
                      CodecCase{"TwoPadsTooSmall", "Zg==", 2, -1, 3, ""},
                      CodecCase{"OnePadNeedsThreeGivesTwo", "Zm8=", 3, 0, 2, "fo"},
                      CodecCase{"NoPad", "Zm9vYmFy", 6, 0, 6, "foobar"},
                      CodecCase{"CrLfLines", "Zm9v\r\nYmFy\r\n", 6, 0, 6, "foobar"},
                      CodecCase{"LfLines", "\nZm9v\nYmFy", 6, 0, 6, "foobar"},
                      CodecCase{"BreakInsideGroup", "Zm\r\n9vYm\nFy", 6, 0, 6, "foobar"},
                      CodecCase{"LoneCr", "Zm9v\rYmFy", 6, -1, 6, ""},
                      CodecCase{"CrAtEndOfText", "Zm9v\r", 6, -1, 6, ""},
                      CodecCase{"Space", "Zm9v YmFy", 6, -1, 6, ""},
                      CodecCase{"Tab", "Zm9v\tYmFy", 6, -1, 6, ""},
                      CodecCase{"UrlSafeAlphabet", "-_-_", 6, -1, 6, ""},
                      CodecCase{"ThirdPad", "Zg===", 6, -1, 6, ""},
                      CodecCase{"PadsSpreadOut", "Zg=\n=\n=", 6, -1, 6, ""},
                      CodecCase{"DataAfterPad", "Zg=a", 6, -1, 6, ""},
                      CodecCase{"DataAfterPadNextGroup", "Zm8=Zm8=", 9, -1, 9, ""},
                      CodecCase{"Byte0x80", "Zm9\x80", 6, -1, 6, ""},
                      CodecCase{"Byte0xFF", "\xFFm9v", 6, -1, 6, ""},
                      CodecCase{"SixCharsNeedFiveGiveThree", "Zm9vYm", 5, 0, 3, "foo"},
                      CodecCase{"SixCharsTooSmall", "Zm9vYm", 4, -1, 5, ""},
                      CodecCase{"PlusAndSlash", "+/+/", 3, 0, 3, "\xFB\xFF\xBF"}),
    caseName);

// Null pointers and negative lengths are refused without touching anything.
TEST(Base64Arguments, BadArgumentsAreRefused) {
  unsigned char dst[8] = {SENTINEL};
  int dlen = 8;
  EXPECT_EQ(base64_encode(dst, &dlen, bytesOf("abc"), -1), -1);
  EXPECT_EQ(base64_decode(dst, &dlen, bytesOf("abc"), -1), -1);
  EXPECT_EQ(base64_encode(dst, nullptr, bytesOf("abc"), 3), -1);
  EXPECT_EQ(base64_decode(dst, nullptr, bytesOf("Zm9v"), 4), -1);
  EXPECT_EQ(base64_encode(dst, &dlen, nullptr, 3), -1);
  EXPECT_EQ(dlen, 8);
  EXPECT_EQ(dst[0], SENTINEL);
}

class Base64Reference : public TempDirTest {};

// Our text decodes with the system's tool, and the system's text (in lines
// of 76 with LF) decodes with ours, for lengths around every remainder.
TEST_F(Base64Reference, RoundTripsRandomLengthsAgainstCoreutils) {
  std::mt19937 rng(20240613);
  std::uniform_int_distribution<int> lengthOf(1, 3000);
  std::uniform_int_distribution<int> byteOf(0, 255);
  for (int round = 0; round < 24; ++round) {
    const int length = round < 6 ? round + 1 : lengthOf(rng);
    std::string data(static_cast<size_t>(length), '\0');
    for (char &b : data) {
      b = static_cast<char>(byteOf(rng));
    }
    SCOPED_TRACE("length " + std::to_string(length));

    std::string text(static_cast<size_t>(4 * ((length + 2) / 3) + 1), '\0');
    int dlen = static_cast<int>(text.size());
    ASSERT_EQ(
        base64_encode(reinterpret_cast<unsigned char *>(text.data()), &dlen, bytesOf(data), length),
        0);
    ASSERT_EQ(dlen, static_cast<int>(text.size()) - 1);
    text.resize(static_cast<size_t>(dlen));
    std::string decoded;
    ASSERT_TRUE(coreutilsDecode(text, &decoded));
    EXPECT_EQ(decoded, data);

    const std::string reference = coreutilsEncode(data);
    std::string ours(static_cast<size_t>(length + 2), '\0');
    dlen = static_cast<int>(ours.size());
    ASSERT_EQ(base64_decode(reinterpret_cast<unsigned char *>(ours.data()), &dlen,
                            bytesOf(reference), static_cast<int>(reference.size())),
              0);
    ours.resize(static_cast<size_t>(dlen));
    EXPECT_EQ(ours, data);
  }
}

}  // namespace
