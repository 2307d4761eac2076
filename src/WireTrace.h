// The wire trace (--trace FILE): every byte the tool writes to the unit and
// reads from it, with the time and the line rate in force, so that support
// can see what the unit said. One line an event:
//
//       5120 COM3  57600 > 20 "%%help -c version\n\r"
//       5632 COM3  57600 < 74 "version\n\r   version <no parameters> ..."
//       6132 COM3  57600 < 0 (silent for 500 ms)
//      41230 COM3 115200 > 10240 data, byte sum 1277952
//
// milliseconds since the trace began, the port, the rate, the direction
// ('>' to the unit, '<' from it), the count and the bytes, quoted with \r,
// \n, \t, \", \\ and \xNN for the rest. A write longer than
// WIRE_TRACE_DATA_BLOCK is image data and is summarised by its count and
// the sum of its bytes: the sums of an image's blocks add up to 0 minus the
// checksum that its announcement gave. Opening and closing the port and
// changes of its settings have lines of their own.
#ifndef WIRETRACE_H
#define WIRETRACE_H

#include <string>

#include "platform/Platform.h"

#define WIRE_TRACE_DATA_BLOCK 256

// Takes the open, held, emptied file of the trace (RecordFiles_Open) and
// writes its heading.
void WireTrace_Attach(const PlatformRecordFile *file, const char *path);
void WireTrace_Close(void);
// Closes the trace of a refused run, removing the file when this run made it.
void WireTrace_Discard(void);

// The serial link's events, with the settings in force.
void WireTrace_PortOpened(int port, DWORD baud, DWORD readTimeoutMs, BOOL ctsFlow);
void WireTrace_PortOpenFailed(int port, DWORD baud);
void WireTrace_PortClosed(DWORD baud);
void WireTrace_Written(const void *bytes, int count, DWORD baud, BOOL ok);
void WireTrace_Read(const void *bytes, int count, DWORD baud, DWORD readTimeoutMs, BOOL ok);
// A setting pushed to the open port: "rate 115200", "read time-out 10000 ms".
void WireTrace_Setting(const char *setting, DWORD baud, BOOL applied);

// The bytes as the trace quotes them.
std::string WireTrace_Quoted(const void *bytes, int count);

#endif
