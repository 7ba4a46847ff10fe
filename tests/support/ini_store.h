// The settings store over an INI file on disk, for the native build. It
// follows what the Windows private-profile functions do to the same file (as
// observed under Wine): every call reads the file afresh; a write that
// changes something rewrites the whole file with CRLF line ends, names and
// values trimmed and blank lines dropped, while comments, unknown keys and
// sections stay in their places.
#ifndef DTU_TESTS_SUPPORT_INI_STORE_H
#define DTU_TESTS_SUPPORT_INI_STORE_H

#include <string>
#include <vector>

#include "settings/settings_store.h"

class IniStore final : public SettingsStore {
 public:
  explicit IniStore(std::string path) : path_(std::move(path)) {}

  std::size_t Read(const char* section, const char* key, const char* defaultValue, char* buffer,
                   std::size_t maxLength) override;
  void Write(const char* section, const char* key, const char* value) override;

  const std::string& path() const { return path_; }

  // The file as the profile functions see it; exposed for tests.
  struct Entry {
    std::string name;
    bool hasValue = false;  // lines without '=' (comments too) have none
    std::string value;
  };
  struct Section {
    std::string name;  // empty for the lines before the first section
    std::vector<Entry> entries;
  };
  static std::vector<Section> Parse(const std::string& text);
  static std::string Format(const std::vector<Section>& sections);

 private:
  std::string path_;
};

#endif
