// dtucfg show: what a profile or record file would put in a unit, offline.
#include <CLI/CLI.hpp>

#include <optional>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/render.h"

namespace {

void AddOptions(CLI::App& command, Options& options) {
  command.add_option("FILE", options.file, "A profile or a 600-byte record file")->required();
  AddSetOption(command, options);
  command.add_option("--format", options.format, "table, ini or json")
      ->check(CLI::IsMember({"table", "ini", "json"}));
}

int Run(const Options& options) {
  RecordInput input;
  const int code = LoadInput(options, InputKind::Either, &input);
  if (code != kExitOk) {
    return code;
  }
  if (options.format == "ini") {
    Result(RecordToIni(input.record));
  } else if (options.format == "json") {
    Result(RecordJson(std::nullopt, input.record));
  } else {
    Result(RecordTable(input.record, CheckRecordInput(input)));
  }
  return kExitOk;
}

}  // namespace

const CliCommand kShowCommand = {"show", "Show what a profile or record file holds, offline",
                                 AddOptions, Run};
