// dtucfg search: whether a unit answers on the port.
#include "cli/cli.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/output.h"

namespace {

int RunSearch(const Options& options) {
  return RunDevice(options, options.json, [](Command& command) {
    const int code = command.Start();
    if (code == kExitOk) {
      Result("Find DTU\n");
    }
    return code;
  });
}

}  // namespace

const CliCommand kSearchCommand = {"search", "Search for the unit", AddPortOptions, RunSearch};
