#include <windows.h>

// Defines the device class GUIDs here instead of taking them from a library.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "serial/line_win32.h"
#include "serial/port_list.h"
#include "serial/port_names.h"

namespace {

std::string PortName(unsigned number) {
  char name[8];
  std::snprintf(name, sizeof name, "COM%u", number);
  return name;
}

// Every COM port the system has a DOS name for, with the device it names.
std::map<unsigned, std::string> DosPorts() {
  std::map<unsigned, std::string> ports;
  std::vector<char> names(64 * 1024);
  while (QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size())) == 0) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (64u << 20)) {
      return ports;
    }
    names.resize(names.size() * 2);
  }
  for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
    const unsigned number = ComPortNumber(name);
    if (number == 0) {
      continue;
    }
    char target[512] = {};
    QueryDosDeviceA(name, target, sizeof target);
    ports.emplace(number, target);
  }
  return ports;
}

std::optional<std::string> HexAfter(const std::string& text, const char* key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos || text.size() < at + std::strlen(key) + 4) {
    return std::nullopt;
  }
  return UsbId(text.substr(at + std::strlen(key), 4));
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + 1) {
    parts.push_back(text.substr(at, end - at));
  }
  parts.push_back(text.substr(at));
  return parts;
}

// From ids as Windows spells them, "USB\VID_0403&PID_6001\A50285BI": the
// last part is the adapter's serial number unless Windows made one up, which
// then holds '&'. Some adapters' own bus drivers give the ids only in the
// hardware ids ("...\COMPORT&VID_0403&PID_6001").
void AddUsbIds(const std::string& instanceId, const std::vector<std::string>& hardwareIds,
               PortInfo* port) {
  std::vector<std::string> ids = {Upper(instanceId)};
  for (const std::string& id : hardwareIds) {
    ids.push_back(Upper(id));
  }
  for (const std::string& id : ids) {
    std::optional<std::string> vid = HexAfter(id, "VID_");
    std::optional<std::string> pid = HexAfter(id, "PID_");
    if (vid && pid) {
      port->vid = std::move(vid);
      port->pid = std::move(pid);
      port->usb = true;
      break;
    }
  }
  const std::vector<std::string> parts = Split(instanceId, '\\');
  if (parts.size() == 3 && Upper(parts[0]) == "USB" && !parts[2].empty() &&
      parts[2].find('&') == std::string::npos) {
    port->serial = parts[2];
  }
}

// A device property as strings: one for a plain one, several for a list.
std::vector<std::string> Property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  char value[2048];
  DWORD size = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                         reinterpret_cast<BYTE*>(value), sizeof value, &size)) {
    return {};
  }
  std::vector<std::string> strings;
  for (const std::string& part :
       Split(std::string(value, std::min<DWORD>(size, sizeof value)), '\0')) {
    if (!part.empty()) {
      strings.push_back(part);
    }
  }
  return strings;
}

// Friendly names and USB details from the ports' device entries, matched by
// the PortName each keeps in its device key.
void AddDeviceDetails(std::map<unsigned, PortInfo>* ports) {
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) {
    return;
  }
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const HKEY key =
        SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
      continue;
    }
    char portName[32] = {};
    DWORD size = sizeof portName - 1;
    DWORD type = 0;
    const bool named =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName),
                         &size) == ERROR_SUCCESS &&
        type == REG_SZ;
    RegCloseKey(key);
    const auto port = ports->find(named ? ComPortNumber(portName) : 0);
    if (port == ports->end()) {
      continue;  // a printer port, or one without a DOS name
    }
    const std::vector<std::string> friendly = Property(set, &device, SPDRP_FRIENDLYNAME);
    if (!friendly.empty()) {
      port->second.description = friendly.front();
    }
    char instanceId[512] = {};
    if (!SetupDiGetDeviceInstanceIdA(set, &device, instanceId, sizeof instanceId, nullptr)) {
      instanceId[0] = '\0';
    }
    AddUsbIds(instanceId, Property(set, &device, SPDRP_HARDWAREID), &port->second);
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<PortInfo> ListPorts() {
  std::map<unsigned, PortInfo> found;
  for (const auto& [number, target] : DosPorts()) {
    if (ComPortLeadsNowhere(number)) {
      continue;
    }
    PortInfo port;
    port.name = PortName(number);
    port.description = target.empty() ? "serial port" : "serial port (" + target + ")";
    found.emplace(number, port);
  }
  AddDeviceDetails(&found);
  std::vector<PortInfo> ports;
  ports.reserve(found.size());
  for (auto& [number, port] : found) {
    if (port.usb) {
      port.description = UsbDescription(port.description, port);
    }
    ports.push_back(std::move(port));
  }
  SortPorts(&ports);
  return ports;
}
