// How records and their differences are written out: as a settings file,
// as JSON, as a table of the form's fields.
#ifndef DTU_CLI_RENDER_H
#define DTU_CLI_RENDER_H

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/profile_input.h"
#include "protocol/config_image.h"

// The settings file a first close of the form writes after reading record:
// same keys, order, sections, values and CRLF line ends.
std::string RecordToIni(const ConfigImage& record);
// {"DTU NET": {...}, "DTU COM": {...}, "DTU IO": {...}}, every key in file order.
nlohmann::ordered_json SettingsJson(const ConfigImage& record);
std::string RecordHex(const ConfigImage& record);
// {"port": ..., "settings": ..., "record": ...}; a null port for a file.
std::string RecordJson(const std::optional<std::string>& port, const ConfigImage& record);
nlohmann::ordered_json RecordJsonValue(const std::optional<std::string>& port,
                                       const ConfigImage& record);

struct Difference {
  std::string key;
  std::string unit;
  std::string other;
};
// Field by field; values as the settings file would hold them, with the
// bytes added where two different fields would read the same.
std::vector<Difference> CompareRecords(const ConfigImage& unit, const ConfigImage& other);
// One line each: KEY: unit "..." <otherName> "..."
std::string DifferenceLines(const std::vector<Difference>& differences, const char* otherName);
// {"same": ..., "differences": [{"key", "unit", "profile"}...]}
nlohmann::ordered_json DiffJsonValue(const std::vector<Difference>& differences);

// One line per field of the record: the form's label, the value, warnings.
std::string RecordTable(const ConfigImage& record, const std::vector<FieldWarning>& warnings);
// "KEY (label): text" for messages.
std::string FieldName(int control);
// JSON text: UTF-8 where the bytes allow it; the record's hex keeps them all.
std::string DumpJson(const nlohmann::ordered_json& json);
// null for a text that is empty or a value that is missing, as dtucfg's JSON
// writes what is not known.
inline nlohmann::ordered_json JsonOrNull(const std::string& text) {
  return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}
template <typename T>
nlohmann::ordered_json JsonOrNull(const std::optional<T>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

#endif
