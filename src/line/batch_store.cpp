#include "line/batch_store.h"

namespace {

DbValue Word(RowState state) { return std::string(RowStateName(state)); }
DbValue Word(UnitResult result) { return std::string(ResultName(result)); }
std::int64_t Number(const std::optional<std::string>& cell) { return cell ? std::stoll(*cell) : 0; }

}  // namespace

bool BatchStore::Connect(const std::string& connection, DbError* error) {
  if (!db_.Connect(connection, error)) {
    return false;
  }
  const std::string server = db_.ServerName();
  dialect_ = FindDialect(server);
  if (dialect_ == nullptr) {
    db_.Disconnect();
    dialect_ = &kPostgres;
    *error = DbError();
    error->message = "the database is " +
                     (server.empty() ? "a server that gives no name" : server) +
                     "; dtucfg's line knows " + KnownServers() + " only";
    return false;
  }
  return true;
}

bool BatchStore::Exec(const std::string& sql, const std::vector<DbValue>& params, DbResult* result,
                      DbError* error) {
  return db_.Exec(sql, params, result, error);
}

bool BatchStore::Count(const std::string& sql, const std::vector<DbValue>& params,
                       std::int64_t* count, DbError* error) {
  DbResult result;
  if (!Exec(sql, params, &result, error)) {
    return false;
  }
  *count = result.rows.empty() ? 0 : Number(result.rows[0].at(0));
  return true;
}

// Ends a transaction that failed; its first error stays the one told.
bool BatchStore::Abandon() {
  DbError ignored;
  db_.Rollback(&ignored);
  return false;
}

BatchStore::Stored BatchStore::StoreBatch(const StoredBatch& batch, Clash* clash, DbError* error) {
  if (!db_.Begin(error)) {
    return Stored::Failed;
  }
  if (!Exec("INSERT INTO dtucfg_batch (name, profile, sets, columns, unique_keys) VALUES (?, ?, "
            "?, ?, ?)",
            {batch.name, batch.profile, batch.sets, batch.columns, batch.uniqueKeys}, nullptr,
            error)) {
    Abandon();
    return Fault(*error) == DbFault::Duplicate ? Stored::NameTaken : Stored::Failed;
  }
  for (const StoredBatch::Row& row : batch.rows) {
    if (!Exec("INSERT INTO dtucfg_row (batch, row_no, cells, record_sha256, state) VALUES (?, ?, "
              "?, ?, ?)",
              {batch.name, row.number, row.cells, row.sha, Word(RowState::Free)}, nullptr, error)) {
      Abandon();
      return Stored::Failed;
    }
    for (const auto& [key, hex] : row.unique) {
      if (Exec("INSERT INTO dtucfg_unique (key_name, value_hex, batch, row_no) VALUES (?, ?, ?, "
               "?)",
               {key, hex, batch.name, row.number}, nullptr, error)) {
        continue;
      }
      Abandon();
      if (Fault(*error) != DbFault::Duplicate) {
        return Stored::Failed;
      }
      *clash = Clash{row.number, key, "", ""};
      DbResult owner;
      DbError ignored;
      if (Exec("SELECT batch, row_no FROM dtucfg_unique WHERE key_name = ? AND value_hex = ?",
               {key, hex}, &owner, &ignored) &&
          !owner.rows.empty()) {
        clash->batch = owner.rows[0][0].value_or("");
        clash->batchRow = owner.rows[0][1].value_or("");
      }
      return Stored::Clash;
    }
  }
  if (!db_.Commit(error)) {
    Abandon();
    return Stored::Failed;
  }
  return Stored::Ok;
}

bool BatchStore::LoadBatch(const std::string& name, StoredBatch* batch, bool* found,
                           DbError* error) {
  DbResult head;
  DbResult rows;
  if (!Exec("SELECT profile, sets, columns, unique_keys FROM dtucfg_batch WHERE name = ?", {name},
            &head, error)) {
    return false;
  }
  *found = !head.rows.empty();
  if (!*found) {
    return true;
  }
  if (!Exec("SELECT row_no, cells, record_sha256 FROM dtucfg_row WHERE batch = ? ORDER BY row_no",
            {name}, &rows, error)) {
    return false;
  }
  const DbRow& stored = head.rows[0];
  *batch = StoredBatch{name,
                       stored[0].value_or(""),
                       stored[1].value_or(""),
                       stored[2].value_or(""),
                       stored[3].value_or(""),
                       {}};
  for (const DbRow& row : rows.rows) {
    batch->rows.push_back({Number(row[0]), row[1].value_or(""), row[2].value_or(""), {}});
  }
  return true;
}

