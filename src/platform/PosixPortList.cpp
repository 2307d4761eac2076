// The list of COM ports (--list-ports) on Linux and macOS: the port map's
// entries, or the table's devices, each with what it leads to and whether
// another program holds it. A port is at most opened and closed again, the
// way the serial line opens it, and nothing is sent to it.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Platform.h"
#include "PosixPortLocks.h"
#include "PosixPortMap.h"
#include "PosixPortState.h"

namespace {

// What the path leads to: the path, and for a link its target.
std::string leadsTo(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
    return path;
  }
  char target[PATH_MAX + 1];
  if (realpath(path.c_str(), target) != nullptr) {
    return path + " -> " + target;
  }
  const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  target[n > 0 ? n : 0] = '\0';
  return path + " -> " + target;
}

// The reason last noted, without the port's name that the list shows.
std::string notedReason(void) {
  const std::string text = Platform_LastErrorText();
  const std::string &port = posixCurrentPort();
  return text.compare(0, port.size() + 2, port + ": ") == 0 ? text.substr(port.size() + 2) : text;
}

// Whether another program holds the port at `path`; `note` gets why the
// port can't be used, "" when it can.
bool held(const std::string &path, std::string *note) {
  if (posixHeldByLockFile(path)) {
    *note = notedReason();
    return true;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *note = std::string("no device: ") + strerror(errno);
    return false;
  }
  const int fd = posixOpenPortDevice(path);
  if (fd < 0) {
    // Another program's exclusive mode refuses the open itself to all but
    // root.
    *note = errno == EBUSY ? "held by another program (it has the port in exclusive mode)"
                           : std::string(strerror(errno));
    return errno == EBUSY;
  }
  const bool terminal = isatty(fd) != 0;
  bool exclusiveSetHere = false;
  bool taken = false;
  if (!terminal) {
    *note = "not a serial port or terminal";
  } else if (posixTakePort(fd, &exclusiveSetHere)) {
    posixGiveUpExclusive(fd, exclusiveSetHere);
    note->clear();
    taken = true;
  } else {
    *note = notedReason();
  }
  close(fd);
  return terminal && !taken && note->compare(0, 23, "held by another program") == 0;
}

}  // namespace

BOOL Platform_PortDevice(int number, char *device, size_t size) {
  std::string path;
  if (size == 0 || !posixDevicePathOf(number, &path)) {
    return 0;
  }
  // The device the map's link leads to (/dev/pts/7), when it leads to one.
  char real[PATH_MAX];
  snprintf(device, size, "%s", realpath(path.c_str(), real) != nullptr ? real : path.c_str());
  return 1;
}

int Platform_ListPorts(PlatformPortInfo *ports, int capacity) {
  std::vector<int> numbers;
  if (!posixPortNumbers(&numbers)) {
    return -1;
  }
  for (size_t k = 0; k < numbers.size() && static_cast<int>(k) < capacity; k++) {
    PlatformPortInfo &info = ports[k];
    info.number = numbers[k];
    std::string path, note;
    if (!posixDevicePathOf(info.number, &path)) {
      info.held = FALSE;
      snprintf(info.device, sizeof info.device, "(none)");
      note = notedReason();
    } else {
      snprintf(info.device, sizeof info.device, "%s", leadsTo(path).c_str());
      info.held = held(path, &note) ? TRUE : FALSE;
    }
    snprintf(info.note, sizeof info.note, "%s", note.c_str());
  }
  return static_cast<int>(numbers.size());
}
