// What write, diff and show would put in a unit's record: a profile (a
// settings file) with --set keys laid over it, or a record file as it is.
// Everything here is checked before any port is opened.
#ifndef DTU_CLI_PROFILE_INPUT_H
#define DTU_CLI_PROFILE_INPUT_H

#include <string>
#include <vector>

#include "form/memory_form.h"
#include "protocol/config_image.h"
#include "settings/settings.h"

// The whole file; the error names it and says why not.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* error);

struct Override {
  const SettingInfo* setting;
  std::string value;
};

// "KEY=VALUE" with a known key in any case. Whether a list takes the value
// is checked once all of them are laid over the profile.
bool ParseOverride(const std::string& text, Override* out, std::string* error);

enum class InputKind {
  Profile,  // a settings file
  Record,   // a 600-byte record file, taken unchanged
  Either,   // a record file if it is one, else a profile
};

struct RecordInput {
  ConfigImage record{};
  bool fromRecordFile = false;
  // The form the profile was loaded into, before encoding.
  MemoryForm loaded;
  // The profile's text with the overrides in it.
  std::string profileText;
  // About the file itself: keys that are not read, and the like.
  std::vector<std::string> warnings;
};

// False, with the reason in error, when the input is refused; then nothing
// may be sent. A refusal by the form's own checks gives its message in
// English and then in the original Chinese.
bool LoadRecordInput(const std::string& path, InputKind kind,
                     const std::vector<Override>& overrides, RecordInput* input,
                     std::string* error);

// A profile's text, named as messages should call it, with overrides laid
// over it: LoadRecordInput's way with a profile that is not a file.
bool LoadProfileText(const std::string& name, const std::string& text,
                     const std::vector<Override>& overrides, RecordInput* input,
                     std::string* error);

struct FieldWarning {
  int control;
  std::string text;
};
// Values outside the ranges the form's labels give, and values that do not
// reach the record as they were given (cut, not hex, no such list entry).
std::vector<FieldWarning> CheckRecordInput(const RecordInput& input);

#endif