bool BatchStore::BatchColumns(const std::string& name, std::optional<std::string>* columns,
                              DbError* error) {
  DbResult found;
  if (!Exec("SELECT columns FROM dtucfg_batch WHERE name = ?", {name}, &found, error)) {
    return false;
  }
  *columns =
      found.rows.empty() ? std::nullopt : std::optional<std::string>(found.rows[0][0].value_or(""));
  return true;
}

bool BatchStore::CountRows(const std::string& batch, std::map<RowState, std::int64_t>* counts,
                           DbError* error) {
  DbResult states;
  if (!Exec("SELECT state, COUNT(*) FROM dtucfg_row WHERE batch = ? GROUP BY state", {batch},
            &states, error)) {
    return false;
  }
  counts->clear();
  for (const DbRow& row : states.rows) {
    RowState state{};
    if (ParseRowState(row[0].value_or(""), &state)) {
      (*counts)[state] += Number(row[1]);
    }
  }
  return true;
}

bool BatchStore::ClaimedRows(const std::string& batch, const std::string& station,
                             std::vector<HeldRow>* rows, DbError* error) {
  DbResult held;
  const std::string select = "SELECT row_no, station, port, " + dialect_->timeText("claimed_at") +
                             " FROM dtucfg_row WHERE batch = ? AND state = ?";
  const bool done = station.empty() ? Exec(select + " ORDER BY row_no",
                                           {batch, Word(RowState::Claimed)}, &held, error)
                                    : Exec(select + " AND station = ? ORDER BY row_no",
                                           {batch, Word(RowState::Claimed), station}, &held, error);
  if (!done) {
    return false;
  }
  rows->clear();
  for (const DbRow& row : held.rows) {
    rows->push_back({Number(row[0]), row[1].value_or(""), row[2].value_or(""),
                     dialect_->isoTime(row[3].value_or(""))});
  }
  return true;
}

bool BatchStore::CountResults(const std::string& batch, std::vector<StationCount>* stations,
                              DbError* error) {
  DbResult counted;
  if (!Exec("SELECT station, SUM(CASE WHEN result = ? THEN 1 ELSE 0 END), SUM(CASE WHEN result "
            "= ? THEN 0 ELSE 1 END), " +
                dialect_->timeText("MAX(at)") +
                " FROM dtucfg_result WHERE batch = ? GROUP BY station ORDER BY station",
            {Word(UnitResult::Ok), Word(UnitResult::Ok), batch}, &counted, error)) {
    return false;
  }
  stations->clear();
  for (const DbRow& row : counted.rows) {
    stations->push_back({row[0].value_or(""), Number(row[1]), Number(row[2]),
                         dialect_->isoTime(row[3].value_or(""))});
  }
  return true;
}

bool BatchStore::CountRecentOk(const std::string& batch, int seconds, std::int64_t* count,
                               DbError* error) {
  return Count(std::string("SELECT COUNT(*) FROM dtucfg_result WHERE batch = ? AND result = ? "
                           "AND at > ") +
                   dialect_->secondsAgo,
               {batch, Word(UnitResult::Ok), std::int64_t{seconds}}, count, error);
}

bool BatchStore::Results(const std::string& batch, std::vector<ReportRow>* rows, DbError* error) {
  DbResult results;
  if (!Exec("SELECT " + dialect_->timeText("r.at") +
                ", r.station, r.port, r.row_no, r.result, w.cells, r.record_sha256 FROM "
                "dtucfg_result r LEFT JOIN dtucfg_row w ON w.batch = r.batch AND w.row_no = "
                "r.row_no WHERE r.batch = ? ORDER BY r.at, r.id",
            {batch}, &results, error)) {
    return false;
  }
  rows->clear();
  for (const DbRow& row : results.rows) {
    rows->push_back({dialect_->isoTime(row[0].value_or("")), row[1].value_or(""),
                     row[2].value_or(""), row[3].value_or(""), row[4].value_or(""), row[5],
                     row[6].value_or("")});
  }
  return true;
}

