// The unit's console protocol: commands framed for the console, image data
// streamed in blocks, and the unit's replies collected and judged.
#include "ConsoleProtocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "ComPortAPI.h"
#include "Console.h"
#include "StartUp.h"
#include "TextHelpers.h"
#include "platform/Platform.h"

// One data write to the unit.
#define DATA_CHUNK_SIZE 10240
// One serial read: the buffer less the terminating zero byte.
#define MAX_READ_SIZE (DATA_BUFFER_SIZE - 1)

// The longest a reply collection listens: well past the longest a unit
// needs ("Ready" near the end of a 10 s announcement wait, then a silent
// time-out), and short of holding the tool for ever on a unit that never
// falls silent.
#define REPLY_COLLECTION_LIMIT_MS 60000
// How long a reply that can no longer be the one awaited is read on while
// the line keeps talking: enough for the rest of a garbled answer, so that
// the next attempt starts on a quiet line, and short enough that a port that
// never falls silent (a GPS receiver, another device's console) costs an
// attempt only this and one reading time-out.
#define WRONG_REPLY_READ_ON_MS 2000
// The most of a wrong reply that is shown to the operator.
#define REPLY_DISPLAY_LIMIT 4096

// One serial read into gDataBuffer, kept as text: the bytes read (0 to
// MAX_READ_SIZE, in *nBytesRead) less their zero bytes, with a zero byte
// behind them, whatever the read's result, which is returned.
BOOL readIntoDataBuffer(int *nBytesRead) {
  const BOOL readOk = ComPortAPI_ReadCOM(gDataBuffer, MAX_READ_SIZE, nBytesRead);
  *nBytesRead = std::max(0, std::min(*nBytesRead, MAX_READ_SIZE));
  // Zero bytes are line noise (a glitch, a BREAK), never the unit's text:
  // wherever they stand, the text keeps every other byte in its order.
  char *textEnd = std::remove(gDataBuffer, gDataBuffer + *nBytesRead, '\0');
  *textEnd = '\0';
  return readOk;
}

// Collects the unit's reply into `reply` (DATA_BUFFER_SIZE bytes): every
// read lands in gDataBuffer and is added to the reply until a whole reading
// time-out passes without a byte. A unit that never falls silent can't hold
// the tool: the collection also ends once it has received as many bytes as
// the reply buffer holds, zero bytes counted (though they join no reply),
// and starts no read once REPLY_COLLECTION_LIMIT_MS have passed, so it ends
// at most one reading time-out after that. With `awaited`, the only reply
// the exchange can have, a reply that can no longer be it (longer than it,
// or differing from its start) is read on for WRONG_REPLY_READ_ON_MS at
// most.
static void collectResponse(char *reply, const char *awaited) {
  int totalBytesRead = 0;
  size_t replyLength = 0;
  reply[0] = '\0';
  const size_t awaitedLength = awaited != nullptr ? strlen(awaited) : 0;
  bool knownWrong = false;
  uint64_t knownWrongAt = 0;
  const uint64_t start = Platform_GetTickCount64();
  for (;;) {
    const uint64_t now = Platform_GetTickCount64();
    if (totalBytesRead >= MAX_READ_SIZE || now - start >= REPLY_COLLECTION_LIMIT_MS ||
        (knownWrong && now - knownWrongAt >= WRONG_REPLY_READ_ON_MS)) {
      break;
    }
    int nBytesRead = 0;
    if (!readIntoDataBuffer(&nBytesRead) || nBytesRead == 0) {
      break;
    }
    const size_t room = static_cast<size_t>(DATA_BUFFER_SIZE - 1) - replyLength;
    const size_t kept = std::min(strlen(gDataBuffer), room);
    memcpy(reply + replyLength, gDataBuffer, kept);
    replyLength += kept;
    reply[replyLength] = '\0';
    totalBytesRead += nBytesRead;
    if (awaited != nullptr && !knownWrong &&
        (replyLength > awaitedLength || memcmp(reply, awaited, replyLength) != 0)) {
      knownWrong = true;
      knownWrongAt = Platform_GetTickCount64();
    }
  }
}

