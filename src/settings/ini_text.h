// A settings file held in memory and read and changed as the Windows
// profile functions read and change the file: sections and keys match
// without regard to case, values lose the blanks at their ends and one pair
// of matching quotes, and a change that alters something rewrites the whole
// text with CRLF line ends, names and values trimmed and blank lines
// dropped, while comments, unknown keys and sections stay in their places.
// The caller owns the buffer: nothing is allocated here.
#ifndef DTU_SETTINGS_INI_TEXT_H
#define DTU_SETTINGS_INI_TEXT_H

#include <cstddef>
#include <string_view>

#include "settings/settings_store.h"

// Section and key names match without regard to case (ASCII letters only).
bool SameSettingName(std::string_view a, std::string_view b);

class IniText final : public SettingsStore {
 public:
  // buffer holds size bytes of the file and has room for capacity bytes. A
  // change needs room for the whole rewritten text beside the old one.
  IniText(char* buffer, std::size_t size, std::size_t capacity)
      : text_(buffer), size_(size), capacity_(capacity) {}

  std::size_t Read(const char* section, const char* key, const char* defaultValue, char* buffer,
                   std::size_t maxLength) override;
  void Write(const char* section, const char* key, const char* value) override;

  const char* Data() const { return text_; }
  std::size_t Size() const { return size_; }
  // A change did not fit in the buffer and was left out.
  bool Overflowed() const { return overflowed_; }

  // One non-blank line as the profile functions see it.
  struct Line {
    bool isSection;
    std::string_view section;  // the section it is in ("" before the first), or its own name
    std::string_view name;     // an entry's key (the whole line when it has no '=')
    std::string_view value;
    bool hasValue;
  };
  using LineVisitor = void (*)(void* context, const Line& line);
  static void ForEachLine(std::string_view text, LineVisitor visit, void* context);
  template <typename F>
  static void ForEachLine(std::string_view text, F&& f) {
    ForEachLine(
        text, [](void* context, const Line& line) { (*static_cast<F*>(context))(line); },
        static_cast<void*>(&f));
  }

 private:
  char* text_;
  std::size_t size_;
  std::size_t capacity_;
  bool overflowed_ = false;
};

#endif
