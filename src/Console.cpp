#include "Console.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "platform/Platform.h"

int Console_Printf(const char *format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return length;
  }
  if (static_cast<size_t>(length) < sizeof small) {
    Platform_ConsoleWrite(small, static_cast<size_t>(length));
  } else {
    // Only a reply echoed back by the unit can be this long.
    std::vector<char> large(static_cast<size_t>(length) + 1);
    vsnprintf(large.data(), large.size(), format, again);
    Platform_ConsoleWrite(large.data(), static_cast<size_t>(length));
  }
  va_end(again);
  return length;
}

void Console_Error(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  fflush(stderr);
}

void Console_Line(const char *text) {
  Platform_ConsoleWrite(text, strlen(text));
  Platform_ConsoleWrite("\n", 1);
}
