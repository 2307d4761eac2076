// The run log (--log FILE): a record of one run appended to a text file,
// for production and support, while the screen shows everything as usual.
//
// One line per record, a tag of eight columns and the text:
//
//   start   2026-12-07T16:39:31+01:00
//   out     Detecting COM port and Baud Rate..................OK
//   err     COM3 (/dev/ttyUSB0): Permission denied
//   end     2026-12-07T16:43:55+01:00
//
// "out" lines are the transcript as the screen shows it: one line a line of
// standard output, with the progress figures that backspaces redraw in
// place condensed to the figure on screen. "err" lines are the
// diagnostics of standard error. The other tags are the run's own records.
// Every line is in the file (flushed) as soon as it is shown, the line still
// being drawn too, rewritten in place while its figures change, so that a
// run cut short leaves its record up to the moment it stopped.
#ifndef RUNLOG_H
#define RUNLOG_H

#include <stddef.h>
#include <time.h>

#include <string>

#include "platform/Win32Types.h"

// Opens `path` to append a run's record (made if it isn't there); nothing
// is written yet. 0 with the system's reason in *reason when the file can't
// be opened for writing.
BOOL RunLog_Open(const char *path, std::string *reason);
BOOL RunLog_IsOpen(void);
// Begins the record: the "start" line.
void RunLog_Start(void);
// One record line: the tag and the text (printf), after the line of the
// transcript that is being drawn, which is ended first.
void RunLog_Record(const char *tag, const char *format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// What the console showed on standard output, as written there.
void RunLog_Transcript(const char *text, size_t length);
// One diagnostic line of standard error, without its line end.
void RunLog_Diagnostic(const char *line);
// The run's outcome in words and its exit code: the "result" and "exit"
// lines.
void RunLog_Result(const char *outcome, int exitCode);
// Ends the line being drawn, writes the "end" line and closes the file. A
// record that never began leaves the file as it was; one this open made is
// removed again.
void RunLog_Close(void);

// The descriptor of the open log, -1 when none; with RunLog_InterruptText,
// what an interrupt handler may write to it with async-signal-safe calls.
int RunLog_Descriptor(void);
// The bytes that end the record of a run interrupted by `signalName` with
// `exitCode`: a line end when a transcript line is open in the file, then
// the "result" and "exit" lines; nothing once RunLog_Result has written
// them (an interrupt at the last key wait). Made from static storage only, so
// that a signal handler may call it; the text stays until the next call.
const char *RunLog_InterruptText(const char *signalName, int exitCode, size_t *length);

// `t` in ISO 8601 as local time with its offset from UTC, e.g.
// "2026-12-07T16:39:31+01:00".
std::string RunLog_LocalTime(time_t t);

#endif
