#include "PortNames.h"

#include "TextHelpers.h"
#include "platform/PortName.h"

namespace {

struct PathPort {
  std::string path;
  std::string device;
};

// The paths given this run, by number less PORT_PATH_FIRST.
PathPort sPaths[PORT_PATH_COUNT];
int sPathCount = 0;

PathPort *pathPort(int n) {
  return portNumberIsPath(n) && n - PORT_PATH_FIRST < sPathCount ? &sPaths[n - PORT_PATH_FIRST]
                                                                 : nullptr;
}

}  // namespace

int PortNames_OfPath(const std::string &path) {
  if (path.empty()) {
    return 0;
  }
  for (int k = 0; k < sPathCount; k++) {
    if (sPaths[k].path == path) {
      return PORT_PATH_FIRST + k;
    }
  }
  if (sPathCount == PORT_PATH_COUNT) {
    return 0;
  }
  sPaths[sPathCount] = PathPort{path, ""};
  return PORT_PATH_FIRST + sPathCount++;
}

const char *PortNames_Path(int n) {
  const PathPort *port = pathPort(n);
  return port != nullptr ? port->path.c_str() : nullptr;
}

std::string PortNames_Text(int n) {
  const PathPort *port = pathPort(n);
  return port != nullptr ? printableText(port->path) : "COM" + std::to_string(n);
}

void PortNames_SetDevice(int n, const char *device) {
  PathPort *port = pathPort(n);
  if (port != nullptr) {
    port->device = device != nullptr ? device : "";
  }
}

const char *PortNames_Device(int n) {
  const PathPort *port = pathPort(n);
  return port != nullptr && !port->device.empty() ? port->device.c_str() : nullptr;
}

std::string PortNames_TextWithDevice(int n) {
  const PathPort *port = pathPort(n);
  if (port == nullptr || port->device.empty() || port->device == port->path) {
    return PortNames_Text(n);
  }
  return printableText(port->path) + " (" + printableText(port->device) + ")";
}
