#include "StringOperations.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Value of every character as a hex digit; 0 for anything that is not one.
// A table, since the conversion reads every digit of a 3 MB image text
// several times.
struct HexDigitTable {
  uint8_t value[256];
  constexpr HexDigitTable() : value() {
    for (int c = '0'; c <= '9'; c++) value[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; c++) value[c] = static_cast<uint8_t>(c - 55);
    for (int c = 'a'; c <= 'f'; c++) value[c] = static_cast<uint8_t>(c - 87);
  }
};

constexpr HexDigitTable kHexDigits;

}  // namespace

uint8_t int_from_hex_char(char aChar) {
  return kHexDigits.value[static_cast<unsigned char>(aChar)];
}

uint8_t u8_from_hex_string(const char *inputString) {
  if (inputString == nullptr || inputString[0] == '\0') {
    return 0;
  }
  // Only the first two characters matter: a text of one character is that
  // digit alone. Looking no further keeps a walk over a long text linear.
  if (inputString[1] == '\0') {
    return int_from_hex_char(inputString[0]);
  }
  return static_cast<uint8_t>(16 * int_from_hex_char(inputString[0]) +
                              int_from_hex_char(inputString[1]));
}

char **str_split(char *s, const char *ct) {
  if (s == nullptr || ct == nullptr) {
    return nullptr;
  }
  char **tab = nullptr;
  size_t size = 1;
  size_t i = 0;
  for (char *token = strtok(s, ct); token != nullptr; token = strtok(nullptr, ct)) {
    if (i + 1 >= size) {
      size *= 2;
      char **grown = static_cast<char **>(realloc(tab, size * sizeof *tab));
      if (grown == nullptr) {
        // The whole image text cannot be walked without its record list, and
        // the process holds nothing that needs a tidy end.
        printf("Memoire insuffisante\n");
        fflush(stdout);
        free(tab);
        exit(EXIT_FAILURE);
      }
      tab = grown;
    }
    tab[i] = token;
    i++;
  }
  if (tab != nullptr) {
    tab[i] = nullptr;
  }
  return tab;
}
