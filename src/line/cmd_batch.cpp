// dtucfg batch: the rows a line shares between its stations, kept in a
// database. Its actions are a table of their own, one file each.
#include <CLI/CLI.hpp>

#include <iterator>

#include "cli/cli.h"
#include "cli/output.h"
#include "line/batch_store.h"
#include "line/batch_text.h"
#include "line/commands.h"
#include "line/db_connect.h"

namespace {

const CliCommand* const kActions[] = {&kBatchCreate,  &kBatchStatus, &kBatchReport,
                                      &kBatchRelease, &kBatchVoid,   &kBatchServe};
CLI::App* parsed[std::size(kActions)];

void AddOptions(CLI::App& command, Options& options) {
  command.require_subcommand(1);
  for (std::size_t i = 0; i < std::size(kActions); ++i) {
    parsed[i] = command.add_subcommand(kActions[i]->name, kActions[i]->help);
    kActions[i]->addOptions(*parsed[i], options);
  }
}

int Run(const Options& options) {
  std::size_t chosen = 0;
  while (chosen + 1 < std::size(kActions) && !*parsed[chosen]) {
    ++chosen;
  }
  return kActions[chosen]->run(options);
}

}  // namespace

void AddBatchTarget(CLI::App& action, BatchTarget* target) {
  action.add_option("NAME", target->name, "The batch's name")->required();
  AddDbOption(action, &target->db);
  AddDbTimeoutOption(action, &target->dbTimeout);
}

int OpenBatchStore(const BatchTarget& target, bool create, BatchStore* store) {
  std::string connection;
  int code = DbConnectionString(target.db, &connection);
  if (code == kExitOk) {
    code = ConnectStore(connection, Limits(target.dbTimeout), store);
  }
  return code == kExitOk ? UseSchema(*store, create) : code;
}

int OpenBatch(const BatchTarget& target, BatchStore* store, std::string* columns) {
  const int code = OpenBatchStore(target, false, store);
  if (code != kExitOk) {
    return code;
  }
  const std::string& name = target.name;
  DbError error;
  std::optional<std::string> stored;
  if (!store->BatchColumns(name, &stored, &error)) {
    TellDbError("cannot read the batch", error);
    return kExitUnit;
  }
  if (!stored) {
    Error("there is no " + BatchName(name) + " in this database");
    return kExitUsage;
  }
  *columns = *stored;
  return kExitOk;
}

const CliCommand kBatchCommand = {
    "batch", "A production line's rows in a database, shared by stations", AddOptions, Run};
