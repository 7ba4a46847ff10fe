// The settings file on disk for native tests: each call reads the file
// afresh and a change writes it back whole, as the profile functions do.
#ifndef DTU_TESTS_SUPPORT_INI_STORE_H
#define DTU_TESTS_SUPPORT_INI_STORE_H

#include <string>

#include "settings/settings_store.h"

class IniStore final : public SettingsStore {
 public:
  explicit IniStore(std::string path) : path_(std::move(path)) {}

  std::size_t Read(const char* section, const char* key, const char* defaultValue, char* buffer,
                   std::size_t maxLength) override;
  void Write(const char* section, const char* key, const char* value) override;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#endif
