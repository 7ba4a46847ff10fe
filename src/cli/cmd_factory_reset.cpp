// dtucfg factory-reset: the unit goes back to its factory settings, once
// the user has said so.
#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "protocol/unit_session.h"
#include "serial/interrupt.h"

namespace {

// Asked on a terminal; without one, --yes is the only answer.
int ConfirmFactoryReset(const Options& options) {
  std::vector<std::string> ports;
  const int code = CheckPorts(options.ports, &ports);
  if (code != kExitOk || options.yes) {
    return code;
  }
  if (!platform::StdinIsTerminal()) {
    Error("factory-reset needs --yes when no terminal can ask; nothing was sent");
    return kExitUsage;
  }
  std::string names;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    names += (i == 0 ? "" : i + 1 == ports.size() ? " and " : ", ") + ports[i];
  }
  platform::WriteError(ports.size() > 1
                           ? "Restore the factory settings of the units on " + names + "? [y/N] "
                           : "Restore the factory settings of the unit on " + names + "? [y/N] ");
  const std::optional<std::string> answer = platform::ReadLine();
  if (InterruptRequested()) {
    platform::WriteError("\n");
    return kExitInterrupted;
  }
  std::string word = answer.value_or("");
  for (char& c : word) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  if (word == "y" || word == "yes") {
    return kExitOk;
  }
  Error("not confirmed; nothing was sent");
  return kExitUsage;
}

int RunFactoryReset(const Options& options) {
  const int code = ConfirmFactoryReset(options);
  if (code != kExitOk) {
    return code;
  }
  return RunAcknowledged(options, ResetUnitToFactory, "SUCESS\n");
}

void AddResetOptions(CLI::App& command, Options& options) {
  AddPortOptions(command, options);
  command.add_flag("--yes", options.yes, "Do not ask");
}

}  // namespace

const CliCommand kFactoryResetCommand = {"factory-reset", "Restore the unit's factory settings",
                                         AddResetOptions, RunFactoryReset};
