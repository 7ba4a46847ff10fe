// The line's tables as the first batch create makes them, the rules the
// server keeps for them, and their version.
#include <iterator>
#include <utility>
#include <vector>

#include "line/batch_store.h"

namespace {

// The line's tables, as version 1 made them. Batch rows keep their values as one CSV
// row each, so that they come back exactly as the CSV had them; a unique
// value is kept as the bytes the unit gets, so that "7B 92" and "7b92" clash.
// {text}, {time} and {serial} stand for the dialect's types.
const char* const kSchema[] = {
    R"(CREATE TABLE dtucfg_schema (version INTEGER NOT NULL))",
    R"(CREATE TABLE dtucfg_batch (name VARCHAR(200) NOT NULL PRIMARY KEY,
        profile {text} NOT NULL, sets {text} NOT NULL, columns {text} NOT NULL,
        unique_keys {text} NOT NULL, created_at {time} DEFAULT CURRENT_TIMESTAMP NOT NULL,
        created_by VARCHAR(200) DEFAULT CURRENT_USER NOT NULL))",
    R"(CREATE TABLE dtucfg_row (batch VARCHAR(200) NOT NULL REFERENCES dtucfg_batch (name),
        row_no INTEGER NOT NULL, cells {text} NOT NULL, record_sha256 CHAR(64) NOT NULL,
        state VARCHAR(8) NOT NULL, station VARCHAR(200), port VARCHAR(400),
        claim_key VARCHAR(100), claimed_at {time}, PRIMARY KEY (batch, row_no)))",
    R"(CREATE INDEX dtucfg_row_state ON dtucfg_row (batch, state, row_no))",
    R"(CREATE INDEX dtucfg_row_sha ON dtucfg_row (batch, record_sha256))",
    R"(CREATE TABLE dtucfg_unique (key_name VARCHAR(20) NOT NULL,
        value_hex VARCHAR(200) NOT NULL, batch VARCHAR(200) NOT NULL, row_no INTEGER NOT NULL,
        PRIMARY KEY (key_name, value_hex),
        FOREIGN KEY (batch, row_no) REFERENCES dtucfg_row (batch, row_no)))",
    R"(CREATE TABLE dtucfg_result (id {serial}, result_key VARCHAR(100) NOT NULL UNIQUE,
        batch VARCHAR(200) NOT NULL REFERENCES dtucfg_batch (name), row_no INTEGER,
        station VARCHAR(200) NOT NULL, port VARCHAR(400) NOT NULL, result VARCHAR(12) NOT NULL,
        record_sha256 CHAR(64) NOT NULL, at {time} DEFAULT CURRENT_TIMESTAMP NOT NULL))",
    R"(CREATE INDEX dtucfg_result_at ON dtucfg_result (batch, at))",
    R"(CREATE TABLE dtucfg_settle (id {serial},
        batch VARCHAR(200) NOT NULL REFERENCES dtucfg_batch (name), row_no INTEGER NOT NULL,
        action VARCHAR(8) NOT NULL, station VARCHAR(200), port VARCHAR(400),
        by_user VARCHAR(200) DEFAULT CURRENT_USER NOT NULL,
        at {time} DEFAULT CURRENT_TIMESTAMP NOT NULL))",
    R"(CREATE TABLE dtucfg_station (name VARCHAR(200) NOT NULL PRIMARY KEY,
        token VARCHAR(64) NOT NULL, batch VARCHAR(200), backend BIGINT, seen_at {time} NOT NULL))",
};

// What each version after the first adds to the tables; the rules are made
// anew at every version. Version 2 added only rules.
const char* const kToVersion3[] = {
    // A row's results, for its history and for why it is held.
    R"(CREATE INDEX dtucfg_result_row ON dtucfg_result (batch, row_no, id))",
    // Running tallies, kept by the server as rows change and results come,
    // so that what the views report costs the same at 100 rows or 100,000:
    // rows per batch, station and state (but free, which is what is left of
    // the batch's rows), and results per batch, station and result. A
    // station only ever changes its own tallies.
    R"(CREATE TABLE dtucfg_row_tally (batch VARCHAR(200) NOT NULL, station VARCHAR(200) NOT NULL,
        state VARCHAR(8) NOT NULL, units BIGINT NOT NULL, PRIMARY KEY (batch, station, state)))",
    R"(CREATE TABLE dtucfg_result_tally (batch VARCHAR(200) NOT NULL,
        station VARCHAR(200) NOT NULL, result VARCHAR(12) NOT NULL, units BIGINT NOT NULL,
        last_id BIGINT NOT NULL, PRIMARY KEY (batch, station, result)))",
};

