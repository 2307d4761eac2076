// The unit's console protocol: commands framed for the console, image data
// streamed in blocks, and the unit's replies collected and judged. Every
// exchange goes through the open port of the serial link and gDataBuffer.
#ifndef CONSOLEPROTOCOL_H
#define CONSOLEPROTOCOL_H

#include <stdint.h>

#include "platform/Win32Types.h"

// Sends one command line, with the echo-off prefix unless isEchoON is 1.
// With an expected response the unit's reply is collected and, when
// validateResponse is 1, must equal it.
BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse);
// Streams data in blocks with a percentage on the console, then collects and
// judges the reply as sendCommand does; a wrong reply is shown.
BOOL sendData(uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse);
// One serial read into gDataBuffer, kept as text: the bytes read in
// *nBytesRead with a zero byte behind them; the read's result.
BOOL readIntoDataBuffer(int *nBytesRead);

#endif