bool BatchStore::RowHolder(const std::string& batch, std::int64_t row, bool* found, HeldRow* holder,
                           RowState* state, DbError* error) {
  DbResult result;
  if (!Exec("SELECT state, station, port FROM dtucfg_row WHERE batch = ? AND row_no = ?",
            {batch, row}, &result, error)) {
    return false;
  }
  *found = !result.rows.empty() && ParseRowState(result.rows[0][0].value_or(""), state);
  if (*found) {
    *holder = {row, result.rows[0][1].value_or(""), result.rows[0][2].value_or(""), ""};
  }
  return true;
}

bool BatchStore::Settle(const std::string& batch, const HeldRow& holder, RowState from,
                        Settlement how, bool* changed, DbError* error) {
  const RowState to = how == Settlement::Release ? RowState::Free : RowState::Void;
  const auto optional = [](const std::string& text) {
    return text.empty() ? DbValue{} : DbValue{text};
  };
  DbResult updated;
  *changed = false;
  if (!db_.Begin(error)) {
    return false;
  }
  if (!Exec("UPDATE dtucfg_row SET state = ?, station = NULL, port = NULL, claim_key = NULL, "
            "claimed_at = NULL WHERE batch = ? AND row_no = ? AND state = ?",
            {Word(to), batch, holder.row, Word(from)}, &updated, error)) {
    return Abandon();
  }
  if (updated.affected != 1) {
    Abandon();
    return true;
  }
  if (!Exec("INSERT INTO dtucfg_settle (batch, row_no, action, station, port) VALUES (?, ?, ?, "
            "?, ?)",
            {batch, holder.row, std::string(SettlementName(how)), optional(holder.station),
             optional(holder.port)},
            nullptr, error) ||
      !db_.Commit(error)) {
    return Abandon();
  }
  *changed = true;
  return true;
}

bool BatchStore::ConnectionId(std::int64_t* id, DbError* error) {
  return Count(dialect_->connectionId, {}, id, error);
}

bool BatchStore::StationToken(const std::string& station, std::optional<std::string>* token,
                              DbError* error) {
  DbResult held;
  if (!Exec("SELECT token FROM dtucfg_station WHERE name = ?", {station}, &held, error)) {
    return false;
  }
  *token = held.rows.empty() ? std::nullopt : held.rows[0][0];
  return true;
}

bool BatchStore::AddStation(const std::string& station, const std::string& token,
                            const std::string& batch, std::int64_t backend, DbError* error) {
  return Exec(
      "INSERT INTO dtucfg_station (name, token, batch, backend, seen_at) VALUES (?, ?, ?, "
      "?, CURRENT_TIMESTAMP)",
      {station, token, batch, backend}, nullptr, error);
}

bool BatchStore::TakeStation(const std::string& station, const std::string& oldToken,
                             const std::string& token, const std::string& batch,
                             std::int64_t backend, bool* taken, DbError* error) {
  DbResult result;
  if (!Exec("UPDATE dtucfg_station SET token = ?, batch = ?, backend = ?, seen_at = "
            "CURRENT_TIMESTAMP WHERE name = ? AND token = ?",
            {token, batch, backend, station, oldToken}, &result, error)) {
    return false;
  }
  *taken = result.affected == 1;
  return true;
}

bool BatchStore::BeatStation(const std::string& station, const std::string& token,
                             std::optional<std::int64_t> backend, bool* held, DbError* error) {
  DbResult result;
  const bool done =
      backend ? Exec(
                    "UPDATE dtucfg_station SET seen_at = CURRENT_TIMESTAMP, backend = ? WHERE "
                    "name = ? AND token = ?",
                    {*backend, station, token}, &result, error)
              : Exec(
                    "UPDATE dtucfg_station SET seen_at = CURRENT_TIMESTAMP WHERE name = ? AND "
                    "token = ?",
                    {station, token}, &result, error);
  *held = result.affected == 1;
  return done;
}

