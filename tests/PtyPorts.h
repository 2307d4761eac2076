// Ports of the POSIX layer's map for its tests: each test links its own
// pseudo-terminal (or a link to nothing, or a plain file) as dosdevices/com<N>
// beside the test program, N unique to the process, so that tests may run
// side by side.
#ifndef PTYPORTS_H
#define PTYPORTS_H

#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE
#endif

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/Platform.h"

inline std::string mapDirectory() {
  char path[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  path[n > 0 ? n : 0] = '\0';
  std::string dir(path);
  dir = dir.substr(0, dir.rfind('/')) + "/dosdevices";
  mkdir(dir.c_str(), 0755);
  return dir;
}

// A port number no other test process uses at the same time.
inline int uniquePort(int k) { return 1000 + (getpid() % 8000) * 10 + k; }

inline std::string deviceName(int n) { return "\\\\.\\COM" + std::to_string(n); }

// The bare open of detection.
inline HANDLE openPort(const std::string &name) {
  return Platform_CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_SYSTEM);
}

// Port uniquePort(k) of the map; for a terminal, the test plays the unit on
// the master side.
class MappedPort {
 public:
  enum Kind { Terminal, Dangling, PlainFile };
  explicit MappedPort(int k = 0, Kind kind = Terminal)
      : n_(uniquePort(k)), link_(mapDirectory() + "/com" + std::to_string(n_)) {
    if (kind == Terminal) {
      master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      EXPECT_GE(master_, 0);
      EXPECT_EQ(grantpt(master_), 0);
      EXPECT_EQ(unlockpt(master_), 0);
      target_ = ptsname(master_);
    } else if (kind == Dangling) {
      target_ = link_ + ".nothing";
    } else {
      target_ = file_ = link_ + ".file";
      close(open(file_.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }
    unlink(link_.c_str());
    EXPECT_EQ(symlink(target_.c_str(), link_.c_str()), 0);
  }
  ~MappedPort() {
    unlink(link_.c_str());
    if (!file_.empty()) {
      unlink(file_.c_str());
    }
    hangUp();
  }
  int number() const { return n_; }
  std::string name() const { return deviceName(n_); }
  int master() const { return master_; }
  const std::string &target() const { return target_; }
  // The unit's side of the line goes away.
  void hangUp() {
    if (master_ >= 0) {
      close(master_);
      master_ = -1;
    }
  }
  // Everything the host sent within `ms` of silence.
  std::string drain(int ms = 200) {
    std::string got;
    char buf[65536];
    struct pollfd p = {master_, POLLIN, 0};
    ssize_t r;
    while (poll(&p, 1, ms) > 0 && (r = read(master_, buf, sizeof buf)) > 0) {
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

 private:
  int n_;
  std::string link_;
  std::string target_;
  std::string file_;
  int master_ = -1;
};

#endif
