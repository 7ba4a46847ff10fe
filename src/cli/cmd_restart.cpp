// dtucfg restart: the unit restarts and says so.
#include "cli/fleet.h"
#include "cli/options.h"
#include "protocol/unit_session.h"

namespace {

int RunRestart(const Options& options) {
  return RunAcknowledged(options, RestartUnit, "Reboot successfully!\n");
}

}  // namespace

const CliCommand kRestartCommand = {"restart", "Restart the unit", AddPortOptions, RunRestart};
