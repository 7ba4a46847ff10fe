// The unit's configuration record: twenty 30-byte slots. Texts end with a
// zero inside their field; codes are single bytes; a package keeps its byte
// count in its slot's last byte.
#ifndef DTU_PROTOCOL_CONFIG_IMAGE_H
#define DTU_PROTOCOL_CONFIG_IMAGE_H

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kConfigImageSize = 600;
inline constexpr std::size_t kSlotSize = 30;

struct ConfigImage {
  std::array<std::uint8_t, kConfigImageSize> bytes;
};

struct Field {
  std::size_t offset;
  std::size_t size;
};

namespace image {

inline constexpr Field kProtocol = {0, 30};
inline constexpr Field kMasterAddress = {30, 30};
inline constexpr Field kMasterPort = {60, 30};
inline constexpr Field kHeartbeatTime = {90, 30};
inline constexpr Field kReconnectInterval = {120, 30};
inline constexpr Field kNoResponseTime = {150, 30};
inline constexpr Field kRegistrationPackage = {180, 30};
inline constexpr Field kHeartbeatPackage = {210, 30};
inline constexpr Field kUnitBaud = {240, 10};
inline constexpr Field kUnitDataBits = {250, 1};
inline constexpr Field kUnitStopBits = {251, 1};
inline constexpr Field kUnitParity = {252, 1};
inline constexpr Field kCenterPhone1 = {270, 30};
inline constexpr Field kStandbyAddress = {300, 30};
inline constexpr Field kStandbyPort = {330, 30};
inline constexpr Field kPacketLength = {360, 10};
inline constexpr Field kInput3Alarm = {370, 1};
inline constexpr Field kInput4Alarm = {371, 1};
inline constexpr Field kMinInterval = {373, 1};
inline constexpr Field kReconnectTimes = {374, 1};
inline constexpr Field kDebugInfo = {375, 1};
inline constexpr Field kOutput1 = {376, 1};
inline constexpr Field kOutput2 = {377, 1};
inline constexpr Field kDataMode = {378, 1};
inline constexpr Field kWorkMode = {380, 1};
inline constexpr Field kApn = {390, 30};
inline constexpr Field kGprsUser = {420, 30};
inline constexpr Field kGprsPassword = {450, 30};
inline constexpr Field kCenterPhone2 = {480, 30};
inline constexpr Field kSmsInput3 = {510, 30};
inline constexpr Field kSmsInput4 = {540, 30};

// A package holds at most this many bytes; its count sits in the slot's
// last byte.
inline constexpr std::size_t kPackageMaxBytes = 29;
inline constexpr std::size_t kPackageCountIndex = kSlotSize - 1;

}  // namespace image

#endif
