#include "line/ledger_db.h"

#include <algorithm>
#include <random>
#include <utility>

#include "cli/cli.h"
#include "cli/connection_string.h"
#include "cli/hex.h"
#include "cli/output.h"
#include "line/batch_text.h"
#include "line/db_connect.h"
#include "serial/interrupt.h"

namespace {

constexpr auto kBeat = std::chrono::seconds(5);
constexpr auto kRetryConnect = std::chrono::seconds(1);
// Once the line is stopping, what is left to say takes no longer than this.
constexpr auto kLastWords = std::chrono::milliseconds(400);

std::string RandomHex(std::size_t bytes) {
  std::random_device random;
  std::vector<std::uint8_t> drawn(bytes);
  for (std::uint8_t& byte : drawn) {
    byte = static_cast<std::uint8_t>(random());
  }
  return Hex(drawn.data(), drawn.size());
}

std::string Row(std::int64_t row) { return "row " + std::to_string(row); }

}  // namespace

DbLedger::DbLedger(std::string connection, std::string batch, std::string station, DbLimits limits)
    : connection_(std::move(connection)),
      batch_(std::move(batch)),
      station_(std::move(station)),
      limits_(std::move(limits)),
      token_(RandomHex(16)),
      run_(RandomHex(8)) {}

DbLedger::~DbLedger() {
  {
    const std::lock_guard<std::mutex> lock(beatMutex_);
    stopping_ = true;
  }
  stopBeat_.notify_all();
  if (beat_.joinable()) {
    beat_.join();
  }
  // Gives the name back at once; a run that dies gives it back when its
  // lease lapses.
  const std::lock_guard<std::mutex> lock(mutex_);
  DbError ignored;
  if (store_.Connected() && !down_ && !taken_) {
    Quick();
    store_.GiveBackStation(station_, token_, &ignored);
  }
}

// What is said at the end is said at once, Ctrl-C or not.
void DbLedger::Quick() {
  DbLimits quick = limits_;
  quick.call = std::min<std::chrono::milliseconds>(limits_.call, kLastWords);
  quick.stop = nullptr;
  store_.SetLimits(quick);
}

int DbLedger::Open(const std::vector<std::string>& ports, std::string* error) {
  DbError dbError;
  if (!store_.Connect(connection_, limits_, &dbError)) {
    *error = ReachError(connection_, dbError);
    return kExitPort;
  }
  int code = UseSchema(store_, false);
  if (code != kExitOk) {
    error->clear();
    return code;
  }
  bool durable = true;
  if (store_.CommitsDurable(&durable, &dbError) && !durable) {
    Warn(
        "this database acknowledges commits before it keeps them (synchronous_commit is off): "
        "a crash of its server can hand out an ID twice");
  }
  code = LoadBatch(store_, batch_, &input_, error);
  if (code != kExitOk) {
    return code;
  }
  Index(input_);
  bool taken = false;
  if (!store_.TakeStation(station_, token_, batch_, &taken, &dbError)) {
    *error = "cannot take the station's name: " + DbErrorText(dbError);
    return kExitUnit;
  }
  if (!taken) {
    *error = "station " + station_ +
             " is running already on this database; give each station its own --station name "
             "(a station that stopped without warning is free again within " +
             std::to_string(kLeaseSeconds) + " s)";
    return kExitUsage;
  }
  std::vector<HeldRow> held;
  if (!store_.AdoptRows(batch_, station_, token_, run_, &held, &dbError)) {
    *error = "cannot take over the rows this station holds: " + DbErrorText(dbError);
    return kExitUnit;
  }
  for (const HeldRow& row : held) {
    const bool onLine = std::find(ports.begin(), ports.end(), row.port) != ports.end();
    const int checked = CheckRow(row.row, error);
    if (checked == kNoRow) {
      return kExitUnit;
    }
    if (onLine) {
      Claim claim = ClaimOf(checked);
      claim.inDoubt = true;
      claim.key = row.key;
      inDoubt_[row.port].push_back(claim);
    }
    Warn(Row(row.row) + " was being written on " + row.port + " when station " + station_ +
         " stopped; this run takes it over. " +
         (onLine ? "It goes to the next unit on that port only, unless that unit already holds "
                   "it. If you took that unit away meanwhile, check its values by hand."
                 : "That port is not on this line, so the row stays aside; \"dtucfg batch "
                   "release\" gives it back once its unit is checked."));
  }
  beat_ = std::thread([this] { Beat(); });
  return kExitOk;
}

