// dtucfg line: the production line. Every port is a station of its own; they
// share the rows through one ledger.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "line/commands.h"
#include "line/db_connect.h"
#include "line/ledger_db.h"
#include "line/ledger_file.h"
#include "line/station.h"
#include "serial/interrupt.h"

namespace {

// The line's own options: the batch shared through a database.
struct Shared {
  std::string db;
  double dbTimeout = kDbTimeoutSeconds;
  std::string batch;
  std::string station;
} shared;

void AddOptions(CLI::App& command, Options& options) {
  command.add_option("PROFILE", options.file, "The profile (a settings file); not with --batch");
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
  command
      .add_option("--batch", shared.batch,
                  "Take the profile and the rows from this batch in the database, shared with "
                  "other stations")
      ->type_name("NAME");
  command
      .add_option("--station", shared.station,
                  "This station's name in the batch's record (default: the host name)")
      ->type_name("NAME");
  AddDbOption(command, &shared.db);
  AddDbTimeoutOption(command, &shared.dbTimeout);
}

// What the line is given: a profile and rows here, or a batch there.
int CheckLineInput(const Options& options) {
  if (shared.batch.empty()) {
    if (!shared.station.empty() || !shared.db.empty()) {
      Error("--station and --db go with --batch");
      return kExitUsage;
    }
    if (options.file.empty()) {
      Error("give PROFILE, or --batch NAME for a batch in the database");
      return kExitUsage;
    }
    return kExitOk;
  }
  if (!options.file.empty() || !options.sets.empty() || !options.units.empty() ||
      !options.uniques.empty() || !options.report.empty()) {
    Error(
        "--batch takes the profile and the rows from the database: give no PROFILE, --set, "
        "--units, --unique or --report with it");
    return kExitUsage;
  }
  return kExitOk;
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
        Station(TimeoutMs(options), ledger, log, stop).Run(ports[i]);
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
  return stop.refused ? kExitPort : stop.broken ? kExitUnit : kExitOk;
}

int Run(const Options& options) {
  int code = CheckLineInput(options);
  WriteInput input;
  const bool inDatabase = !shared.batch.empty();
  if (code == kExitOk && !inDatabase) {
    code = LoadWriteInput(options, &input);
  }
  std::vector<std::string> ports;
  if (code == kExitOk) {
    code = LinePorts(options, input, &ports);
  }
  std::string connection;
  if (code == kExitOk && inDatabase) {
    code = DbConnectionString(shared.db, &connection);
  }
  SharedLog log;
  if (code == kExitOk) {
    code = log.Open(options.logFile);
  }
  if (code != kExitOk) {
    return code;
  }
  std::unique_ptr<Ledger> ledger;
  if (inDatabase) {
    const std::string station = shared.station.empty() ? platform::HostName() : shared.station;
    if (station.empty()) {
      Error("this computer has no name: give --station NAME");
      return kExitUsage;
    }
    // PCs cloned from one image share a host name, and two stations must
    // never share theirs.
    if (shared.station.empty()) {
      Warn("this station is \"" + station +
           "\" (the host name); give each station its own name with --station");
    }
    ledger =
        std::make_unique<DbLedger>(connection, shared.batch, station, Limits(shared.dbTimeout));
  } else {
    ledger = std::make_unique<FileLedger>(input, options.report);
  }
  std::string error;
  code = ledger->Open(ports, &error);
  if (code != kExitOk) {
    if (!error.empty()) {
      Error(error);
    }
    return code;
  }
  return RunStations(options, *ledger, ports, log.file());
}

}  // namespace

const CliCommand kLineCommand = {
    "line", "Production line: write every unit plugged in, until stopped", AddOptions, Run};
