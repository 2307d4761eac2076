// The tool's one rule for showing a text that comes from outside it (the
// unit's reply, a file name, a link's target, a device's attribute) on the
// operator's terminal: control characters (an escape sequence would act on
// the terminal) and bytes from 0x7F (a UTF-8 terminal reads control
// characters out of some, the C1 CSI 0xC2 0x9B among them) as \xNN. With
// keepLineEnds, carriage return and line feed stay as they are. Header-only,
// so that the platform layers name a path in their failure texts by the
// same rule by which the modules (printableBytes of TextHelpers) show
// everything else.
#ifndef PRINTABLETEXT_H
#define PRINTABLETEXT_H

#include <stddef.h>

#include <string>

inline std::string platformPrintableBytes(const char *text, size_t length, bool keepLineEnds) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(length);
  for (size_t k = 0; k < length; k++) {
    const unsigned char c = static_cast<unsigned char>(text[k]);
    const bool lineEnd = c == '\r' || c == '\n';
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

#endif
