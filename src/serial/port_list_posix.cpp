#include "serial/port_list_posix.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "serial/port_names.h"

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without surrounding blanks; empty
// when there is none.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  const char* const blanks = " \t\r\n";
  const std::size_t first = line.find_first_not_of(blanks);
  if (first == std::string::npos) {
    return {};
  }
  return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

std::optional<std::string> OptionalAttribute(const fs::path& file) {
  std::string value = ReadAttribute(file);
  if (value.empty()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> HexId(const fs::path& file) { return UsbId(ReadAttribute(file)); }

// Without throwing: a folder that is missing or unreadable lists as empty.
std::vector<fs::path> Entries(const fs::path& folder) {
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(it->path());
  }
  return entries;
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// The USB device a tty hangs off: the nearest ancestor with vendor and
// product ids (the tty's own device is a port or an interface of it).
std::optional<fs::path> UsbDeviceAbove(fs::path device, const fs::path& top) {
  std::error_code ec;
  for (; device.has_relative_path() && device != top; device = device.parent_path()) {
    if (fs::exists(device / "idVendor", ec) && fs::exists(device / "idProduct", ec)) {
      return device;
    }
  }
  return std::nullopt;
}

// Built-in ports: the driver of the hardware, not of the kernel's own
// port objects ("serial-base") in between.
std::string BuiltInDescription(fs::path device, const fs::path& top) {
  while (device.has_relative_path() && device != top &&
         LinkName(device / "subsystem") == "serial-base") {
    device = device.parent_path();
  }
  std::string driver = LinkName(device / "driver");
  if (driver.rfind("serial", 0) == 0) {
    driver.erase(0, 6);  // "serial8250" says "8250"; plain "serial" says nothing
  }
  std::string description = "built-in serial port";
  if (!driver.empty()) {
    description += " (" + driver + ")";
  }
  return description;
}

// tty name -> its /dev/serial/by-id link, the first by name when there are several.
std::map<std::string, std::string> ByIdNames(const fs::path& devRoot) {
  std::map<std::string, std::string> links;
  for (const fs::path& link : Entries(devRoot / "serial" / "by-id")) {
    links.emplace(link.filename().string(), link.string());
  }
  std::map<std::string, std::string> byTty;
  for (const auto& [name, path] : links) {
    const std::string tty = LinkName(path);
    if (!tty.empty()) {
      byTty.emplace(tty, path);
    }
  }
  return byTty;
}

PortInfo UsbPort(std::string name, const fs::path& usb,
                 const std::map<std::string, std::string>& byId, const std::string& tty) {
  PortInfo port;
  port.name = std::move(name);
  port.usb = true;
  port.vid = HexId(usb / "idVendor");
  port.pid = HexId(usb / "idProduct");
  port.serial = OptionalAttribute(usb / "serial");
  const auto link = byId.find(tty);
  if (link != byId.end()) {
    port.byId = link->second;
  }
  std::string who = ReadAttribute(usb / "manufacturer");
  const std::string product = ReadAttribute(usb / "product");
  if (!who.empty() && !product.empty()) {
    who += ' ';
  }
  who += product;
  port.description = UsbDescription(who.empty() ? "USB serial adapter" : who, port);
  return port;
}

}  // namespace

std::vector<PortInfo> ListPortsUnder(const std::string& sysRoot, const std::string& devRoot) {
  std::vector<PortInfo> ports;
  std::error_code ec;
  const fs::path top = fs::canonical(sysRoot, ec);
  if (ec) {
    return ports;
  }
  const std::map<std::string, std::string> byId = ByIdNames(devRoot);
  for (const fs::path& entry : Entries(top / "class" / "tty")) {
    const std::string tty = entry.filename().string();
    // Virtual terminals, ptys and the console have no device behind them.
    const fs::path device = fs::canonical(entry / "device", ec);
    if (ec) {
      continue;
    }
    // A serial driver's slot with no UART found in it.
    if (ReadAttribute(entry / "type") == "0") {
      continue;
    }
    std::string name = (fs::path(devRoot) / tty).string();
    if (const std::optional<fs::path> usb = UsbDeviceAbove(device, top)) {
      ports.push_back(UsbPort(std::move(name), *usb, byId, tty));
    } else {
      PortInfo port;
      port.name = std::move(name);
      port.description = BuiltInDescription(device, top);
      ports.push_back(std::move(port));
    }
  }
  SortPorts(&ports);
  return ports;
}

std::vector<PortInfo> ListPorts() { return ListPortsUnder("/sys", "/dev"); }
