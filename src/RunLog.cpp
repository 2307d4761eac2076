#include "RunLog.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "RecordFiles.h"

namespace {

// The open log: its file (held by this run), and whether the record has
// begun and its outcome is written.
PlatformRecordFile sFile;
bool sOpen = false;
std::string sPath;
bool sStarted = false;
// Read by the interrupt handler.
volatile sig_atomic_t sResultWritten = 0;
// A write failed (a full disk, say): the log stops, the run goes on.
volatile sig_atomic_t sFailed = 0;

// The transcript line being drawn: its text as the screen shows it and the
// column the next character lands in (a backspace moves back without
// erasing, a carriage return goes to the line's start, and what follows
// overwrites, as on a terminal). It is written once it ends.
std::string sLine;
size_t sColumn = 0;
// A record line cut the transcript's line: a line end right after it ends
// nothing new.
bool sLineCut = false;
// The line being drawn once more, in static storage for the interrupt
// handler: each byte is in place before the length counts it.
char sDrawn[RUN_LOG_DRAWN_MAX];
volatile sig_atomic_t sDrawnLength = 0;

#define RUN_LOG_TAG_WIDTH 8

std::string tagged(const char *tag, const std::string &text) {
  std::string line = tag;
  if (!text.empty()) {
    line.resize(RUN_LOG_TAG_WIDTH, ' ');
    line += text;
  }
  return line + "\n";
}

// One whole line (or more) in one write. The first failure is told once,
// and the log is written no more: the warning itself, a diagnostic like any
// other, then stays out of the log.
void writeLines(const std::string &lines) {
  if (!sOpen || sFailed) {
    return;
  }
  if (!Platform_WriteDescriptor(sFile.fd, lines.data(), lines.size())) {
    const int error = errno;
    sFailed = 1;
    RecordFiles_WriteFailed("run log", sPath.c_str(), error);
  }
}

// Writes the line being drawn and starts a new one.
void writeDrawnLine() {
  writeLines(tagged("out", sLine));
  sDrawnLength = 0;
  sLine.clear();
  sColumn = 0;
}

// Ends the transcript line being drawn, so that a record can follow it.
void cutLine() {
  if (!sLine.empty()) {
    writeDrawnLine();
    sLineCut = true;
  }
}

void writeRecord(const char *tag, const std::string &text) {
  if (!sOpen || sFailed) {
    return;
  }
  cutLine();
  writeLines(tagged(tag, text));
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

void RunLog_Attach(const PlatformRecordFile *file, const char *path) {
  RunLog_Close();
  sFile = *file;
  sOpen = true;
  sPath = path;
  sStarted = false;
  sResultWritten = 0;
  sFailed = 0;
  sLine.clear();
  sColumn = 0;
  sLineCut = false;
  sDrawnLength = 0;
}

void RunLog_Start(void) {
  if (sOpen && !sStarted) {
    sStarted = true;
    // A record that a killed run left in the middle of a line is ended
    // first, so that this run's record starts on a line of its own.
    const int last = Platform_LastByteOfRecordFile(&sFile);
    const std::string lineEnd = last >= 0 && last != '\n' ? "\n" : "";
    writeLines(lineEnd + tagged("start", RunLog_LocalTime(time(nullptr))));
  }
}

BOOL RunLog_IsOpen(void) { return sOpen ? 1 : 0; }

void RunLog_Record(const char *tag, const char *format, ...) {
  if (!sOpen || sFailed) {
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
  if (!sOpen || sFailed) {
    return;
  }
  for (size_t k = 0; k < length; k++) {
    const char c = text[k];
    if (c == '\n') {
      if (!(sLineCut && sLine.empty())) {
        writeDrawnLine();
      }
      sLineCut = false;
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
      if (sColumn < sizeof sDrawn) {
        sDrawn[sColumn] = c;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        sDrawnLength = static_cast<sig_atomic_t>(std::min(sLine.size(), sizeof sDrawn));
      }
      sColumn++;
      sLineCut = false;
    }
  }
}

void RunLog_Diagnostic(const char *line) { writeRecord("err", line); }

void RunLog_Result(const char *outcome, int exitCode) {
  if (!sOpen) {
    return;
  }
  writeRecord("result", outcome);
  writeRecord("exit", std::to_string(exitCode));
  sResultWritten = 1;
}

void RunLog_Discard(void) {
  if (sOpen) {
    Platform_CloseRecordFile(&sFile, 1);
    sOpen = false;
    sDrawnLength = 0;
  }
}

void RunLog_Close(void) {
  if (!sOpen) {
    return;
  }
  if (sStarted) {
    writeRecord("end", RunLog_LocalTime(time(nullptr)));
  }
  Platform_CloseRecordFile(&sFile, 0);
  sOpen = false;
  sDrawnLength = 0;
}

int RunLog_Descriptor(void) { return sOpen ? sFile.fd : -1; }

const char *RunLog_InterruptText(const char *signalName, int exitCode, size_t *length) {
  // Built by hand: no formatting call is safe in a signal handler.
  static char text[RUN_LOG_DRAWN_MAX + 160];
  size_t n = 0;
  if (sResultWritten || sFailed) {
    // Interrupted at the key wait, the outcome is in the record already;
    // or the log stopped at a failed write.
    text[0] = '\0';
    *length = 0;
    return text;
  }
  const auto put = [&n](const char *piece, size_t count) {
    for (size_t k = 0; k < count && n < sizeof text - 1; k++) {
      text[n++] = piece[k];
    }
  };
  const auto putText = [&put](const char *piece) { put(piece, strlen(piece)); };
  const size_t drawn = static_cast<size_t>(sDrawnLength);
  if (drawn > 0) {
    putText("out     ");
    put(sDrawn, drawn);
    putText("\n");
  }
  putText("result  interrupted by ");
  putText(signalName);
  putText("\nexit    ");
  char digits[12];
  int d = 0;
  unsigned value = static_cast<unsigned>(exitCode < 0 ? -exitCode : exitCode);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < 11);
  if (exitCode < 0) {
    putText("-");
  }
  while (d > 0) {
    put(&digits[--d], 1);
  }
  putText("\n");
  text[n] = '\0';
  *length = n;
  return text;
}
