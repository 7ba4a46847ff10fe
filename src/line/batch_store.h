// Every statement on the production line's tables, and nothing else: the
// schema and its version, a batch with its rows and unique values, what
// status, report, release and void read and change, the stations' names, and
// a line's claims and results. Values are bound parameters; a row's state is
// bound as its word (RowStateName). What a server writes its own way comes
// from its Dialect.
#ifndef DTU_LINE_BATCH_STORE_H
#define DTU_LINE_BATCH_STORE_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "line/dialect.h"
#include "line/ledger.h"
#include "line/odbc.h"

// The version of the tables this dtucfg knows. 2: the line's rules are in
// the server, and a station's and a supervisor's login may do only their own.
// 3: reporting views, which a reporter's login may read and nothing else.
inline constexpr int kSchemaVersion = 3;
// A run's hold on its station's name: renewed every few seconds by its
// heartbeat, lapsed after this long unheard. A claim or a result needs it
// live, and a row a live run holds is never settled.
inline constexpr int kLeaseSeconds = 20;

// A batch as the tables keep it.
struct StoredBatch {
  std::string name;
  std::string profile;  // the profile file's bytes, as hex
  std::string sets;     // the --set values, one CSV row
  std::string columns;  // the units CSV's header, one CSV row
  std::string uniqueKeys;
  struct Row {
    std::int64_t number = 0;
    std::string cells;                                        // one CSV row
    std::string sha;                                          // of the record it gives
    std::vector<std::pair<std::string, std::string>> unique;  // key, value as hex
  };
  std::vector<Row> rows;
};

// A row that a unit may hold, in doubt or held: who holds it, since when,
// and why.
struct HeldRow {
  std::int64_t row = 0;
  std::string station;
  std::string port;
  std::string since;  // ISO 8601
  std::string why;    // the last result kept for it
  std::string key;    // the claim's
};

struct ReportRow {
  std::string time;  // ISO 8601
  std::string station;
  std::string port;
  std::string row;  // empty for a unit that got none
  std::string result;
  std::optional<std::string> cells;
  std::string sha;
};

// What the reporting views say of a batch, as batch status prints it and
// batch serve shows it. Times are ISO 8601; ages are in seconds.
struct BatchProgress {
  std::string batch;
  std::string createdAt;
  std::int64_t rows = 0;
  std::map<RowState, std::int64_t> states;  // claimed rows are those in doubt
  std::int64_t beingWritten = 0;            // in doubt, by a station running now
  std::int64_t recentOk = 0;                // units done in the last 10 minutes
  double perHour = 0;                       // at that rate
  std::optional<std::int64_t> secondsLeft;  // free and in doubt at that rate; none without one
};

struct StationFigures {
  std::string batch;
  std::string station;
  std::int64_t done = 0;
  std::int64_t failed = 0;               // every other result
  std::optional<double> firstPassYield;  // done of all results, 0..1
  std::int64_t inDoubt = 0;
  std::string lastResult;                 // its last unit's, or empty
  std::string lastAt;                     // ISO 8601, or empty
  std::optional<std::int64_t> silentFor;  // seconds since it was last heard, by result or lease
};

struct FailureCause {
  std::string batch;
  std::string cause;  // the result word: "mismatch", "no-ack" ...
  std::int64_t units = 0;
};

// A row that a unit may hold: in doubt (claimed) or held.
struct OpenRow {
  std::string batch;
  std::int64_t row = 0;
  RowState state = RowState::Claimed;
  std::string station;
  std::string port;
  std::string since;  // ISO 8601
  std::int64_t age = 0;
  std::string why;            // the last result kept for it, if any
  bool beingWritten = false;  // its station's lease is live
};

// One read of the views, for the batches asked (or every open one).
struct LineView {
  std::string readAt;  // the database's time, ISO 8601
  std::vector<BatchProgress> batches;
  std::vector<StationFigures> stations;
  std::vector<FailureCause> causes;  // largest first
  std::vector<OpenRow> open;         // oldest first
};

// Where a unit's ID came from: its batch's row, and the last result kept
// for the row.
struct UnitOrigin {
  std::string batch;
  std::int64_t row = 0;
  RowState state = RowState::Free;
  std::string cells;    // the row, one CSV row
  std::string columns;  // the batch's units CSV header, one CSV row
  std::string profile;  // the profile file's bytes, as hex
  std::string sets;     // the batch's --set values, one CSV row
  std::string uniqueKeys;
  std::string sha;      // of the record the row gives
  std::string station;  // of the last result, or empty
  std::string port;
  std::string at;  // ISO 8601
  std::string result;
};

class BatchStore {
 public:
  enum class Stored { Ok, NameTaken, Clash, Failed };
  // Who holds a unique value a new batch wanted.
  struct Clash {
    std::int64_t row = 0;  // the new batch's
    std::string key;
    std::string batch;  // the older batch's, and its row
    std::string batchRow;
  };
  // What became of a result (Dialect::keepResult).
  enum class Kept { Kept, Again, TakenBack, Lapsed };
  // What became of a settlement (Dialect::settleRow).
  enum class Settled { Settled, Changed, Running, Refused, Missing };

  BatchStore() = default;
  BatchStore(const BatchStore&) = delete;
  BatchStore& operator=(const BatchStore&) = delete;

