#include "cli/render.h"

#include <vector>

#include "cli/hex.h"
#include "cli/platform.h"
#include "form/control_ids.h"
#include "form/control_labels.h"
#include "form/memory_form.h"
#include "protocol/record_fields.h"
#include "settings/ini_text.h"
#include "settings/profile.h"
#include "settings/settings.h"

namespace {

std::string ValueOf(MemoryForm& form, const SettingInfo& setting) {
  char value[128] = {};
  SettingValue(form, setting, value, sizeof value);
  return value;
}

std::string FieldBytes(const ConfigImage& record, const RecordField& field) {
  return Hex(record.bytes.data() + field.field.offset, field.field.size, HexCase::Upper, ' ');
}

// What the table shows for a field: a list's entry, or the field's text.
std::string Shown(const MemoryForm& form, const ConfigImage& record, const RecordField& field) {
  const std::uint8_t* bytes = record.bytes.data() + field.field.offset;
  if (field.control == IDC_PROTOCOL || field.control == IDC_BAUD) {
    // The record's own text: the form would keep the list as it was.
    const std::string_view text = image::FieldText(record, field.field);
    return text.empty() ? "(none)" : std::string(text);
  }
  if (form.KindOf(field.control) == MemoryForm::Kind::List) {
    const int index = form.SelectionOf(field.control);
    if (index < 0) {
      return "(no entry for code " + std::to_string(bytes[0]) + ")";
    }
    return form.Entry(field.control, index);
  }
  return form.TextOf(field.control);
}

}  // namespace

std::string RecordToIni(const ConfigImage& record) {
  std::vector<char> buffer(16384);
  IniText text(buffer.data(), 0, buffer.size());
  RecordToProfile(record, text);
  return std::string(text.Data(), text.Size());
}

nlohmann::ordered_json SettingsJson(const ConfigImage& record) {
  MemoryForm form;
  ShowRecord(record, form);
  nlohmann::ordered_json settings = nlohmann::ordered_json::object();
  for (std::size_t i = 0; i < kSettingCount; ++i) {
    const SettingInfo& setting = SettingInFileOrder(i);
    settings[setting.section][setting.key] = platform::UnitTextToUtf8(ValueOf(form, setting));
  }
  return settings;
}

std::string RecordHex(const ConfigImage& record) {
  return Hex(record.bytes.data(), record.bytes.size());
}

std::string DumpJson(const nlohmann::ordered_json& json) {
  return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string RecordJson(const std::optional<std::string>& port, const ConfigImage& record) {
  return DumpJson(RecordJsonValue(port, record));
}

nlohmann::ordered_json RecordJsonValue(const std::optional<std::string>& port,
                                       const ConfigImage& record) {
  nlohmann::ordered_json json;
  json["port"] = port ? nlohmann::ordered_json(*port) : nlohmann::ordered_json(nullptr);
  json["settings"] = SettingsJson(record);
  json["record"] = RecordHex(record);
  return json;
}

std::vector<Difference> CompareRecords(const ConfigImage& unit, const ConfigImage& other) {
  MemoryForm unitForm;
  MemoryForm otherForm;
  ShowRecord(unit, unitForm);
  ShowRecord(other, otherForm);
  std::vector<Difference> differences;
  for (const RecordField& field : kRecordFields) {
    if (SameField(unit, other, field)) {
      continue;
    }
    const SettingInfo* setting = SettingOfControl(field.control);
    Difference difference{setting->key, ValueOf(unitForm, *setting), ValueOf(otherForm, *setting)};
    if (difference.unit == difference.other) {
      difference.unit += " [" + FieldBytes(unit, field) + "]";
      difference.other += " [" + FieldBytes(other, field) + "]";
    }
    differences.push_back(difference);
  }
  return differences;
}

std::string DifferenceLines(const std::vector<Difference>& differences, const char* otherName) {
  std::string lines;
  for (const Difference& d : differences) {
    lines += d.key + ": unit \"" + d.unit + "\", " + otherName + " \"" + d.other + "\"\n";
  }
  return lines;
}

nlohmann::ordered_json DiffJsonValue(const std::vector<Difference>& differences) {
  nlohmann::ordered_json json;
  json["same"] = differences.empty();
  json["differences"] = nlohmann::ordered_json::array();
  for (const Difference& d : differences) {
    nlohmann::ordered_json entry;
    entry["key"] = d.key;
    entry["unit"] = platform::UnitTextToUtf8(d.unit);
    entry["profile"] = platform::UnitTextToUtf8(d.other);
    json["differences"].push_back(entry);
  }
  return json;
}

std::string FieldName(int control) {
  const SettingInfo* setting = SettingOfControl(control);
  return std::string(setting != nullptr ? setting->key : "?") + " (" + FieldLabel(control) + ")";
}

std::string RecordTable(const ConfigImage& record, const std::vector<FieldWarning>& warnings) {
  MemoryForm form;
  ShowRecord(record, form);
  std::string table;
  for (const RecordField& field : kRecordFields) {
    std::string line = FieldLabel(field.control);
    line.resize(36, ' ');
    line += Shown(form, record, field);
    for (const FieldWarning& warning : warnings) {
      if (warning.control == field.control) {
        line += "   ! " + warning.text;
      }
    }
    table += line + "\n";
  }
  return table;
}
