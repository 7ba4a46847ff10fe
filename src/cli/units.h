// Per-unit values from a CSV: a header of settings keys (and an optional
// "port" column), then one row per unit, each laid over the profile and the
// --set keys. Every row is checked, and the unique keys compared, before
// anything is sent.
#ifndef DTU_CLI_UNITS_H
#define DTU_CLI_UNITS_H

#include <cstddef>
#include <string>
#include <vector>

#include "cli/profile_input.h"
#include "protocol/config_image.h"

struct UnitRow {
  std::size_t number = 0;           // 1 is the first row after the header
  std::string port;                 // the "port" column's, if there is one
  std::vector<std::string> values;  // one per key column, as the CSV has it
  ConfigImage record{};
};

struct UnitsTable {
  std::vector<std::string> keys;  // the key columns, as the header names them
  bool hasPort = false;
  std::vector<UnitRow> rows;
};

// The unique keys: those given, or "ID" when none is and the CSV has it.
// False, with the message (naming the row) in error, when any row is refused:
// also when a row's own value would not reach the unit as given (cut, not
// hex, out of range). Other warnings the profile alone does not raise are
// told per row.
bool LoadUnits(const std::string& path, const std::string& profile,
               const std::vector<Override>& sets, const std::vector<std::string>& unique,
               UnitsTable* table, std::string* error);

// Whether two records would give the unit the same value for a key.
bool SameKeyValue(const ConfigImage& a, const ConfigImage& b, const std::string& key);

#endif
