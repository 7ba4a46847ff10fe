// The production line's tables in a shared database: the schema and its
// version, batches with their rows, results, settlements and the stations
// that run. Every value goes in as a bound parameter.
#ifndef DTU_CLI_DB_BATCH_H
#define DTU_CLI_DB_BATCH_H

#include <string>
#include <vector>

#include "cli/odbc.h"
#include "cli/units.h"

struct Options;

// The schema this dtucfg knows.
inline constexpr int kSchemaVersion = 1;
// How long a station may stay unheard before its name counts as free.
inline constexpr int kStationStaleSeconds = 20;

// --db, else DTUCFG_DB; kExitUsage, told, when neither gives one.
int DbConnectionString(const Options& options, std::string* connection);
// kExitOk, or kExitPort once the driver's reason is told (password masked).
int ConnectDb(const std::string& connection, Database* db);

// kExitOk; kExitUsage when there is no schema (and create is false) or a
// newer one; kExitUnit when the database failed. Told.
int UseSchema(Database& db, bool create);

// A profile's bytes as the batch keeps them: their hex, since a form saves
// its texts in the PC's code page, which need not be UTF-8. LoadBatch reads
// them back.
std::string StoredProfile(const std::string& bytes);

// A batch as the stations take it: its profile, --set values and rows, each
// row's record made again by this dtucfg and checked against the digest it
// was stored with. kExitOk, or kExitUsage / kExitUnit with error set.
int LoadBatch(Database& db, const std::string& name, WriteInput* input, std::string* error);

// Whether a station of this name runs now: heard from lately, and its
// connection still there.
bool StationRunning(Database& db, const std::string& station, DbError* error);

// "batch NAME" for messages.
std::string BatchName(const std::string& name);
// Tells a database error (its SQLSTATE and message) after what.
void TellDbError(const std::string& what, const DbError& error);

#endif
