// What the line's tables need that standard SQL does not say, per server:
// its types, its one-statement claim, how it tells a connection alive, time
// arithmetic and time as text, and what its SQLSTATEs mean. One constant of
// Dialect per server, each in a file of its own (dialect_NAME.cpp); the
// server is known by the name its driver gives.
#ifndef DTU_LINE_DIALECT_H
#define DTU_LINE_DIALECT_H

#include <string>

#include "line/odbc.h"

// What a failed statement means to the line.
enum class DbFault {
  None,
  Lost,          // the server or the link to it is gone: wait, then connect again
  Duplicate,     // a unique constraint refused the row
  Retry,         // the transaction lost a race; running it again may succeed
  MissingTable,  // the table asked for does not exist
  Denied,        // the login may not do this
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
  // Takes the lowest free row of a batch for a station's port in one
  // statement, passing over rows another claimer holds at that moment, and
  // gives its number. Parameters: the claimed state, station, port, claim
  // key, batch, the free state, batch, the free state.
  const char* claimRow;
  // The number of this connection's server process. No parameters.
  const char* connectionId;
  // One row when the server process with this number still runs.
  const char* connectionAlive;
  // An expression: the current time less ? seconds.
  const char* secondsAgo;
  // An expression giving a time column as text, with its zone, for isoTime.
  std::string (*timeText)(const std::string& column);
  // A time as the server writes it, as ISO 8601 with its zone.
  std::string (*isoTime)(const std::string& serverTime);
  DbFault (*classify)(const std::string& sqlState);
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
