#include "TextHelpers.h"

#include <string.h>

#include "platform/PrintableText.h"

BOOL StrRemoveNL(char *str, char ch) {
  if (str == nullptr) {
    return 1;
  }
  // Walk to the terminator the text had on entry: with NUL as the
  // replacement the text ends at its first line end, but every later line
  // end is overwritten too.
  const size_t length = strlen(str);
  for (size_t k = 0; k < length; k++) {
    if (str[k] == '\n' || str[k] == '\r') {
      str[k] = ch;
    }
  }
  return 1;
}

// The rule lives with the platform layers, which name paths by it too.
std::string printableBytes(const char *text, size_t length, bool keepLineEnds) {
  return platformPrintableBytes(text, length, keepLineEnds);
}

std::string printableText(const std::string &text) {
  return printableBytes(text.data(), text.size(), false);
}
