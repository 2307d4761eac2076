// What the Windows serial file and the port list share: Wine's port table
// and the outcome of the last open. Internal to the Windows layer.
#ifndef WIN32PORTS_H
#define WIN32PORTS_H

#include <string>
#include <utility>
#include <vector>

// A COM port and what its name leads to.
typedef std::pair<int, std::string> PortTarget;

// The entries of Wine's port table that name a COM port and a path where
// something exists, in the table's order.
std::vector<PortTarget> win32WinePortTable(void);
// Whether this program opens only the pseudo-terminals of Wine's port table
// (a build with stand-in images).
bool win32PseudoTerminalsOnly(void);
// Whether the last failed open met a port that another program holds.
bool win32LastOpenFoundPortHeld(void);
// The port named by the last open ("COM3", or "COM3 (/dev/pts/4)").
const char *win32LastPortName(void);
// Keeps the system's reason why the list of devices could not be read.
void win32NoteFailedPortList(void);

#endif
