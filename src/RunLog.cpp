#include "RunLog.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "platform/Platform.h"

namespace {

FILE *sLog = nullptr;
std::string sPath;
// The file was made by this open, the record has begun, and its outcome
// is written.
bool sMadeHere = false;
bool sStarted = false;
bool sResultWritten = false;
// A write failed (a full disk, say): the log stops, the run goes on.
bool sFailed = false;

// The transcript line being drawn: its text as the screen shows it, the
// column the next character lands in (a backspace moves back without
// erasing, a carriage return goes to the line's start, and what follows
// overwrites, as on a terminal), and where its record starts in the file,
// in which it is rewritten while it changes. A line so drawn never gets
// shorter, so each version covers the one before.
std::string sLine;
size_t sColumn = 0;
long sLineStart = 0;
bool sLineInFile = false;
// A record line cut the transcript's line: a line end right after it ends
// nothing new.
bool sLineCut = false;

#define RUN_LOG_TAG_WIDTH 8

void check(bool ok) {
  if (!ok) {
    sFailed = true;
  }
}

void writeTagged(const char *tag, const std::string &text) {
  std::string line = tag;
  if (!text.empty()) {
    line.resize(RUN_LOG_TAG_WIDTH, ' ');
    line += text;
  }
  check(fwrite(line.data(), 1, line.size(), sLog) == line.size());
}

// Puts the line being drawn in the file at its place, with a line end when
// `ended`.
void writeLine(bool ended) {
  if (sLog == nullptr || sFailed) {
    return;
  }
  check(fseek(sLog, sLineStart, SEEK_SET) == 0);
  writeTagged("out", sLine);
  sLineInFile = true;
  if (ended) {
    check(fputc('\n', sLog) != EOF);
    sLine.clear();
    sColumn = 0;
    sLineInFile = false;
    const long end = ftell(sLog);
    check(end >= 0);
    sLineStart = end;
  }
  check(fflush(sLog) == 0);
}

// Ends the transcript line being drawn, so that a record can follow it.
void cutLine() {
  if (sLineInFile || !sLine.empty()) {
    writeLine(true);
    sLineCut = true;
  }
}

void writeRecord(const char *tag, const std::string &text) {
  if (sLog == nullptr || sFailed) {
    return;
  }
  cutLine();
  writeTagged(tag, text);
  check(fputc('\n', sLog) != EOF);
  check(fflush(sLog) == 0);
  const long end = ftell(sLog);
  check(end >= 0);
  sLineStart = end;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long daysFromCivil(long year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long>(dayOfEra) - 719468;
}

long secondsOf(const struct tm &t) {
  return daysFromCivil(t.tm_year + 1900L, static_cast<unsigned>(t.tm_mon + 1),
                       static_cast<unsigned>(t.tm_mday)) *
             86400L +
         t.tm_hour * 3600L + t.tm_min * 60L + t.tm_sec;
}

}  // namespace

std::string RunLog_LocalTime(time_t t) {
  // The offset is the local time less UTC, both read as if they were UTC:
  // strftime's %z is no number on every runtime.
  const struct tm *localPart = localtime(&t);
  if (localPart == nullptr) {
    return "(no time)";
  }
  const struct tm local = *localPart;
  const struct tm *utcPart = gmtime(&t);
  const long offset = utcPart != nullptr ? secondsOf(local) - secondsOf(*utcPart) : 0;
  const long offsetMinutes = (offset < 0 ? -offset : offset) / 60;
  char text[96];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           offset < 0 ? '-' : '+', offsetMinutes / 60, offsetMinutes % 60);
  return text;
}

