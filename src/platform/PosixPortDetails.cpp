#include "PosixPortDetails.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "PosixPortRules.h"

namespace {

// A USB device is at most a few folders above its tty's device: the
// interface, the usb-serial port, the tty itself.
#define USB_DEVICE_LEVELS 6

std::string realPath(const std::string &path) {
  char real[PATH_MAX + 1];
  return realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

// Copies `text` into a field, cut to its size.
template <size_t N>
void setField(char (&field)[N], const std::string &text) {
  snprintf(field, N, "%s", text.c_str());
}

// One sysfs attribute: its text without the line end the kernel adds; ""
// when the file is not there or can't be read. Read with a bound, since a
// tree of the tests' (or a broken driver) may hold anything.
std::string attribute(const std::string &folder, const char *name) {
  const int fd = open((folder + "/" + name).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return "";
  }
  char text[PLATFORM_PORT_FIELD];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  std::string value(text, n > 0 ? static_cast<size_t>(n) : 0);
  if (!value.empty() && value.back() == '\n') {
    value.pop_back();
  }
  return value;
}

// The name under `root`/dev/serial/<kind> that leads to `real`, shown as
// /dev/serial/<kind>/<name>; "" when none does. The first in name order,
// should two lead there.
std::string serialLinkTo(const std::string &root, const char *kind, const std::string &real) {
  const std::string folder = root + "/dev/serial/" + kind;
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) {
    return "";
  }
  std::vector<std::string> names;
  for (const struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    if (entry->d_name[0] != '.' && realPath(folder + "/" + entry->d_name) == real) {
      names.push_back(entry->d_name);
    }
  }
  closedir(dir);
  if (names.empty()) {
    return "";
  }
  std::sort(names.begin(), names.end());
  return std::string("/dev/serial/") + kind + "/" + names.front();
}

}  // namespace

void posixReadPortDetails(const std::string &root, const std::string &device,
                          PlatformPortInfo *info) {
  const std::string real = realPath(root + device);
  if (!real.empty()) {
    setField(info->byId, serialLinkTo(root, "by-id", real));
    setField(info->byPath, serialLinkTo(root, "by-path", real));
  }
  const std::string name = device.substr(device.rfind('/') + 1);
  const std::string sys = root + "/sys";
  std::string folder = realPath(sys + "/class/tty/" + name + "/device");
  if (name.empty() || folder.empty()) {
    return;  // no device behind it: a pseudo-terminal, a virtual console
  }
  char driver[PATH_MAX + 1];
  const ssize_t length = readlink((folder + "/driver").c_str(), driver, sizeof driver - 1);
  if (length > 0) {
    driver[length] = '\0';
    setField(info->driver, strrchr(driver, '/') != nullptr ? strrchr(driver, '/') + 1 : driver);
  }
  // The USB device is the first folder upwards that has a vendor ID; a
  // built-in UART has none, and no USB figures are shown for it.
  for (int level = 0; level < USB_DEVICE_LEVELS && folder.size() > sys.size(); level++) {
    struct stat st;
    if (stat((folder + "/idVendor").c_str(), &st) == 0) {
      setField(info->vendorId, attribute(folder, "idVendor"));
      setField(info->productId, attribute(folder, "idProduct"));
      setField(info->manufacturer, attribute(folder, "manufacturer"));
      setField(info->product, attribute(folder, "product"));
      setField(info->serialNumber, attribute(folder, "serial"));
      return;
    }
    folder = folder.substr(0, folder.rfind('/'));
  }
}

std::vector<std::string> posixDevicesWithoutComNumber(const std::string &root) {
  std::vector<std::string> table;
  for (int n = 1; !posixFallbackDevice(n).empty(); n++) {
    table.push_back(posixFallbackDevice(n));
  }
  std::vector<std::pair<std::string, int>> found;  // kind, number
  DIR *dir = opendir((root + "/sys/class/tty").c_str());
  if (dir == nullptr) {
    return {};
  }
  for (const struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const std::string name = entry->d_name;
    const size_t digits = name.find_first_of("0123456789");
    const std::string kind = name.substr(0, digits);
    if ((kind == "ttyUSB" || kind == "ttyACM") && name.size() - digits < 6 &&
        name.find_first_not_of("0123456789", digits) == std::string::npos &&
        std::find(table.begin(), table.end(), "/dev/" + name) == table.end()) {
      found.emplace_back(kind, atoi(name.c_str() + digits));
    }
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::string> devices;
  for (const auto &device : found) {
    devices.push_back("/dev/" + device.first + std::to_string(device.second));
  }
  return devices;
}
