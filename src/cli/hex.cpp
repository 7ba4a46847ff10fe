#include "cli/hex.h"

std::string Hex(const std::uint8_t* data, std::size_t size, HexCase letters, char separator) {
  const char* const digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string hex;
  hex.reserve(size * (separator != '\0' ? 3 : 2));
  for (std::size_t i = 0; i < size; ++i) {
    if (separator != '\0' && i > 0) {
      hex += separator;
    }
    hex += digits[data[i] >> 4];
    hex += digits[data[i] & 0x0F];
  }
  return hex;
}
