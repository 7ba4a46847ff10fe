#include "cli/units.h"

#include <algorithm>
#include <map>
#include <set>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/csv.h"
#include "cli/hex.h"
#include "cli/output.h"
#include "cli/render.h"
#include "protocol/record_fields.h"
#include "settings/settings.h"

namespace {

std::string RowName(const std::string& path, std::size_t row) {
  return path + " row " + std::to_string(row) + ": ";
}

bool ReadHeader(const std::string& path, const std::vector<std::string>& header,
                std::vector<const SettingInfo*>* settings, int* portColumn, std::string* error) {
  *portColumn = -1;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const std::string& name = header[i];
    // Lower case only: "PORT" is the server's port, a settings key.
    if (name == "port") {
      if (*portColumn >= 0) {
        *error = path + ": the column \"port\" is given twice";
        return false;
      }
      *portColumn = static_cast<int>(i);
      settings->push_back(nullptr);
      continue;
    }
    const SettingInfo* setting = FindSetting(name);
    if (setting == nullptr) {
      *error = path + ": column " + std::to_string(i + 1) + ": unknown key \"";
      *error += name + "\" (the first row names settings keys, as --set takes them, and \"port\")";
      return false;
    }
    if (std::find(settings->begin(), settings->end(), setting) != settings->end()) {
      *error = path + ": the key \"";
      *error += name + "\" is given twice";
      return false;
    }
    settings->push_back(setting);
  }
  return true;
}

std::string WarningText(const FieldWarning& warning) {
  return FieldName(warning.control) + ": " + warning.text;
}

}  // namespace

std::string KeyValueHex(const ConfigImage& record, const std::string& key) {
  const SettingInfo* setting = FindSetting(key);
  const RecordField* field = setting != nullptr ? RecordFieldOf(setting->control) : nullptr;
  if (field == nullptr) {
    return {};
  }
  std::uint8_t value[kFieldValueMax];
  const std::size_t n = FieldValue(record, *field, value);
  return Hex(value, n, HexCase::Upper);
}

bool BuildUnits(const std::string& path, const CsvTable& csv, const RecordInput& base,
                const std::vector<std::string>& unique, UnitsTable* table, std::string* error) {
  if (csv.rows.empty()) {
    *error = path + ": empty; the first row names the settings keys";
    return false;
  }
  std::vector<const SettingInfo*> settings;
  int portColumn = -1;
  if (!ReadHeader(path, csv.rows[0], &settings, &portColumn, error)) {
    return false;
  }
  table->hasPort = portColumn >= 0;
  for (std::size_t i = 0; i < settings.size(); ++i) {
    if (settings[i] != nullptr) {
      table->keys.push_back(csv.rows[0][i]);
    }
  }
  // ID is always unique when the CSV has it: two units with one ID are the
  // failure this guards against, whatever other keys are named.
  std::vector<std::string> keys;
  std::vector<std::string> wanted = unique;
  wanted.insert(wanted.begin(), "ID");
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    const SettingInfo* setting = FindSetting(wanted[i]);
    if (setting == nullptr || RecordFieldOf(setting->control) == nullptr) {
      *error = "--unique " + wanted[i] + ": not a settings key";
      return false;
    }
    const bool column = std::find(settings.begin(), settings.end(), setting) != settings.end();
    if ((i > 0 || column) && std::find(keys.begin(), keys.end(), setting->key) == keys.end()) {
      keys.emplace_back(setting->key);
    }
  }
  table->unique = keys;

  std::set<std::string> known;
  for (const FieldWarning& warning : CheckRecordInput(base)) {
    known.insert(WarningText(warning));
  }
  // Each unique key's values so far, as the bytes the unit would get, with
  // their rows.
  std::map<std::string, std::map<std::string, std::size_t>> seen;
  std::map<std::string, std::size_t> ports;
  for (std::size_t r = 1; r < csv.rows.size(); ++r) {
    const std::vector<std::string>& cells = csv.rows[r];
    if (cells.size() != settings.size()) {
      *error = RowName(path, r) + std::to_string(cells.size()) + " fields, the header has " +
               std::to_string(settings.size()) + " (line " + std::to_string(csv.lines[r]) + ")";
      return false;
    }
    UnitRow row;
    row.number = r;
    std::vector<Override> overrides;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (settings[i] == nullptr) {
        row.port = cells[i];
        continue;
      }
      if (cells[i].find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        *error = RowName(path, r) + settings[i]->key + ": a value cannot hold a line break";
        return false;
      }
      overrides.push_back({settings[i], cells[i]});
      row.values.push_back(cells[i]);
    }
    if (table->hasPort && row.port.empty()) {
      *error = RowName(path, r) + "no port";
      return false;
    }
    RecordInput input;
    if (!LoadProfileText(path, base.profileText, overrides, &input, error)) {
      *error = RowName(path, r) + *error;
      return false;
    }
    // A unit's own value that would not reach it as given is a typing error.
    for (const FieldWarning& warning : CheckRecordInput(input)) {
      const SettingInfo* setting = SettingOfControl(warning.control);
      if (std::find(settings.begin(), settings.end(), setting) != settings.end()) {
        *error = RowName(path, r) + WarningText(warning);
        return false;
      }
      if (known.count(WarningText(warning)) == 0) {
        table->warnings.push_back(RowName(path, r) + WarningText(warning));
      }
    }
    row.record = input.record;
    if (table->hasPort && !ports.emplace(row.port, r).second) {
      *error = RowName(path, r) + "the port " + row.port + " already has row " +
               std::to_string(ports[row.port]);
      return false;
    }
    for (const std::string& key : keys) {
      const auto [earlier, added] = seen[key].emplace(KeyValueHex(row.record, key), r);
      if (!added) {
        *error = RowName(path, r) + key + " is the same as row " + std::to_string(earlier->second) +
                 "'s; it must be unique";
        return false;
      }
    }
    table->rows.push_back(std::move(row));
  }
  return true;
}

int LoadWriteInput(const Options& options, WriteInput* input) {
  if (options.raw && !options.units.empty()) {
    Error("--units lays values over a profile; it cannot go with --raw");
    return kExitUsage;
  }
  if (options.units.empty() && !options.uniques.empty()) {
    Error("--unique compares the rows of --units");
    return kExitUsage;
  }
  const int code =
      LoadInput(options, options.raw ? InputKind::Record : InputKind::Profile, &input->base);
  if (code != kExitOk) {
    return code;
  }
  WarnFields(CheckRecordInput(input->base));
  if (options.units.empty()) {
    return kExitOk;
  }
  std::string text;
  std::string error;
  CsvTable csv;
  if (!ReadWholeFile(options.units, &text, &error)) {
    Error(error);
    return kExitUsage;
  }
  if (!ParseCsv(text, &csv, &error)) {
    Error(options.units + ": " + error);
    return kExitUsage;
  }
  if (!BuildUnits(options.units, csv, input->base, options.uniques, &input->units, &error)) {
    Error(error);
    return kExitUsage;
  }
  for (const std::string& warning : input->units.warnings) {
    Warn(warning);
  }
  input->hasUnits = true;
  return kExitOk;
}
