// STAND-IN until the lead's reporting views land: removed before the branch is done.
#include <algorithm>

#include "cli/platform.h"
#include "line/batch_store.h"
#include "line/view_json.h"

bool BatchStore::ReadView(const std::vector<std::string>& names, LineView* view, DbError* error) {
  *view = LineView();
  std::vector<std::string> batches = names;
  if (batches.empty()) {
    DbResult open;
    if (!Exec("SELECT DISTINCT batch FROM dtucfg_row WHERE state <> ? AND state <> ? ORDER BY batch",
              {std::string("done"), std::string("void")}, &open, error)) {
      return false;
    }
    for (const DbRow& row : open.rows) {
      batches.push_back(row[0].value_or(""));
    }
  }
  view->readAt = platform::IsoLocalTime();
  for (const std::string& name : batches) {
    BatchProgress progress;
    progress.batch = name;
    if (!CountRows(name, &progress.states, error)) {
      return false;
    }
    for (const auto& [state, count] : progress.states) {
      progress.rows += count;
    }
    if (progress.rows == 0) {
      continue;
    }
    if (!CountRecentOk(name, 600, &progress.recentOk, error)) {
      return false;
    }
    progress.perHour = static_cast<double>(progress.recentOk) * 6;
    if (progress.recentOk > 0) {
      progress.secondsLeft = static_cast<std::int64_t>(
          static_cast<double>(progress.states[RowState::Free] + progress.states[RowState::Claimed]) *
          3600 / progress.perHour);
    }
    view->batches.push_back(progress);
    std::vector<StationCount> counts;
    std::vector<ReportRow> results;
    if (!CountResults(name, &counts, error) || !Results(name, &results, error)) {
      return false;
    }
    std::map<std::string, std::int64_t> causes;
    for (const ReportRow& r : results) {
      if (r.result != "ok") {
        ++causes[r.result];
      }
    }
    for (const auto& [cause, units] : causes) {
      view->causes.push_back({name, cause, units});
    }
    for (const StationCount& c : counts) {
      StationFigures f;
      f.batch = name;
      f.station = c.station;
      f.done = c.done;
      f.failed = c.failed;
      if (c.done + c.failed > 0) {
        f.firstPassYield = static_cast<double>(c.done) / static_cast<double>(c.done + c.failed);
      }
      for (const ReportRow& r : results) {
        if (r.station == c.station) {
          f.lastResult = r.result;
          f.lastAt = r.time;
        }
      }
      view->stations.push_back(f);
    }
    for (const RowState state : {RowState::Claimed, RowState::Held}) {
      std::vector<HeldRow> rows;
      if (!RowsIn(name, state, "", &rows, error)) {
        return false;
      }
      for (const HeldRow& h : rows) {
        view->open.push_back({name, h.row, state, h.station, h.port, h.since, 0, h.why});
      }
    }
  }
  std::stable_sort(view->causes.begin(), view->causes.end(),
                   [](const FailureCause& a, const FailureCause& b) { return a.units > b.units; });
  return true;
}

nlohmann::ordered_json BatchJson(const LineView& view, const BatchProgress& batch) {
  using Json = nlohmann::ordered_json;
  auto states = batch.states;
  Json json = {{"batch", batch.batch},
               {"rows", batch.rows},
               {"free", states[RowState::Free]},
               {"in_doubt", states[RowState::Claimed]},
               {"done", states[RowState::Done]},
               {"void", states[RowState::Void]},
               {"held", states[RowState::Held]},
               {"units_per_minute", static_cast<double>(batch.recentOk) / 10},
               {"units_per_hour", batch.perHour},
               {"seconds_left", batch.secondsLeft ? Json(*batch.secondsLeft) : Json(nullptr)}};
  Json stations = Json::array();
  for (const StationFigures& f : view.stations) {
    if (f.batch == batch.batch) {
      stations.push_back(
          {{"station", f.station},
           {"done", f.done},
           {"failed", f.failed},
           {"in_doubt", f.inDoubt},
           {"first_pass_yield", f.firstPassYield ? Json(*f.firstPassYield) : Json(nullptr)},
           {"last_result", f.lastResult.empty() ? Json(nullptr) : Json(f.lastResult)},
           {"last", f.lastAt.empty() ? Json(nullptr) : Json(f.lastAt)},
           {"silent_for", f.silentFor ? Json(*f.silentFor) : Json(nullptr)}});
    }
  }
  json["stations"] = stations;
  Json causes = Json::array();
  for (const FailureCause& c : view.causes) {
    if (c.batch == batch.batch) {
      causes.push_back({{"cause", c.cause}, {"units", c.units}});
    }
  }
  json["failures"] = causes;
  Json doubt = Json::array();
  Json held = Json::array();
  for (const OpenRow& r : view.open) {
    if (r.batch != batch.batch) {
      continue;
    }
    Json row = {{"row", r.row}, {"station", r.station}, {"port", r.port}, {"since", r.since},
                {"age", r.age}};
    if (r.state == RowState::Held) {
      row["why"] = r.why;
      held.push_back(row);
    } else {
      doubt.push_back(row);
    }
  }
  json["in_doubt_rows"] = doubt;
  json["held_rows"] = held;
  return json;
}
