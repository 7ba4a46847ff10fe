// dtucfg: the device commands and the production line's, in the order help
// lists them.
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "cli/cli.h"
#include "cli/options.h"
#include "cli/platform.h"
#include "line/call_thread.h"
#include "line/commands.h"

namespace {

const CliCommand* const kCommands[] = {
    &kPortsCommand,   &kSearchCommand,       &kReadCommand,  &kWriteCommand,
    &kDiffCommand,    &kLineCommand,         &kBatchCommand, &kTraceCommand,
    &kRestartCommand, &kFactoryResetCommand, &kShowCommand,
};

}  // namespace

int main(int argc, char** argv) {
  platform::Start();
  const int code = RunCli(argc, argv, kCommands, std::size(kCommands));
  // A database call that never came back still runs in its driver; the
  // program ends without running exit handlers under it.
  if (CallThread::Abandoned() > 0) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
  }
  return code;
}
