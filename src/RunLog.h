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
//
// The file is appended to, one whole line a write, so that no other writer
// can split a line and a run's first line starts a line of its own even
// after a record that a killed run cut off mid-line. A line is written
// (and so in the file) once it is whole; the line still being drawn when
// an interrupt comes is written by the interrupt, with the figure then on
// screen.
#ifndef RUNLOG_H
#define RUNLOG_H

#include <stddef.h>
#include <time.h>

#include <string>

#include "platform/Platform.h"

// Takes the open, held file of the run log (RecordFiles_Open); nothing is
// written yet.
void RunLog_Attach(const PlatformRecordFile *file, const char *path);
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
// Ends the line being drawn, writes the "end" line (once the record has
// begun) and closes the file.
void RunLog_Close(void);
// Closes the log of a run refused before its record began, removing the
// file when this run made it.
void RunLog_Discard(void);

// The descriptor of the open log, -1 when none; with RunLog_InterruptText,
// what an interrupt handler may write to it with async-signal-safe calls.
int RunLog_Descriptor(void);
// The bytes that end the record of a run interrupted by `signalName` with
// `exitCode`: the transcript line being drawn, then the "result" and
// "exit" lines; nothing once RunLog_Result has written them (an interrupt
// at the last key wait) or once a write has failed. Made from static
// storage only, so that a signal handler may call it; the text stays until
// the next call. Of a line being drawn, at most its first
// RUN_LOG_DRAWN_MAX bytes are kept for this.
#define RUN_LOG_DRAWN_MAX 4096
const char *RunLog_InterruptText(const char *signalName, int exitCode, size_t *length);

// `t` in ISO 8601 as local time with its offset from UTC, e.g.
// "2026-12-07T16:39:31+01:00".
std::string RunLog_LocalTime(time_t t);

#endif
