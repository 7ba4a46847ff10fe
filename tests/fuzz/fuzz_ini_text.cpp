// Any file a user hands over reads without harm, and a key written to it
// reads back as written, once, with a second identical write changing nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/ini_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> buffer(3 * size + 256);
  std::memcpy(buffer.data(), data, size);
  IniText ini(buffer.data(), size, buffer.size());
  char value[16];
  for (const char* key : {"IP", "ID", "", "baud"}) {
    std::memset(value, 'x', sizeof value);
    // A value may hold NUL bytes of the file: the count, not strlen, says how much came.
    const std::size_t n = ini.Read("DTU NET", key, "dflt", value, 8);
    if (n > 7 || value[n] != '\0' || value[8] != 'x') {
      std::abort();
    }
  }
  ini.Write("DTU NET", "IP", "10.0.0.5");
  if (ini.Overflowed()) {
    std::abort();
  }
  const std::string once(ini.Data(), ini.Size());
  ini.Read("dtu net", "ip", "", value, sizeof value);
  if (std::strcmp(value, "10.0.0.5") != 0) {
    std::abort();
  }
  ini.Write("DTU NET", "IP", "10.0.0.5");
  if (std::string(ini.Data(), ini.Size()) != once) {
    std::abort();
  }
  return 0;
}
