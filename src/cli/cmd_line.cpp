// dtucfg line: the production line. Every port is a station of its own; they
// share the rows through one ledger.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/ledger_file.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/station.h"
#include "serial/interrupt.h"

namespace {

void AddOptions(CLI::App& command, Options& options) {
  AddProfileOption(command, options);
  command.add_option("--port", options.ports, "A port of the line (repeatable)")
      ->type_name("PORT")
      ->required()
      ->allow_extra_args(false);
  AddSetOption(command, options);
  AddUnitsOptions(command, options, "Per-unit values: a CSV, one row per unit");
  command
      .add_option("--report", options.report,
                  "Append one row per unit to this CSV; an existing one is resumed")
      ->type_name("FILE.csv");
}

// The line's ports, each a real one that can be unplugged.
int LinePorts(const Options& options, const WriteInput& input, std::vector<std::string>* ports) {
  const int code = CheckPorts(options.ports, ports);
  if (code != kExitOk) {
    return code;
  }
  for (const std::string& port : *ports) {
    if (IsSimName(port)) {
      Error(port +
            ": a simulated unit in the program is never unplugged; the line needs "
            "real ports");
      return kExitUsage;
    }
  }
  if (input.hasUnits && input.units.hasPort) {
    for (const UnitRow& row : input.units.rows) {
      if (std::find(ports->begin(), ports->end(), row.port) == ports->end()) {
        Warn(options.units + " row " + std::to_string(row.number) + ": the port " + row.port +
             " is not on this line");
      }
    }
  }
  return kExitOk;
}

// Runs a station on every port until the line stops; then the summary.
int RunStations(const Options& options, Ledger& ledger, const std::vector<std::string>& ports,
                std::FILE* log) {
  LineStop stop;
  stop.done = ledger.Finished();
  if (!stop.done) {
    std::vector<PortOutput> outputs(ports.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      outputs[i].port = ports[i];
      threads.emplace_back([&, i] {
        const PortScope scope(outputs[i]);
        Station(options, ledger, log, stop).Run(ports[i]);
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
  }
  ResultNow(ledger.Summary());
  if (InterruptRequested()) {
    return kExitInterrupted;
  }
  return stop.broken ? kExitUnit : kExitOk;
}

int Run(const Options& options) {
  WriteInput input;
  int code = LoadWriteInput(options, &input);
  std::vector<std::string> ports;
  if (code == kExitOk) {
    code = LinePorts(options, input, &ports);
  }
  SharedLog log;
  if (code == kExitOk) {
    code = log.Open(options.logFile);
  }
  if (code != kExitOk) {
    return code;
  }
  FileLedger ledger(input, options.report);
  std::string error;
  if (!ledger.Open(ports, &error)) {
    Error(error);
    return kExitUsage;
  }
  return RunStations(options, ledger, ports, log.file());
}

}  // namespace

const CliCommand kLineCommand = {
    "line", "Production line: write every unit plugged in, until stopped", AddOptions, Run};
