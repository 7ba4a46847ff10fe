#include "cli/db_batch.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "cli/csv.h"
#include "cli/db_dialect.h"
#include "cli/ledger.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"

namespace {

// Version 1 of the line's tables. Batch rows keep their values as one CSV
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

// A statement of kSchema in the dialect's types.
std::string SchemaStatement(const char* text) {
  std::string statement = text;
  const std::pair<const char*, const char*> words[] = {
      {"{text}", dialect::kTextType},
      {"{time}", "TIMESTAMP WITH TIME ZONE"},
      {"{serial}", dialect::kSerialColumn},
  };
  for (const auto& [word, type] : words) {
    for (std::size_t at = statement.find(word); at != std::string::npos;
         at = statement.find(word, at)) {
      statement.replace(at, std::strlen(word), type);
    }
  }
  return statement;
}

bool CreateSchema(Database& db, DbError* error) {
  if (!db.Begin(error)) {
    return false;
  }
  const std::string version =
      "INSERT INTO dtucfg_schema (version) VALUES (" + std::to_string(kSchemaVersion) + ")";
  for (const char* statement : kSchema) {
    if (!db.Exec(SchemaStatement(statement), {}, nullptr, error) ||
        (statement == kSchema[0] && !db.Exec(version, {}, nullptr, error))) {
      DbError ignored;
      db.Rollback(&ignored);
      return false;
    }
  }
  return db.Commit(error);
}

// The version the tables carry; 0 when there are none.
bool SchemaVersion(Database& db, int* version, DbError* error) {
  DbResult result;
  if (!db.Exec("SELECT version FROM dtucfg_schema", {}, &result, error)) {
    if (!dialect::IsMissingTable(error->sqlState)) {
      return false;
    }
    *version = 0;
    return true;
  }
  *version = result.rows.empty() || !result.rows[0][0] ? 0 : std::stoi(*result.rows[0][0]);
  return true;
}

// One CSV row as its fields; nothing for an empty text.
bool CsvFields(const std::string& text, std::vector<std::string>* fields, std::string* error) {
  CsvTable table;
  if (!ParseCsv(text, &table, error)) {
    return false;
  }
  if (table.rows.size() > 1) {
    *error = "more than one row";
    return false;
  }
  *fields = table.rows.empty() ? std::vector<std::string>{} : table.rows[0];
  return true;
}

// StoredProfile's text back as bytes.
bool FromHex(const std::string& hex, std::string* bytes) {
  const auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  if (hex.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]);
    const int low = digit(hex[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

}  // namespace

std::string BatchName(const std::string& name) { return "batch " + name; }

std::string StoredProfile(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return hex;
}

void TellDbError(const std::string& what, const DbError& error) {
  Error(what + ": " + error.message +
        (error.sqlState.empty() ? "" : " (SQLSTATE " + error.sqlState + ")"));
}

int DbConnectionString(const Options& options, std::string* connection) {
  *connection = options.db;
  if (connection->empty()) {
    *connection = platform::Environment("DTUCFG_DB").value_or("");
  }
  if (connection->empty()) {
    Error("give --db CONNECTION (an ODBC connection string, or DSN=NAME), or set DTUCFG_DB");
    return kExitUsage;
  }
  return kExitOk;
}

int ConnectDb(const std::string& connection, Database* db) {
  DbError error;
  if (!db->Connect(connection, &error)) {
    TellDbError("cannot reach the database (" + MaskPassword(connection) + ")", error);
    return kExitPort;
  }
  return kExitOk;
}

int UseSchema(Database& db, bool create) {
  DbError error;
  int version = 0;
  if (!SchemaVersion(db, &version, &error)) {
    TellDbError("cannot read the line's tables", error);
    return kExitUnit;
  }
  if (version == 0 && !create) {
    Error("this database has no batches yet (\"dtucfg batch create\" makes the tables)");
    return kExitUsage;
  }
  if (version == 0 && !CreateSchema(db, &error)) {
    // Another dtucfg may have made them meanwhile.
    DbError again;
    if (!SchemaVersion(db, &version, &again) || version == 0) {
      TellDbError("cannot make the line's tables (the database's owner can)", error);
      return kExitUnit;
    }
  }
  if (version > kSchemaVersion) {
    Error("the line's tables in this database are version " + std::to_string(version) +
          "; this dtucfg knows version " + std::to_string(kSchemaVersion) +
          " only, so it leaves them alone: use a newer dtucfg");
    return kExitUsage;
  }
  return kExitOk;
}

int LoadBatch(Database& db, const std::string& name, WriteInput* input, std::string* error) {
  DbError dbError;
  DbResult batch;
  if (!db.Exec("SELECT profile, sets, columns, unique_keys FROM dtucfg_batch WHERE name = ?",
               {name}, &batch, &dbError)) {
    *error = "cannot read " + BatchName(name) + ": " + dbError.message;
    return kExitUnit;
  }
  if (batch.rows.empty()) {
    *error = "there is no " + BatchName(name) + " in this database";
    return kExitUsage;
  }
  const DbRow& stored = batch.rows[0];
  std::vector<std::string> sets;
  CsvTable csv;
  csv.rows.emplace_back();
  std::vector<std::string> unique;
  if (!CsvFields(stored[1].value_or(""), &sets, error) ||
      !CsvFields(stored[2].value_or(""), &csv.rows[0], error) ||
      !CsvFields(stored[3].value_or(""), &unique, error)) {
    *error = BatchName(name) + " is damaged: " + *error;
    return kExitUsage;
  }
  std::vector<Override> overrides;
  for (const std::string& set : sets) {
    Override override{};
    if (!ParseOverride(set, &override, error)) {
      return kExitUsage;
    }
    overrides.push_back(override);
  }
  std::string profile;
  if (!FromHex(stored[0].value_or(""), &profile)) {
    *error = BatchName(name) + " is damaged: its profile cannot be read";
    return kExitUsage;
  }
  if (!LoadProfileText(BatchName(name), profile, overrides, &input->base, error)) {
    return kExitUsage;
  }
  DbResult rows;
  if (!db.Exec("SELECT row_no, cells, record_sha256 FROM dtucfg_row WHERE batch = ? ORDER BY "
               "row_no",
               {name}, &rows, &dbError)) {
    *error = "cannot read the rows of " + BatchName(name) + ": " + dbError.message;
    return kExitUnit;
  }
  csv.lines.push_back(1);
  for (std::size_t i = 0; i < rows.rows.size(); ++i) {
    std::vector<std::string> cells;
    if (rows.rows[i][0].value_or("") != std::to_string(i + 1) ||
        !CsvFields(rows.rows[i][1].value_or(""), &cells, error)) {
      *error = BatchName(name) + " is damaged at row " + std::to_string(i + 1);
      return kExitUsage;
    }
    csv.rows.push_back(cells);
    csv.lines.push_back(i + 2);
  }
  if (!BuildUnits(BatchName(name), csv, input->base, unique, &input->units, error)) {
    return kExitUsage;
  }
  input->hasUnits = true;
  for (std::size_t i = 0; i < rows.rows.size(); ++i) {
    if (RecordSha(input->units.rows[i].record) != rows.rows[i][2].value_or("")) {
      *error = BatchName(name) + " row " + std::to_string(i + 1) +
               ": this dtucfg would write another record than the one the batch was made "
               "with; use the dtucfg version that made it";
      return kExitUsage;
    }
  }
  return kExitOk;
}

bool StationRunning(Database& db, const std::string& station, DbError* error) {
  DbResult seen;
  if (!db.Exec("SELECT backend FROM dtucfg_station WHERE name = ? AND seen_at > "
               "CURRENT_TIMESTAMP - INTERVAL '" +
                   std::to_string(kStationStaleSeconds) + "' SECOND",
               {station}, &seen, error)) {
    return false;
  }
  if (seen.rows.empty()) {
    return false;
  }
  if (!seen.rows[0][0]) {
    return true;
  }
  // A station that died leaves its connection behind only as long as the
  // server takes to notice.
  DbResult alive;
  if (!db.Exec(dialect::kConnectionAlive, {std::stoll(*seen.rows[0][0])}, &alive, error)) {
    return true;
  }
  return !alive.rows.empty();
}
