// Port listing over a fake sysfs and /dev laid out as the kernel lays them out.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/port_list_posix.h"
#include "serial/port_names.h"

namespace {

namespace fs = std::filesystem;

class FakeTree {
 public:
  FakeTree() : root_(testing::TempDir() + "port_list_" + std::to_string(getpid())) {
    fs::remove_all(root_);
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(Dev() / "serial" / "by-id");
  }
  ~FakeTree() { fs::remove_all(root_); }
  FakeTree(const FakeTree&) = delete;
  FakeTree& operator=(const FakeTree&) = delete;

  fs::path Sys() const { return root_ / "sys"; }
  fs::path Dev() const { return root_ / "dev"; }

  void Write(const fs::path& file, const std::string& text) const {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  }

  // A relative link, as sysfs has them, to a folder made if missing.
  static void Link(const fs::path& target, const fs::path& link) {
    fs::create_directories(target);
    fs::create_symlink(fs::relative(target, link.parent_path()), link);
  }

  // A tty under sys/devices/devicePath, registered in class/tty; virtual
  // ones have no device link.
  fs::path AddTty(const std::string& name, const std::string& devicePath, bool withDevice) const {
    const fs::path device = Sys() / "devices" / devicePath;
    fs::path tty = device / "tty" / name;
    fs::create_directories(tty);
    if (withDevice) {
      Link(device, tty / "device");
    }
    Link(tty, Sys() / "class" / "tty" / name);
    return tty;
  }

  void AddUsbAdapter(const std::string& tty, const std::string& usbPath,
                     const std::string& serial) const {
    const fs::path usb = Sys() / "devices" / usbPath;
    Write(usb / "idVendor", "0403");
    Write(usb / "idProduct", "6001");
    Write(usb / "manufacturer", "Acme");
    Write(usb / "product", "USB UART");
    if (!serial.empty()) {
      Write(usb / "serial", serial);
    }
    AddTty(tty, usbPath + "/" + usbPath.substr(usbPath.rfind('/') + 1) + ":1.0/" + tty, true);
  }

 private:
  fs::path root_;
};

TEST(PortList, ListsAdaptersAndRealPortsInNumericOrder) {
  FakeTree tree;
  tree.AddUsbAdapter("ttyUSB10", "pci0000:00/0000:00:14.0/usb1/1-3", "");
  tree.AddUsbAdapter("ttyUSB2", "pci0000:00/0000:00:14.0/usb1/1-1", "B7");
  tree.AddUsbAdapter("ttyUSB0", "pci0000:00/0000:00:14.0/usb1/1-2", "A50285BI");
  fs::create_symlink("../../ttyUSB0",
                     tree.Dev() / "serial/by-id/usb-Acme_USB_UART_A50285BI-if00-port0");
  fs::create_symlink("../../ttyUSB2", tree.Dev() / "serial/by-id/usb-Acme_USB_UART_B7");

  // As newer kernels have it: the tty's device is the kernel's own port
  // object, under the hardware that has the driver.
  const fs::path uart = tree.Sys() / "devices" / "platform" / "serial8250";
  const fs::path portBus = tree.Sys() / "bus" / "serial-base";
  fs::create_directories(uart / "serial8250:0" / "serial8250:0.0");
  tree.Link(tree.Sys() / "bus" / "platform" / "drivers" / "serial8250", uart / "driver");
  tree.Link(portBus, uart / "serial8250:0" / "subsystem");
  tree.Link(portBus, uart / "serial8250:0" / "serial8250:0.0" / "subsystem");
  const std::string port = "platform/serial8250/serial8250:0/serial8250:0.0";
  tree.Write(tree.AddTty("ttyS0", port, true) / "type", "4");
  tree.Write(tree.AddTty("ttyS1", port, true) / "type", "0");
  tree.AddTty("tty1", "virtual", false);

  const std::vector<PortInfo> ports = ListPortsUnder(tree.Sys().string(), tree.Dev().string());
  std::vector<std::string> names;
  names.reserve(ports.size());
  for (const PortInfo& port : ports) {
    names.push_back(fs::path(port.name).lexically_relative(tree.Dev()).string());
  }
  ASSERT_EQ(names, (std::vector<std::string>{"ttyS0", "ttyUSB0", "ttyUSB2", "ttyUSB10"}));

  EXPECT_FALSE(ports[0].usb);
  EXPECT_FALSE(ports[0].vid);
  EXPECT_EQ(ports[0].description, "built-in serial port (8250)");

  const PortInfo& adapter = ports[1];
  const std::string byId =
      (tree.Dev() / "serial/by-id/usb-Acme_USB_UART_A50285BI-if00-port0").string();
  EXPECT_TRUE(adapter.usb);
  EXPECT_EQ(adapter.vid, "0403");
  EXPECT_EQ(adapter.pid, "6001");
  EXPECT_EQ(adapter.serial, "A50285BI");
  EXPECT_EQ(adapter.byId, byId);
  EXPECT_EQ(adapter.description, "Acme USB UART (0403:6001, serial A50285BI) " + byId);

  EXPECT_EQ(ports[2].serial, "B7");
  EXPECT_FALSE(ports[3].serial);
  EXPECT_FALSE(ports[3].byId);
  EXPECT_EQ(ports[3].description, "Acme USB UART (0403:6001)");
}

TEST(PortList, TakesComNamesFromCom1ToCom256InAnyCase) {
  EXPECT_EQ(ComPortNumber("COM1"), 1u);
  EXPECT_EQ(ComPortNumber("com256"), 256u);
  EXPECT_EQ(ComPortNumber("Com42"), 42u);
  for (const char* name : {"COM0", "COM01", "COM257", "COM3x", "COM", "LPT1", "/dev/ttyS0", ""}) {
    EXPECT_EQ(ComPortNumber(name), 0u) << name;
  }
}

}  // namespace
