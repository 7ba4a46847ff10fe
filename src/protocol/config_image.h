// The unit's configuration record: twenty 30-byte slots. Texts end with a
// zero inside their field; codes are single bytes; a package keeps its byte
// count in its slot's last byte.
#ifndef DTU_PROTOCOL_CONFIG_IMAGE_H
#define DTU_PROTOCOL_CONFIG_IMAGE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

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
inline constexpr Field kZeroAfterParity = {253, 17};
inline constexpr Field kCenterPhone1 = {270, 30};
inline constexpr Field kStandbyAddress = {300, 30};
inline constexpr Field kStandbyPort = {330, 30};
inline constexpr Field kPacketLength = {360, 10};
inline constexpr Field kInput3Alarm = {370, 1};
inline constexpr Field kInput4Alarm = {371, 1};
inline constexpr Field kZeroAfterInputs = {372, 1};
inline constexpr Field kMinInterval = {373, 1};
inline constexpr Field kReconnectTimes = {374, 1};
inline constexpr Field kDebugInfo = {375, 1};
inline constexpr Field kOutput1 = {376, 1};
inline constexpr Field kOutput2 = {377, 1};
inline constexpr Field kDataMode = {378, 1};
inline constexpr Field kZeroAfterDataMode = {379, 1};
inline constexpr Field kWorkMode = {380, 1};
inline constexpr Field kZeroAfterWorkMode = {381, 9};
inline constexpr Field kApn = {390, 30};
inline constexpr Field kGprsUser = {420, 30};
inline constexpr Field kGprsPassword = {450, 30};
inline constexpr Field kCenterPhone2 = {480, 30};
inline constexpr Field kSmsInput3 = {510, 30};
inline constexpr Field kSmsInput4 = {540, 30};
inline constexpr Field kZeroTail = {570, 30};

// Every field in record order, the zero ones included.
inline constexpr Field kLayout[] = {
    kProtocol,
    kMasterAddress,
    kMasterPort,
    kHeartbeatTime,
    kReconnectInterval,
    kNoResponseTime,
    kRegistrationPackage,
    kHeartbeatPackage,
    kUnitBaud,
    kUnitDataBits,
    kUnitStopBits,
    kUnitParity,
    kZeroAfterParity,
    kCenterPhone1,
    kStandbyAddress,
    kStandbyPort,
    kPacketLength,
    kInput3Alarm,
    kInput4Alarm,
    kZeroAfterInputs,
    kMinInterval,
    kReconnectTimes,
    kDebugInfo,
    kOutput1,
    kOutput2,
    kDataMode,
    kZeroAfterDataMode,
    kWorkMode,
    kZeroAfterWorkMode,
    kApn,
    kGprsUser,
    kGprsPassword,
    kCenterPhone2,
    kSmsInput3,
    kSmsInput4,
    kZeroTail,
};

// The fields follow each other without gap or overlap and fill the record.
constexpr bool LayoutIsContiguous() {
  std::size_t next = 0;
  for (const Field& field : kLayout) {
    if (field.offset != next || field.size == 0) {
      return false;
    }
    next = field.offset + field.size;
  }
  return next == kConfigImageSize;
}
static_assert(LayoutIsContiguous(), "configuration record fields must tile its 600 bytes");

constexpr std::size_t LastByte(Field field) { return field.offset + field.size - 1; }

// Text of a field up to its first zero, never past the field's end.
inline std::string_view FieldText(const ConfigImage& record, Field field) {
  const char* start = reinterpret_cast<const char*>(record.bytes.data() + field.offset);
  std::size_t n = 0;
  while (n < field.size && start[n] != '\0') {
    ++n;
  }
  return std::string_view(start, n);
}

// A package holds at most this many bytes; its count sits in the slot's
// last byte.
inline constexpr std::size_t kPackageMaxBytes = 29;
inline constexpr std::size_t kPackageCountIndex = kSlotSize - 1;
static_assert(kRegistrationPackage.size == kSlotSize && kHeartbeatPackage.size == kSlotSize,
              "a package fills one slot");

}  // namespace image

#endif
