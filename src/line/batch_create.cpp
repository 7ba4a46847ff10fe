// dtucfg batch create: stores a batch, a profile and one row per unit, for
// the stations to share. Its unique values are held by the database itself,
// against every batch there.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <string>

#include "cli/cli.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "cli/units.h"
#include "line/batch_store.h"
#include "line/batch_text.h"
#include "line/commands.h"
#include "line/db_connect.h"
#include "line/utf16.h"

namespace {

BatchTarget target;

void AddOptions(CLI::App& action, Options& options) {
  AddBatchTarget(action, &target);
  action.add_option("PROFILE", options.file, "The profile (a settings file)")->required();
  action.add_option("--units", options.units, "The rows: a CSV of settings keys, one row per unit")
      ->type_name("FILE.csv")
      ->required();
  action
      .add_option("--unique", options.uniques,
                  "This key's values must differ from every batch's that named it (repeatable; "
                  "ID always)")
      ->type_name("KEY")
      ->allow_extra_args(false);
  AddSetOption(action, options);
}

// What the database keeps is UTF-8 text.
bool CheckText(const Options& options, const StoredBatch& batch) {
  for (const StoredBatch::Row& row : batch.rows) {
    if (!IsUtf8(row.cells)) {
      Error(options.units + " row " + std::to_string(row.number) +
            ": not UTF-8 text, which the database keeps; save the CSV as UTF-8; nothing was "
            "stored");
      return false;
    }
  }
  return true;
}

int Store(BatchStore& store, const Options& options, const StoredBatch& batch) {
  DbError error;
  BatchStore::Clash clash;
  switch (store.StoreBatch(batch, &clash, &error)) {
    case BatchStore::Stored::Ok:
      return kExitOk;
    case BatchStore::Stored::NameTaken:
      Error(BatchName(batch.name) +
            " exists already; give the new one another name; nothing was stored");
      return kExitUsage;
    case BatchStore::Stored::Clash:
      Error(options.units + " row " + std::to_string(clash.row) + ": " + clash.key +
            " must be unique, and " +
            (clash.batch.empty()
                 ? "another batch has it"
                 : "row " + clash.batchRow + " of " + BatchName(clash.batch) + " has it already") +
            "; nothing was stored");
      return kExitUsage;
    case BatchStore::Stored::Failed:
      break;
  }
  TellDbError("cannot store " + BatchName(batch.name), error);
  return kExitUnit;
}

int Run(const Options& options) {
  WriteInput input;
  int code = LoadWriteInput(options, &input);
  if (code != kExitOk) {
    return code;
  }
  if (input.units.hasPort) {
    Error(options.units +
          ": a batch's rows go to whichever station claims them, so it has no \"port\" column");
    return kExitUsage;
  }
  // Without it every unit would get the profile's one ID, and the database
  // would have no value to hold unique.
  if (std::find(input.units.unique.begin(), input.units.unique.end(), "ID") ==
      input.units.unique.end()) {
    Error(options.units +
          ": a batch gives each unit an ID of its own, so it needs an \"ID\" "
          "column; nothing was stored");
    return kExitUsage;
  }
  std::string profile;
  std::string error;
  if (!ReadWholeFile(options.file, &profile, &error)) {
    Error(error);
    return kExitUsage;
  }
  const StoredBatch batch = NewBatch(target.name, profile, options.sets, input);
  if (!CheckText(options, batch)) {
    return kExitUsage;
  }
  BatchStore store;
  code = OpenBatchStore(target, true, &store);
  if (code == kExitOk) {
    code = Store(store, options, batch);
  }
  if (code == kExitOk) {
    Result(BatchName(target.name) + ": " + std::to_string(batch.rows.size()) +
           (batch.rows.size() == 1 ? " row stored\n" : " rows stored\n"));
  }
  return code;
}

}  // namespace

const CliCommand kBatchCreate = {"create", "Store a batch: a profile and one row per unit",
                                 AddOptions, Run};
