// The serial link as the program found it at start, for test programs that
// run the tool, or open ports, more than once in one process.
#ifndef SERIALLINKRESET_H
#define SERIALLINKRESET_H

#include "ComPortAPI.h"

// Closes the link's port, if it holds one, empties the handle and gives the
// master records their start values again. The start values are taken at
// the first call, which a test program makes in its first fixture's set-up,
// before any test has touched the link.
inline void SerialLink_ResetToStart(void) {
  static const DCB startDcb = g_dcb;
  static const COMMTIMEOUTS startCto = g_cto;
  (void)ComPortAPI_CloseCOM();
  g_hCOM = nullptr;
  g_dcb = startDcb;
  g_cto = startCto;
}

#endif