bool BatchStore::GiveBackStation(const std::string& station, const std::string& token,
                                 DbError* error) {
  return Exec(std::string("UPDATE dtucfg_station SET seen_at = ") + dialect_->secondsAgo +
                  ", backend = NULL WHERE name = ? AND token = ?",
              {std::int64_t{3600}, station, token}, nullptr, error);
}

bool BatchStore::StationRunning(const std::string& station, bool* running, DbError* error) {
  DbResult seen;
  *running = false;
  if (!Exec(std::string("SELECT backend FROM dtucfg_station WHERE name = ? AND seen_at > ") +
                dialect_->secondsAgo,
            {station, std::int64_t{kStationStaleSeconds}}, &seen, error)) {
    return false;
  }
  if (seen.rows.empty()) {
    return true;
  }
  *running = true;
  if (!seen.rows[0][0]) {
    return true;
  }
  // A station that died leaves its connection behind only as long as the
  // server takes to notice.
  DbResult alive;
  if (Exec(dialect_->connectionAlive, {Number(seen.rows[0][0])}, &alive, error)) {
    *running = !alive.rows.empty();
  }
  return true;
}

bool BatchStore::ClaimRow(const std::string& batch, const std::string& station,
                          const std::string& port, const std::string& key, std::int64_t* row,
                          DbError* error) {
  return Count(dialect_->claimRow,
               {Word(RowState::Claimed), station, port, key, batch, Word(RowState::Free), batch,
                Word(RowState::Free)},
               row, error);
}

bool BatchStore::FindClaim(const std::string& batch, const std::string& key, std::int64_t* row,
                           DbError* error) {
  return Count("SELECT row_no FROM dtucfg_row WHERE batch = ? AND claim_key = ? AND state = ?",
               {batch, key, Word(RowState::Claimed)}, row, error);
}

bool BatchStore::FindDoneRow(const std::string& batch, const std::string& sha, std::int64_t* row,
                             DbError* error) {
  return Count("SELECT row_no FROM dtucfg_row WHERE batch = ? AND state = ? AND record_sha256 = ?",
               {batch, Word(RowState::Done), sha}, row, error);
}

bool BatchStore::KeepResult(const std::string& batch, const std::string& key, std::int64_t row,
                            const std::string& station, const std::string& port, UnitResult result,
                            const std::string& sha, RowState next, bool* kept, DbError* error) {
  const DbValue number = row == 0 ? DbValue{} : DbValue{row};
  *kept = false;
  if (!db_.Begin(error)) {
    return false;
  }
  if (!Exec("INSERT INTO dtucfg_result (result_key, batch, row_no, station, port, result, "
            "record_sha256) VALUES (?, ?, ?, ?, ?, ?, ?)",
            {key, batch, number, station, port, Word(result), sha}, nullptr, error)) {
    Abandon();
    return Fault(*error) == DbFault::Duplicate;
  }
  // A row leaves the claim as the line says: done, or free for the next unit.
  if (row != 0 &&
      !Exec(next == RowState::Free
                ? "UPDATE dtucfg_row SET state = ?, station = NULL, port = NULL, claim_key = "
                  "NULL, claimed_at = NULL WHERE batch = ? AND row_no = ? AND state = ? AND "
                  "station = ?"
                : "UPDATE dtucfg_row SET state = ?, claim_key = NULL WHERE batch = ? AND row_no = "
                  "? AND state = ? AND station = ?",
            {Word(next), batch, row, Word(RowState::Claimed), station}, nullptr, error)) {
    return Abandon();
  }
  if (!db_.Commit(error)) {
    return Abandon();
  }
  *kept = true;
  return true;
}

bool BatchStore::CountLeft(const std::string& batch, const std::string& station, std::int64_t* left,
                           DbError* error) {
  return Count(
      "SELECT COUNT(*) FROM dtucfg_row WHERE batch = ? AND (state = ? OR (state = ? AND "
      "station = ?))",
      {batch, Word(RowState::Free), Word(RowState::Claimed), station}, left, error);
}

bool BatchStore::CountOpen(const std::string& batch, std::int64_t* open, DbError* error) {
  return Count("SELECT COUNT(*) FROM dtucfg_row WHERE batch = ? AND state IN (?, ?)",
               {batch, Word(RowState::Free), Word(RowState::Claimed)}, open, error);
}
