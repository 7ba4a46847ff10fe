#include "cli/ledger_db.h"

#include <algorithm>
#include <random>
#include <utility>

#include "cli/cli.h"
#include "cli/db_batch.h"
#include "cli/db_dialect.h"
#include "cli/output.h"

namespace {

constexpr auto kBeat = std::chrono::seconds(5);
constexpr auto kRetryConnect = std::chrono::seconds(1);

std::string RandomToken() {
  std::random_device random;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) {
    token += kDigits[random() & 0x0F];
  }
  return token;
}

std::string Row(int row) { return "row " + std::to_string(row + 1); }

}  // namespace

DbLedger::DbLedger(std::string connection, std::string batch, std::string station)
    : connection_(std::move(connection)),
      batch_(std::move(batch)),
      station_(std::move(station)),
      token_(RandomToken()) {}

DbLedger::~DbLedger() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopBeat_.notify_all();
  if (beat_.joinable()) {
    beat_.join();
  }
  // Gives the name back at once; a station that dies gives it back by
  // falling silent.
  DbError ignored;
  if (db_.Connected() && !taken_) {
    db_.Exec(
        "UPDATE dtucfg_station SET seen_at = CURRENT_TIMESTAMP - INTERVAL '1' HOUR, "
        "backend = NULL WHERE name = ? AND token = ?",
        {station_, token_}, nullptr, &ignored);
  }
}

int DbLedger::Open(const std::vector<std::string>& ports, std::string* error) {
  DbError dbError;
  if (!db_.Connect(connection_, &dbError)) {
    *error = "cannot reach the database (" + MaskPassword(connection_) + "): " + dbError.message +
             (dbError.sqlState.empty() ? "" : " (SQLSTATE " + dbError.sqlState + ")");
    return kExitPort;
  }
  int code = UseSchema(db_, false);
  if (code != kExitOk) {
    error->clear();
    return code;
  }
  code = LoadBatch(db_, batch_, &input_, error);
  if (code != kExitOk) {
    return code;
  }
  if (!TakeStation(error)) {
    return kExitUsage;
  }
  DbResult claimed;
  if (!db_.Exec("SELECT row_no, port FROM dtucfg_row WHERE batch = ? AND state = 'claimed' AND "
                "station = ? ORDER BY row_no",
                {batch_, station_}, &claimed, &dbError)) {
    *error = "cannot read the rows this station holds: " + dbError.message;
    return kExitUnit;
  }
  for (const DbRow& row : claimed.rows) {
    const int index = std::stoi(row[0].value_or("0")) - 1;
    const std::string port = row[1].value_or("");
    const bool onLine = std::find(ports.begin(), ports.end(), port) != ports.end();
    if (onLine) {
      inDoubt_[port].push_back(index);
    }
    Warn(Row(index) + " was being written on " + port + " when station " + station_ + " stopped. " +
         (onLine ? "It goes to the next unit on that port only, unless that unit already holds "
                   "it. If you took that unit away meanwhile, check its values by hand."
                 : "That port is not on this line, so the row stays aside; \"dtucfg batch "
                   "release\" gives it back once its unit is checked."));
  }
  beat_ = std::thread([this] { Beat(); });
  return kExitOk;
}

// The station's name is this process's while it runs: a second line under the
// same name is refused, one that died leaves it free once it falls silent.
bool DbLedger::TakeStation(std::string* error) {
  DbError dbError;
  DbResult id;
  DbResult held;
  if (!db_.Exec(dialect::kConnectionId, {}, &id, &dbError) ||
      !db_.Exec("SELECT token FROM dtucfg_station WHERE name = ?", {station_}, &held, &dbError)) {
    *error = "cannot take the station's name: " + dbError.message;
    return false;
  }
  const DbValue backend = std::stoll(id.rows.at(0).at(0).value_or("0"));
  const std::string running =
      "station " + station_ +
      " is running already on this database; give each station its own --station name (a "
      "station that stopped without warning is free again within 30 s)";
  if (held.rows.empty()) {
    if (!db_.Exec("INSERT INTO dtucfg_station (name, token, batch, backend, seen_at) VALUES "
                  "(?, ?, ?, ?, CURRENT_TIMESTAMP)",
                  {station_, token_, batch_, backend}, nullptr, &dbError)) {
      *error = dbError.IsUniqueViolation() ? running
                                           : "cannot take the station's name: " + dbError.message;
      return false;
    }
    return true;
  }
  if (StationRunning(db_, station_, &dbError)) {
    *error = running;
    return false;
  }
  DbResult taken;
  if (!db_.Exec("UPDATE dtucfg_station SET token = ?, batch = ?, backend = ?, seen_at = "
                "CURRENT_TIMESTAMP WHERE name = ? AND token = ?",
                {token_, batch_, backend, station_, held.rows[0][0].value_or("")}, &taken,
                &dbError) ||
      taken.affected != 1) {
    *error =
        dbError.message.empty() ? running : "cannot take the station's name: " + dbError.message;
    return false;
  }
  return true;
}

