#include "Console.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "RunLog.h"
#include "platform/Platform.h"

// Everything shown on standard output goes through here, and so into the
// run log when there is one: first into the log, so that a run cut short
// has logged whatever the screen showed.
static void show(const char *text, size_t length) {
  RunLog_Transcript(text, length);
  Platform_ConsoleWrite(text, length);
}

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
    show(small, static_cast<size_t>(length));
  } else {
    // Only a reply echoed back by the unit can be this long.
    std::vector<char> large(static_cast<size_t>(length) + 1);
    vsnprintf(large.data(), large.size(), format, again);
    show(large.data(), static_cast<size_t>(length));
  }
  va_end(again);
  return length;
}

void Console_Error(const char *format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::vector<char> large;
  const char *line = small;
  if (length >= static_cast<int>(sizeof small)) {
    large.resize(static_cast<size_t>(length) + 1);
    vsnprintf(large.data(), large.size(), format, again);
    line = large.data();
  }
  va_end(again);
  if (length < 0) {
    return;
  }
  RunLog_Diagnostic(line);
  fputs(line, stderr);
  fputc('\n', stderr);
  fflush(stderr);
}

void Console_Line(const char *text) {
  show(text, strlen(text));
  show("\n", 1);
}
