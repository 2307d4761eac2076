#include "PosixPortRules.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <algorithm>

namespace {

std::string directoryOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> posixMapDirectories(const std::string &invoked,
                                             const std::string &executable,
                                             const std::string &cwd) {
  std::vector<std::string> directories;
  for (const std::string &program : {invoked, executable}) {
    if (program.empty()) {
      continue;
    }
    std::string dir = directoryOf(program);
    if (dir[0] != '/' && !cwd.empty()) {
      dir = cwd + (dir == "." ? "" : "/" + dir);
    }
    if (std::find(directories.begin(), directories.end(), dir) == directories.end()) {
      directories.push_back(dir);
    }
  }
  return directories;
}

std::string posixMapFolder(const std::string &directory) {
  return (directory == "/" ? "" : directory) + "/dosdevices";
}

PosixPortMap posixChoosePortMap(const std::vector<std::string> &directories,
                                const std::vector<PosixMapFinding> &findings) {
  PosixPortMap map{PosixPortMap::Absent, "", "", ""};
  for (size_t k = 0; k < directories.size() && k < findings.size(); k++) {
    map.lookedIn += (map.lookedIn.empty() ? "" : " and ") + directories[k];
    const PosixMapFinding &found = findings[k];
    if (found.kind == PosixMapFinding::Nothing) {
      continue;
    }
    const std::string folder = posixMapFolder(directories[k]);
    if (found.kind == PosixMapFinding::Folder) {
      return {PosixPortMap::Usable, folder, "", ""};
    }
    return {PosixPortMap::Broken, folder, found.problem, ""};
  }
  return map;
}

bool posixIsPseudoTerminalPath(const std::string &path) {
  static const char kPts[] = "/dev/pts/";
  const size_t prefix = sizeof kPts - 1;
  return path.size() > prefix && path.compare(0, prefix, kPts) == 0 &&
         path.find_first_not_of("0123456789", prefix) == std::string::npos;
}

std::string posixFallbackDevice(int n) {
  if (n >= 1 && n <= 4) {
    return "/dev/ttyS" + std::to_string(n - 1);
  }
  if (n >= 5 && n <= 20) {
    return "/dev/ttyUSB" + std::to_string(n - 5);
  }
  if (n >= 21 && n <= 32) {
    return "/dev/ttyACM" + std::to_string(n - 21);
  }
  return "";
}

std::vector<std::string> posixLockNames(const std::string &device) {
  std::vector<std::string> names;
  if (device.rfind("/dev/", 0) == 0) {
    std::string underDev = device.substr(5);
    std::replace(underDev.begin(), underDev.end(), '/', '_');
    names.push_back(underDev);
  }
  const std::string last = device.substr(device.rfind('/') + 1);
  if (std::find(names.begin(), names.end(), last) == names.end()) {
    names.push_back(last);
  }
  return names;
}

long posixLockOwner(const char *content, size_t length) {
  size_t k = 0;
  while (k < length && (content[k] == ' ' || content[k] == '\t')) {
    k++;
  }
  long pid = 0;
  size_t digits = 0;
  for (; k < length && content[k] >= '0' && content[k] <= '9' && pid < 100000000L; k++, digits++) {
    pid = pid * 10 + (content[k] - '0');
  }
  while (k < length && isspace(static_cast<unsigned char>(content[k]))) {
    k++;
  }
  if (digits > 0 && k == length) {
    return pid;
  }
  if (length == sizeof(int)) {
    int binary = 0;
    memcpy(&binary, content, sizeof binary);
    return binary > 0 ? binary : 0;
  }
  return 0;
}

bool posixLockIsStale(long pid, int killResult, int killErrno) {
  return pid > 0 && killResult != 0 && killErrno == ESRCH;
}

uint64_t posixTotalTimeoutMs(DWORD constant, DWORD multiplier, DWORD count) {
  return static_cast<uint64_t>(constant) + static_cast<uint64_t>(multiplier) * count;
}

int posixMsLeft(uint64_t deadline, uint64_t now) {
  if (now >= deadline) {
    return 0;
  }
  return deadline - now > INT_MAX ? INT_MAX : static_cast<int>(deadline - now);
}