void DbLedger::Beat() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopBeat_.wait_for(lock, kBeat, [this] { return stopping_; })) {
    if (taken_ || !EnsureConnected()) {
      continue;
    }
    DbError error;
    DbResult beat;
    if (!db_.Exec("UPDATE dtucfg_station SET seen_at = CURRENT_TIMESTAMP WHERE name = ? AND "
                  "token = ?",
                  {station_, token_}, &beat, &error)) {
      std::string ignored;
      Failed(error, "cannot keep the station's name", &ignored);
    } else if (beat.affected != 1) {
      taken_ = true;
      Error("station " + station_ + " was taken over by another dtucfg; this line stops");
    }
  }
}

bool DbLedger::EnsureConnected() { return !down_ || Reconnect(); }

bool DbLedger::Reconnect() {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastTry_ < kRetryConnect) {
    return false;
  }
  lastTry_ = now;
  DbError error;
  DbResult id;
  DbResult mine;
  if (!db_.Connect(connection_, &error) || !db_.Exec(dialect::kConnectionId, {}, &id, &error) ||
      !db_.Exec("UPDATE dtucfg_station SET seen_at = CURRENT_TIMESTAMP, backend = ? WHERE name "
                "= ? AND token = ?",
                {std::stoll(id.rows.at(0).at(0).value_or("0")), station_, token_}, &mine, &error)) {
    return false;
  }
  down_ = false;
  if (mine.affected != 1) {
    taken_ = true;
    Error("station " + station_ +
          " was taken over by another dtucfg while the database was away; this line stops");
    return false;
  }
  Error("the database is back");
  return true;
}

Ledger::Status DbLedger::Failed(const DbError& error, const std::string& what,
                                std::string* message) {
  if (error.IsConnectionLost()) {
    if (!down_) {
      down_ = true;
      Error("waiting for the database (" + error.message + ")");
    }
    lastTry_ = std::chrono::steady_clock::now();
    return Status::Unavailable;
  }
  *message = what + ": " + error.message;
  return Status::Broken;
}

std::string DbLedger::NextKey() { return token_ + ":" + std::to_string(++keys_); }

bool DbLedger::Reachable() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return taken_ || EnsureConnected();
}

bool DbLedger::FindClaim(const std::string& key, int* row, DbError* error) {
  DbResult found;
  if (!db_.Exec("SELECT row_no FROM dtucfg_row WHERE batch = ? AND claim_key = ? AND state = "
                "'claimed'",
                {batch_, key}, &found, error)) {
    return false;
  }
  *row = found.rows.empty() ? kNoRow : std::stoi(found.rows[0][0].value_or("0")) - 1;
  return true;
}

Ledger::Status DbLedger::ClaimRow(const std::string& port, Claim* claim, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *claim = Claim{};
  if (taken_) {
    *error = "station " + station_ + " was taken over";
    return Status::Broken;
  }
  std::vector<int>& doubt = inDoubt_[port];
  if (!doubt.empty()) {
    claim->row = doubt.front();
    claim->inDoubt = true;
    doubt.erase(doubt.begin());
    return Status::Ok;
  }
  if (!EnsureConnected()) {
    return Status::Unavailable;
  }
  DbError dbError;
  Pending& pending = claims_[port];
  // The answer to an earlier claim was lost with the connection: it may
  // have been kept. Its unit has heard nothing of it, so it is a plain claim.
  if (!pending.key.empty()) {
    int row = kNoRow;
    if (!FindClaim(pending.key, &row, &dbError)) {
      return Failed(dbError, "cannot claim a row", error);
    }
    pending.key.clear();
    if (row != kNoRow) {
      claim->row = row;
      return Status::Ok;
    }
  }
  pending.key = NextKey();
  DbResult claimed;
  if (!db_.Exec(dialect::kClaimRow, {station_, port, pending.key, batch_, batch_}, &claimed,
                &dbError)) {
    return Failed(dbError, "cannot claim a row", error);
  }
  pending.key.clear();
  if (claimed.rows.empty()) {
    return Status::NoRow;
  }
  const int row = std::stoi(claimed.rows[0][0].value_or("0")) - 1;
  if (row < 0 || static_cast<std::size_t>(row) >= input_.units.rows.size()) {
    *error = BatchName(batch_) + " gave " + Row(row) + ", which it did not have at the start";
    return Status::Broken;
  }
  claim->row = row;
  return Status::Ok;
}

