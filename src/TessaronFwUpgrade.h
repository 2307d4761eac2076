// The update tool: its run and the operator dialogue. The header also
// gathers those of every part of the driver (start-up buffers, console
// protocol, detection, update sequence, image conversion, web package), so
// that one include gives all their globals, constants and functions.
#ifndef TESSARONFWUPGRADE_H
#define TESSARONFWUPGRADE_H

#include "ConsoleProtocol.h"
#include "ImageConversion.h"
#include "PortDetection.h"
#include "StartUp.h"
#include "UnitUpdate.h"
#include "WebPackage.h"
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

void dipsplayLastMessageToUserBeforeExit(const char *lastMessage);

#endif
