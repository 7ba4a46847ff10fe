// Bytes written as hex, as dtucfg writes them everywhere: digests, records,
// unique values, tokens and the wire log.
#ifndef DTU_CLI_HEX_H
#define DTU_CLI_HEX_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class HexCase { Lower, Upper };

// Two digits a byte; separator, unless '\0', between bytes.
std::string Hex(const std::uint8_t* data, std::size_t size, HexCase letters = HexCase::Lower,
                char separator = '\0');

inline std::string Hex(std::string_view bytes, HexCase letters = HexCase::Lower,
                       char separator = '\0') {
  return Hex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), letters, separator);
}

#endif
