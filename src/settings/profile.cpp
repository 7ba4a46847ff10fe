#include "settings/profile.h"

#include <string_view>

#include "form/form_lists.h"
#include "protocol/transfer.h"
#include "settings/ini_text.h"
#include "settings/settings.h"

bool IsFormSection(std::string_view name) {
  return SameSettingName(name, "DTU NET") || SameSettingName(name, "DTU COM") ||
         SameSettingName(name, "DTU IO");
}

ProfileKind ClassifyProfile(const char* data, std::size_t size) {
  bool blank = true;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      return ProfileKind::Binary;
    }
    blank = blank && (data[i] == ' ' || (data[i] >= '\t' && data[i] <= '\r'));
  }
  if (blank) {
    return ProfileKind::Empty;
  }
  bool found = false;
  IniText::ForEachLine(std::string_view(data, size), [&found](const IniText::Line& line) {
    found = found || (line.isSection && IsFormSection(line.name));
  });
  return found ? ProfileKind::Settings : ProfileKind::NoSection;
}

bool ProfileToRecord(SettingsStore& profile, MessageBoxes& boxes, MemoryForm& form,
                     ConfigImage& record) {
  SetUpForm(form);
  LoadSettings(form, profile);
  return EncodeForm(form, boxes, record);
}

void ShowRecord(const ConfigImage& record, MemoryForm& form) {
  SetUpForm(form);
  // Decoding may cut package counts in its record; the caller's stays as it is.
  ConfigImage copy = record;
  DecodeImage(copy, form);
}

void RecordToProfile(const ConfigImage& record, SettingsStore& out) {
  MemoryForm form;
  ShowRecord(record, form);
  SaveSettings(form, out);
}
