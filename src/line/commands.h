// The production line's commands, for dtucfg's table: line, and batch with
// its own table of actions.
#ifndef DTU_LINE_COMMANDS_H
#define DTU_LINE_COMMANDS_H

#include <string>

#include "cli/options.h"

class BatchStore;

extern const CliCommand kLineCommand;
extern const CliCommand kBatchCommand;
extern const CliCommand kTraceCommand;

// batch's actions, each in its file.
extern const CliCommand kBatchCreate;
extern const CliCommand kBatchStatus;
extern const CliCommand kBatchReport;
extern const CliCommand kBatchRelease;
extern const CliCommand kBatchVoid;

// What every action takes: the batch's NAME, --db and --db-timeout.
struct BatchTarget {
  std::string name;
  std::string db;
  double dbTimeout = 10;
};
void AddBatchTarget(CLI::App& action, BatchTarget* target);
// The database of --db or DTUCFG_DB, its tables ready (made when create says
// so). kExitOk, or the exit code once told.
int OpenBatchStore(const BatchTarget& target, bool create, BatchStore* store);
// The store as OpenBatchStore opens it, and the batch's units CSV header
// (one CSV row). kExitOk, or the exit code once told (no such batch:
// kExitUsage).
int OpenBatch(const BatchTarget& target, BatchStore* store, std::string* columns);

#endif
