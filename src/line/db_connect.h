// How the line's commands reach the database: the connection string they
// are given, the store on it, the tables' version, and the words for its
// failures (a password is never among them).
#ifndef DTU_LINE_DB_CONNECT_H
#define DTU_LINE_DB_CONNECT_H

#include <string>

#include "line/batch_store.h"

namespace CLI {
class App;
}

// --db, bound to db.
void AddDbOption(CLI::App& command, std::string* db);
// Each database call's limit unless --db-timeout says otherwise, in seconds.
inline constexpr double kDbTimeoutSeconds = 10;
// given, else DTUCFG_DB; kExitUsage, told, when neither gives one.
int DbConnectionString(const std::string& given, std::string* connection);
// "cannot reach the database (CONNECTION): why", the password masked.
std::string ReachError(const std::string& connection, const DbError& error);
// --db-timeout, bound to seconds.
void AddDbTimeoutOption(CLI::App& command, double* seconds);
// The limits on each database call for a --db-timeout, stopping at Ctrl-C.
DbLimits Limits(double seconds);
// kExitOk, or kExitPort once the driver's reason is told.
int ConnectStore(const std::string& connection, const DbLimits& limits, BatchStore* store);
// kExitOk; kExitUsage when there are no tables or older ones (and create is
// false) or newer ones; kExitUnit when the database failed. Told. create
// makes the tables, or brings older ones up to this dtucfg's.
int UseSchema(BatchStore& store, bool create);
// The driver's words and its SQLSTATE.
std::string DbErrorText(const DbError& error);
// Tells what failed, and the database's words for it.
void TellDbError(const std::string& what, const DbError& error);

#endif