// A reply as it may be shown on the operator's terminal: control characters
// other than carriage return and line feed (an escape sequence would act on
// the terminal) and bytes beyond ASCII (a UTF-8 terminal reads control
// characters out of some) as \xNN, and no more than REPLY_DISPLAY_LIMIT of
// its bytes, with the count of those left out.
std::string printableReply(const char *reply) {
  const size_t length = strlen(reply);
  const size_t shown = std::min<size_t>(length, REPLY_DISPLAY_LIMIT);
  std::string text = printableBytes(reply, shown, true);
  if (length > shown) {
    text += "... (" + std::to_string(length - shown) + " more bytes)";
  }
  return text;
}

// Collects the unit's reply in a buffer of this exchange and judges it: 1
// when validation is off or the reply equals the expected text. With
// `showMismatch` a wrong reply is shown to the operator beside the expected
// one; with `onlyReply` the expected text is the only reply the exchange can
// have, and the collection gives up on one that can no longer be it.
static BOOL receiveAndJudgeResponse(BOOL validateResponse, const char *expectedResponse,
                                    bool showMismatch, bool onlyReply) {
  char *responseReceivedCopy = static_cast<char *>(calloc(DATA_BUFFER_SIZE, 1));
  if (responseReceivedCopy == nullptr) {
    Console_Line("\r\nERROR: Not enough memory to receive the unit's reply !\r");
    return 0;
  }
  collectResponse(responseReceivedCopy, onlyReply ? expectedResponse : nullptr);
  BOOL result = 1;
  if (validateResponse == 1 && strcmp(responseReceivedCopy, expectedResponse) != 0) {
    if (showMismatch) {
      Console_Printf("\r\nExpected : %s  received : %s\r\n", expectedResponse,
                     printableReply(responseReceivedCopy).c_str());
      Console_Line("\r\nError: Expected response did  not matched !\r");
    }
    result = 0;
  }
  free(responseReceivedCopy);
  return result;
}

// sendCommand, and with `onlyReply` sendCommandExpectingOnly.
static BOOL exchangeCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                            const char *expectedResponse, bool onlyReply) {
  const int framed =
      snprintf(gDataBuffer, DATA_BUFFER_SIZE, "%s%s\n\r", isEchoON == 1 ? "" : "%%", commandToSend);
  if (framed < 0 || framed >= DATA_BUFFER_SIZE) {
    Console_Line("\r\nError occurred when sending data !\r");
    return 0;
  }
  int nBytesWritten = 0;
  if (!ComPortAPI_WriteCOM(gDataBuffer, framed, &nBytesWritten)) {
    Console_Line("\r\nError occurred when sending data !\r");
    return 0;
  }
  if (expectedResponse == nullptr) {
    return 1;
  }
  return receiveAndJudgeResponse(validateResponse, expectedResponse, false, onlyReply);
}

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse) {
  return exchangeCommand(commandToSend, isEchoON, validateResponse, expectedResponse, false);
}

BOOL sendCommandExpectingOnly(const char *commandToSend, const char *expectedResponse) {
  return exchangeCommand(commandToSend, 0, 1, expectedResponse, true);
}

// Erases the percentage on screen before the next one is drawn.
static void erasePercentage(int percentage) { Console_Printf(percentage <= 9 ? "\b\b" : "\b\b\b"); }

BOOL sendData(uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse,
              const char *expectedResponse) {
  int dataSent = 0;
  int percentage = 0;
  Console_Printf("1%%");
  if (dataToSendLength < 0) {
    return 0;
  }
  while (dataSent != dataToSendLength) {
    const int remaining = dataToSendLength - dataSent;
    int nBytesWritten = 0;
    if (remaining > DATA_CHUNK_SIZE) {
      if (!ComPortAPI_WriteCOM(dataToSend + dataSent, DATA_CHUNK_SIZE, &nBytesWritten)) {
        return 0;
      }
      dataSent += DATA_CHUNK_SIZE;
      erasePercentage(percentage);
      percentage = static_cast<int>(static_cast<long long>(dataSent) * 100 / dataToSendLength);
      Console_Printf("%d%%", percentage);
    } else {
      if (!ComPortAPI_WriteCOM(dataToSend + dataSent, remaining, &nBytesWritten)) {
        return 0;
      }
      erasePercentage(percentage);
      Console_Printf("100%%");
      dataSent = dataToSendLength;
      if (expectedResponse == nullptr) {
        return 1;
      }
      return receiveAndJudgeResponse(validateResponse, expectedResponse, true, false);
    }
  }
  return 1;
}
