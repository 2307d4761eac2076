// Port numbers to devices on Linux and macOS, without any configuration.
//
// When a folder "dosdevices" stands beside the program, it is the whole map:
// dosdevices/comN, a symbolic link to a serial device or a pseudo-terminal,
// is port N, and a number without an entry does not exist (so tests and
// demos never touch the machine's own ports). The folder is looked for
// beside the path the program was started by (a symbolic link, say) and then
// beside the program's real file. A "dosdevices" that is there but is no
// usable folder (a link to nothing, a plain file, unreadable) means no port
// at all, never the machine's devices. Otherwise a fixed table reaches the
// usual devices, unless the program asked for a map (Platform_PreparePorts).
//
// The map is decided once a run, by Platform_PreparePorts or else at the
// first open: a "dosdevices" that goes away later leaves its ports missing,
// and never lets the run fall back to the machine's devices.
#ifndef POSIXPORTMAP_H
#define POSIXPORTMAP_H

#include <string>
#include <vector>

// The device of port n; the port is named for the failure texts. false (the
// reason noted) when the port does not exist or must not be reached.
bool posixDevicePathOf(int n, std::string *path);

// A port given by its device path: the device it leads to (its real path)
// when that can be a port, the port named "path (device)" for the failure
// texts. Refused (false, the reason noted) without opening anything: a path
// that leads nowhere, a directory, a regular file, anything but a character
// device, and for a program with stand-in images anything but a
// pseudo-terminal. Whether a character device is a terminal is found at the
// open.
bool posixDeviceOfPath(const std::string &given, std::string *device);

// Whether the ports are the fixed table's devices (no map, and a program
// that may reach the machine's devices): only then does the port list show
// the adapters that have no COM number.
bool posixPortsFromTable(void);

// The numbers of the ports there are, ascending: the map's entries, or
// without one the table's devices that exist. false (the reason noted) when
// the map can't be used or read.
bool posixPortNumbers(std::vector<int> *numbers);

// The path this program was started by (argv[0], a bare name looked up
// along PATH as the shell did); empty when it can't be found. A station
// starts its children by it, so that they find the same port map.
std::string posixInvokedPath(void);

#endif
