// The unit's configuration record.
#ifndef DTU_PROTOCOL_CONFIG_IMAGE_H
#define DTU_PROTOCOL_CONFIG_IMAGE_H

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kConfigImageSize = 600;

struct ConfigImage {
  std::array<std::uint8_t, kConfigImageSize> bytes;
};

#endif
