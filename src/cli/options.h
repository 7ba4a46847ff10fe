// What dtucfg's commands are told on the command line, and how a command
// declares itself: its name, its help, its own options and what it runs.
#ifndef DTU_CLI_OPTIONS_H
#define DTU_CLI_OPTIONS_H

#include <string>
#include <vector>

namespace CLI {
class App;
}

struct Options {
  double timeoutSeconds = 10;
  std::string logFile;
  bool quiet = false;
  std::vector<std::string> ports;
  std::string file;
  std::string out;
  std::string format;
  std::vector<std::string> sets;
  std::string units;
  std::vector<std::string> uniques;
  std::string report;
  bool raw = false;
  bool noVerify = false;
  bool json = false;
  bool yes = false;
};

struct CliCommand {
  const char* name;
  const char* help;
  // Adds the command's own options, bound to options.
  void (*addOptions)(CLI::App& command, Options& options);
  int (*run)(const Options& options);
};

// One table entry per command, each in the file that runs it; the
// production line's are in line/commands.h.
extern const CliCommand kPortsCommand;
extern const CliCommand kSearchCommand;
extern const CliCommand kReadCommand;
extern const CliCommand kWriteCommand;
extern const CliCommand kDiffCommand;
extern const CliCommand kRestartCommand;
extern const CliCommand kFactoryResetCommand;
extern const CliCommand kShowCommand;

// Options more than one command takes.
// --port (repeatable, or "all") and --json.
void AddPortOptions(CLI::App& command, Options& options);
void AddSetOption(CLI::App& command, Options& options);
// PROFILE, as write, diff and line take it.
void AddProfileOption(CLI::App& command, Options& options);
// --units, with what it is for, and --unique, as write and line take them.
void AddUnitsOptions(CLI::App& command, Options& options, const char* unitsHelp);

// Each wait for the unit, as the session counts it.
unsigned TimeoutMs(const Options& options);

#endif