BOOL RunLog_Open(const char *path, std::string *reason) {
  RunLog_Close();
  // Not opened for appending: the line being drawn is rewritten in place,
  // and writes in append mode would all go to the end.
  FILE *log = fopen(path, "r+b");
  bool made = false;
  if (log == nullptr && errno == ENOENT) {
    log = fopen(path, "w+b");
    made = true;
  }
  if (log == nullptr) {
    *reason = strerror(errno);
    return 0;
  }
  if (fseek(log, 0, SEEK_END) != 0) {
    *reason = strerror(errno);
    fclose(log);
    return 0;
  }
  sLog = log;
  sPath = path;
  sMadeHere = made;
  sStarted = false;
  sResultWritten = false;
  sFailed = false;
  sLine.clear();
  sColumn = 0;
  sLineInFile = false;
  sLineCut = false;
  sLineStart = ftell(log);
  return 1;
}

void RunLog_Start(void) {
  if (sLog != nullptr && !sStarted) {
    sStarted = true;
    writeRecord("start", RunLog_LocalTime(time(nullptr)));
  }
}

BOOL RunLog_IsOpen(void) { return sLog != nullptr ? 1 : 0; }

void RunLog_Record(const char *tag, const char *format, ...) {
  if (sLog == nullptr) {
    return;
  }
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(static_cast<size_t>(length > 0 ? length : 0) + 1);
  vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  writeRecord(tag, text.data());
}

void RunLog_Transcript(const char *text, size_t length) {
  if (sLog == nullptr || sFailed) {
    return;
  }
  bool drawn = false;
  for (size_t k = 0; k < length; k++) {
    const char c = text[k];
    if (c == '\n') {
      if (!(sLineCut && sLine.empty() && !sLineInFile)) {
        writeLine(true);
      }
      sLineCut = false;
      drawn = false;
    } else if (c == '\b') {
      sColumn -= sColumn > 0 ? 1 : 0;
    } else if (c == '\r') {
      sColumn = 0;
    } else {
      if (sColumn < sLine.size()) {
        sLine[sColumn] = c;
      } else {
        sLine += c;
      }
      sColumn++;
      sLineCut = false;
      drawn = true;
    }
  }
  if (drawn) {
    writeLine(false);
  }
}

void RunLog_Diagnostic(const char *line) { writeRecord("err", line); }

void RunLog_Result(const char *outcome, int exitCode) {
  if (sLog == nullptr) {
    return;
  }
  writeRecord("result", outcome);
  writeRecord("exit", std::to_string(exitCode));
  sResultWritten = true;
}

void RunLog_Close(void) {
  if (sLog == nullptr) {
    return;
  }
  if (sStarted) {
    writeRecord("end", RunLog_LocalTime(time(nullptr)));
  }
  fclose(sLog);
  sLog = nullptr;
  if (!sStarted && sMadeHere) {
    // A run refused before its record began leaves no file behind.
    remove(sPath.c_str());
  }
}

int RunLog_Descriptor(void) {
  if (sLog == nullptr) {
    return -1;
  }
  return Platform_FileDescriptor(sLog);
}

const char *RunLog_InterruptText(const char *signalName, int exitCode, size_t *length) {
  // Built by hand: no formatting call is safe in a signal handler.
  static char text[160];
  size_t n = 0;
  if (sResultWritten) {
    // Interrupted at the key wait: the outcome is in the record already.
    text[0] = '\0';
    *length = 0;
    return text;
  }
  const auto put = [&n](const char *piece) {
    for (; *piece != '\0' && n < sizeof text - 1; piece++) {
      text[n++] = *piece;
    }
  };
  if (sLineInFile) {
    put("\n");
  }
  put("result  interrupted by ");
  put(signalName);
  put("\nexit    ");
  char digits[12];
  int d = 0;
  unsigned value = static_cast<unsigned>(exitCode < 0 ? -exitCode : exitCode);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < 11);
  if (exitCode < 0) {
    put("-");
  }
  while (d > 0) {
    const char digit[2] = {digits[--d], '\0'};
    put(digit);
  }
  put("\n");
  text[n] = '\0';
  *length = n;
  return text;
}
