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
// given, else DTUCFG_DB; kExitUsage, told, when neither gives one.
int DbConnectionString(const std::string& given, std::string* connection);
// "cannot reach the database (CONNECTION): why", the password masked.
std::string ReachError(const std::string& connection, const DbError& error);
// kExitOk, or kExitPort once the driver's reason is told.
int ConnectStore(const std::string& connection, BatchStore* store);
// kExitOk; kExitUsage when there are no tables (and create is false) or
// newer ones; kExitUnit when the database failed. Told.
int UseSchema(BatchStore& store, bool create);
// The driver's words and its SQLSTATE.
std::string DbErrorText(const DbError& error);
// Tells what failed, and the database's words for it.
void TellDbError(const std::string& what, const DbError& error);

#endif
