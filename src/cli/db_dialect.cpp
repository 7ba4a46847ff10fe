#include "cli/db_dialect.h"

namespace dialect {

const char* const kSerialColumn = "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY";
const char* const kTextType = "TEXT";

// SKIP LOCKED lets concurrent claimers pass each other instead of queueing
// on the same lowest row; the statement commits on its own (autocommit), so
// no lock outlives it.
const char* const kClaimRow =
    "UPDATE dtucfg_row SET state = 'claimed', station = ?, port = ?, claim_key = ?, "
    "claimed_at = CURRENT_TIMESTAMP "
    "WHERE batch = ? AND state = 'free' AND row_no = (SELECT row_no FROM dtucfg_row WHERE batch = "
    "? AND "
    "state = 'free' ORDER BY row_no LIMIT 1 FOR UPDATE SKIP LOCKED) "
    "RETURNING row_no";

const char* const kConnectionId = "SELECT pg_backend_pid()";
const char* const kConnectionAlive = "SELECT 1 FROM pg_stat_activity WHERE pid = ?";

bool IsMissingTable(const std::string& sqlState) {
  return sqlState == "42P01" || sqlState == "42S02";
}

// Fetched as a time, the driver would drop the zone.
std::string TimeText(const std::string& column) { return "CAST(" + column + " AS VARCHAR(40))"; }

std::string IsoTime(const std::string& serverTime) {
  // "YYYY-MM-DD HH:MM:SS[.ffffff]+HH[:MM]"
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

}  // namespace dialect
