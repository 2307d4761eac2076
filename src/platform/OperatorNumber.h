// A number typed by the operator, one line of input, read the same way on
// every platform.
#ifndef OPERATORNUMBER_H
#define OPERATORNUMBER_H

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The line (with or without its line end) as a decimal int: an optional
// sign and digits, blanks around them allowed. 1 with the value; 0 for an
// empty line, a word, trailing text or a number out of range.
inline int parseOperatorNumber(const char *line, int *value) {
  while (*line == ' ' || *line == '\t') {
    line++;
  }
  const char *digits = line + (*line == '+' || *line == '-' ? 1 : 0);
  if (!isdigit(static_cast<unsigned char>(*digits))) {
    return 0;
  }
  char *end = nullptr;
  errno = 0;
  const long parsed = strtol(line, &end, 10);
  if (errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) {
    return 0;
  }
  while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') {
    end++;
  }
  if (*end != '\0') {
    return 0;
  }
  *value = static_cast<int>(parsed);
  return 1;
}

// Reads one line of `in` as a number (parseOperatorNumber); EOF when the
// input ended before the line had a single character.
inline int readOperatorNumber(FILE *in, int *value) {
  char line[64];
  if (fgets(line, sizeof line, in) == nullptr) {
    return EOF;
  }
  if (strchr(line, '\n') == nullptr && !feof(in)) {
    // Longer than any number: the rest of the line goes with it.
    int c;
    do {
      c = fgetc(in);
    } while (c != '\n' && c != EOF);
    return 0;
  }
  return parseOperatorNumber(line, value);
}

#endif
