// ODBC connection strings, as far as dtucfg reads them: to hide their
// passwords in everything it prints.
#ifndef DTU_LINE_CONNECTION_STRING_H
#define DTU_LINE_CONNECTION_STRING_H

#include <string>

// The connection string with the value of every Pwd= and Password= (any case,
// braced or not) shown as ***: for every message that echoes one.
std::string MaskPassword(const std::string& connectionString);
// A driver's message with the passwords of connectionString, and any Pwd= in
// it, masked.
std::string MaskMessage(std::string message, const std::string& connectionString);

#endif