// The lease is renewed on a connection of the heartbeat's own, so that no
// port's call, however long, lets it lapse.
void DbLedger::Beat() {
  BatchStore beat;
  DbLimits limits = limits_;
  limits.stop = [this] { return stopping_.load(); };
  std::unique_lock<std::mutex> lock(beatMutex_);
  while (!stopBeat_.wait_for(lock, kBeat, [this] { return stopping_.load(); })) {
    lock.unlock();
    DbError error;
    bool held = true;
    if (beat.Connected() || beat.Connect(connection_, limits, &error)) {
      if (beat.BeatStation(station_, token_, &held, &error) && !held && !taken_.exchange(true)) {
        Error("station " + station_ + " was taken over by another dtucfg; this line stops");
      }
    } else if (beat.Fault(error) == DbFault::Denied) {
      Refuse(DbErrorText(error));
    }
    lock.lock();
  }
}

bool DbLedger::EnsureConnected() { return !down_ || Reconnect(); }

bool DbLedger::Reconnect() {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastTry_ < kRetryConnect || InterruptRequested()) {
    return false;
  }
  lastTry_ = now;
  DbError error;
  bool held = false;
  if (!store_.Connect(connection_, limits_, &error) ||
      !store_.BeatStation(station_, token_, &held, &error)) {
    std::string ignored;
    Failed(error, "", &ignored);
    return false;
  }
  down_ = false;
  if (!held) {
    if (!taken_.exchange(true)) {
      Error("station " + station_ +
            " was taken over by another dtucfg while the database was away; this line stops");
    }
    return false;
  }
  told_.clear();
  Error("the database is back");
  return true;
}

// Each new reason to wait is told once.
void DbLedger::Waiting(const std::string& why) {
  if (why != told_) {
    told_ = why;
    Error("waiting for the database (" + why + ")");
  }
}

Ledger::Status DbLedger::Failed(const DbError& error, const std::string& what,
                                std::string* message) {
  if (InterruptRequested()) {
    return Status::Unavailable;
  }
  switch (store_.Fault(error)) {
    case DbFault::Lost:
      down_ = true;
      store_.Disconnect();
      lastTry_ = std::chrono::steady_clock::now();
      Waiting(error.message);
      return Status::Unavailable;
    case DbFault::Retry:
      Waiting(error.message);
      return Status::Unavailable;
    case DbFault::ReadOnly:
      Waiting("it takes no writes, as a standby does: " + error.message);
      return Status::Unavailable;
    case DbFault::Denied:
      Refuse(DbErrorText(error));
      return Stopped(message);
    default:
      *message = what + ": " + DbErrorText(error);
      return Status::Broken;
  }
}

void DbLedger::Refuse(const std::string& why) {
  std::call_once(refusing_, [this, &why] {
    refusal_ = why;
    refused_ = true;
  });
}

std::string DbLedger::NextKey() { return run_ + ":" + std::to_string(++keys_); }

Ledger::Status DbLedger::Stopped(std::string* error) const {
  if (refused_) {
    *error = "the database refuses this login (" + MaskPassword(connection_) + "): " + refusal_;
    return Status::Refused;
  }
  *error = "station " + station_ + " was taken over by another dtucfg";
  return Status::Broken;
}

// The lease lapsed while the database could not renew it: renewed now, or
// the name is another run's.
Ledger::Status DbLedger::Lapsed(std::string* error) {
  DbError dbError;
  bool held = false;
  if (!store_.BeatStation(station_, token_, &held, &dbError)) {
    return Failed(dbError, "cannot renew the station's name", error);
  }
  if (!held) {
    taken_ = true;
    return Stopped(error);
  }
  return Status::Unavailable;
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
  return taken_ || refused_ || EnsureConnected();
}

