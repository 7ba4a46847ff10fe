#include "line/db_connect.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "cli/cli.h"
#include "cli/connection_string.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "serial/interrupt.h"

namespace {

constexpr auto kGraceAfterInterrupt = std::chrono::milliseconds(700);

// After Ctrl-C a call may still finish for a moment, so that a result the
// database can keep at once is kept; then every wait ends.
bool StopWaiting() {
  using Clock = std::chrono::steady_clock;
  static std::atomic<Clock::rep> since{0};
  if (!InterruptRequested()) {
    return false;
  }
  const Clock::rep now = Clock::now().time_since_epoch().count();
  Clock::rep first = 0;
  since.compare_exchange_strong(first, now);
  return Clock::duration(now - since.load()) >= kGraceAfterInterrupt;
}

}  // namespace

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

void AddDbTimeoutOption(CLI::App& command, double* seconds) {
  command
      .add_option("--db-timeout", *seconds,
                  "The longest the database may take to connect, to run a statement or to grant "
                  "a lock, in seconds")
      ->type_name("SECONDS")
      ->check(CLI::Range(1.0, 3600.0).description(""))
      ->capture_default_str();
}

DbLimits Limits(double seconds) {
  DbLimits limits;
  limits.call = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
  limits.loginSeconds = static_cast<int>(std::ceil(seconds));
  limits.stop = StopWaiting;
  return limits;
}

int ConnectStore(const std::string& connection, const DbLimits& limits, BatchStore* store) {
  DbError error;
  if (!store->Connect(connection, limits, &error)) {
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
      TellDbError(
          "cannot make the line's tables (the database's owner can, once the roles "
          "dtucfg_station, dtucfg_supervisor and dtucfg_reporter exist)",
          error);
      return kExitUnit;
    }
  }
  if (version > 0 && version < kSchemaVersion && !create) {
    Error("the line's tables in this database are version " + std::to_string(version) +
          "; this dtucfg needs version " + std::to_string(kSchemaVersion) +
          ", which the next \"dtucfg batch create\" by their owner makes of them");
    return kExitUsage;
  }
  if (version > 0 && version < kSchemaVersion && !store.UpgradeSchema(version, &error)) {
    TellDbError("cannot bring the line's tables from version " + std::to_string(version) + " to " +
                    std::to_string(kSchemaVersion) +
                    " (their owner can, once the roles dtucfg_station, dtucfg_supervisor and "
                    "dtucfg_reporter "
                    "exist)",
                error);
    return kExitUnit;
  }
  if (version > kSchemaVersion) {
    Error("the line's tables in this database are version " + std::to_string(version) +
          "; this dtucfg knows version " + std::to_string(kSchemaVersion) +
          " only, so it leaves them alone: use a newer dtucfg");
    return kExitUsage;
  }
  return kExitOk;
}
