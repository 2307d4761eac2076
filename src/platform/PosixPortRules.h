// The rules of the POSIX serial layer that need neither a terminal nor the
// file system: which port map a run uses, the devices of the table used
// without one, what a UUCP lock file says and when it is stale, and how long
// a read or a write may still wait. The layer gathers the facts
// (PosixPortMap.cpp, PosixPortLocks.cpp, PosixSerialLine.cpp) and these
// decide, so that every rule can be checked from a table.
#ifndef POSIXPORTRULES_H
#define POSIXPORTRULES_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "Win32Types.h"

/*---------------------------------------------------------------------------
 * The port map
 *-------------------------------------------------------------------------*/

// The directories where a "dosdevices" folder may stand, in the order they
// decide: beside the path the program was started by, then beside its real
// file. A relative path is taken from `cwd` (the tool never changes its
// directory); an empty path (not found) gives no directory; each directory
// comes once.
std::vector<std::string> posixMapDirectories(const std::string &invoked,
                                             const std::string &executable, const std::string &cwd);
// The "dosdevices" folder in `directory`.
std::string posixMapFolder(const std::string &directory);

// What stands at <directory>/dosdevices.
struct PosixMapFinding {
  enum Kind { Nothing, Folder, Unusable } kind;
  std::string problem;  // Unusable: why ("a link to nothing", "not a folder", ...)
};

struct PosixPortMap {
  enum State { Absent, Usable, Broken } state;
  std::string folder;    // Usable, Broken: the dosdevices path
  std::string problem;   // Broken: why it can't serve as the map
  std::string lookedIn;  // Absent: the directories searched
};

// The map of a run, findings[k] being what stands in directories[k]: the
// first "dosdevices" found decides, usable or not; one that is there but
// unusable means no port at all, never the machine's own.
PosixPortMap posixChoosePortMap(const std::vector<std::string> &directories,
                                const std::vector<PosixMapFinding> &findings);

// Whether `path` is "/dev/pts/" and a number: the slave side of a
// pseudo-terminal, the only device a program with stand-in images opens by
// its path (never one that only passes through that folder).
bool posixIsPseudoTerminalPath(const std::string &path);

// Without a map: COM1-COM4 are /dev/ttyS0-3, COM5-COM20 /dev/ttyUSB0-15,
// COM21-COM32 /dev/ttyACM0-11; "" for any other number.
std::string posixFallbackDevice(int n);

/*---------------------------------------------------------------------------
 * UUCP lock files
 *-------------------------------------------------------------------------*/

// The names after "LCK.." that may lock `device` (its real path): the path
// under /dev with "/" as "_" (LCK..pts_5 for /dev/pts/5), then its last
// component where that differs.
std::vector<std::string> posixLockNames(const std::string &device);
// The process that a lock file names: its pid as ASCII (often padded to ten
// characters) or as a binary int; 0 when the file names none.
long posixLockOwner(const char *content, size_t length);
// Whether a lock file naming `pid` may be ignored, given what kill(pid, 0)
// returned and its errno. Only a process that is gone (ESRCH) leaves a stale
// lock: a live process of another user (EPERM) holds the port, and a file
// that names no process can't be judged and counts as held.
bool posixLockIsStale(long pid, int killResult, int killErrno);

/*---------------------------------------------------------------------------
 * Time-outs of reads and writes
 *-------------------------------------------------------------------------*/

// The total time-out of a transfer of `count` bytes: the constant plus the
// multiplier per byte, as Win32 reckons it, without overflow.
uint64_t posixTotalTimeoutMs(DWORD constant, DWORD multiplier, DWORD count);
// How long a poll may still wait at `now` for a transfer that ends at
// `deadline`: what is left, 0 once it has passed, at most INT_MAX.
int posixMsLeft(uint64_t deadline, uint64_t now);

#endif
