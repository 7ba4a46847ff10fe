#include "cli/profile_input.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "form/control_ids.h"
#include "form/control_labels.h"
#include "protocol/record_fields.h"
#include "protocol/transfer.h"
#include "settings/ini_text.h"
#include "settings/profile.h"

namespace {

// The two refusals of the form, in English and then in the form's own words
// (UTF-8 here; the form shows them from code page 936).
struct KnownRefusal {
  const char* gbk;
  const char* english;
  const char* chinese;
};
const KnownRefusal kRefusals[] = {
    {kDataBitsMessage,
     "refused: with 7 data bits the unit needs a parity (Parity must be Odd or Even)",
     "\xE6\x95\xB0\xE6\x8D\xAE\xE4\xBD\x8D\xE4\xB8\xBA\x37\xE4\xBD\x8D\x2C\xE5\xBF\x85\xE9\xA1\xBB"
     "\xE5\xBC\x80\xE5\x90\xAF\xE5\xA5\x87\xE5\x81\xB6\xE6\xA0\xA1\xE9\xAA\x8C\xE4\xBD\x8D\x21"},
    {kPacketLengthMessage, "refused: the packet length (LEN) has more than 4 digits",
     "\xE6\x9C\x80\xE5\xA4\xA7\xE5\x8C\x85\xE9\x95\xBF\xE4\xBD\x8D\xE6\x95\xB0\xE9\x94\x99\xE8"
     "\xAF\xAF"},
};

// Keeps the text of the last box the form's rules opened.
class CapturedBoxes final : public MessageBoxes {
 public:
  void Show(const char* text, const char* /*caption*/, BoxOwner /*owner*/,
            unsigned /*codePage*/) override {
    shown = text;
  }
  const char* shown = nullptr;
};

// Keys the form would not read, and keys given twice (the first one counts).
std::vector<std::string> FileWarnings(const std::string& path, std::string_view text) {
  std::vector<std::string> warnings;
  std::vector<std::string> seen;
  IniText::ForEachLine(text, [&](const IniText::Line& line) {
    if (line.isSection || !IsFormSection(line.section) || !line.hasValue) {
      return;
    }
    std::string where(line.name);
    where.append(" in [").append(line.section).append("]");
    const SettingInfo* setting = FindSetting(line.name);
    if (setting == nullptr) {
      warnings.push_back(path + ": unknown key " + where + " is ignored");
      return;
    }
    if (!SameSettingName(setting->section, line.section)) {
      warnings.push_back(path + ": key " + where + " is ignored; it belongs in [" +
                         setting->section + "]");
      return;
    }
    const auto same = [&where](const std::string& earlier) {
      return SameSettingName(earlier, where);
    };
    if (std::any_of(seen.begin(), seen.end(), same)) {
      warnings.push_back(path + ": key " + where + " is given twice; the first one counts");
      return;
    }
    seen.push_back(where);
  });
  return warnings;
}

std::string AllowedValues(const SettingInfo& setting) {
  std::string allowed;
  for (int i = 0; i < setting.listCount; ++i) {
    allowed += (i > 0 ? ", " : "") + std::string(setting.listValues[i]);
  }
  return allowed;
}

bool LoadRecordFile(const std::string& path, const std::string& data, RecordInput* input,
                    std::string* error) {
  if (data.size() != kConfigImageSize) {
    *error = path + ": a record file holds exactly " + std::to_string(kConfigImageSize) +
             " bytes; this one has " + std::to_string(data.size());
    return false;
  }
  std::memcpy(input->record.bytes.data(), data.data(), kConfigImageSize);
  input->fromRecordFile = true;
  ShowRecord(input->record, input->loaded);
  return true;
}

}  // namespace

