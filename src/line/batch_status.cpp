// dtucfg batch status: what became of a batch's rows, per station, and the
// rows in doubt; as text or JSON.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/render.h"
#include "line/batch_store.h"
#include "line/batch_text.h"
#include "line/commands.h"
#include "line/db_connect.h"
#include "line/view_json.h"

namespace {

BatchTarget target;

void AddOptions(CLI::App& action, Options& options) {
  AddBatchTarget(action, &target);
  action.add_flag("--json", options.json, "As JSON");
}

std::string Count(const BatchProgress& batch, RowState state) {
  const auto count = batch.states.find(state);
  return std::to_string(count == batch.states.end() ? 0 : count->second);
}

// "about 2 h 05 min left", at the last 10 minutes' rate.
std::string TimeLeft(std::int64_t seconds) {
  const std::int64_t minutes = (seconds + 59) / 60;
  char text[48];
  if (minutes >= 60) {
    std::snprintf(text, sizeof text, "about %lld h %02lld min left",
                  static_cast<long long>(minutes / 60), static_cast<long long>(minutes % 60));
  } else {
    std::snprintf(text, sizeof text, "about %lld min left", static_cast<long long>(minutes));
  }
  return text;
}

std::string Text(const LineView& view, const BatchProgress& batch) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.1f", static_cast<double>(batch.recentOk) / 10.0);
  std::string text = BatchName(batch.batch) + ": " + std::to_string(batch.rows) + " rows";
  for (const RowState state : kRowStates) {
    text += (state == RowState::Free ? ": " : ", ") + Count(batch, state) + " " +
            (state == RowState::Claimed ? "in doubt" : RowStateName(state));
  }
  text += std::string("; ") + rate + " units per minute over the last 10 minutes";
  if (batch.secondsLeft && *batch.secondsLeft > 0) {
    text += "; " + TimeLeft(*batch.secondsLeft);
  }
  text += "\n";
  for (const StationFigures& station : view.stations) {
    if (station.batch != batch.batch) {
      continue;
    }
    text += "station " + station.station + ": " + std::to_string(station.done) + " done, " +
            std::to_string(station.failed) + " failed, ";
    if (station.firstPassYield) {
      char yield[32];
      std::snprintf(yield, sizeof yield, "%.0f%% first pass, ", *station.firstPassYield * 100);
      text += yield;
    }
    text +=
        std::to_string(station.inDoubt) + " in doubt" +
        (station.lastAt.empty() ? "" : "; last " + station.lastResult + " at " + station.lastAt) +
        "\n";
  }
  std::string failures;
  for (const FailureCause& cause : view.causes) {
    if (cause.batch == batch.batch) {
      failures += (failures.empty() ? "failures: " : ", ") + std::to_string(cause.units) + " " +
                  cause.cause;
    }
  }
  text += failures.empty() ? "" : failures + "\n";
  for (const OpenRow& row : view.open) {
    if (row.batch != batch.batch) {
      continue;
    }
    const bool held = row.state == RowState::Held;
    text += "row " + std::to_string(row.row) + (held ? " is held" : " is in doubt") + ": station " +
            row.station + ", port " + row.port + ", since " + row.since +
            (held && !row.why.empty() ? " (" + row.why + ")" : "") + "\n";
  }
  return text;
}

int Run(const Options& options) {
  BatchStore store;
  int code = OpenBatchStore(target, false, &store);
  if (code != kExitOk) {
    return code;
  }
  DbError error;
  LineView view;
  if (!store.ReadView({target.name}, &view, &error)) {
    TellDbError("cannot read the batch", error);
    return kExitUnit;
  }
  if (view.batches.empty()) {
    Error("there is no " + BatchName(target.name) + " in this database");
    return kExitUsage;
  }
  const BatchProgress& batch = view.batches[0];
  Result(options.json ? DumpJson(BatchJson(view, batch)) : Text(view, batch));
  return kExitOk;
}

}  // namespace

const CliCommand kBatchStatus = {"status", "What became of a batch's rows, per station", AddOptions,
                                 Run};
