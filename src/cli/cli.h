// dtucfg: the command-line sibling of the form, for scripts and for Linux.
#ifndef DTU_CLI_CLI_H
#define DTU_CLI_CLI_H

#include <cstddef>

// Exit codes, as scripts rely on them.
enum ExitCode : int {
  kExitOk = 0,
  kExitDiffers = 1,      // verification or diff found differences
  kExitUsage = 2,        // usage error or input refused: nothing was sent
  kExitNoUnit = 3,       // no unit answered the search
  kExitPort = 4,         // the port cannot be opened or configured
  kExitUnit = 5,         // the unit answered the search, then failed a command
  kExitUnknownUnit = 6,  // trace: no batch, or no row of the report, has the unit's ID
  kExitInterrupted = 130,
};

struct CliCommand;

// Parses the command line into one of commands (in the order help lists
// them) and runs it; the exit code.
int RunCli(int argc, char** argv, const CliCommand* const* commands, std::size_t count);

#endif
