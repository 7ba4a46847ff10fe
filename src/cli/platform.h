// What dtucfg needs from the system beyond the serial line: the terminal,
// messages in the console's own encoding, Ctrl-C, local time, files that
// appear whole or not at all, and opening a device by name.
#ifndef DTU_CLI_PLATFORM_H
#define DTU_CLI_PLATFORM_H

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "serial/link.h"

namespace platform {

// Once at start: Ctrl-C raises the interrupt flag instead of ending the
// program, and standard output takes bytes unchanged.
void Start();

bool StdinIsTerminal();
bool StdoutIsTerminal();
bool StderrIsTerminal();
// UTF-8 text to standard error; a Windows console gets it as UTF-16.
void WriteError(std::string_view utf8);
// A line typed at the terminal, without its line end; nothing on end of
// input or an interrupt.
std::optional<std::string> ReadLine();

// "2026-12-07 16:33:19.123"
std::string LocalTimeWithMs();
// "2026-12-07T16:33:19+01:00"
std::string IsoLocalTime();
// This computer's name, as the network knows it; empty if it has none.
std::string HostName();
// The environment variable's value; nothing when it is not set.
std::optional<std::string> Environment(const char* name);
// The raw digest; all zero when the system cannot hash.
std::array<std::uint8_t, 32> Sha256(const std::uint8_t* data, std::size_t size);
// A text of the unit's (bytes in the system's code page) as UTF-8.
std::string UnitTextToUtf8(std::string_view text);

// A device name as the user wrote it, if it names one on this system:
// "COM1".."COM256" on Windows, any path elsewhere. The error says why not.
bool IsDeviceName(const std::string& name, std::string* why);
// An open device; closing it gives the port back.
class Device {
 public:
  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  virtual ~Device() = default;
  virtual Link& link() = 0;
};
// Opens a device at the form's line settings, held exclusively.
std::unique_ptr<Device> OpenDevice(const std::string& name, LineOpenError* error);

// The platform's line as a Device.
template <typename Line>
std::unique_ptr<Device> OpenLine(const std::string& name, LineOpenError* error) {
  struct LineDevice final : Device {
    Link& link() override { return line; }
    Line line;
  };
  auto device = std::make_unique<LineDevice>();
  if (!device->line.Open(name.c_str(), error)) {
    return nullptr;
  }
  return device;
}

// A file that appears under its name only when it is complete: written
// beside it first, then renamed over it, keeping the old file's permissions
// (and a symbolic link as a link). Dropped again if never committed. A
// device or pipe by that name (/dev/stdout, say) is written directly.
class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();
  // Creates the temporary file; the error is the system's own text.
  bool Create(const std::string& path, std::string* error);
  // Adds data, for a file written a part at a time; Commit adds the last.
  bool Write(const std::string& data, std::string* error);
  bool Commit(const std::string& data, std::string* error);
  void Drop();

 private:
  std::string path_;
  std::string temp_;  // empty when writing directly
  std::intptr_t handle_ = -1;
};

// A file of rows, each on the disk before Append returns, held by one
// program at a time so that two never hand out the same rows.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile();
  // Opens or creates path; *contents gets what it holds. The error is the
  // system's own text, or says that another program holds it.
  bool Open(const std::string& path, std::string* contents, std::string* error);
  // Cuts a torn last row off.
  bool Truncate(std::size_t length, std::string* error);
  bool Append(const std::string& data, std::string* error);

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace platform

#endif
