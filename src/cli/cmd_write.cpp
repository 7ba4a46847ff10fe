// dtucfg write: a profile, a record file, or per-unit rows over a profile,
// written and read back.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/render.h"
#include "cli/units.h"
#include "protocol/unit_session.h"

namespace {

void AddOptions(CLI::App& command, Options& options) {
  AddPortOptions(command, options);
  AddProfileOption(command, options);
  AddSetOption(command, options);
  command.add_flag("--raw", options.raw, "PROFILE is a 600-byte record file, written unchanged");
  command.add_flag("--no-verify", options.noVerify, "Do not read the record back");
  AddUnitsOptions(command, options,
                  "Per-unit values: a CSV of settings keys, one row per unit; a \"port\" "
                  "column (lower case) sends each row to its port");
}

// Writes record to the unit, and reads it back unless told not to.
int WriteAndVerify(const Options& options, Command& command, const ConfigImage& record,
                   const std::string& note) {
  int code = command.Start();
  if (code == kExitOk) {
    code = command.Failed(WriteRecordToUnit(command.session(), record));
  }
  if (code != kExitOk) {
    return code;
  }
  if (options.noVerify) {
    code = command.connection().Keep();
    if (code == kExitOk) {
      Result("SUCESS" + note + "\n");
    }
    return code;
  }
  ConfigImage back{};
  code = command.Failed(ReadRecordFromUnit(command.session(), back));
  if (code != kExitOk) {
    return code;
  }
  const std::vector<Difference> differences = CompareRecords(back, record);
  if (differences.empty()) {
    code = command.connection().Keep();
    if (code == kExitOk) {
      Result("written and verified" + note + "\n");
    }
    return code;
  }
  const std::string count = std::to_string(differences.size()) + " field(s)";
  PortOutput* port = CurrentPort();
  // With several ports the verdict leads the port's lines, so that a script
  // can tell it from the differences.
  Result((port != nullptr ? "verification failed: " + count + " differ" + note + "\n" : "") +
         DifferenceLines(differences, "written"));
  Error("verification failed: " + count + " read back differ from what was written");
  if (port != nullptr) {
    port->json["differences"] = DiffJsonValue(differences)["differences"];
  }
  return kExitDiffers;
}

// Which row of the units CSV goes to which port.
int AssignRows(const Options& options, const UnitsTable& units, std::vector<std::string>* ports,
               std::map<std::string, const UnitRow*>* rows) {
  std::vector<std::string> given = options.ports;
  if (units.hasPort && given.empty()) {
    for (const UnitRow& row : units.rows) {
      given.push_back(row.port);
    }
  }
  const int code = CheckPorts(given, ports);
  if (code != kExitOk) {
    return code;
  }
  if (units.hasPort) {
    for (const std::string& port : *ports) {
      const auto row = std::find_if(units.rows.begin(), units.rows.end(),
                                    [&port](const UnitRow& r) { return r.port == port; });
      if (row == units.rows.end()) {
        Error(options.units + ": no row for the port " + port);
        return kExitUsage;
      }
      (*rows)[port] = &*row;
    }
    return kExitOk;
  }
  if (units.rows.size() != ports->size()) {
    Error(options.units + ": " + std::to_string(units.rows.size()) + " row(s) for " +
          std::to_string(ports->size()) +
          " port(s); without a \"port\" column each port takes the next row, so give as many "
          "ports as rows (or use \"dtucfg line\", which takes rows as units come)");
    return kExitUsage;
  }
  for (std::size_t i = 0; i < ports->size(); ++i) {
    (*rows)[(*ports)[i]] = &units.rows[i];
  }
  return kExitOk;
}

int WriteUnits(Options options, const UnitsTable& units) {
  std::vector<std::string> ports;
  std::map<std::string, const UnitRow*> rows;
  const int code = AssignRows(options, units, &ports, &rows);
  if (code != kExitOk) {
    return code;
  }
  if (options.ports.empty()) {
    options.ports = ports;
  }
  return RunDevice(options, options.json, [&options, &rows](Command& command) {
    const UnitRow& row = *rows.at(command.connection().name());
    if (PortOutput* port = CurrentPort()) {
      port->json["row"] = row.number;
    }
    return WriteAndVerify(options, command, row.record,
                          " (row " + std::to_string(row.number) + ")");
  });
}

int Run(const Options& options) {
  WriteInput input;
  const int code = LoadWriteInput(options, &input);
  if (code != kExitOk) {
    return code;
  }
  if (input.hasUnits) {
    return WriteUnits(options, input.units);
  }
  return RunDevice(options, options.json, [&options, &input](Command& command) {
    return WriteAndVerify(options, command, input.base.record, "");
  });
}

}  // namespace

const CliCommand kWriteCommand = {"write", "Write a profile to the unit and verify it", AddOptions,
                                  Run};
