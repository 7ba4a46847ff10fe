// Per-unit values from a CSV: a header of settings keys (and an optional
// "port" column), then one row per unit, each laid over the profile and the
// --set keys. Every row is checked, and the unique keys compared, before
// anything is sent.
#ifndef DTU_CLI_UNITS_H
#define DTU_CLI_UNITS_H

#include <cstddef>
#include <string>
#include <vector>

#include "cli/csv.h"
#include "cli/profile_input.h"
#include "protocol/config_image.h"

struct Options;

struct UnitRow {
  std::size_t number = 0;           // 1 is the first row after the header
  std::string port;                 // the "port" column's, if there is one
  std::vector<std::string> values;  // one per key column, as the CSV has it
  ConfigImage record{};
};

struct UnitsTable {
  std::vector<std::string> keys;  // the key columns, as the header names them
  bool hasPort = false;
  std::vector<std::string> unique;  // the keys whose values differ between rows
  std::vector<UnitRow> rows;
  // Per row, what the profile alone does not warn of.
  std::vector<std::string> warnings;
};

// The rows of csv (its first row the header) laid over base, named as
// messages should call them. The unique keys: those given, and "ID" when the
// CSV has it. False, with the message (naming the row) in error, when any row
// is refused: also when a row's own value would not reach the unit as given
// (cut, not hex, out of range). Other warnings the profile alone does not
// raise are kept per row.
bool BuildUnits(const std::string& name, const CsvTable& csv, const RecordInput& base,
                const std::vector<std::string>& unique, UnitsTable* table, std::string* error);

// What write and line give the units: PROFILE with the --set keys (or a
// record file, with --raw), and with --units one row per unit over it. Everything is checked and
// every warning told before anything is sent; kExitOk, or kExitUsage once the refusal is told.
struct WriteInput {
  RecordInput base;
  bool hasUnits = false;
  UnitsTable units;
};
int LoadWriteInput(const Options& options, WriteInput* input);

// The bytes a record gives the unit for a key, in hex: two values that read
// differently but give the same bytes ("7B 92", "7b92") are one value.
std::string KeyValueHex(const ConfigImage& record, const std::string& key);

#endif
