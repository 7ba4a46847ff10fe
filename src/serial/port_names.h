// Port names: COMn numbers, how a USB adapter is described, and the order
// ports are listed in. Header-only, so that the form, which lists no ports,
// carries none of it.
#ifndef DTU_SERIAL_PORT_NAMES_H
#define DTU_SERIAL_PORT_NAMES_H

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_list.h"

inline bool IsPortNameDigit(char c) { return c >= '0' && c <= '9'; }

// 1 to 256 for "COM1" to "COM256" in any case, else 0.
inline unsigned ComPortNumber(const char* name) {
  constexpr unsigned kHighest = 256;
  for (const char letter : {'C', 'O', 'M'}) {
    if (*name != letter && *name != letter + ('a' - 'A')) {
      return 0;
    }
    ++name;
  }
  if (*name < '1' || *name > '9') {
    return 0;
  }
  unsigned number = 0;
  for (; IsPortNameDigit(*name) && number <= kHighest; ++name) {
    number = number * 10 + static_cast<unsigned>(*name - '0');
  }
  return *name == '\0' && number <= kHighest ? number : 0;
}

// A USB vendor or product id as four lower-case hex digits, or nothing.
inline std::optional<std::string> UsbId(std::string value) {
  if (value.size() != 4) {
    return std::nullopt;
  }
  for (char& c : value) {
    if (c >= 'A' && c <= 'F') {
      c = static_cast<char>(c - 'A' + 'a');
    } else if (!(IsPortNameDigit(c) || (c >= 'a' && c <= 'f'))) {
      return std::nullopt;
    }
  }
  return value;
}

// "maker product (vid:pid, serial S) by-id": who as the system names the
// adapter, then the ids the port holds.
inline std::string UsbDescription(const std::string& who, const PortInfo& port) {
  std::string description = who + " (" + port.vid.value_or("?") + ":" + port.pid.value_or("?");
  if (port.serial) {
    description += ", serial " + *port.serial;
  }
  description += ")";
  if (port.byId) {
    description += " " + *port.byId;
  }
  return description;
}

// Numbers in names compared as numbers: COM2 before COM10, ttyUSB2 before
// ttyUSB10.
inline bool PortNameLess(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (!IsPortNameDigit(a[i]) || !IsPortNameDigit(b[j])) {
      if (a[i] != b[j]) {
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      }
      ++i;
      ++j;
      continue;
    }
    while (i < a.size() && a[i] == '0') {
      ++i;
    }
    while (j < b.size() && b[j] == '0') {
      ++j;
    }
    std::size_t endA = i;
    std::size_t endB = j;
    while (endA < a.size() && IsPortNameDigit(a[endA])) {
      ++endA;
    }
    while (endB < b.size() && IsPortNameDigit(b[endB])) {
      ++endB;
    }
    // Leading zeros gone, the longer run of digits is the larger number.
    if (endA - i != endB - j) {
      return endA - i < endB - j;
    }
    for (; i < endA; ++i, ++j) {
      if (a[i] != b[j]) {
        return a[i] < b[j];
      }
    }
  }
  if (i != a.size() || j != b.size()) {
    return i == a.size();
  }
  return a < b;  // equal but for leading zeros; plain order keeps it strict
}

inline void SortPorts(std::vector<PortInfo>* ports) {
  std::sort(ports->begin(), ports->end(),
            [](const PortInfo& x, const PortInfo& y) { return PortNameLess(x.name, y.name); });
}

#endif
