// dtucfg batch status: what became of a batch's rows, per station, and the
// rows in doubt; as text or JSON.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
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

namespace {

BatchTarget target;
// The rate is counted over this long.
constexpr int kRateSeconds = 600;

void AddOptions(CLI::App& action, Options& options) {
  AddBatchTarget(action, &target);
  action.add_flag("--json", options.json, "As JSON");
}

struct Status {
  std::map<RowState, std::int64_t> rows;
  std::vector<HeldRow> doubt;
  std::vector<HeldRow> held;                    // by faulty units that carry their IDs
  std::vector<StationCount> stations;           // with those that only hold rows in doubt
  std::map<std::string, std::int64_t> doubtBy;  // rows in doubt per station
  std::int64_t recent = 0;

  std::int64_t Rows() const {
    std::int64_t total = 0;
    for (const auto& [state, count] : rows) {
      total += count;
    }
    return total;
  }
  double PerMinute() const { return static_cast<double>(recent) * 60.0 / kRateSeconds; }
};

// false once told.
bool Read(BatchStore& store, const std::string& name, Status* status) {
  DbError error;
  if (!store.CountRows(name, &status->rows, &error) ||
      !store.RowsIn(name, RowState::Claimed, "", &status->doubt, &error) ||
      !store.RowsIn(name, RowState::Held, "", &status->held, &error) ||
      !store.CountResults(name, &status->stations, &error) ||
      !store.CountRecentOk(name, kRateSeconds, &status->recent, &error)) {
    TellDbError("cannot read the batch", error);
    return false;
  }
  for (const HeldRow& row : status->doubt) {
    ++status->doubtBy[row.station];
  }
  for (const auto& entry : status->doubtBy) {
    const std::string& station = entry.first;
    const bool listed = std::any_of(status->stations.begin(), status->stations.end(),
                                    [&](const StationCount& s) { return s.station == station; });
    if (!listed) {
      status->stations.push_back({station, 0, 0, ""});
    }
  }
  return true;
}

nlohmann::ordered_json Json(const std::string& name, Status& status) {
  const char* const done = RowStateName(RowState::Done);
  nlohmann::ordered_json doubtRows = nlohmann::ordered_json::array();
  for (const HeldRow& row : status.doubt) {
    doubtRows.push_back(
        {{"row", row.row}, {"station", row.station}, {"port", row.port}, {"since", row.since}});
  }
  nlohmann::ordered_json heldRows = nlohmann::ordered_json::array();
  for (const HeldRow& row : status.held) {
    heldRows.push_back({{"row", row.row},
                        {"station", row.station},
                        {"port", row.port},
                        {"since", row.since},
                        {"why", row.why}});
  }
  nlohmann::ordered_json perStation = nlohmann::ordered_json::array();
  for (const StationCount& station : status.stations) {
    perStation.push_back({{"station", station.station},
                          {done, station.done},
                          {"failed", station.failed},
                          {"in_doubt", status.doubtBy[station.station]},
                          {"last", station.last.empty() ? nlohmann::ordered_json(nullptr)
                                                        : nlohmann::ordered_json(station.last)}});
  }
  nlohmann::ordered_json json = {{"batch", name}, {"rows", status.Rows()}};
  for (const RowState state : kRowStates) {
    json[state == RowState::Claimed ? "in_doubt" : RowStateName(state)] = status.rows[state];
  }
  json["stations"] = perStation;
  json["in_doubt_rows"] = doubtRows;
  json["held_rows"] = heldRows;
  json["units_per_minute"] = status.PerMinute();
  return json;
}

std::string Text(const std::string& name, Status& status) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.1f", status.PerMinute());
  std::string text = BatchName(name) + ": " + std::to_string(status.Rows()) + " rows";
  for (const RowState state : kRowStates) {
    text += (state == RowState::Free ? ": " : ", ") + std::to_string(status.rows[state]) + " " +
            (state == RowState::Claimed ? "in doubt" : RowStateName(state));
  }
  text += std::string("; ") + rate + " units per minute over the last 10 minutes\n";
  for (const StationCount& station : status.stations) {
    text += "station " + station.station + ": " + std::to_string(station.done) + " done, " +
            std::to_string(station.failed) + " failed, " +
            std::to_string(status.doubtBy[station.station]) + " in doubt" +
            (station.last.empty() ? "" : "; last " + station.last) + "\n";
  }
  for (const HeldRow& row : status.doubt) {
    text += "row " + std::to_string(row.row) + " is in doubt: station " + row.station + ", port " +
            row.port + ", since " + row.since + "\n";
  }
  return text;
}

int Run(const Options& options) {
  BatchStore store;
  std::string columns;
  const int code = OpenBatch(target, &store, &columns);
  if (code != kExitOk) {
    return code;
  }
  Status status;
  if (!Read(store, target.name, &status)) {
    return kExitUnit;
  }
  Result(options.json ? DumpJson(Json(target.name, status)) : Text(target.name, status));
  return kExitOk;
}

}  // namespace

const CliCommand kBatchStatus = {"status", "What became of a batch's rows, per station", AddOptions,
                                 Run};