struct Step {
  int version;
  const char* const* statements;
  std::size_t count;
};
const Step kSteps[] = {{2, nullptr, 0}, {3, kToVersion3, std::size(kToVersion3)}};

// text with each {word} of words replaced.
std::string Filled(const char* text,
                   const std::vector<std::pair<std::string, std::string>>& words) {
  std::string statement = text;
  for (const auto& [word, value] : words) {
    for (std::size_t at = statement.find(word); at != std::string::npos;
         at = statement.find(word, at + value.size())) {
      statement.replace(at, word.size(), value);
    }
  }
  return statement;
}

}  // namespace

bool BatchStore::SchemaVersion(int* version, DbError* error) {
  DbResult result;
  // A reporter's login reads the views only.
  const bool read = Exec("SELECT version FROM dtucfg_schema", {}, &result, error) ||
                    (Fault(*error) == DbFault::Denied &&
                     Exec("SELECT version FROM dtucfg_version", {}, &result, error));
  if (!read) {
    if (Fault(*error) != DbFault::MissingTable) {
      return false;
    }
    *version = 0;
    return true;
  }
  *version = result.rows.empty() ? 0 : std::stoi(result.rows[0][0].value_or("0"));
  return true;
}

namespace {

// The words a statement of the schema or the rules may hold.
std::vector<std::pair<std::string, std::string>> Words(const std::string& schema) {
  return {
      {"{schema}", schema},
      {"{lease}", std::to_string(kLeaseSeconds)},
      {"{free}", RowStateName(RowState::Free)},
      {"{claimed}", RowStateName(RowState::Claimed)},
      {"{done}", RowStateName(RowState::Done)},
      {"{void}", RowStateName(RowState::Void)},
      {"{held}", RowStateName(RowState::Held)},
      {"{release}", SettlementName(Settlement::Release)},
      {"{taken_back}", ResultName(UnitResult::TakenBack)},
      {"{ok}", ResultName(UnitResult::Ok)},
  };
}

}  // namespace

// The line's rules and their grants, in the dialect's words.
bool BatchStore::MakeRules(DbError* error) {
  std::string schema;
  if (!Word(dialect_->currentSchema, {}, &schema, error)) {
    return false;
  }
  const auto words = Words(schema);
  for (std::size_t i = 0; i < dialect_->ruleCount; ++i) {
    if (!Exec(Filled(dialect_->rules[i], words), {}, nullptr, error)) {
      return false;
    }
  }
  return true;
}

bool BatchStore::CreateSchema(DbError* error) {
  if (!db_.Begin(error)) {
    return false;
  }
  const std::vector<std::pair<std::string, std::string>> types = {
      {"{text}", dialect_->textType},
      {"{time}", dialect_->timeType},
      {"{serial}", dialect_->serialColumn},
  };
  for (const char* statement : kSchema) {
    if (!Exec(Filled(statement, types), {}, nullptr, error)) {
      return Abandon();
    }
  }
  if (!Steps(1, error) || !MakeRules(error) ||
      !Exec("INSERT INTO dtucfg_schema (version) VALUES (?)", {std::int64_t{kSchemaVersion}},
            nullptr, error)) {
    return Abandon();
  }
  return db_.Commit(error);
}

bool BatchStore::Steps(int from, DbError* error) {
  for (const Step& step : kSteps) {
    for (std::size_t i = 0; step.version > from && i < step.count; ++i) {
      if (!Exec(Filled(step.statements[i], Words("")), {}, nullptr, error)) {
        return false;
      }
    }
  }
  return true;
}

bool BatchStore::UpgradeSchema(int from, DbError* error) {
  if (from < 1 || from >= kSchemaVersion || !db_.Begin(error)) {
    return false;
  }
  DbResult changed;
  if (!Steps(from, error) || !MakeRules(error) ||
      !Exec("UPDATE dtucfg_schema SET version = ? WHERE version = ?",
            {std::int64_t{kSchemaVersion}, std::int64_t{from}}, &changed, error) ||
      changed.affected != 1) {
    return Abandon();
  }
  return db_.Commit(error);
}

bool BatchStore::CommitsDurable(bool* durable, DbError* error) {
  std::int64_t said = 1;
  const bool done = Count(dialect_->commitsDurable, {}, &said, error);
  *durable = said != 0;
  return done;
}
