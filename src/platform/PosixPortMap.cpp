// The port map on the file system: where the program stands, what stands
// beside it, and the device of a port number (the rules in PosixPortRules).
#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE
#endif

#include "PosixPortMap.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#if defined(__APPLE__)
#include <crt_externs.h>
#include <mach-o/dyld.h>
#endif

#include "Platform.h"
#include "PortName.h"
#include "PosixPortRules.h"
#include "PrintableText.h"
#include "PosixPortState.h"

namespace {

std::string printable(const std::string &text) {
  return platformPrintableBytes(text.data(), text.size(), false);
}

// Only ports mapped by a dosdevices folder may be used.
bool sPortMapRequired = false;
// The map of this run, once decided.
bool sMapDecided = false;
PosixPortMap sMap;

// The path the program was started by, its argv[0]; a bare name is looked
// up along PATH as the shell did. Empty when it can't be found.
std::string invokedPath() {
  std::string arg0;
#if defined(__APPLE__)
  char **argv = *_NSGetArgv();
  if (argv != nullptr && argv[0] != nullptr) {
    arg0 = argv[0];
  }
#else
  char cmdline[PATH_MAX + 1];
  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    const ssize_t n = read(fd, cmdline, sizeof cmdline - 1);
    close(fd);
    cmdline[n > 0 ? n : 0] = '\0';
    arg0 = cmdline;  // up to the first NUL
  }
#endif
  if (arg0.empty() || arg0.find('/') != std::string::npos) {
    return arg0;
  }
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  size_t from = 0;
  for (;;) {
    const size_t colon = dirs.find(':', from);
    std::string dir =
        dirs.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + arg0;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string::npos) {
      return "";
    }
    from = colon + 1;
  }
}

// The running program's real file; empty when it can't be found.
std::string executablePath() {
  char path[PATH_MAX + 1];
#if defined(__APPLE__)
  uint32_t size = sizeof path;
  char raw[PATH_MAX + 1];
  if (_NSGetExecutablePath(raw, &size) != 0 || realpath(raw, path) == nullptr) {
    return "";
  }
#else
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return "";
  }
  path[length] = '\0';
#endif
  return path;
}

// What stands at `folder`, as the map rules read it.
PosixMapFinding inspect(const std::string &folder) {
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return {PosixMapFinding::Nothing, ""};
    }
    return {PosixMapFinding::Unusable, strerror(errno)};
  }
  if (stat(folder.c_str(), &st) != 0) {
    return {PosixMapFinding::Unusable,
            errno == ENOENT ? "a link to nothing" : std::string(strerror(errno))};
  }
  if (!S_ISDIR(st.st_mode)) {
    return {PosixMapFinding::Unusable, "not a folder"};
  }
  if (access(folder.c_str(), R_OK | X_OK) != 0) {
    return {PosixMapFinding::Unusable, std::string("unreadable: ") + strerror(errno)};
  }
  return {PosixMapFinding::Folder, ""};
}

}  // namespace

std::string posixInvokedPath(void) { return invokedPath(); }

namespace {

void decideMap() {
  char cwd[PATH_MAX + 1];
  const std::vector<std::string> directories = posixMapDirectories(
      invokedPath(), executablePath(), getcwd(cwd, sizeof cwd) != nullptr ? cwd : "");
  std::vector<PosixMapFinding> findings;
  for (const std::string &dir : directories) {
    findings.push_back(inspect(posixMapFolder(dir)));
  }
  sMap = posixChoosePortMap(directories, findings);
  sMapDecided = true;
}

std::string brokenMapText() {
  return "the port map " + sMap.folder + " cannot be used (" + sMap.problem +
         "); no port is used, not even the machine's own";
}

}  // namespace

