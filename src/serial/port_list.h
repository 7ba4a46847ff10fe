// The serial ports this machine has, for "dtucfg ports" and for picking
// the one USB adapter when no port is named. Listing never opens a port.
#ifndef DTU_SERIAL_PORT_LIST_H
#define DTU_SERIAL_PORT_LIST_H

#include <optional>
#include <string>
#include <vector>

struct PortInfo {
  std::string name;         // what --port takes: "/dev/ttyUSB0", "COM3"
  std::string description;  // one line for people: maker, product, ids, by-id name
  std::optional<std::string> vid;     // four lower-case hex digits, USB only
  std::optional<std::string> pid;
  std::optional<std::string> serial;  // the adapter's serial number
  std::optional<std::string> byId;    // its /dev/serial/by-id name (Linux)
  bool usb = false;
};

// Sorted by name, numbers in names compared as numbers (COM2 before COM10).
std::vector<PortInfo> ListPorts();

#endif
