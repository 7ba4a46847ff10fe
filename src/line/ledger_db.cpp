#include "line/ledger_db.h"

#include <algorithm>
#include <random>
#include <utility>

#include "cli/cli.h"
#include "cli/output.h"
#include "line/batch_text.h"
#include "line/db_connect.h"

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

std::string Row(std::int64_t row) { return "row " + std::to_string(row); }

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
  if (store_.Connected() && !taken_) {
    store_.GiveBackStation(station_, token_, &ignored);
  }
}

int DbLedger::Open(const std::vector<std::string>& ports, std::string* error) {
  DbError dbError;
  if (!store_.Connect(connection_, &dbError)) {
    *error = ReachError(connection_, dbError);
    return kExitPort;
  }
  int code = UseSchema(store_, false);
  if (code != kExitOk) {
    error->clear();
    return code;
  }
  code = LoadBatch(store_, batch_, &input_, error);
  if (code != kExitOk) {
    return code;
  }
  Index(input_);
  if (!TakeStation(error)) {
    return kExitUsage;
  }
  std::vector<HeldRow> held;
  if (!store_.ClaimedRows(batch_, station_, &held, &dbError)) {
    *error = "cannot read the rows this station holds: " + dbError.message;
    return kExitUnit;
  }
  for (const HeldRow& row : held) {
    const bool onLine = std::find(ports.begin(), ports.end(), row.port) != ports.end();
    if (onLine) {
      inDoubt_[row.port].push_back(static_cast<int>(row.row));
    }
    Warn(Row(row.row) + " was being written on " + row.port + " when station " + station_ +
         " stopped. " +
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
  std::int64_t backend = 0;
  std::optional<std::string> held;
  if (!store_.ConnectionId(&backend, &dbError) || !store_.StationToken(station_, &held, &dbError)) {
    *error = "cannot take the station's name: " + dbError.message;
    return false;
  }
  const std::string running =
      "station " + station_ +
      " is running already on this database; give each station its own --station name (a "
      "station that stopped without warning is free again within 30 s)";
  if (!held) {
    if (!store_.AddStation(station_, token_, batch_, backend, &dbError)) {
      *error = store_.Fault(dbError) == DbFault::Duplicate
                   ? running
                   : "cannot take the station's name: " + dbError.message;
      return false;
    }
    return true;
  }
  bool alive = false;
  store_.StationRunning(station_, &alive, &dbError);
  if (alive) {
    *error = running;
    return false;
  }
  bool taken = false;
  if (!store_.TakeStation(station_, *held, token_, batch_, backend, &taken, &dbError) || !taken) {
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
    bool held = false;
    if (!store_.BeatStation(station_, token_, std::nullopt, &held, &error)) {
      std::string ignored;
      Failed(error, "cannot keep the station's name", &ignored);
    } else if (!held) {
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
  std::int64_t backend = 0;
  bool held = false;
  if (!store_.Connect(connection_, &error) || !store_.ConnectionId(&backend, &error) ||
      !store_.BeatStation(station_, token_, backend, &held, &error)) {
    return false;
  }
  down_ = false;
  if (!held) {
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
  if (store_.Fault(error) == DbFault::Lost) {
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

Ledger::Status DbLedger::TakenOver(std::string* error) const {
  *error = "station " + station_ + " was taken over";
  return Status::Broken;
}

// A row the batch had at the start, or the line stops.
int DbLedger::CheckRow(std::int64_t row, std::string* error) const {
  if (row < 1 || static_cast<std::size_t>(row) > input_.units.rows.size()) {
    *error = BatchName(batch_) + " gave " + Row(row) + ", which it did not have at the start";
    return kNoRow;
  }
  return static_cast<int>(row);
}

bool DbLedger::Reachable() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return taken_ || EnsureConnected();
}

Ledger::Status DbLedger::ClaimRow(const std::string& port, Claim* claim, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *claim = ClaimOf(kNoRow);
  if (taken_) {
    return TakenOver(error);
  }
  std::vector<int>& doubt = inDoubt_[port];
  if (!doubt.empty()) {
    *claim = ClaimOf(doubt.front());
    claim->inDoubt = true;
    doubt.erase(doubt.begin());
    return Status::Ok;
  }
  if (!EnsureConnected()) {
    return Status::Unavailable;
  }
  DbError dbError;
  Pending& pending = claims_[port];
  std::int64_t row = 0;
  // The answer to an earlier claim was lost with the connection: it may
  // have been kept. Its unit has heard nothing of it, so it is a plain claim.
  if (!pending.key.empty()) {
    if (!store_.FindClaim(batch_, pending.key, &row, &dbError)) {
      return Failed(dbError, "cannot claim a row", error);
    }
    pending.key.clear();
  }
  if (row == 0) {
    pending.key = NextKey();
    if (!store_.ClaimRow(batch_, station_, port, pending.key, &row, &dbError)) {
      return Failed(dbError, "cannot claim a row", error);
    }
    pending.key.clear();
    if (row == 0) {
      return Status::NoRow;
    }
  }
  const int checked = CheckRow(row, error);
  if (checked == kNoRow) {
    return Status::Broken;
  }
  *claim = ClaimOf(checked);
  return Status::Ok;
}

Ledger::Status DbLedger::FindDoneRow(const std::string& sha, Claim* claim, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *claim = ClaimOf(kNoRow);
  if (taken_) {
    return TakenOver(error);
  }
  if (!EnsureConnected()) {
    return Status::Unavailable;
  }
  DbError dbError;
  std::int64_t row = 0;
  if (!store_.FindDoneRow(batch_, sha, &row, &dbError)) {
    return Failed(dbError, "cannot look the unit's record up", error);
  }
  if (row != 0) {
    const int checked = CheckRow(row, error);
    if (checked == kNoRow) {
      return Status::Broken;
    }
    *claim = ClaimOf(checked);
  }
  return Status::Ok;
}

Ledger::Status DbLedger::Record(const Claim& claim, const std::string& port, UnitResult result,
                                std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (taken_) {
    *error = "station " + station_ + " was taken over; the result of " + Row(claim.row) + " on " +
             port + " is not kept";
    return Status::Broken;
  }
  if (!EnsureConnected()) {
    return Status::Unavailable;
  }
  // The same key on every try: a result kept just before the connection was
  // lost is not kept twice.
  Pending& pending = results_[port];
  if (pending.key.empty() || pending.row != claim.row) {
    pending.key = NextKey();
    pending.row = claim.row;
  }
  DbError dbError;
  bool kept = false;
  // A row that failed is free for the next unit; its failure stays above.
  const RowState next = result == UnitResult::Ok ? RowState::Done : RowState::Free;
  if (!store_.KeepResult(batch_, pending.key, claim.row, station_, port, result, *claim.sha, next,
                         &kept, &dbError)) {
    return Failed(dbError, "cannot keep the result", error);
  }
  pending.key.clear();
  if (kept) {
    ++counts_[result];
  }
  return Status::Ok;
}

bool DbLedger::Finished() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (taken_ || !EnsureConnected()) {
    return false;
  }
  DbError dbError;
  std::int64_t left = 1;
  if (!store_.CountLeft(batch_, station_, &left, &dbError)) {
    std::string ignored;
    Failed(dbError, "", &ignored);
    return false;
  }
  return left == 0;
}

std::string DbLedger::Summary() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string text = ResultCounts(counts_);
  DbError dbError;
  std::int64_t open = 0;
  std::vector<HeldRow> held;
  if (taken_ || !EnsureConnected() || !store_.CountOpen(batch_, &open, &dbError) ||
      !store_.ClaimedRows(batch_, station_, &held, &dbError)) {
    return text + "; rows left: not known, the database cannot be reached\n";
  }
  text += "; rows left in " + BatchName(batch_) + ": " + std::to_string(open);
  for (const HeldRow& row : held) {
    text += "\n" + Row(row.row) + " is in doubt: it was being written on " + row.port +
            " when the line stopped";
  }
  return text + "\n";
}
