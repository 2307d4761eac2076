// Hexadecimal text and in-place splitting of a text into tokens.
#ifndef STRINGOPERATIONS_H
#define STRINGOPERATIONS_H

#include <stdint.h>

uint8_t int_from_hex_char(char aChar);
uint8_t u8_from_hex_string(const char *inputString);
// Splits s in place at any character of ct. Returns a null-terminated array
// of pointers into s, which the caller releases with free(); null when s or
// ct is null or s holds no token.
char **str_split(char *s, const char *ct);

#endif
