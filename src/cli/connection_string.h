// ODBC connection strings, as far as dtucfg reads them: to hide their
// passwords in everything it prints, even where a shell has split one.
#ifndef DTU_CLI_CONNECTION_STRING_H
#define DTU_CLI_CONNECTION_STRING_H

#include <string>
#include <vector>

// The connection string with the value of every key whose name holds "pwd"
// or "password" (any case, braced or not, however short) shown as ***: for
// every message that echoes one.
std::string MaskPassword(const std::string& connectionString);
// A driver's message with the passwords of connectionString, and any Pwd= in
// it, masked.
std::string MaskMessage(std::string message, const std::string& connectionString);
// The passwords the arguments hold, with the pieces of a braced one that a
// shell split off into the arguments after it.
std::vector<std::string> ArgumentSecrets(int argc, const char* const* argv);
// text with those secrets, and any key that holds a password, masked.
std::string MaskSecrets(std::string text, const std::vector<std::string>& secrets);

#endif