bool LoadProfileText(const std::string& path, const std::string& data,
                     const std::vector<Override>& overrides, RecordInput* input,
                     std::string* error) {
  switch (ClassifyProfile(data.data(), data.size())) {
    case ProfileKind::Binary:
      *error = path + ": not a profile: it holds NUL bytes (a record file needs --raw)";
      return false;
    case ProfileKind::NoSection:
      *error = path + ": not a profile: it has no [DTU NET], [DTU COM] or [DTU IO] section";
      return false;
    case ProfileKind::Empty:
    case ProfileKind::Settings:
      break;
  }
  input->warnings = FileWarnings(path, data);
  std::size_t extra = 0;
  for (const Override& override : overrides) {
    extra += override.value.size() + 64;
  }
  // Each change may rewrite the whole text beside the old one.
  std::vector<char> buffer(3 * (data.size() + extra) + 4096);
  std::memcpy(buffer.data(), data.data(), data.size());
  IniText text(buffer.data(), data.size(), buffer.size());
  for (const Override& override : overrides) {
    text.Write(override.setting->section, override.setting->key, override.value.c_str());
  }
  for (const Override& override : overrides) {
    const SettingInfo& setting = *override.setting;
    if (setting.listValues == nullptr) {
      continue;
    }
    // As the form will read it: trimmed, unquoted, cut to the read length.
    char value[64] = {};
    text.Read(setting.section, setting.key, "", value, 50);
    if (ListIndexOfValue(setting, value) < 0) {
      *error = "--set " + std::string(setting.key) + "=" + override.value + ": " + setting.key +
               " takes " + AllowedValues(setting);
      return false;
    }
  }
  input->profileText.assign(text.Data(), text.Size());
  CapturedBoxes boxes;
  if (!ProfileToRecord(text, boxes, input->loaded, input->record)) {
    for (const KnownRefusal& refusal : kRefusals) {
      if (boxes.shown != nullptr && std::strcmp(boxes.shown, refusal.gbk) == 0) {
        *error = std::string(refusal.english) + "\n" + refusal.chinese;
        return false;
      }
    }
    *error = "refused by the form's checks";
    return false;
  }
  return true;
}

namespace {

// Digits only, and what they make; false for anything else.
bool UnsignedNumber(const char* text, long* value) {
  if (*text == '\0') {
    return false;
  }
  long n = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9' || n > 100000000) {
      return false;
    }
    n = n * 10 + (*text - '0');
  }
  *value = n;
  return true;
}

std::string Quoted(const char* text) { return "\"" + std::string(text) + "\""; }

void CheckRange(const MemoryForm& shown, int control, long low, long high,
                std::vector<FieldWarning>* warnings) {
  long value = 0;
  const char* text = shown.TextOf(control);
  if (!UnsignedNumber(text, &value) || value < low || value > high) {
    warnings->push_back({control, Quoted(text) + " is outside " + std::to_string(low) + "-" +
                                      std::to_string(high)});
  }
}

// Hex digits only, upper case: two package texts that say the same bytes
// read the same.
std::string PackageDigits(const char* text) {
  std::string digits;
  for (; *text != '\0'; ++text) {
    if (*text != ' ') {
      digits += *text >= 'a' && *text <= 'f' ? static_cast<char>(*text - 32) : *text;
    }
  }
  return digits;
}

