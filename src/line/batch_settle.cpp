// dtucfg batch release and void: a supervisor settles a row left in doubt or
// held,
// on the record with who and when.
#include <CLI/CLI.hpp>

#include <string>

#include "cli/cli.h"
#include "cli/options.h"
#include "cli/output.h"
#include "line/batch_store.h"
#include "line/batch_text.h"
#include "line/commands.h"
#include "line/db_connect.h"

namespace {

struct Target {
  BatchTarget batch;
  int row = 0;
} release, never;

void AddOptions(CLI::App& action, Target* target) {
  AddBatchTarget(action, &target->batch);
  action.add_option("--row", target->row, "The row's number")
      ->required()
      ->check(CLI::PositiveNumber);
}

int Settle(const Target& target, Settlement how) {
  BatchStore store;
  const int code = OpenBatchStore(target.batch, false, &store);
  if (code != kExitOk) {
    return code;
  }
  const std::string where = BatchName(target.batch.name) + " row " + std::to_string(target.row);
  DbError error;
  bool found = false;
  HeldRow holder;
  RowState state{};
  if (!store.RowHolder(target.batch.name, target.row, &found, &holder, &state, &error)) {
    TellDbError("cannot read the batch", error);
    return kExitUnit;
  }
  if (!found) {
    Error("there is no " + where);
    return kExitUsage;
  }
  const bool release = how == Settlement::Release;
  const bool held = state == RowState::Claimed || state == RowState::Held;
  if (release ? !held : !held && state != RowState::Free) {
    Error(where + " is " + (state == RowState::Claimed ? "in doubt" : RowStateName(state)) + "; " +
          (release ? "only a row in doubt or held is released"
                   : "a row written or void stays as it is"));
    return kExitUsage;
  }
  // The server settles it only as it was read here, and never while its
  // station may be writing it; when it cannot tell, nothing is settled.
  BatchStore::Settled settled = BatchStore::Settled::Changed;
  if (!store.Settle(target.batch.name, holder, state, how, &settled, &error)) {
    TellDbError("cannot settle " + where + ", so nothing was settled", error);
    return kExitUnit;
  }
  switch (settled) {
    case BatchStore::Settled::Settled:
      break;
    case BatchStore::Settled::Running:
      Error(where + " is being written by station " + holder.station +
            ", which is running; settle it once that station has stopped");
      return kExitUsage;
    default:
      Error(where + " changed meanwhile; look at \"dtucfg batch status\" again");
      return kExitUsage;
  }
  Result(where +
         (release ? " released: it goes to the next unit\n" : " void: it is never given out\n"));
  return kExitOk;
}

}  // namespace

const CliCommand kBatchRelease = {
    "release", "Give a row in doubt or held back: no unit holds it",
    [](CLI::App& action, Options&) { AddOptions(action, &release); },
    [](const Options&) { return Settle(release, Settlement::Release); }};
const CliCommand kBatchVoid = {"void", "Never give a row out",
                               [](CLI::App& action, Options&) { AddOptions(action, &never); },
                               [](const Options&) { return Settle(never, Settlement::Void); }};
