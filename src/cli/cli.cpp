#include "cli/cli.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "cli/connection_string.h"
#include "cli/options.h"
#include "cli/platform.h"

int RunCli(int argc, char** argv, const CliCommand* const* commands, std::size_t count) {
  Options options;
  CLI::App app{"Reads, writes, checks, restarts and resets a DTU over a serial port.", "dtucfg"};
  app.set_version_flag("--version", std::string("dtucfg ") + DTU_VERSION);
  app.require_subcommand(1);
  app.add_option("--timeout", options.timeoutSeconds, "Each wait for the unit, in seconds")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.01, 86400.0).description(""))
      ->capture_default_str();
  app.add_option("--log", options.logFile, "Append every chunk sent and received to FILE")
      ->type_name("FILE");
  app.add_flag("-q,--quiet", options.quiet, "No progress and no notes");
  app.footer(
      "PORT is COM1..COM256 on Windows, a device path on Linux, \"sim\" (a simulated unit in\n"
      "the program) or \"sim:FILE\" (one whose record is kept in FILE). Without --port, the one\n"
      "USB serial adapter there is. --port may be repeated, or be \"all\" (every USB serial\n"
      "adapter): the ports are served at once, each port's output starting with one line\n"
      "\"PORT: result\" and each of its lines prefixed \"PORT: \".\n"
      "Exit codes: 0 done (or the same); 1 differences found; 2 usage error or input refused,\n"
      "nothing sent; 3 no unit answered; 4 the port cannot be opened; 5 the unit failed a\n"
      "command (line: the report or the database cannot be written); 6 trace: no batch or\n"
      "report has the unit's ID; 130 interrupted. With several ports, the largest of theirs;\n"
      "with a database, 4 when it cannot be reached.");

  std::vector<CLI::App*> subcommands(count);
  for (std::size_t i = 0; i < count; ++i) {
    subcommands[i] = app.add_subcommand(commands[i]->name, commands[i]->help);
    subcommands[i]->fallthrough();
    commands[i]->addOptions(*subcommands[i], options);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // What was refused is echoed: a connection string among it keeps its
    // password to itself, even where a shell split it.
    std::ostringstream out;
    std::ostringstream err;
    const int code = app.exit(e, out, err);
    const std::vector<std::string> secrets = ArgumentSecrets(argc, argv);
    std::fputs(out.str().c_str(), stdout);
    platform::WriteError(MaskSecrets(err.str(), secrets));
    return code == 0 ? kExitOk : kExitUsage;
  }
  std::size_t chosen = 0;
  while (!*subcommands[chosen]) {
    ++chosen;
  }
  return commands[chosen]->run(options);
}