Ledger::Status DbLedger::ClaimRow(const std::string& port, Claim* claim, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *claim = ClaimOf(kNoRow);
  if (taken_ || refused_) {
    return Stopped(error);
  }
  std::vector<Claim>& doubt = inDoubt_[port];
  if (!doubt.empty()) {
    *claim = doubt.front();
    doubt.erase(doubt.begin());
    return Status::Ok;
  }
  if (!EnsureConnected()) {
    return refused_ ? Stopped(error) : Status::Unavailable;
  }
  DbError dbError;
  Pending& pending = claims_[port];
  std::int64_t row = 0;
  // The answer to an earlier claim was lost with the connection: it may
  // have been kept. Its unit has heard nothing of it, so it is a plain claim.
  if (!pending.key.empty() && !store_.FindClaim(batch_, pending.key, &row, &dbError)) {
    return Failed(dbError, "cannot claim a row", error);
  }
  if (row == 0) {
    pending.key = NextKey();
    if (!store_.ClaimRow(batch_, station_, token_, port, pending.key, &row, &dbError)) {
      return Failed(dbError, "cannot claim a row", error);
    }
  }
  const std::string key = pending.key;
  pending.key.clear();
  if (row < 0) {
    return Lapsed(error);
  }
  if (row == 0) {
    return Status::NoRow;
  }
  const int checked = CheckRow(row, error);
  if (checked == kNoRow) {
    return Status::Broken;
  }
  *claim = ClaimOf(checked);
  claim->key = key;
  return Status::Ok;
}

Ledger::Status DbLedger::FindDoneRow(const std::string& sha, Claim* claim, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *claim = ClaimOf(kNoRow);
  if (taken_ || refused_) {
    return Stopped(error);
  }
  if (!EnsureConnected()) {
    return refused_ ? Stopped(error) : Status::Unavailable;
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
                                RowState next, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (taken_ || refused_) {
    return Stopped(error);
  }
  if (!EnsureConnected()) {
    return refused_ ? Stopped(error) : Status::Unavailable;
  }
  // The same key on every try: a result kept just before the connection was
  // lost is not kept twice.
  Pending& pending = results_[port];
  if (pending.key.empty() || pending.row != claim.row) {
    pending.key = NextKey();
    pending.row = claim.row;
  }
  DbError dbError;
  BatchStore::Kept kept = BatchStore::Kept::Kept;
  const BatchStore::Result keep = {pending.key, claim.row,  station_,  token_, port,
                                   result,      *claim.sha, claim.key, next};
  if (!store_.KeepResult(batch_, keep, &kept, &dbError)) {
    return Failed(dbError, "cannot keep the result", error);
  }
  if (kept == BatchStore::Kept::Lapsed) {
    return Lapsed(error);
  }
  pending.key.clear();
  switch (kept) {
    case BatchStore::Kept::TakenBack:
      ++counts_[UnitResult::TakenBack];
      return Status::TakenBack;
    case BatchStore::Kept::Kept:
      ++counts_[result];
      if (next == RowState::Claimed && !claim.key.empty()) {
        Claim again = claim;
        again.inDoubt = true;
        inDoubt_[port].push_back(again);
      }
      return Status::Ok;
    default:
      return Status::Ok;  // kept before the connection was lost
  }
}

Ledger::Status DbLedger::Health(std::string* error) {
  return taken_ || refused_ ? Stopped(error) : Status::Ok;
}

bool DbLedger::Finished() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (taken_ || refused_ || !EnsureConnected()) {
    return false;
  }
  DbError dbError;
  bool left = true;
  if (!store_.AnyLeft(batch_, station_, &left, &dbError)) {
    std::string ignored;
    Failed(dbError, "", &ignored);
    return false;
  }
  return !left;
}

std::string DbLedger::Summary() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string text = ResultCounts(counts_);
  DbError dbError;
  std::int64_t open = 0;
  std::vector<HeldRow> doubt;
  std::vector<HeldRow> held;
  Quick();
  if (taken_ || refused_ || down_ || !store_.CountOpen(batch_, &open, &dbError) ||
      !store_.RowsIn(batch_, RowState::Claimed, station_, &doubt, &dbError) ||
      !store_.RowsIn(batch_, RowState::Held, station_, &held, &dbError)) {
    return text + "; rows left: not known, the database cannot be reached\n";
  }
  text += "; rows left in " + BatchName(batch_) + ": " + std::to_string(open);
  for (const HeldRow& row : doubt) {
    text += "\n" + Row(row.row) + " is in doubt: it was being written on " + row.port +
            " when the line stopped";
  }
  for (const HeldRow& row : held) {
    text += "\n" + Row(row.row) + " is held: the unit on " + row.port +
            " holds its ID but read back otherwise; \"dtucfg batch release\" or \"void\" "
            "settles it";
  }
  return text + "\n";
}
