// Hex text and the in-place splitter under the image conversion.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <ctype.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "FailingAllocation.h"
#include "StringOperations.h"

namespace {

// The tokens of a split as strings; empty for a null result.
std::vector<std::string> tokensOf(char **tab) {
  std::vector<std::string> tokens;
  for (size_t k = 0; tab != nullptr && tab[k] != nullptr; k++) {
    tokens.emplace_back(tab[k]);
  }
  return tokens;
}

// --- hex digits and bytes ---------------------------------------------------

TEST(HexText, DigitValues) {
  const std::string digits = "0123456789ABCDEF";
  for (int value = 0; value < 16; value++) {
    EXPECT_EQ(int_from_hex_char(digits[value]), value);
    EXPECT_EQ(int_from_hex_char(static_cast<char>(tolower(digits[value]))), value);
  }
  // Characters above 0x7F are negative as char and must not index below a
  // table.
  for (const char c : {'G', 'g', '/', ':', '@', '`', '\0', '\r', ' ', '\xFF', '\xB0', '\xC1'}) {
    EXPECT_EQ(int_from_hex_char(c), 0) << "character " << int(c);
  }
}

TEST(HexText, BytesFromTheFirstTwoCharacters) {
  const struct {
    const char *text;
    int value;
  } cases[] = {
      {"", 0},      {"F", 15},    {"7", 7},      {"1G", 16},     {"FF", 255},
      {"a5", 0xA5}, {"5a", 0x5A}, {"123", 0x12}, {"0F\r\n", 15}, {"G1", 1},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(u8_from_hex_string(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(HexText, ByteReadsNothingBeyondItsTwoCharacters) {
  // Two digits and no terminator: a routine that measured the rest of the
  // text would run off the end of this allocation.
  std::unique_ptr<char[]> pair(new char[2]);
  pair[0] = 'C';
  pair[1] = '3';
  EXPECT_EQ(u8_from_hex_string(pair.get()), 0xC3);
}

// --- splitting --------------------------------------------------------------

TEST(Split, RecordsSplitInPlaceAtStartCodes) {
  char text[] = ":A\r\n:B\r\n";
  char **tab = str_split(text, ":");
  ASSERT_NE(tab, nullptr);
  EXPECT_EQ(tokensOf(tab), (std::vector<std::string>{"A\r\n", "B\r\n"}));
  // The tokens are the text itself: the start code that ended the first
  // token is now its terminator; the leading one is only skipped.
  EXPECT_EQ(tab[0], text + 1);
  EXPECT_EQ(tab[1], text + 5);
  EXPECT_EQ(text[0], ':');
  EXPECT_EQ(text[4], '\0');
  EXPECT_EQ(tab[2], nullptr);
  free(tab);
  // A null text or delimiter set gives no array and touches nothing.
  EXPECT_EQ(str_split(nullptr, ":"), nullptr);
  EXPECT_EQ(str_split(text, nullptr), nullptr);
  EXPECT_EQ(text[0], ':');
}

TEST(Split, TokenCounts) {
  const struct {
    const char *text;
    const char *delimiters;
    std::vector<std::string> tokens;
  } cases[] = {
      {"A::B", ":", {"A", "B"}},
      {":::", ":", {}},
      {"", ":", {}},
      {"plain", ":", {"plain"}},
      {"a,b;c", ",;", {"a", "b", "c"}},
      {"::x:", ":", {"x"}},
  };
  for (const auto &c : cases) {
    std::string text = c.text;
    char **tab = str_split(text.data(), c.delimiters);
    EXPECT_EQ(tab == nullptr, c.tokens.empty()) << '"' << c.text << '"';
    EXPECT_EQ(tokensOf(tab), c.tokens) << '"' << c.text << '"';
    free(tab);
  }
}

TEST(Split, ArrayGrowsForManyTokens) {
  // Enough tokens to pass several doublings, and a count that fills the
  // array exactly so that the closing entry needs the last slot.
  for (int count : {1, 2, 3, 4, 7, 8, 1000, 1023}) {
    std::string text;
    std::vector<std::string> tokens;
    for (int k = 0; k < count; k++) {
      tokens.push_back(std::to_string(k));
      text += ":" + tokens.back();
    }
    char **tab = str_split(text.data(), ":");
    EXPECT_EQ(tokensOf(tab), tokens) << count;
    free(tab);
  }
}

TEST(SplitDeathTest, NoMemoryEndsTheProcessWithAFailureStatus) {
  if (!FAILING_ALLOCATION_AVAILABLE) {
    GTEST_SKIP() << "allocation failures need a GNU linker (--wrap)";
  }
  // The first allocation, or the second growth once the array already
  // holds two tokens.
  for (const int nth : {1, 2}) {
    EXPECT_EXIT(
        {
          dup2(STDERR_FILENO, STDOUT_FILENO);
          std::string text = "a:b:c:d:e";
          FailingAllocation_FailRealloc(nth);
          str_split(text.data(), ":");
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "^Memoire insuffisante\n$");
  }
}

}  // namespace
