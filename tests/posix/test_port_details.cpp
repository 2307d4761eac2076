// What the port list reads beside a device to tell adapters apart, from a
// tree made here in the shape of /dev/serial and /sys on Linux.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TextHelpers.h"
#include "platform/PosixPortDetails.h"

namespace {

class FakeSystem {
 public:
  FakeSystem() {
    char pattern[] = "/tmp/port-details-XXXXXX";
    root_ = mkdtemp(pattern);
  }
  ~FakeSystem() { (void)system(("rm -rf '" + root_ + "'").c_str()); }
  const std::string &root() const { return root_; }

  // A file and the folders above it.
  void file(const std::string &path, const std::string &text = "") {
    folders(path.substr(0, path.rfind('/')));
    FILE *f = fopen((root_ + path).c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  void link(const std::string &path, const std::string &target) {
    folders(path.substr(0, path.rfind('/')));
    ASSERT_EQ(symlink(target.c_str(), (root_ + path).c_str()), 0) << path;
  }
  void folders(const std::string &path) {
    std::string made = root_;
    for (size_t from = 1; from <= path.size();) {
      const size_t slash = std::min(path.find('/', from), path.size());
      made += path.substr(from - 1, slash - from + 1);
      mkdir(made.c_str(), 0755);
      from = slash + 1;
    }
  }
  // A USB device folder with the attributes given (name, text), the kernel's
  // line end after each.
  void usbDevice(const std::string &folder,
                 std::initializer_list<std::pair<const char *, std::string>> attributes) {
    for (const auto &a : attributes) {
      file(folder + "/" + a.first, a.second + "\n");
    }
  }

 private:
  std::string root_;
};

TEST(PortDetails, UsbAdaptersBuiltInUartsAndDevicesWithoutSysfs) {
  FakeSystem sys;
  const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
  // An FTDI-like adapter: usb-serial port below the interface below the device.
  sys.usbDevice(usb + "/1-2", {{"idVendor", "0403"},
                               {"idProduct", "6001"},
                               {"manufacturer", "FTDI"},
                               {"product", "FT232R USB UART"},
                               {"serial", "A50285BI"}});
  sys.folders("/sys/bus/usb-serial/drivers/ftdi_sio");
  sys.link(usb + "/1-2/1-2:1.0/ttyUSB0/driver",
           "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
  sys.link("/sys/class/tty/ttyUSB0/device",
           "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0");
  sys.file("/dev/ttyUSB0");
  sys.link("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");
  sys.link("/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0");
  // A CDC-ACM device without a serial number: the tty's device is the interface.
  sys.usbDevice(usb + "/1-3", {{"idVendor", "2e8a"},
                               {"idProduct", "000a"},
                               {"manufacturer", "Acme"},
                               {"product", "Probe"}});
  sys.folders("/sys/bus/usb/drivers/cdc_acm");
  sys.link(usb + "/1-3/1-3:1.0/driver", "../../../../../../bus/usb/drivers/cdc_acm");
  sys.link("/sys/class/tty/ttyACM0/device",
           "../../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0");
  sys.file("/dev/ttyACM0");
  sys.link("/dev/serial/by-id/usb-Acme_Probe-if00", "../../ttyACM0");
  // A built-in UART: no USB device above it.
  sys.folders("/sys/bus/platform/drivers/serial8250");
  sys.link("/sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
  sys.link("/sys/class/tty/ttyS0/device", "../../../devices/platform/serial8250");
  sys.file("/dev/ttyS0");
  // An adapter without a manufacturer, whose serial number and product
  // hold control characters and a C1 byte: kept as read.
  sys.usbDevice(usb + "/1-4", {{"idVendor", "067b"},
                               {"idProduct", "2303"},
                               {"product", "Cable\xC2\x9B"},
                               {"serial", "X\x1B[31m\nY"}});
  sys.link("/sys/class/tty/ttyUSB1/device",
           "../../../devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB1");
  sys.folders(usb + "/1-4/1-4:1.0/ttyUSB1");
  sys.file("/dev/ttyUSB1");
  // A device sysfs knows nothing of (a pseudo-terminal's).
  sys.file("/dev/pts/4");

  const struct {
    const char *device, *byId, *byPath, *vendor, *productId, *manufacturer, *product, *serial,
        *driver;
  } cases[] = {
      {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
       "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "0403", "6001", "FTDI",
       "FT232R USB UART", "A50285BI", "ftdi_sio"},
      {"/dev/ttyACM0", "/dev/serial/by-id/usb-Acme_Probe-if00", "", "2e8a", "000a", "Acme", "Probe",
       "", "cdc_acm"},
      {"/dev/ttyS0", "", "", "", "", "", "", "", "serial8250"},
      {"/dev/ttyUSB1", "", "", "067b", "2303", "", "Cable\xC2\x9B", "X\x1B[31m\nY", ""},
      {"/dev/pts/4", "", "", "", "", "", "", "", ""},
  };  // fmt: skip
  // Adapters past the COM table's devices are reached by their path alone.
  for (const char *tty : {"ttyUSB16", "ttyUSB100", "ttyACM12", "ttyACM11", "ttyUSBx", "ttyS7"}) {
    sys.folders(std::string("/sys/class/tty/") + tty);
  }
  EXPECT_EQ(posixDevicesWithoutComNumber(sys.root()),
            (std::vector<std::string>{"/dev/ttyACM12", "/dev/ttyUSB16", "/dev/ttyUSB100"}));

  for (const auto &c : cases) {
    PlatformPortInfo info{};
    posixReadPortDetails(sys.root(), c.device, &info);
    EXPECT_STREQ(info.byId, c.byId) << c.device;
    EXPECT_STREQ(info.byPath, c.byPath) << c.device;
    EXPECT_STREQ(info.vendorId, c.vendor) << c.device;
    EXPECT_STREQ(info.productId, c.productId) << c.device;
    EXPECT_STREQ(info.manufacturer, c.manufacturer) << c.device;
    EXPECT_STREQ(info.product, c.product) << c.device;
    EXPECT_STREQ(info.serialNumber, c.serial) << c.device;
    EXPECT_STREQ(info.driver, c.driver) << c.device;
  }
}

// The one escaping rule every text from outside passes: a link's target,
// an attribute, the unit's reply.
TEST(PortDetails, TextsFromOutsideAreShownEscaped) {
  const struct {
    std::string text;
    bool keepLineEnds;
    const char *shown;
  } cases[] = {
      {"usb-FTDI_A50285BI-if00-port0", false, "usb-FTDI_A50285BI-if00-port0"},
      {"X\x1B[31m\nCOM99 fake", false, "X\\x1B[31m\\x0ACOM99 fake"},
      {"a\r\nb\x7F", true, "a\r\nb\\x7F"},
      {"C1 \xC2\x9B csi", false, "C1 \\xC2\\x9B csi"},
      {std::string("nul\0end", 7), false, "nul\\x00end"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(printableBytes(c.text.data(), c.text.size(), c.keepLineEnds), c.shown) << c.shown;
  }
}

}  // namespace
