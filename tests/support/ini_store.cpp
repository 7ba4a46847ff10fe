#include "support/ini_store.h"

#include <cstdio>
#include <string>
#include <vector>

#include "settings/ini_text.h"

namespace {

// A missing or unreadable file (a folder, say) reads as an empty one. The
// buffer keeps room for a rewrite beside the text.
std::vector<char> Load(const std::string& path, std::size_t* size) {
  std::vector<char> text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
      text.insert(text.end(), chunk, chunk + n);
    }
    std::fclose(file);
  }
  *size = text.size();
  text.resize(3 * text.size() + 4096);
  return text;
}

}  // namespace

std::size_t IniStore::Read(const char* section, const char* key, const char* defaultValue,
                           char* buffer, std::size_t maxLength) {
  std::size_t size = 0;
  std::vector<char> text = Load(path_, &size);
  IniText ini(text.data(), size, text.size());
  return ini.Read(section, key, defaultValue, buffer, maxLength);
}

void IniStore::Write(const char* section, const char* key, const char* value) {
  std::size_t size = 0;
  std::vector<char> text = Load(path_, &size);
  const std::string before(text.data(), size);
  IniText ini(text.data(), size, text.size());
  ini.Write(section, key, value);
  if (std::string(ini.Data(), ini.Size()) == before) {
    return;
  }
  if (FILE* file = std::fopen(path_.c_str(), "wb")) {
    std::fwrite(ini.Data(), 1, ini.Size(), file);
    std::fclose(file);
  }
}
