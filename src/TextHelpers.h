// Helpers on text that every part of the tool shares: the line-end
// overwrite of image and reply texts, and the one rule by which text that
// comes from outside (a unit, a file name, a link, the command line) is
// shown on a terminal or written into a record.
#ifndef TEXTHELPERS_H
#define TEXTHELPERS_H

#include <stddef.h>

#include <string>

#include "platform/Win32Types.h"

// Overwrites every line feed and carriage return of `str` with `ch`.
BOOL StrRemoveNL(char *str, char ch);

// `length` bytes of `text` with every control character, DEL and every
// byte from 0x80 written as \xNN (upper-case hex), so that no escape
// sequence, C1 control or line break in them can drive a terminal or forge
// a line of a record; carriage return and line feed are kept only with
// `keepLineEnds` (a unit's reply shown as lines).
std::string printableBytes(const char *text, size_t length, bool keepLineEnds);
// The same for a whole string, line ends escaped too.
std::string printableText(const std::string &text);

#endif