void CheckGivenValues(const RecordInput& input, const MemoryForm& shown,
                      std::vector<FieldWarning>* warnings) {
  const std::string_view text = input.profileText;
  for (const RecordField& field : kRecordFields) {
    const int control = field.control;
    if (input.loaded.KindOf(control) == MemoryForm::Kind::List) {
      if (input.loaded.SelectionOf(control) < 0) {
        warnings->push_back({control, "the profile's value matches no entry of the list"});
      }
      continue;
    }
    const char* given = input.loaded.TextOf(control);
    const char* written = shown.TextOf(control);
    const bool package = field.kind == FieldKind::Package;
    if (package ? PackageDigits(given) != PackageDigits(written)
                : std::strcmp(given, written) != 0) {
      warnings->push_back({control, "given as " + Quoted(given) + ", written as " +
                                        Quoted(written) +
                                        (package ? " (hex pairs only, 29 bytes at most)" : "")});
    }
  }
  // The protocol list keeps its first entry when the profile's value matches none.
  const SettingInfo* protocol = FindSetting("protocol");
  char value[64] = {};
  std::vector<char> copy(text.begin(), text.end());
  IniText ini(copy.data(), copy.size(), copy.size());
  ini.Read(protocol->section, protocol->key, protocol->defaultValue, value, 50);
  if (ListIndexOfValue(*protocol, value) < 0) {
    warnings->push_back({IDC_PROTOCOL, "the profile's value " + Quoted(value) +
                                           " matches no entry; the list stays at " +
                                           Quoted(shown.TextOf(IDC_PROTOCOL))});
  }
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = path + ": cannot read it (" + std::strerror(errno) + ")";
    return false;
  }
  char chunk[65536];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    data->append(chunk, n);
  }
  const bool failed = std::ferror(file) != 0;
  const int code = errno;
  std::fclose(file);
  if (failed) {
    *error = path + ": cannot read it (" + std::strerror(code) + ")";
    return false;
  }
  return true;
}

bool ParseOverride(const std::string& text, Override* out, std::string* error) {
  const std::size_t equals = text.find('=');
  if (equals == std::string::npos) {
    *error = "--set " + text + ": give KEY=VALUE";
    return false;
  }
  const std::string key = text.substr(0, equals);
  out->value = text.substr(equals + 1);
  out->setting = FindSetting(key);
  if (out->setting == nullptr) {
    std::string known;
    for (std::size_t i = 0; i < kSettingCount; ++i) {
      known += (i > 0 ? " " : "") + std::string(SettingInFileOrder(i).key);
    }
    *error = "--set " + text + ": unknown key " + Quoted(key.c_str()) + "; the keys are: " + known;
    return false;
  }
  if (out->value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    *error = "--set " + key + ": a value cannot hold a line break";
    return false;
  }
  return true;
}

bool LoadRecordInput(const std::string& path, InputKind kind,
                     const std::vector<Override>& overrides, RecordInput* input,
                     std::string* error) {
  std::string data;
  if (!ReadWholeFile(path, &data, error)) {
    return false;
  }
  const bool looksLikeRecord =
      data.size() == kConfigImageSize && data.find('\0') != std::string::npos;
  if (kind == InputKind::Record || (kind == InputKind::Either && looksLikeRecord)) {
    if (!overrides.empty()) {
      *error = "--set works on profiles, not on record files";
      return false;
    }
    return LoadRecordFile(path, data, input, error);
  }
  return LoadProfileText(path, data, overrides, input, error);
}

std::vector<FieldWarning> CheckRecordInput(const RecordInput& input) {
  MemoryForm shown;
  ShowRecord(input.record, shown);
  std::vector<FieldWarning> warnings;
  if (!input.fromRecordFile) {
    CheckGivenValues(input, shown, &warnings);
  }
  CheckRange(shown, IDC_HEARTBEAT_TIME, 0, 300, &warnings);
  CheckRange(shown, IDC_RECONNECT_INTERVAL, 0, 600, &warnings);
  CheckRange(shown, IDC_PACKET_LENGTH, 256, 1024, &warnings);
  CheckRange(shown, IDC_RECONNECT_TIMES, 0, 127, &warnings);
  CheckRange(shown, IDC_MIN_INTERVAL, 2, 9, &warnings);
  long heartbeat = 0;
  long noResponse = 0;
  if (UnsignedNumber(shown.TextOf(IDC_HEARTBEAT_TIME), &heartbeat) &&
      (!UnsignedNumber(shown.TextOf(IDC_NO_RESPONSE_TIME), &noResponse) ||
       noResponse <= heartbeat)) {
    warnings.push_back({IDC_NO_RESPONSE_TIME, Quoted(shown.TextOf(IDC_NO_RESPONSE_TIME)) +
                                                  " is not above the heartbeat time (" +
                                                  std::to_string(heartbeat) + ")"});
  }
  return warnings;
}
