// The profile file the form is kept in, as the settings code sees it.
#ifndef DTU_SETTINGS_SETTINGS_STORE_H
#define DTU_SETTINGS_SETTINGS_STORE_H

#include <cstddef>

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  // Copies the key's value, or defaultValue when the key is missing, into
  // buffer: at most maxLength - 1 bytes, always terminated when maxLength > 0.
  // Returns the bytes copied.
  virtual std::size_t Read(const char* section, const char* key, const char* defaultValue,
                           char* buffer, std::size_t maxLength) = 0;
  // Failures are not reported: a file that cannot be written loses the value.
  virtual void Write(const char* section, const char* key, const char* value) = 0;

 protected:
  SettingsStore() = default;
  SettingsStore(const SettingsStore&) = default;
  SettingsStore& operator=(const SettingsStore&) = default;
};

#endif
