// The update tool: its run and the operator dialogue. Each part of the
// driver it calls has a header of its own (StartUp, ConsoleProtocol,
// PortDetection, UnitUpdate, ImageConversion, WebPackage), which its users
// include themselves.
#ifndef TESSARONFWUPGRADE_H
#define TESSARONFWUPGRADE_H

#include "platform/Win32Types.h"

// The whole run of the update tool with its command line (CommandLine.h):
// main() (main.cpp) is this call alone, and the tests run it in-process.
// Its result is the exit code: 0 the update succeeded and the unit's
// console came back (--info: the unit was identified), 1 the update failed
// (--info: the unit was not identified; with --port: no unit answered), 2
// the unit took both images but did not confirm its restart, -1 the port
// or rate could not be used, 64 (COMMAND_LINE_EXIT_USAGE) a command line
// that can't be run.
int fwupgradeMainWithArguments(int argc, const char *const *argv);
// The run without arguments, as it always was.
int fwupgradeMain(void);

// The run's last message, the prompt "Press any key to exit" and the wait
// for that key.
void dipsplayLastMessageToUserBeforeExit(const char *lastMessage);

#endif
