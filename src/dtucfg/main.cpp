// dtucfg: the device commands and the production line's, in the order help
// lists them.
#include <iterator>

#include "cli/cli.h"
#include "cli/options.h"
#include "cli/platform.h"
#include "line/commands.h"

namespace {

const CliCommand* const kCommands[] = {
    &kPortsCommand, &kSearchCommand, &kReadCommand,    &kWriteCommand,        &kDiffCommand,
    &kLineCommand,  &kBatchCommand,  &kRestartCommand, &kFactoryResetCommand, &kShowCommand,
};

}  // namespace

int main(int argc, char** argv) {
  platform::Start();
  return RunCli(argc, argv, kCommands, std::size(kCommands));
}
