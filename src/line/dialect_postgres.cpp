// PostgreSQL, the server dtucfg's line is tested with.
#include "line/dialect.h"

namespace {

// Fetched as a time, the driver would drop the zone.
std::string TimeText(const std::string& column) { return "CAST(" + column + " AS VARCHAR(40))"; }

// "2026-12-07 19:06:08.123+01" becomes "2026-12-07T19:06:08+01:00".
std::string IsoTime(const std::string& serverTime) {
  if (serverTime.size() < 19) {
    return serverTime;
  }
  std::string iso = serverTime.substr(0, 19);
  iso[10] = 'T';
  std::size_t at = 19;
  if (at < serverTime.size() && serverTime[at] == '.') {
    at = serverTime.find_first_of("+-", at);
  }
  if (at == std::string::npos || at >= serverTime.size()) {
    return iso;
  }
  std::string zone = serverTime.substr(at);
  if (zone.size() == 3) {
    zone += ":00";
  }
  return iso + zone;
}

DbFault Classify(const std::string& state) {
  const std::string group = state.substr(0, 2);
  // 57P01..57P03: the server is shutting down, crashed or not yet accepting.
  if (group == "08" || state == "57P01" || state == "57P02" || state == "57P03") {
    return DbFault::Lost;
  }
  if (state == "23505") {
    return DbFault::Duplicate;
  }
  if (state == "40001" || state == "40P01") {
    return DbFault::Retry;
  }
  if (state == "42P01" || state == "42S02") {
    return DbFault::MissingTable;
  }
  if (state == "42501" || group == "28") {
    return DbFault::Denied;
  }
  if (state == "25006") {
    return DbFault::ReadOnly;
  }
  return DbFault::Other;
}

}  // namespace

const Dialect kPostgres = {
    "PostgreSQL",
    "TEXT",
    "TIMESTAMP WITH TIME ZONE",
    "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY",
    // SKIP LOCKED lets concurrent claimers pass each other instead of
    // queueing on the same lowest row; the statement commits on its own
    // (autocommit), so no lock outlives it.
    "UPDATE dtucfg_row SET state = ?, station = ?, port = ?, claim_key = ?, "
    "claimed_at = CURRENT_TIMESTAMP WHERE batch = ? AND state = ? AND row_no = (SELECT row_no "
    "FROM dtucfg_row WHERE batch = ? AND state = ? ORDER BY row_no LIMIT 1 FOR UPDATE SKIP "
    "LOCKED) RETURNING row_no",
    "SELECT pg_backend_pid()",
    "SELECT 1 FROM pg_stat_activity WHERE pid = ?",
    "CURRENT_TIMESTAMP - CAST(? AS INTEGER) * INTERVAL '1' SECOND",
    TimeText,
    IsoTime,
    Classify,
};
