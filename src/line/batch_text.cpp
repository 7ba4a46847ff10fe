#include "line/batch_text.h"

#include "cli/cli.h"
#include "cli/csv.h"
#include "cli/hex.h"
#include "cli/profile_input.h"
#include "line/ledger.h"

namespace {

bool FromHex(const std::string& hex, std::string* bytes) {
  const auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  if (hex.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]);
    const int low = digit(hex[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

// One CSV row as its fields; nothing for an empty text.
bool CsvFields(const std::string& text, std::vector<std::string>* fields, std::string* error) {
  CsvTable table;
  if (!ParseCsv(text, &table, error)) {
    return false;
  }
  if (table.rows.size() > 1) {
    *error = "more than one row";
    return false;
  }
  *fields = table.rows.empty() ? std::vector<std::string>{} : table.rows[0];
  return true;
}

}  // namespace

std::string BatchName(const std::string& name) { return "batch " + name; }

StoredBatch NewBatch(const std::string& name, const std::string& profile,
                     const std::vector<std::string>& sets, const WriteInput& input) {
  StoredBatch batch{name,
                    Hex(profile),
                    sets.empty() ? "" : CsvRow(sets),
                    CsvRow(input.units.keys),
                    CsvRow(input.units.unique),
                    {}};
  for (const UnitRow& row : input.units.rows) {
    StoredBatch::Row stored{
        static_cast<std::int64_t>(row.number), CsvRow(row.values), RecordSha(row.record), {}};
    for (const std::string& key : input.units.unique) {
      stored.unique.emplace_back(key, KeyValueHex(row.record, key));
    }
    batch.rows.push_back(std::move(stored));
  }
  return batch;
}

int LoadBatch(BatchStore& store, const std::string& name, WriteInput* input, std::string* error) {
  DbError dbError;
  StoredBatch batch;
  bool found = false;
  if (!store.LoadBatch(name, &batch, &found, &dbError)) {
    *error = "cannot read " + BatchName(name) + ": " + dbError.message;
    return kExitUnit;
  }
  if (!found) {
    *error = "there is no " + BatchName(name) + " in this database";
    return kExitUsage;
  }
  for (std::size_t i = 0; i < batch.rows.size(); ++i) {
    if (batch.rows[i].number != static_cast<std::int64_t>(i + 1)) {
      *error = BatchName(name) + " is damaged at row " + std::to_string(i + 1);
      return kExitUsage;
    }
  }
  return RebuildBatch(batch, input, error);
}

int RebuildBatch(const StoredBatch& batch, WriteInput* input, std::string* error) {
  const std::string& name = batch.name;
  std::vector<std::string> sets;
  CsvTable csv;
  csv.rows.emplace_back();
  std::vector<std::string> unique;
  if (!CsvFields(batch.sets, &sets, error) || !CsvFields(batch.columns, &csv.rows[0], error) ||
      !CsvFields(batch.uniqueKeys, &unique, error)) {
    *error = BatchName(name) + " is damaged: " + *error;
    return kExitUsage;
  }
  std::vector<Override> overrides;
  for (const std::string& set : sets) {
    Override override{};
    if (!ParseOverride(set, &override, error)) {
      return kExitUsage;
    }
    overrides.push_back(override);
  }
  std::string profile;
  if (!FromHex(batch.profile, &profile)) {
    *error = BatchName(name) + " is damaged: its profile cannot be read";
    return kExitUsage;
  }
  if (!LoadProfileText(BatchName(name), profile, overrides, &input->base, error)) {
    return kExitUsage;
  }
  csv.lines.push_back(1);
  for (std::size_t i = 0; i < batch.rows.size(); ++i) {
    std::vector<std::string> cells;
    if (!CsvFields(batch.rows[i].cells, &cells, error)) {
      *error = BatchName(name) + " is damaged at row " + std::to_string(batch.rows[i].number);
      return kExitUsage;
    }
    csv.rows.push_back(cells);
    csv.lines.push_back(i + 2);
  }
  if (!BuildUnits(BatchName(name), csv, input->base, unique, &input->units, error)) {
    return kExitUsage;
  }
  input->hasUnits = true;
  for (std::size_t i = 0; i < batch.rows.size(); ++i) {
    if (RecordSha(input->units.rows[i].record) != batch.rows[i].sha) {
      *error = BatchName(name) + " row " + std::to_string(batch.rows[i].number) +
               ": this dtucfg would write another record than the one the batch was made "
               "with; use the dtucfg version that made it";
      return kExitUsage;
    }
  }
  return kExitOk;
}
