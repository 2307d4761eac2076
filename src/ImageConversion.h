// Image validation and concatenation: an Intel HEX image text turned into
// the flat image the unit takes, in gDataConcatenated, with its length and
// checksum.
#ifndef IMAGECONVERSION_H
#define IMAGECONVERSION_H

#include <stdint.h>

#include "platform/Win32Types.h"

// The length of the image the last conversion left in gDataConcatenated.
extern int gDataConcatenatedLenght;
// Its checksum, stored by whoever converted it (imageCheckSum()).
extern uint32_t gDataConcatenatedCheckSum;

// Converts the image text, which it splits in place, into gDataConcatenated
// (0xFF where no record placed a byte). 0, the reason printed, at the first
// record the image area cannot take.
BOOL ValidateFwAndConcatenateData(char *gHexData);
// 0 minus the 32-bit sum of the first gDataConcatenatedLenght image bytes.
uint32_t imageCheckSum(void);

#endif
