// What tells one serial adapter from another on Linux, for the port list:
// the device's names in /dev/serial/by-id and /dev/serial/by-path, and from
// sysfs (/sys/class/tty/<name>/device) its kernel driver and, for a USB
// adapter, the vendor and product IDs, manufacturer, product and serial
// number of the USB device above it. Nothing is opened but those folders
// and attribute files; the device itself is not touched.
#ifndef POSIXPORTDETAILS_H
#define POSIXPORTDETAILS_H

#include <string>
#include <vector>

#include "Platform.h"

// Fills the detail fields of `info` for the device at `device` (its real
// path, "/dev/ttyUSB0"), reading everything under `root`: "" for this
// machine, a tree of their own for the tests. A field the system has
// nothing for is left "". Texts are kept as read (the trailing line end of
// an attribute aside); the list escapes them when it shows them.
void posixReadPortDetails(const std::string &root, const std::string &device,
                          PlatformPortInfo *info);

// The USB serial devices (/dev/ttyUSB<n>, /dev/ttyACM<n>) that sysfs under
// `root` knows and the COM table does not reach (ttyUSB16 on), in the
// order of their kind and number: they are reached by their path alone.
std::vector<std::string> posixDevicesWithoutComNumber(const std::string &root);

#endif