  // Connects within limits and knows the server by the name its driver
  // gives: a server dtucfg has no dialect for is refused in words that name
  // it. The server is asked to keep to the limits too.
  bool Connect(const std::string& connection, const DbLimits& limits, DbError* error);
  void SetLimits(DbLimits limits) { db_.SetLimits(std::move(limits)); }
  bool Connected() const { return db_.Connected(); }
  void Disconnect() { db_.Disconnect(); }
  const Dialect& dialect() const { return *dialect_; }
  DbFault Fault(const DbError& error) const { return FaultOf(*dialect_, error); }

  // The version the tables carry; 0 when there are none.
  bool SchemaVersion(int* version, DbError* error);
  // Makes the tables and the rules, of kSchemaVersion, in one transaction;
  // or brings older ones up to it.
  bool CreateSchema(DbError* error);
  bool UpgradeSchema(int from, DbError* error);
  // false in *durable when the server acknowledges commits before it keeps
  // them.
  bool CommitsDurable(bool* durable, DbError* error);

  // The batch, its rows and their unique values in one transaction: all of
  // it, or nothing.
  Stored StoreBatch(const StoredBatch& batch, Clash* clash, DbError* error);
  // found is false when there is no such batch.
  bool LoadBatch(const std::string& name, StoredBatch* batch, bool* found, DbError* error);
  // The units CSV's header of a batch, one CSV row; nothing when there is no
  // such batch.
  bool BatchColumns(const std::string& name, std::optional<std::string>* columns, DbError* error);

  // A station's rows in state (Claimed or Held).
  bool RowsIn(const std::string& batch, RowState state, const std::string& station,
              std::vector<HeldRow>* rows, DbError* error);
  // Every result, oldest first, with its row's cells, a page at a time from
  // one snapshot: each page goes to take before the next is read, so that a
  // batch of any size takes the same memory. take returns false to stop.
  bool Results(const std::string& batch,
               const std::function<bool(const std::vector<ReportRow>&)>& take, DbError* error);

  // The reporting views, for these batches, or for every batch with rows
  // not yet done or void when names is empty. A name with no batch is left
  // out of view->batches.
  bool ReadView(const std::vector<std::string>& names, LineView* view, DbError* error);
  // The row whose key (as "ID") has this value, as hex of the bytes the unit
  // got; found is false when no batch has it.
  bool FindUnit(const std::string& key, const std::string& valueHex, bool* found,
                UnitOrigin* origin, DbError* error);

  // A row's state and who holds it; found is false when there is none.
  bool RowHolder(const std::string& batch, std::int64_t row, bool* found, HeldRow* holder,
                 RowState* state, DbError* error);
  // A supervisor's release or void of the row as holder and state say it
  // was read, in one transaction with its record.
  bool Settle(const std::string& batch, const HeldRow& holder, RowState state, Settlement how,
              Settled* settled, DbError* error);

  // A station's name for a run: taken when free or lapsed; held while the
  // heartbeat finds the run's token; given back at its end.
  bool TakeStation(const std::string& station, const std::string& token, const std::string& batch,
                   bool* taken, DbError* error);
  bool BeatStation(const std::string& station, const std::string& token, bool* held,
                   DbError* error);
  bool GiveBackStation(const std::string& station, const std::string& token, DbError* error);
  // The rows the name holds, claimed again under run's keys.
  bool AdoptRows(const std::string& batch, const std::string& station, const std::string& token,
                 const std::string& run, std::vector<HeldRow>* rows, DbError* error);

  // A line's claims and results.
  // The lowest free row, claimed under key: 0 when none is free, -1 when
  // the run's lease is not live.
  bool ClaimRow(const std::string& batch, const std::string& station, const std::string& token,
                const std::string& port, const std::string& key, std::int64_t* row, DbError* error);
  // The row still claimed under key; 0 when none.
  bool FindClaim(const std::string& batch, const std::string& key, std::int64_t* row,
                 DbError* error);
  // The done row whose record has this digest; 0 when none.
  bool FindDoneRow(const std::string& batch, const std::string& sha, std::int64_t* row,
                   DbError* error);
  // A unit's result with the database's time, and the row's next state, in
  // one transaction, for the claim under claimKey (empty: a row not claimed).
  struct Result {
    std::string key;
    std::int64_t row = 0;
    std::string station;
    std::string token;
    std::string port;
    UnitResult result = UnitResult::Ok;
    std::string sha;
    std::string claimKey;
    RowState next = RowState::Done;
  };
  bool KeepResult(const std::string& batch, const Result& result, Kept* kept, DbError* error);
  // Whether any row is free, or claimed by station. Each wait of a station
  // asks, so it stops at the first such row rather than counting them all.
  bool AnyLeft(const std::string& batch, const std::string& station, bool* left, DbError* error);
  // Rows free or claimed, of any station.
  bool CountOpen(const std::string& batch, std::int64_t* open, DbError* error);

 private:
  bool Exec(const std::string& sql, const std::vector<DbValue>& params, DbResult* result,
            DbError* error);
  bool Count(const std::string& sql, const std::vector<DbValue>& params, std::int64_t* count,
             DbError* error);
  bool Word(const std::string& sql, const std::vector<DbValue>& params, std::string* word,
            DbError* error);
  // A cell as a number; 0 for NULL.
  static std::int64_t Number(const std::optional<std::string>& cell);
  bool MakeRules(DbError* error);
  // What the versions after from add to the tables.
  bool Steps(int from, DbError* error);
  bool Abandon();

  Database db_;
  const Dialect* dialect_ = &kPostgres;
};

#endif
