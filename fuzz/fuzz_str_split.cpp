// The splitter on any text and any delimiter set. The first byte gives the
// number of delimiters (0 to 3) that follow it; the rest is the text. The
// tokens must be the non-empty runs between delimiters, in order, each a
// pointer into the text, and the array must end with its null entry.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "FuzzReference.h"
#include "StringOperations.h"

namespace {

std::vector<std::pair<size_t, std::string>> tokensOf(const std::string &text,
                                                     const std::string &delimiters) {
  std::vector<std::pair<size_t, std::string>> tokens;
  size_t k = 0;
  while (k < text.size()) {
    if (delimiters.find(text[k]) != std::string::npos) {
      k++;
      continue;
    }
    const size_t start = k;
    while (k < text.size() && delimiters.find(text[k]) == std::string::npos) k++;
    tokens.emplace_back(start, text.substr(start, k - start));
  }
  return tokens;
}

std::unique_ptr<char[]> exactCopy(const std::string &s) {
  std::unique_ptr<char[]> copy(new char[s.size() + 1]);
  memcpy(copy.get(), s.c_str(), s.size() + 1);
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const size_t delimiterCount = std::min<size_t>(data[0] % 4, size - 1);
  const char *raw = reinterpret_cast<const char *>(data + 1);
  const std::string delimiters(raw, strnlen(raw, delimiterCount));
  const char *rest = raw + delimiterCount;
  const std::string text(rest, strnlen(rest, size - 1 - delimiterCount));

  std::unique_ptr<char[]> s = exactCopy(text);
  std::unique_ptr<char[]> ct = exactCopy(delimiters);
  FUZZ_CHECK(str_split(nullptr, ct.get()) == nullptr);
  FUZZ_CHECK(str_split(s.get(), nullptr) == nullptr);

  const auto expected = tokensOf(text, delimiters);
  char **tab = str_split(s.get(), ct.get());
  if (expected.empty()) {
    FUZZ_CHECK(tab == nullptr);
    return 0;
  }
  FUZZ_CHECK(tab != nullptr);
  size_t k = 0;
  for (; tab[k] != nullptr; k++) {
    FUZZ_CHECK(k < expected.size());
    FUZZ_CHECK(tab[k] == s.get() + expected[k].first);
    FUZZ_CHECK(expected[k].second == tab[k]);
  }
  FUZZ_CHECK(k == expected.size());
  free(tab);
  return 0;
}