bool posixDevicePathOf(int n, std::string *path) {
  const std::string com = "COM" + std::to_string(n);
  if (!sMapDecided) {
    decideMap();
  }
  posixSetCurrentPort(com);
  if (sMap.state == PosixPortMap::Broken) {
    posixNoteText(brokenMapText());
    return false;
  }
  if (sMap.state == PosixPortMap::Usable) {
    *path = sMap.folder + "/com" + std::to_string(n);
    char device[PATH_MAX + 1];
    std::string name = com + " (" + *path;
    if (realpath(path->c_str(), device) != nullptr) {
      name += " -> " + printable(device);
    }
    posixSetCurrentPort(name + ")");
    return true;
  }
  if (sPortMapRequired) {
    posixNoteText("no such port: this program reaches ports only through a dosdevices folder");
    return false;
  }
  *path = posixFallbackDevice(n);
  if (path->empty()) {
    posixNoteError("", ENOENT);
    return false;
  }
  posixSetCurrentPort(com + " (" + *path + ")");
  return true;
}

bool posixDeviceOfPath(const std::string &given, std::string *device) {
  // The texts name what the operator gave, and where it leads, escaped.
  posixSetCurrentPort(printable(given));
  struct stat st;
  if (lstat(given.c_str(), &st) != 0) {
    posixNoteError("", errno);
    return false;
  }
  const bool link = S_ISLNK(st.st_mode);
  char real[PATH_MAX + 1];
  if (stat(given.c_str(), &st) != 0 || realpath(given.c_str(), real) == nullptr) {
    if (link && errno == ENOENT) {
      char target[PATH_MAX + 1];
      const ssize_t n = readlink(given.c_str(), target, sizeof target - 1);
      target[n > 0 ? n : 0] = '\0';
      posixNoteText("a link to nothing (" + printable(target) + ")");
    } else {
      posixNoteError("", errno);
    }
    return false;
  }
  *device = real;
  if (*device != given) {
    posixSetCurrentPort(printable(given) + " (" + printable(*device) + ")");
  }
  if (S_ISDIR(st.st_mode)) {
    posixNoteText("a directory, not a serial port");
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    posixNoteText("a regular file, not a serial port");
    return false;
  }
  if (!S_ISCHR(st.st_mode)) {
    posixNoteText("not a serial port or terminal");
    return false;
  }
  if (sPortMapRequired && !posixIsPseudoTerminalPath(*device)) {
    posixNoteText("not a pseudo-terminal; a program with stand-in images leaves the device alone");
    return false;
  }
  return true;
}

bool posixPortsFromTable(void) {
  if (!sMapDecided) {
    decideMap();
  }
  return sMap.state == PosixPortMap::Absent && !sPortMapRequired;
}

bool posixPortNumbers(std::vector<int> *numbers) {
  if (!sMapDecided) {
    decideMap();
  }
  numbers->clear();
  if (sMap.state == PosixPortMap::Broken) {
    posixSetCurrentPort("");
    posixNoteText(brokenMapText());
    return false;
  }
  if (sMap.state == PosixPortMap::Usable) {
    DIR *folder = opendir(sMap.folder.c_str());
    if (folder == nullptr) {
      posixSetCurrentPort("");
      posixNoteError(sMap.folder, errno);
      return false;
    }
    // "com" and the number, as the map names its ports.
    for (const struct dirent *entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
      const int n = strncmp(entry->d_name, "com", 3) == 0
                        ? portNumberFromName(("COM" + std::string(entry->d_name + 3)).c_str())
                        : 0;
      if (n != 0) {
        numbers->push_back(n);
      }
    }
    closedir(folder);
  } else if (!sPortMapRequired) {
    // The table's devices that are there.
    for (int n = 1;; n++) {
      const std::string device = posixFallbackDevice(n);
      if (device.empty()) {
        break;
      }
      struct stat st;
      if (lstat(device.c_str(), &st) == 0) {
        numbers->push_back(n);
      }
    }
  }
  std::sort(numbers->begin(), numbers->end());
  return true;
}

BOOL Platform_PreparePorts(BOOL portMapRequired) {
  sPortMapRequired = portMapRequired != 0;
  posixSetCurrentPort("");
  decideMap();
  if (sMap.state == PosixPortMap::Broken) {
    posixNoteText(brokenMapText());
    return FALSE;
  }
  if (sMap.state == PosixPortMap::Absent && sPortMapRequired) {
    posixNoteText(
        "this program carries stand-in firmware images and reaches ports only through a "
        "dosdevices folder, which is not beside it (looked in " +
        sMap.lookedIn + "); no port is used");
    return FALSE;
  }
  return TRUE;
}
