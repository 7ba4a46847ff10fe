// Any typed package text fills at most 29 bytes and says how many.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint8_t slot[32];
  slot[30] = 0xA5;
  slot[31] = 0x5A;
  const std::size_t count = HexTextToPackage(text.c_str(), slot);
  if (count > 29 || slot[29] != count || slot[30] != 0xA5 || slot[31] != 0x5A) {
    std::abort();
  }
  char shown[kPackageTextSize];
  PackageToHexText(slot, shown);
  std::uint8_t again[30];
  if (HexTextToPackage(shown, again) != count) {
    std::abort();
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (again[i] != slot[i]) {
      std::abort();
    }
  }
  return 0;
}
