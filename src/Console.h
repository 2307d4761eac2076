// Console output of the tool. Every text goes out at once through the
// platform layer, byte for byte as formatted.
#ifndef CONSOLE_H
#define CONSOLE_H

#if defined(__GNUC__) || defined(__clang__)
#define CONSOLE_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define CONSOLE_PRINTF_FORMAT
#endif

// printf to standard output.
int Console_Printf(const char *format, ...) CONSOLE_PRINTF_FORMAT;
// The text followed by one line feed, as puts() prints it.
void Console_Line(const char *text);
// One diagnostic line on standard error (printf, then a line feed): the
// reasons and warnings that the operator's transcript on standard output
// does not carry.
void Console_Error(const char *format, ...) CONSOLE_PRINTF_FORMAT;

#endif
