#include "PosixPortState.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "Platform.h"

namespace {

// Why the last serial call failed, e.g.
// "COM3 (/dev/ttyUSB0): Permission denied (on Linux, ...)".
char sLastError[1024];
// The port the current call works on, as the failure texts name it.
std::string sCurrentPort;

// What the operator can do about the commonest refusals.
const char *hintFor(int error) {
  switch (error) {
#if defined(__linux__)
    case EACCES:
    case EPERM:
      return " (on Linux, add your user to the \"dialout\" group)";
#endif
    case EBUSY:
      return " (another program holds the port)";
    case EIO:
      return " (the line has gone: unplugged, or the unit is off)";
    default:
      return "";
  }
}

}  // namespace

void posixSetCurrentPort(const std::string &name) { sCurrentPort = name; }

const std::string &posixCurrentPort(void) { return sCurrentPort; }

void posixNoteText(const std::string &text) {
  const std::string line = sCurrentPort.empty() ? text : sCurrentPort + ": " + text;
  snprintf(sLastError, sizeof sLastError, "%s", line.c_str());
}

void posixNoteError(const std::string &what, int error) {
  posixNoteText((what.empty() ? "" : what + ": ") + strerror(error) + hintFor(error));
}

const char *Platform_LastErrorText(void) { return sLastError; }
