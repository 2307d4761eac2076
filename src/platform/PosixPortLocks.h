// Ports held by other programs, and this program's own hold. A port that
// another program holds is never used: one named by a live UUCP lock file,
// one in exclusive mode, one under flock(). An open port is held the same
// ways (the lock file aside), as Windows opens a port for one program only.
#ifndef POSIXPORTLOCKS_H
#define POSIXPORTLOCKS_H

#include <string>

// Whether a live process holds the device at `path` by a UUCP lock file in
// /run/lock or /var/lock; the reason noted if so.
bool posixHeldByLockFile(const std::string &path);

// Opens the device at `path` as a port is opened: for reading and writing,
// never as the controlling terminal, and non-blocking so that a port without
// carrier opens at once (reads and writes wait in poll() instead). The
// descriptor, or -1 with errno set.
int posixOpenPortDevice(const std::string &path);

// Takes the open port `fd` for this program: refuses one that another
// program has in exclusive mode or under flock(), then locks it and puts it
// in exclusive mode. *exclusiveSetHere tells whether this program set the
// flag. false, the reason noted, when the port is held.
bool posixTakePort(int fd, bool *exclusiveSetHere);

// Gives up the exclusive flag this program set: on a pseudo-terminal it
// outlives the close and would keep any other user out of the next run.
// Only a system call, so an interrupt handler may call it.
void posixGiveUpExclusive(int fd, bool exclusiveSetHere);

#endif
