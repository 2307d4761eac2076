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
// The most of a wrong reply that is shown to the operator.
#define REPLY_DISPLAY_LIMIT 4096

// One serial read into gDataBuffer, kept as text: the bytes read (0 to
// MAX_READ_SIZE, in *nBytesRead) with a zero byte behind them, whatever the
// read's result, which is returned.
BOOL readIntoDataBuffer(int *nBytesRead) {
  const BOOL readOk = ComPortAPI_ReadCOM(gDataBuffer, MAX_READ_SIZE, nBytesRead);
  *nBytesRead = std::max(0, std::min(*nBytesRead, MAX_READ_SIZE));
  gDataBuffer[*nBytesRead] = '\0';
  return readOk;
}

// Collects the unit's reply into `reply` (DATA_BUFFER_SIZE bytes): every
// read lands in gDataBuffer and is added to the reply until a whole reading
// time-out passes without a byte. A unit that never falls silent can't hold
// the tool: the collection also ends once it has received as many bytes as
// the reply buffer holds, zero bytes counted (only the text before a zero
// byte joins the reply), and starts no read once REPLY_COLLECTION_LIMIT_MS
// have passed, so it ends at most one reading time-out after that.
static void collectResponse(char *reply) {
  int totalBytesRead = 0;
  size_t replyLength = 0;
  reply[0] = '\0';
  const uint64_t start = Platform_GetTickCount64();
  while (totalBytesRead < MAX_READ_SIZE &&
         Platform_GetTickCount64() - start < REPLY_COLLECTION_LIMIT_MS) {
    int nBytesRead = 0;
    if (!readIntoDataBuffer(&nBytesRead) || nBytesRead == 0) {
      break;
    }
    if (totalBytesRead == 0) {
      replyLength = 0;
    }
    // The text just read ends at its first zero byte.
    const size_t pieceLength = strnlen(gDataBuffer, static_cast<size_t>(nBytesRead));
    const size_t room = static_cast<size_t>(DATA_BUFFER_SIZE - 1) - replyLength;
    const size_t kept = std::min(pieceLength, room);
    memcpy(reply + replyLength, gDataBuffer, kept);
    replyLength += kept;
    reply[replyLength] = '\0';
    totalBytesRead += nBytesRead;
  }
}

// A reply as it may be shown on the operator's terminal: control characters
// other than carriage return and line feed (an escape sequence would act on
// the terminal) and bytes beyond ASCII (a UTF-8 terminal reads control
// characters out of some) as \xNN, and no more than REPLY_DISPLAY_LIMIT of
// its bytes, with the count of those left out.
static std::string printableReply(const char *reply) {
  const size_t length = strlen(reply);
  const size_t shown = std::min<size_t>(length, REPLY_DISPLAY_LIMIT);
  std::string text;
  text.reserve(shown);
  for (size_t k = 0; k < shown; k++) {
    const unsigned char c = static_cast<unsigned char>(reply[k]);
    if ((c < 0x20 && c != '\r' && c != '\n') || c >= 0x7F) {
      static const char kDigits[] = "0123456789ABCDEF";
      text += "\\x";
      text += kDigits[c >> 4];
      text += kDigits[c & 0x0F];
    } else {
      text += static_cast<char>(c);
    }
  }
  if (length > shown) {
    text += "... (" + std::to_string(length - shown) + " more bytes)";
  }
  return text;
}

// Collects the unit's reply in a buffer of this exchange and judges it: 1
// when validation is off or the reply equals the expected text. With
// `showMismatch` a wrong reply is shown to the operator beside the expected
// one.
static BOOL receiveAndJudgeResponse(BOOL validateResponse, const char *expectedResponse,
                                    bool showMismatch) {
  char *responseReceivedCopy = static_cast<char *>(calloc(DATA_BUFFER_SIZE, 1));
  if (responseReceivedCopy == nullptr) {
    Console_Line("\r\nERROR: Not enough memory to receive the unit's reply !\r");
    return 0;
  }
  collectResponse(responseReceivedCopy);
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

BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse,
                 const char *expectedResponse) {
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
  return receiveAndJudgeResponse(validateResponse, expectedResponse, false);
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
      return receiveAndJudgeResponse(validateResponse, expectedResponse, true);
    }
  }
  return 1;
}
