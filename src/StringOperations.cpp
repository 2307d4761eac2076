#include "StringOperations.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "HexDigits.h"

uint8_t int_from_hex_char(char aChar) { return hexDigitValue(aChar); }

uint8_t u8_from_hex_string(const char *inputString) {
  if (inputString == nullptr || inputString[0] == '\0') {
    return 0;
  }
  // Only the first two characters matter: a text of one character is that
  // digit alone. Looking no further keeps a walk over a long text linear.
  if (inputString[1] == '\0') {
    return int_from_hex_char(inputString[0]);
  }
  return hexPairValue(inputString);
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
