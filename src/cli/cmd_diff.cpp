// dtucfg diff: what the unit holds against a profile, field by field.
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/render.h"
#include "protocol/unit_session.h"

namespace {

void AddOptions(CLI::App& command, Options& options) {
  AddPortOptions(command, options);
  AddProfileOption(command, options);
  AddSetOption(command, options);
}

int Run(const Options& options) {
  RecordInput input;
  const int code = LoadInput(options, InputKind::Profile, &input);
  if (code != kExitOk) {
    return code;
  }
  const bool several = SeveralPorts(options.ports);
  return RunDevice(options, several && options.json, [&options, &input](Command& command) {
    int result = command.Start();
    ConfigImage unit{};
    if (result == kExitOk) {
      result = command.Failed(ReadRecordFromUnit(command.session(), unit));
    }
    if (result != kExitOk) {
      return result;
    }
    const std::vector<Difference> differences = CompareRecords(unit, input.record);
    PortOutput* port = CurrentPort();
    if (port != nullptr) {
      port->json = DiffJsonValue(differences);
      // The verdict first, then the differences, so that the port's output
      // starts with one result line.
      Result(differences.empty() ? "same\n"
                                 : std::to_string(differences.size()) + " field(s) differ\n" +
                                       DifferenceLines(differences, "profile"));
    } else if (options.json) {
      Result(DumpJson(DiffJsonValue(differences)));
    } else {
      Result(differences.empty() ? "same\n" : DifferenceLines(differences, "profile"));
    }
    return static_cast<int>(differences.empty() ? kExitOk : kExitDiffers);
  });
}

}  // namespace

const CliCommand kDiffCommand = {"diff", "Compare the unit with a profile", AddOptions, Run};
