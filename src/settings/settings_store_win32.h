#ifndef DTU_SETTINGS_SETTINGS_STORE_WIN32_H
#define DTU_SETTINGS_SETTINGS_STORE_WIN32_H

#include "settings/settings_store.h"

// The private-profile file ".\DTU.ini" in the current directory.
class Win32SettingsStore final : public SettingsStore {
 public:
  std::size_t Read(const char* section, const char* key, const char* defaultValue, char* buffer,
                   std::size_t maxLength) override;
  void Write(const char* section, const char* key, const char* value) override;
};

#endif
