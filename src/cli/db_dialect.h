// What the line's tables need that standard SQL does not say, for the one
// server dtucfg is tested with (PostgreSQL). Another server is added here.
#ifndef DTU_CLI_DB_DIALECT_H
#define DTU_CLI_DB_DIALECT_H

#include <string>

namespace dialect {

// A column the server numbers itself.
extern const char* const kSerialColumn;
// Long text.
extern const char* const kTextType;
// Takes the lowest free row of a batch for a station's port in one
// statement, passing over rows another claimer holds at that moment, and
// gives its number. Parameters: station, port, claim key, batch, batch.
extern const char* const kClaimRow;
// The number of this connection's server process. No parameters.
extern const char* const kConnectionId;
// One row when the server process with this number still runs. Parameter:
// the number.
extern const char* const kConnectionAlive;
// Whether the error says the table asked for does not exist.
bool IsMissingTable(const std::string& sqlState);
// An expression giving a time column as text, with its zone, for IsoTime.
std::string TimeText(const std::string& column);
// A time as the server writes it, as ISO 8601 with its zone:
// "2026-12-07 19:06:08.123+01" becomes "2026-12-07T19:06:08+01:00".
std::string IsoTime(const std::string& serverTime);

}  // namespace dialect

#endif
