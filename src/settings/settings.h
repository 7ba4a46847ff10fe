// The form's contents kept between runs in the settings file.
#ifndef DTU_SETTINGS_SETTINGS_H
#define DTU_SETTINGS_SETTINGS_H

#include <cstddef>
#include <string_view>

#include "form/form.h"
#include "settings/settings_store.h"

void LoadSettings(Form& form, SettingsStore& settings);
// Saves the form and ends it with result 0. A CR or LF in a text is saved
// as a blank: it would split the line and could make what follows read as a
// key of its own.
void SaveSettings(Form& form, SettingsStore& settings);

// One key of the settings file.
struct SettingInfo {
  const char* section;
  const char* key;
  const char* defaultValue;
  int control;
  // A list's stored values; the value at position i stands for index i.
  // Null for an edit box's text.
  const std::string_view* listValues;
  int listCount;
};

inline constexpr std::size_t kSettingCount = 31;
// In the order a first save lays them out in the file.
const SettingInfo& SettingInFileOrder(std::size_t position);
// The key that keeps this control's value; null for a control it does not keep.
const SettingInfo* SettingOfControl(int control);
// Keys match without regard to case, as in the file. Null when unknown.
const SettingInfo* FindSetting(std::string_view key);
// The index a list key's value selects, or -1 when it matches no entry
// (loading compares exactly, case included).
int ListIndexOfValue(const SettingInfo& setting, std::string_view value);
// The text SaveSettings writes for this key from the form, line breaks blanked.
void SettingValue(Form& form, const SettingInfo& setting, char* buffer, std::size_t size);

#endif
