// Any profile either is refused before anything is built, or gives a record
// that keeps every rule a record built by the form keeps.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/config_image.h"
#include "settings/ini_text.h"
#include "settings/profile.h"

namespace {

class NoBoxes final : public MessageBoxes {
 public:
  void Show(const char*, const char*, BoxOwner, unsigned) override { shown = true; }
  bool shown = false;
};

bool AllZero(const ConfigImage& record, Field field) {
  for (std::size_t i = 0; i < field.size; ++i) {
    if (record.bytes[field.offset + i] != 0) {
      return false;
    }
  }
  return true;
}

bool Terminated(const ConfigImage& record, Field field) {
  return std::memchr(record.bytes.data() + field.offset, 0, field.size) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const ProfileKind kind = ClassifyProfile(text, size);
  if (kind == ProfileKind::Binary || kind == ProfileKind::NoSection) {
    return 0;
  }
  std::vector<char> buffer(size + 1);
  std::memcpy(buffer.data(), data, size);
  IniText profile(buffer.data(), size, buffer.size());
  NoBoxes boxes;
  MemoryForm form;
  ConfigImage record{};
  if (!ProfileToRecord(profile, boxes, form, record)) {
    if (!boxes.shown) {
      std::abort();  // a refusal always says why
    }
    return 0;
  }
  using namespace image;
  for (Field zero :
       {kZeroAfterParity, kZeroAfterInputs, kZeroAfterDataMode, kZeroAfterWorkMode, kZeroTail}) {
    if (!AllZero(record, zero)) {
      std::abort();
    }
  }
  for (Field slot :
       {kProtocol, kMasterAddress, kMasterPort, kHeartbeatTime, kReconnectInterval, kNoResponseTime,
        kUnitBaud, kCenterPhone1, kStandbyAddress, kStandbyPort, kPacketLength, kApn, kGprsUser,
        kGprsPassword, kCenterPhone2, kSmsInput3, kSmsInput4}) {
    if (!Terminated(record, slot)) {
      std::abort();
    }
  }
  const std::uint8_t interval = record.bytes[kMinInterval.offset];
  if (record.bytes[LastByte(kRegistrationPackage)] > 29 ||
      record.bytes[LastByte(kHeartbeatPackage)] > 29 ||
      record.bytes[kReconnectTimes.offset] >= 128 || interval < '2' || interval > '9' ||
      record.bytes[LastByte(kSmsInput3)] != 0 || record.bytes[LastByte(kSmsInput4)] != 0) {
    std::abort();
  }
  return 0;
}
