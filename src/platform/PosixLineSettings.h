// Line settings on a POSIX terminal: the rates termios names with a code,
// and the Win32 line-settings record turned into a termios record. No
// terminal is touched here, so the translation can be checked without one.
#ifndef POSIXLINESETTINGS_H
#define POSIXLINESETTINGS_H

#include <termios.h>

#include <string>

#include "Win32Types.h"

// The termios code of a rate (B9600 for 9600), when this system has one.
bool posixRateCode(DWORD rate, speed_t *code);
// The rate of a termios code; false for a code that is no standard rate.
bool posixRateOfCode(speed_t code, DWORD *rate);

// Makes `t`, the terminal's settings on entry, a raw line with the record's
// data bits, parity, stop bits, CTS output flow control and rate. A rate
// without a termios code is left at B38400 with *standardRate false, for the
// arbitrary-rate interface to set (Linux); without that interface such a
// rate can't be expressed. "" when the record was expressed, else what could
// not be ("data bits", "parity", "stop bits", "baud rate 0", ...).
std::string termiosFromDcb(const DCB &dcb, struct termios *t, bool *standardRate);

#endif
