#include "line/db_connect.h"

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "line/connection_string.h"

void AddDbOption(CLI::App& command, std::string* db) {
  command
      .add_option("--db", *db,
                  "The database: an ODBC connection string (DSN=NAME, or Driver=...;Server=...); "
                  "DTUCFG_DB when not given")
      ->type_name("CONNECTION");
}

int DbConnectionString(const std::string& given, std::string* connection) {
  *connection = given;
  if (connection->empty()) {
    *connection = platform::Environment("DTUCFG_DB").value_or("");
  }
  if (connection->empty()) {
    Error("give --db CONNECTION (an ODBC connection string, or DSN=NAME), or set DTUCFG_DB");
    return kExitUsage;
  }
  return kExitOk;
}

std::string DbErrorText(const DbError& error) {
  return error.message + (error.sqlState.empty() ? "" : " (SQLSTATE " + error.sqlState + ")");
}

std::string ReachError(const std::string& connection, const DbError& error) {
  return "cannot reach the database (" + MaskPassword(connection) + "): " + DbErrorText(error);
}

void TellDbError(const std::string& what, const DbError& error) {
  Error(what + ": " + DbErrorText(error));
}

int ConnectStore(const std::string& connection, BatchStore* store) {
  DbError error;
  if (!store->Connect(connection, &error)) {
    Error(ReachError(connection, error));
    return kExitPort;
  }
  return kExitOk;
}

int UseSchema(BatchStore& store, bool create) {
  DbError error;
  int version = 0;
  if (!store.SchemaVersion(&version, &error)) {
    TellDbError("cannot read the line's tables", error);
    return kExitUnit;
  }
  if (version == 0 && !create) {
    Error("this database has no batches yet (\"dtucfg batch create\" makes the tables)");
    return kExitUsage;
  }
  if (version == 0 && !store.CreateSchema(&error)) {
    // Another dtucfg may have made them meanwhile.
    DbError again;
    if (!store.SchemaVersion(&version, &again) || version == 0) {
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
