#include "TextHelpers.h"

#include <string.h>

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

std::string printableBytes(const char *text, size_t length, bool keepLineEnds) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(length);
  for (size_t k = 0; k < length; k++) {
    const unsigned char c = static_cast<unsigned char>(text[k]);
    const bool lineEnd = c == '\r' || c == '\n';
    // Bytes from 0x80 too: a UTF-8 terminal reads C1 controls (CSI is
    // C2 9B) out of some of them.
    if ((c < 0x20 && !(keepLineEnds && lineEnd)) || c >= 0x7F) {
      shown += "\\x";
      shown += kDigits[c >> 4];
      shown += kDigits[c & 0x0F];
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

std::string printableText(const std::string &text) {
  return printableBytes(text.data(), text.size(), false);
}