Ledger::Status DbLedger::FindDoneRow(const std::string& sha, int* row, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *row = kNoRow;
  if (taken_) {
    *error = "station " + station_ + " was taken over";
    return Status::Broken;
  }
  if (!EnsureConnected()) {
    return Status::Unavailable;
  }
  DbError dbError;
  DbResult found;
  if (!db_.Exec("SELECT row_no FROM dtucfg_row WHERE batch = ? AND state = 'done' AND "
                "record_sha256 = ?",
                {batch_, sha}, &found, &dbError)) {
    return Failed(dbError, "cannot look the unit's record up", error);
  }
  if (!found.rows.empty()) {
    *row = std::stoi(found.rows[0][0].value_or("0")) - 1;
  }
  return Status::Ok;
}

Ledger::Status DbLedger::Record(int row, const std::string& port, UnitResult result,
                                const std::string& sha, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (taken_) {
    *error = "station " + station_ + " was taken over; the result of " + Row(row) + " on " + port +
             " is not kept";
    return Status::Broken;
  }
  if (!EnsureConnected()) {
    return Status::Unavailable;
  }
  // The same key on every try: a result kept just before the connection was
  // lost is not kept twice.
  Pending& pending = results_[port];
  if (pending.key.empty() || pending.row != row) {
    pending.key = NextKey();
    pending.row = row;
  }
  DbError dbError;
  DbError ignored;
  const DbValue rowNumber = row == kNoRow ? DbValue{} : DbValue{std::int64_t{row} + 1};
  if (!db_.Begin(&dbError)) {
    return Failed(dbError, "cannot keep the result", error);
  }
  bool kept = db_.Exec(
      "INSERT INTO dtucfg_result (result_key, batch, row_no, station, port, "
      "result, record_sha256) VALUES (?, ?, ?, ?, ?, ?, ?)",
      {pending.key, batch_, rowNumber, station_, port, std::string(ResultName(result)), sha},
      nullptr, &dbError);
  if (!kept && dbError.IsUniqueViolation()) {
    db_.Rollback(&ignored);
    pending.key.clear();
    return Status::Ok;
  }
  if (kept && row != kNoRow) {
    // A row that failed is free for the next unit; its failure stays above.
    kept = db_.Exec(result == UnitResult::Ok
                        ? "UPDATE dtucfg_row SET state = 'done', claim_key = NULL WHERE batch = "
                          "? AND row_no = ? AND state = 'claimed' AND station = ?"
                        : "UPDATE dtucfg_row SET state = 'free', station = NULL, port = NULL, "
                          "claim_key = NULL, claimed_at = NULL WHERE batch = ? AND row_no = ? "
                          "AND state = 'claimed' AND station = ?",
                    {batch_, rowNumber, station_}, nullptr, &dbError);
  }
  if (!kept || !db_.Commit(&dbError)) {
    db_.Rollback(&ignored);
    return Failed(dbError, "cannot keep the result", error);
  }
  pending.key.clear();
  ++counts_[result];
  return Status::Ok;
}

bool DbLedger::Finished() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (taken_ || !EnsureConnected()) {
    return false;
  }
  DbError dbError;
  DbResult left;
  if (!db_.Exec("SELECT COUNT(*) FROM dtucfg_row WHERE batch = ? AND (state = 'free' OR "
                "(state = 'claimed' AND station = ?))",
                {batch_, station_}, &left, &dbError)) {
    std::string ignored;
    Failed(dbError, "", &ignored);
    return false;
  }
  return left.rows.at(0).at(0).value_or("1") == "0";
}

std::string DbLedger::Summary() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string text = ResultCounts(counts_);
  DbError dbError;
  DbResult left;
  DbResult held;
  if (taken_ || !EnsureConnected() ||
      !db_.Exec("SELECT COUNT(*) FROM dtucfg_row WHERE batch = ? AND state IN ('free', "
                "'claimed')",
                {batch_}, &left, &dbError) ||
      !db_.Exec("SELECT row_no, port FROM dtucfg_row WHERE batch = ? AND state = 'claimed' AND "
                "station = ? ORDER BY row_no",
                {batch_, station_}, &held, &dbError)) {
    return text + "; rows left: not known, the database cannot be reached\n";
  }
  text += "; rows left in " + BatchName(batch_) + ": " + left.rows.at(0).at(0).value_or("?");
  for (const DbRow& row : held.rows) {
    text += "\nrow " + row[0].value_or("?") + " is in doubt: it was being written on " +
            row[1].value_or("?") + " when the line stopped";
  }
  return text + "\n";
}
