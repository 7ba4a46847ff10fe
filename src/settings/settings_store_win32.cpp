#include "settings/settings_store_win32.h"

#include <windows.h>

namespace {
constexpr const char* kFileName = ".\\DTU.ini";
}

std::size_t Win32SettingsStore::Read(const char* section, const char* key, const char* defaultValue,
                                     char* buffer, std::size_t maxLength) {
  return GetPrivateProfileStringA(section, key, defaultValue, buffer, static_cast<DWORD>(maxLength),
                                  kFileName);
}

void Win32SettingsStore::Write(const char* section, const char* key, const char* value) {
  WritePrivateProfileStringA(section, key, value, kFileName);
}
