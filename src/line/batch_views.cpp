// What batch status, batch serve and trace read: the reporting views only,
// so that a reporter's login is enough for each of them.
#include <algorithm>
#include <string>
#include <vector>

#include "line/batch_store.h"

namespace {

std::optional<std::int64_t> MaybeNumber(const std::optional<std::string>& cell) {
  return cell ? std::optional<std::int64_t>(std::stoll(*cell)) : std::nullopt;
}

// " WHERE batch IN (?, ?)" for names.
std::string Which(const std::vector<std::string>& names, std::vector<DbValue>* params) {
  std::string which = " WHERE batch IN (";
  for (std::size_t i = 0; i < names.size(); ++i) {
    which += i == 0 ? "?" : ", ?";
    params->emplace_back(names[i]);
  }
  return which + ")";
}

}  // namespace

bool BatchStore::ReadView(const std::vector<std::string>& names, LineView* view, DbError* error) {
  const auto time = [this](const char* column) { return dialect_->timeText(column); };
  std::vector<DbValue> params;
  // Without names, the batches with rows still to give out or to settle.
  const std::string which =
      names.empty() ? " WHERE rows_free + rows_in_doubt + rows_held > 0" : Which(names, &params);
  DbResult now;
  DbResult progress;
  DbResult stations;
  DbResult causes;
  DbResult open;
  // One snapshot, so that every figure is of the same moment.
  if (!db_.BeginSnapshot(error)) {
    return false;
  }
  bool read =
      Exec("SELECT " + time("CURRENT_TIMESTAMP") + " FROM dtucfg_version", {}, &now, error) &&
      Exec("SELECT batch, " + time("created_at") +
               ", rows_total, rows_free, rows_in_doubt, rows_being_written, rows_done, rows_void, "
               "rows_held, units_last_10_minutes, units_per_hour, seconds_left FROM "
               "dtucfg_batch_progress" +
               which + " ORDER BY created_at, batch",
           params, &progress, error);
  std::vector<std::string> found;
  for (const DbRow& row : progress.rows) {
    found.push_back(row[0].value_or(""));
  }
  if (read && !found.empty()) {
    params.clear();
    const std::string batches = Which(found, &params);
    read = Exec("SELECT batch, station, done, failed, first_pass_yield, in_doubt, last_result, " +
                    time("last_at") + ", silent_seconds FROM dtucfg_station_figures" + batches +
                    " ORDER BY batch, station",
                params, &stations, error) &&
           Exec("SELECT batch, cause, units FROM dtucfg_failures" + batches +
                    " ORDER BY batch, units DESC, cause",
                params, &causes, error) &&
           Exec("SELECT batch, row_no, state, station, port, " + time("since") +
                    ", age_seconds, last_result, CASE WHEN being_written THEN 1 ELSE 0 END FROM "
                    "dtucfg_open_rows" +
                    batches + " ORDER BY batch, since, row_no",
                params, &open, error);
  }
  if (!read) {
    return Abandon();
  }
  if (!db_.Commit(error)) {
    return false;
  }
  *view = LineView();
  view->readAt = now.rows.empty() ? "" : dialect_->isoTime(now.rows[0][0].value_or(""));
  for (const DbRow& row : progress.rows) {
    BatchProgress batch;
    batch.batch = row[0].value_or("");
    batch.createdAt = dialect_->isoTime(row[1].value_or(""));
    batch.rows = Number(row[2]);
    batch.states[RowState::Free] = Number(row[3]);
    batch.states[RowState::Claimed] = Number(row[4]);
    batch.beingWritten = Number(row[5]);
    batch.states[RowState::Done] = Number(row[6]);
    batch.states[RowState::Void] = Number(row[7]);
    batch.states[RowState::Held] = Number(row[8]);
    batch.recentOk = Number(row[9]);
    batch.perHour = static_cast<double>(Number(row[10]));
    batch.secondsLeft = MaybeNumber(row[11]);
    view->batches.push_back(batch);
  }
  for (const DbRow& row : stations.rows) {
    StationFigures station;
    station.batch = row[0].value_or("");
    station.station = row[1].value_or("");
    station.done = Number(row[2]);
    station.failed = Number(row[3]);
    if (row[4]) {
      station.firstPassYield = std::stod(*row[4]);
    }
    station.inDoubt = Number(row[5]);
    station.lastResult = row[6].value_or("");
    station.lastAt = row[7] ? dialect_->isoTime(*row[7]) : "";
    station.silentFor = MaybeNumber(row[8]);
    view->stations.push_back(station);
  }
  for (const DbRow& row : causes.rows) {
    view->causes.push_back({row[0].value_or(""), row[1].value_or(""), Number(row[2])});
  }
  std::stable_sort(view->causes.begin(), view->causes.end(),
                   [](const FailureCause& a, const FailureCause& b) { return a.units > b.units; });
  for (const DbRow& row : open.rows) {
    OpenRow held;
    held.batch = row[0].value_or("");
    held.row = Number(row[1]);
    ParseRowState(row[2].value_or(""), &held.state);
    held.station = row[3].value_or("");
    held.port = row[4].value_or("");
    held.since = row[5] ? dialect_->isoTime(*row[5]) : "";
    held.age = Number(row[6]);
    held.why = row[7].value_or("");
    held.beingWritten = row[8].value_or("") == "1";
    view->open.push_back(held);
  }
  return true;
}

bool BatchStore::FindUnit(const std::string& key, const std::string& valueHex, bool* found,
                          UnitOrigin* origin, DbError* error) {
  DbResult result;
  if (!Exec("SELECT batch, row_no, state, cells, columns, profile, sets, unique_keys, "
            "record_sha256, station, port, " +
                dialect_->timeText("at") +
                ", result FROM dtucfg_unit_origin WHERE key_name = ? AND value_hex = ?",
            {key, valueHex}, &result, error)) {
    return false;
  }
  *found = !result.rows.empty();
  if (!*found) {
    return true;
  }
  const DbRow& row = result.rows[0];
  *origin = UnitOrigin();
  origin->batch = row[0].value_or("");
  origin->row = Number(row[1]);
  ParseRowState(row[2].value_or(""), &origin->state);
  origin->cells = row[3].value_or("");
  origin->columns = row[4].value_or("");
  origin->profile = row[5].value_or("");
  origin->sets = row[6].value_or("");
  origin->uniqueKeys = row[7].value_or("");
  origin->sha = row[8].value_or("");
  origin->station = row[9].value_or("");
  origin->port = row[10].value_or("");
  origin->at = row[11] ? dialect_->isoTime(*row[11]) : "";
  origin->result = row[12].value_or("");
  return true;
}
