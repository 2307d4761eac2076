// The unit's console protocol: commands framed for the console, image data
// streamed in blocks, and the unit's replies collected and judged. Every
// exchange goes through the open port of the serial link and gDataBuffer.
#ifndef CONSOLEPROTOCOL_H
#define CONSOLEPROTOCOL_H

#include <stdint.h>

#include <string>

#include "platform/Win32Types.h"

// Sends one command line, with the echo-off prefix unless isEchoON is 1.
// With an expected response the unit's reply is collected and, when
// validateResponse is 1, must equal it.
BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse);
// sendCommand(commandToSend, 0, 1, expectedResponse) for an exchange that
// can have no other reply (a probe of the console): a reply that can no
// longer be the expected one (longer than it, or differing from its start)
// is read on only until the line is silent for one reading time-out or 2 s
// have passed, so that a port that talks without a pause can't hold it.
BOOL sendCommandExpectingOnly(const char *commandToSend, const char *expectedResponse);
// Streams data in blocks with a percentage on the console, then collects and
// judges the reply as sendCommand does; a wrong reply is shown.
BOOL sendData(uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse);
// One serial read into gDataBuffer, kept as text: the bytes read in
// *nBytesRead, of which the zero bytes (line noise) are dropped from the
// text, with a zero byte behind it; the read's result.
BOOL readIntoDataBuffer(int *nBytesRead);
// Text from the unit as it may be shown on the operator's terminal: control
// characters other than CR and LF, DEL and bytes from 0x80 as \xNN, cut at
// 4096 bytes with "... (N more bytes)".
std::string printableReply(const char *reply);

#endif
