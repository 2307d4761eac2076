// Ports by the names operators give them: a COM number ("COM5") or, on
// Linux, a device path ("/dev/serial/by-id/usb-...-if00-port0"). A path
// gets a number of its own above the COM numbers (PortName.h), so that the
// serial link, detection and the update carry it as they carry COM5; only
// the texts that name a port ask here what the number stands for.
#ifndef PORTNAMES_H
#define PORTNAMES_H

#include <string>

// The number that stands for `path`; the same path gives the same number.
// 0 when the path is empty or the table of paths is full.
int PortNames_OfPath(const std::string &path);

// The path that port n stands for, as the operator gave it; nullptr for a
// COM number (or a number no path was given).
const char *PortNames_Path(int n);

// The port as messages name it: "COM5", or the path, shown with control
// characters and bytes from 0x7F as \xNN.
std::string PortNames_Text(int n);

// Keeps the device a path port led to when it was opened ("/dev/ttyUSB0"
// for a link in /dev/serial/by-id), for the log, the trace and --info.
void PortNames_SetDevice(int n, const char *device);

// The device path port n led to when it was opened; nullptr for a COM
// number, or when it has not been opened.
const char *PortNames_Device(int n);

// The path port and the device it led to, shown as messages show texts:
// "/dev/serial/by-id/usb-... (/dev/ttyUSB0)", or the path alone when the
// device is not known or is the path itself. For a COM number, "COM5".
std::string PortNames_TextWithDevice(int n);

#endif
