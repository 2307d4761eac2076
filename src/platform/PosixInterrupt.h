// What an interrupt (SIGINT, SIGTERM, SIGHUP, SIGQUIT) must undo before the
// program ends, and the handler that undoes it. Whatever holds something an
// interrupt must not leave behind registers it here: the serial line its
// open port, the console the terminal settings of its key wait, the
// output-file steps the package file that is not yet in place. The records
// are kept where the handler reaches them without a lock or an allocation.
//
// The handler ends the program with 128 plus the signal number, or with the
// run's own result once that has been shown, after one line on standard
// error.
//
// Linked with the modules as well as with the platform layer: the
// output-file steps are shared with the simulated platform, which installs
// no handler, so there the records are kept and never used.
#ifndef POSIXINTERRUPT_H
#define POSIXINTERRUPT_H

#include <signal.h>
#include <termios.h>

// The name of one of the four signals an interrupt is ("SIGINT"); "" for
// any other. Async-signal-safe.
inline const char *posixSignalName(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGQUIT:
      return "SIGQUIT";
    default:
      return "";
  }
}

// Installs the handler for the four signals. SIGQUIT (Ctrl-\) counts as
// one: its default action would end the program with the port still
// exclusive and a core dump.
void posixInterruptInstall(void);

// How the open port is given up: `release` closes it and clears what this
// program set on it, with async-signal-safe calls only. nullptr once the
// port is closed.
void posixInterruptReleasePortWith(void (*release)(void));

// The operator terminal's settings to put back, while the key wait has
// changed them; nullptr once they are back.
void posixInterruptRestoreTerminal(const struct termios *saved);

// The new file of a package that is not yet in place, to be removed;
// nullptr once it has taken its name (or is gone). A path too long for the
// record is not kept.
void posixInterruptRemoveFile(const char *path);

// What ends the run log's record (Platform_SetInterruptHook): called with
// the signal's name and the exit code, after the port and the terminal are
// given back; nullptr: nothing.
void posixInterruptRunLogWith(void (*hook)(const char *signalName, int exitCode));

// The run's result has been shown: an interrupt now ends the program with
// `exitCode`.
void posixInterruptExitWith(int exitCode);

#endif
