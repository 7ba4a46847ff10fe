#include "line/view_json.h"

#include "cli/render.h"

namespace {

using Json = nlohmann::ordered_json;

Json OpenRowJson(const OpenRow& row) {
  Json json = {{"row", row.row},
               {"station", row.station},
               {"port", row.port},
               {"since", row.since},
               {"age_seconds", row.age}};
  if (row.state == RowState::Held) {
    json["why"] = row.why;
  } else {
    json["being_written"] = row.beingWritten;
  }
  return json;
}

}  // namespace

Json BatchJson(const LineView& view, const BatchProgress& batch) {
  Json json = {{"batch", batch.batch}, {"rows", batch.rows}};
  for (const RowState state : kRowStates) {
    const auto count = batch.states.find(state);
    json[state == RowState::Claimed ? "in_doubt" : RowStateName(state)] =
        count == batch.states.end() ? 0 : count->second;
  }
  json["being_written"] = batch.beingWritten;
  Json stations = Json::array();
  for (const StationFigures& station : view.stations) {
    if (station.batch != batch.batch) {
      continue;
    }
    stations.push_back({{"station", station.station},
                        {RowStateName(RowState::Done), station.done},
                        {"failed", station.failed},
                        {"in_doubt", station.inDoubt},
                        {"last", JsonOrNull(station.lastAt)},
                        {"last_result", JsonOrNull(station.lastResult)},
                        {"first_pass_yield", JsonOrNull(station.firstPassYield)},
                        {"silent_seconds", JsonOrNull(station.silentFor)}});
  }
  Json doubt = Json::array();
  Json held = Json::array();
  for (const OpenRow& row : view.open) {
    if (row.batch == batch.batch) {
      (row.state == RowState::Held ? held : doubt).push_back(OpenRowJson(row));
    }
  }
  Json causes = Json::array();
  for (const FailureCause& cause : view.causes) {
    if (cause.batch == batch.batch) {
      causes.push_back({{"cause", cause.cause}, {"units", cause.units}});
    }
  }
  json["stations"] = stations;
  json["in_doubt_rows"] = doubt;
  json["held_rows"] = held;
  json["failures"] = causes;
  json["units_last_10_minutes"] = batch.recentOk;
  json["units_per_minute"] = static_cast<double>(batch.recentOk) / 10.0;
  json["units_per_hour"] = batch.perHour;
  json["seconds_left"] = JsonOrNull(batch.secondsLeft);
  json["created"] = batch.createdAt;
  json["read_at"] = view.readAt;
  return json;
}
