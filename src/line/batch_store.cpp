#include "line/batch_store.h"

#include <algorithm>

namespace {

DbValue StateWord(RowState state) { return std::string(RowStateName(state)); }
DbValue ResultWord(UnitResult result) { return std::string(ResultName(result)); }

}  // namespace

std::int64_t BatchStore::Number(const std::optional<std::string>& cell) {
  return cell ? std::stoll(*cell) : 0;
}

bool BatchStore::Connect(const std::string& connection, const DbLimits& limits, DbError* error) {
  db_.SetLimits(limits);
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
  // The server ends a statement, or a wait for a lock, before the caller
  // stops waiting for it, so that the connection stays usable.
  const auto call = limits.call.count();
  if (!Exec(dialect_->sessionLimits, {std::to_string(call / 2), std::to_string(call * 3 / 4)},
            nullptr, error)) {
    db_.Disconnect();
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

bool BatchStore::Word(const std::string& sql, const std::vector<DbValue>& params, std::string* word,
                      DbError* error) {
  DbResult result;
  if (!Exec(sql, params, &result, error)) {
    return false;
  }
  *word = result.rows.empty() ? "" : result.rows[0].at(0).value_or("");
  return true;
}

// Ends a transaction that failed; its first error stays the one told.
bool BatchStore::Abandon() {
  DbError ignored;
  db_.Rollback(&ignored);
  return false;
}

namespace {

// Rows one statement stores, each column of them a list bound as one
// parameter: a round trip, or a parameter, per row would make a batch of
// 100,000 rows take minutes; and each statement stays well inside the time
// limit of a call.
constexpr std::size_t kRowsAtOnce = 10000;

struct UniqueValue {
  std::string key;
  std::string hex;
  std::int64_t row;
};

}  // namespace

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
  const std::string storeRows =
      "INSERT INTO dtucfg_row (batch, row_no, cells, record_sha256, state) SELECT ?, "
      "CAST(lists.n AS INTEGER), lists.c, lists.s, ? FROM " +
      dialect_->listsTable({"n", "c", "s"});
  std::vector<UniqueValue> unique;
  for (std::size_t first = 0; first < batch.rows.size(); first += kRowsAtOnce) {
    const std::size_t count = std::min(kRowsAtOnce, batch.rows.size() - first);
    std::vector<std::string> numbers;
    std::vector<std::string> cells;
    std::vector<std::string> digests;
    numbers.reserve(count);
    cells.reserve(count);
    digests.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
      const StoredBatch::Row& row = batch.rows[i];
      numbers.push_back(std::to_string(row.number));
      cells.push_back(row.cells);
      digests.push_back(row.sha);
      for (const auto& [key, hex] : row.unique) {
        unique.push_back({key, hex, row.number});
      }
    }
    if (!Exec(storeRows,
              {batch.name, StateWord(RowState::Free), dialect_->list(numbers),
               dialect_->list(cells), dialect_->list(digests)},
              nullptr, error)) {
      Abandon();
      return Stored::Failed;
    }
  }
  // The database holds every value unique against every batch; a clash is
  // named by the first row, in the batch's order, whose value another has.
  const std::string storeUnique =
      "INSERT INTO dtucfg_unique (key_name, value_hex, batch, row_no) SELECT lists.k, lists.v, "
      "?, CAST(lists.r AS INTEGER) FROM " +
      dialect_->listsTable({"k", "v", "r"});
  for (std::size_t first = 0; first < unique.size(); first += kRowsAtOnce) {
    const std::size_t count = std::min(kRowsAtOnce, unique.size() - first);
    std::vector<std::string> places;
    std::vector<std::string> keys;
    std::vector<std::string> values;
    std::vector<std::string> rows;
    for (std::size_t i = first; i < first + count; ++i) {
      places.push_back(std::to_string(i));
      keys.push_back(unique[i].key);
      values.push_back(unique[i].hex);
      rows.push_back(std::to_string(unique[i].row));
    }
    if (Exec(storeUnique,
             {batch.name, dialect_->list(keys), dialect_->list(values), dialect_->list(rows)},
             nullptr, error)) {
      continue;
    }
    Abandon();
    if (Fault(*error) != DbFault::Duplicate) {
      return Stored::Failed;
    }
    *clash = Clash{unique[first].row, unique[first].key, "", ""};
    DbResult owner;
    DbError ignored;
    if (Exec("SELECT CAST(lists.r AS INTEGER), lists.k, u.batch, u.row_no FROM " +
                 dialect_->listsTable({"p", "k", "v", "r"}) +
                 " JOIN dtucfg_unique u ON u.key_name = lists.k AND u.value_hex = lists.v ORDER "
                 "BY CAST(lists.p AS INTEGER) FETCH FIRST 1 ROWS ONLY",
             {dialect_->list(places), dialect_->list(keys), dialect_->list(values),
              dialect_->list(rows)},
             &owner, &ignored) &&
        !owner.rows.empty()) {
      const DbRow& found = owner.rows[0];
      *clash = Clash{Number(found[0]), found[1].value_or(""), found[2].value_or(""),
                     found[3].value_or("")};
    }
    return Stored::Clash;
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

bool BatchStore::RowsIn(const std::string& batch, RowState state, const std::string& station,
                        std::vector<HeldRow>* rows, DbError* error) {
  DbResult held;
  if (!Exec("SELECT row_no, port, " + dialect_->timeText("claimed_at") +
                ", claim_key FROM dtucfg_row WHERE batch = ? AND state = ? AND station = ? ORDER "
                "BY row_no",
            {batch, StateWord(state), station}, &held, error)) {
    return false;
  }
  rows->clear();
  for (const DbRow& row : held.rows) {
    rows->push_back({Number(row[0]), station, row[1].value_or(""),
                     dialect_->isoTime(row[2].value_or("")), "", row[3].value_or("")});
  }
  return true;
}

namespace {

// Results a page of batch report holds: the driver reads a whole result into
// memory, so a batch's are read a page at a time.
constexpr std::int64_t kResultsAtOnce = 5000;

}  // namespace

bool BatchStore::Results(const std::string& batch,
                         const std::function<bool(const std::vector<ReportRow>&)>& take,
                         DbError* error) {
  // Keyset pages, in the order of the index on (batch, at): each page starts
  // after the last one's time and id, however many results came before.
  const std::string select = "SELECT " + dialect_->timeText("r.at") +
                             ", r.station, r.port, r.row_no, r.result, w.cells, "
                             "r.record_sha256, r.id FROM dtucfg_result r LEFT JOIN dtucfg_row w "
                             "ON w.batch = r.batch AND w.row_no = r.row_no WHERE r.batch = ?";
  const std::string order =
      " ORDER BY r.at, r.id FETCH FIRST " + std::to_string(kResultsAtOnce) + " ROWS ONLY";
  const std::string after =
      " AND (r.at, r.id) > (CAST(? AS " + std::string(dialect_->timeType) + "), CAST(? AS BIGINT))";
  // One snapshot, so that the pages neither miss nor repeat a result kept
  // meanwhile.
  if (!db_.BeginSnapshot(error)) {
    return Abandon();
  }
  const std::string first = select + order;
  const std::string next = select + after + order;
  std::optional<std::string> lastAt;
  std::int64_t lastId = 0;
  std::vector<ReportRow> rows;
  for (;;) {
    DbResult page;
    const bool read = lastAt ? Exec(next, {batch, *lastAt, lastId}, &page, error)
                             : Exec(first, {batch}, &page, error);
    if (!read) {
      return Abandon();
    }
    rows.clear();
    for (const DbRow& row : page.rows) {
      rows.push_back({dialect_->isoTime(row[0].value_or("")), row[1].value_or(""),
                      row[2].value_or(""), row[3].value_or(""), row[4].value_or(""), row[5],
                      row[6].value_or("")});
    }
    if (!page.rows.empty() && !take(rows)) {
      break;
    }
    if (page.rows.size() < static_cast<std::size_t>(kResultsAtOnce)) {
      break;
    }
    lastAt = page.rows.back()[0];
    lastId = Number(page.rows.back()[7]);
  }
  // Nothing was changed: the snapshot is let go.
  return db_.Rollback(error);
}

bool BatchStore::RowHolder(const std::string& batch, std::int64_t row, bool* found, HeldRow* holder,
                           RowState* state, DbError* error) {
  DbResult result;
  if (!Exec("SELECT state, station, port, claim_key FROM dtucfg_row WHERE batch = ? AND row_no "
            "= ?",
            {batch, row}, &result, error)) {
    return false;
  }
  *found = !result.rows.empty() && ParseRowState(result.rows[0][0].value_or(""), state);
  if (*found) {
    const DbRow& held = result.rows[0];
    *holder = {row, held[1].value_or(""), held[2].value_or(""), "", "", held[3].value_or("")};
  }
  return true;
}

namespace {

// NULL for an empty text, as the tables keep a missing station, port or key.
DbValue Optional(const std::string& text) { return text.empty() ? DbValue{} : DbValue{text}; }

}  // namespace

bool BatchStore::Settle(const std::string& batch, const HeldRow& holder, RowState state,
                        Settlement how, Settled* settled, DbError* error) {
  std::string word;
  if (!Word(dialect_->settleRow,
            {batch, holder.row, std::string(SettlementName(how)), StateWord(state),
             Optional(holder.station), Optional(holder.key)},
            &word, error)) {
    return false;
  }
  const std::pair<const char*, Settled> words[] = {{"settled", Settled::Settled},
                                                   {"running", Settled::Running},
                                                   {"refused", Settled::Refused},
                                                   {"missing", Settled::Missing}};
  *settled = Settled::Changed;
  for (const auto& [said, meant] : words) {
    if (word == said) {
      *settled = meant;
    }
  }
  return true;
}

bool BatchStore::TakeStation(const std::string& station, const std::string& token,
                             const std::string& batch, bool* taken, DbError* error) {
  std::int64_t got = 0;
  const bool done = Count(dialect_->takeStation, {station, token, batch}, &got, error);
  *taken = got == 1;
  return done;
}

bool BatchStore::BeatStation(const std::string& station, const std::string& token, bool* held,
                             DbError* error) {
  std::int64_t got = 0;
  const bool done = Count(dialect_->beatStation, {station, token}, &got, error);
  *held = got == 1;
  return done;
}

bool BatchStore::GiveBackStation(const std::string& station, const std::string& token,
                                 DbError* error) {
  return Exec(dialect_->giveBackStation, {station, token}, nullptr, error);
}

bool BatchStore::AdoptRows(const std::string& batch, const std::string& station,
                           const std::string& token, const std::string& run,
                           std::vector<HeldRow>* rows, DbError* error) {
  DbResult adopted;
  if (!Exec(dialect_->adoptRows, {batch, station, token, run}, &adopted, error)) {
    return false;
  }
  rows->clear();
  for (const DbRow& row : adopted.rows) {
    rows->push_back({Number(row[0]), station, row[1].value_or(""), "", "", row[2].value_or("")});
  }
  return true;
}

bool BatchStore::ClaimRow(const std::string& batch, const std::string& station,
                          const std::string& token, const std::string& port, const std::string& key,
                          std::int64_t* row, DbError* error) {
  return Count(dialect_->claimRow, {batch, station, token, port, key}, row, error);
}

bool BatchStore::FindClaim(const std::string& batch, const std::string& key, std::int64_t* row,
                           DbError* error) {
  return Count("SELECT row_no FROM dtucfg_row WHERE batch = ? AND claim_key = ? AND state = ?",
               {batch, key, StateWord(RowState::Claimed)}, row, error);
}

bool BatchStore::FindDoneRow(const std::string& batch, const std::string& sha, std::int64_t* row,
                             DbError* error) {
  return Count("SELECT row_no FROM dtucfg_row WHERE batch = ? AND state = ? AND record_sha256 = ?",
               {batch, StateWord(RowState::Done), sha}, row, error);
}

bool BatchStore::KeepResult(const std::string& batch, const Result& result, Kept* kept,
                            DbError* error) {
  std::string word;
  if (!Word(dialect_->keepResult,
            {result.key, batch, result.row == 0 ? DbValue{} : DbValue{result.row}, result.station,
             result.token, result.port, ResultWord(result.result), result.sha,
             Optional(result.claimKey), StateWord(result.next)},
            &word, error)) {
    return false;
  }
  *kept = word == "kept"    ? Kept::Kept
          : word == "again" ? Kept::Again
          : word == "taken" ? Kept::TakenBack
                            : Kept::Lapsed;
  return true;
}

bool BatchStore::AnyLeft(const std::string& batch, const std::string& station, bool* left,
                         DbError* error) {
  std::int64_t any = 1;
  const bool done = Count(
      "SELECT CASE WHEN EXISTS (SELECT 1 FROM dtucfg_row WHERE batch = ? AND state = ?) OR "
      "EXISTS (SELECT 1 FROM dtucfg_row WHERE batch = ? AND state = ? AND station = ?) THEN 1 "
      "ELSE 0 END",
      {batch, StateWord(RowState::Free), batch, StateWord(RowState::Claimed), station}, &any,
      error);
  *left = any != 0;
  return done;
}

bool BatchStore::CountOpen(const std::string& batch, std::int64_t* open, DbError* error) {
  return Count("SELECT COUNT(*) FROM dtucfg_row WHERE batch = ? AND state IN (?, ?)",
               {batch, StateWord(RowState::Free), StateWord(RowState::Claimed)}, open, error);
}
