// Every statement on the production line's tables, and nothing else: the
// schema and its version, a batch with its rows and unique values, what
// status, report, release and void read and change, the stations' names, and
// a line's claims and results. Values are bound parameters; a row's state is
// bound as its word (RowStateName). What a server writes its own way comes
// from its Dialect.
#ifndef DTU_LINE_BATCH_STORE_H
#define DTU_LINE_BATCH_STORE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "line/dialect.h"
#include "line/ledger.h"
#include "line/odbc.h"

// The version of the tables this dtucfg knows.
inline constexpr int kSchemaVersion = 1;
// How long a station may stay unheard before its name counts as free.
inline constexpr int kStationStaleSeconds = 20;

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

// A row that is not free, done or void: who holds it, since when.
struct HeldRow {
  std::int64_t row = 0;
  std::string station;
  std::string port;
  std::string since;  // ISO 8601
};

struct StationCount {
  std::string station;
  std::int64_t done = 0;
  std::int64_t failed = 0;
  std::string last;  // ISO 8601
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

  BatchStore() = default;
  BatchStore(const BatchStore&) = delete;
  BatchStore& operator=(const BatchStore&) = delete;

  // Connects and knows the server by the name its driver gives; a server
  // dtucfg has no dialect for is refused in words that name it.
  bool Connect(const std::string& connection, DbError* error);
  bool Connected() const { return db_.Connected(); }
  const Dialect& dialect() const { return *dialect_; }
  DbFault Fault(const DbError& error) const { return FaultOf(*dialect_, error); }

  // The version the tables carry; 0 when there are none.
  bool SchemaVersion(int* version, DbError* error);
  // Makes the tables, of kSchemaVersion, in one transaction.
  bool CreateSchema(DbError* error);

  // The batch, its rows and their unique values in one transaction: all of
  // it, or nothing.
  Stored StoreBatch(const StoredBatch& batch, Clash* clash, DbError* error);
  // found is false when there is no such batch.
  bool LoadBatch(const std::string& name, StoredBatch* batch, bool* found, DbError* error);
  // The units CSV's header of a batch, one CSV row; nothing when there is no
  // such batch.
  bool BatchColumns(const std::string& name, std::optional<std::string>* columns, DbError* error);

  // What batch status shows.
  bool CountRows(const std::string& batch, std::map<RowState, std::int64_t>* counts,
                 DbError* error);
  // Claimed rows, of one station or (empty) of all.
  bool ClaimedRows(const std::string& batch, const std::string& station, std::vector<HeldRow>* rows,
                   DbError* error);
  bool CountResults(const std::string& batch, std::vector<StationCount>* stations, DbError* error);
  bool CountRecentOk(const std::string& batch, int seconds, std::int64_t* count, DbError* error);
  // Every result, oldest first, with its row's cells.
  bool Results(const std::string& batch, std::vector<ReportRow>* rows, DbError* error);

  // A row's state and who holds it; found is false when there is none.
  bool RowHolder(const std::string& batch, std::int64_t row, bool* found, HeldRow* holder,
                 RowState* state, DbError* error);
  // A supervisor's release or void, in one transaction with its record;
  // changed is false when the row was no longer in state from.
  bool Settle(const std::string& batch, const HeldRow& holder, RowState from, Settlement how,
              bool* changed, DbError* error);

  // The stations' names.
  bool ConnectionId(std::int64_t* id, DbError* error);
  bool StationToken(const std::string& station, std::optional<std::string>* token, DbError* error);
  bool AddStation(const std::string& station, const std::string& token, const std::string& batch,
                  std::int64_t backend, DbError* error);
  // Takes over the name from the run that held it with oldToken.
  bool TakeStation(const std::string& station, const std::string& oldToken,
                   const std::string& token, const std::string& batch, std::int64_t backend,
                   bool* taken, DbError* error);
  // The heartbeat; backend is given after a reconnect. held is false once
  // another run has the name.
  bool BeatStation(const std::string& station, const std::string& token,
                   std::optional<std::int64_t> backend, bool* held, DbError* error);
  // Leaves the name free at once.
  bool GiveBackStation(const std::string& station, const std::string& token, DbError* error);
  // Heard from within kStationStaleSeconds, and its connection still there.
  bool StationRunning(const std::string& station, bool* running, DbError* error);

  // A line's claims and results.
  // The lowest free row, claimed under key; 0 when none is free.
  bool ClaimRow(const std::string& batch, const std::string& station, const std::string& port,
                const std::string& key, std::int64_t* row, DbError* error);
  // The row still claimed under key; 0 when none.
  bool FindClaim(const std::string& batch, const std::string& key, std::int64_t* row,
                 DbError* error);
  // The done row whose record has this digest; 0 when none.
  bool FindDoneRow(const std::string& batch, const std::string& sha, std::int64_t* row,
                   DbError* error);
  // A unit's result with the database's time, and the row's new state, in
  // one transaction. kept is false when a result under key was kept before.
  bool KeepResult(const std::string& batch, const std::string& key, std::int64_t row,
                  const std::string& station, const std::string& port, UnitResult result,
                  const std::string& sha, RowState next, bool* kept, DbError* error);
  // Rows free, or claimed by station.
  bool CountLeft(const std::string& batch, const std::string& station, std::int64_t* left,
                 DbError* error);
  // Rows free or claimed, of any station.
  bool CountOpen(const std::string& batch, std::int64_t* open, DbError* error);

 private:
  bool Exec(const std::string& sql, const std::vector<DbValue>& params, DbResult* result,
            DbError* error);
  bool Count(const std::string& sql, const std::vector<DbValue>& params, std::int64_t* count,
             DbError* error);
  bool Abandon();

  Database db_;
  const Dialect* dialect_ = &kPostgres;
};

#endif
