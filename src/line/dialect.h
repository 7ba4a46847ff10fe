// What the line's tables need that standard SQL does not say, per server:
// its types; the line's rules kept in the server itself (a claim, a result,
// a station's lease, a supervisor's settlement, each one statement that only
// the role it is for may call); its session limits; time arithmetic and time
// as text; and what its errors mean. One constant of Dialect per server, each
// in a file of its own (dialect_NAME.cpp); the server is known by the name
// its driver gives.
#ifndef DTU_LINE_DIALECT_H
#define DTU_LINE_DIALECT_H

#include <cstddef>
#include <string>
#include <vector>

#include "line/odbc.h"

// What a failed statement means to the line.
enum class DbFault {
  None,
  Lost,          // the server or the link to it is gone: wait, then connect again
  Duplicate,     // a unique constraint refused the row
  Retry,         // a lock or time limit ended it, or a race was lost: try again
  MissingTable,  // the table asked for does not exist
  Denied,        // the login is refused, or may not do this
  ReadOnly,      // the server takes no writes (a standby)
  Other,
};

struct Dialect {
  // As the driver names the server (SQL_DBMS_NAME).
  const char* serverName;
  // Column types: long text, a time with its zone, a key the server numbers.
  const char* textType;
  const char* timeType;
  const char* serialColumn;
  // The rules, made by the owner with the tables (and again when they are
  // upgraded), with the grants to the station and supervisor roles. In their
  // text {schema} is the tables' schema, {lease} a station's lease in
  // seconds, and {free}, {claimed}, {done}, {void}, {held}, {release} and
  // {taken_back} the words for rows, settlements and results.
  const char* const* rules;
  std::size_t ruleCount;
  // The schema the tables are made in, as an identifier. No parameters.
  const char* currentSchema;

  // Calls of the rules; each a statement that gives one row.
  // Takes a station's name for a run when it is free or its lease has
  // lapsed: 1, else 0. Parameters: name, token, batch.
  const char* takeStation;
  // Renews the run's lease: 1, or 0 when another run has the name.
  // Parameters: name, token.
  const char* beatStation;
  // Lets the lease lapse at once. Parameters: name, token.
  const char* giveBackStation;
  // Claims the rows the name holds under the run's keys: their number,
  // port and new key, one row each. Parameters: batch, name, token, run.
  const char* adoptRows;
  // The lowest free row for a port, claimed under key: its number, 0 when
  // none is free, -1 when the run's lease is not live. Parameters: batch,
  // name, token, port, key.
  const char* claimRow;
  // A unit's result, and the row's next state: "kept", "again" (kept
  // before under this key), "taken" (the row is no longer this claim's: the
  // result is kept as taken back, now or before) or "lapsed" (the lease is
  // not live: nothing kept). Parameters: result key, batch, row, name, token, port,
  // result, digest, claim key (NULL for a row not claimed), next state.
  const char* keepResult;
  // A supervisor's release or void of a row still as it was read:
  // "settled", "changed", "running" (its station's lease is live),
  // "refused" (not in a state to settle) or "missing". Parameters: batch,
  // row, action, the state, station and claim key read.
  const char* settleRow;

  // Limits this connection's lock waits and statements. Parameters: lock
  // wait and statement, in milliseconds as text.
  const char* sessionLimits;
  // One row: 1 when the server keeps a commit before it acknowledges it.
  const char* commitsDurable;
  // An expression: the current time less ? seconds.
  const char* secondsAgo;
  // An expression giving a time column as text, with its zone, for isoTime.
  std::string (*timeText)(const std::string& column);
  // A time as the server writes it, as ISO 8601 with its zone.
  std::string (*isoTime)(const std::string& serverTime);
  DbFault (*classify)(const std::string& sqlState, const std::string& message);

  // Many rows in one statement with few parameters: a table, for a FROM,
  // of text columns named as given, the rows given by one list each, bound
  // as one parameter made by list, all of one length. Its name is lists.
  std::string (*listsTable)(const std::vector<std::string>& columns);
  // The values as one parameter of listsTable.
  std::string (*list)(const std::vector<std::string>& values);
};

extern const Dialect kPostgres;

// The dialect of the server the driver names; null for a server dtucfg does
// not know.
const Dialect* FindDialect(const std::string& serverName);
// "PostgreSQL", for a message that refuses another server.
std::string KnownServers();
// What error means on this server.
DbFault FaultOf(const Dialect& dialect, const DbError& error);

#endif
