#include "cli/log_link.h"

#include <string>

#include "cli/hex.h"
#include "cli/platform.h"

Link::Result LogLink::Write(const std::uint8_t* data, std::size_t length) {
  const Result result = inner_.Write(data, length);
  if (result == Result::Ok) {
    Note("TX", data, length);
  }
  return result;
}

Link::Result LogLink::Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
                           std::size_t* received) {
  const Result result = inner_.Read(buffer, maxLength, timeoutMs, received);
  if (*received > 0) {
    Note("RX", buffer, *received);
  }
  return result;
}

void LogLink::Note(const char* direction, const std::uint8_t* data, std::size_t length) {
  std::string line = platform::LocalTimeWithMs() + " ";
  if (!label_.empty()) {
    line += label_ + " ";
  }
  line += direction;
  if (length > 0) {
    line += ' ' + Hex(data, length, HexCase::Upper, ' ');
  }
  line += '\n';
  // One call per line: the C library keeps lines of several ports whole.
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}
