#include "cli/cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <map>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/line.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "cli/render.h"
#include "cli/units.h"
#include "protocol/unit_session.h"
#include "serial/interrupt.h"
#include "serial/port_list.h"

namespace {

int RunPorts(const Options& options) {
  const std::vector<PortInfo> ports = ListPorts();
  if (options.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    const auto orNull = [](const std::optional<std::string>& value) {
      return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
    };
    for (const PortInfo& port : ports) {
      nlohmann::ordered_json entry;
      entry["name"] = port.name;
      entry["description"] = port.description.empty() ? nlohmann::ordered_json(nullptr)
                                                      : nlohmann::ordered_json(port.description);
      entry["vid"] = orNull(port.vid);
      entry["pid"] = orNull(port.pid);
      entry["serial"] = orNull(port.serial);
      entry["by_id"] = orNull(port.byId);
      list.push_back(entry);
    }
    Result(DumpJson(list));
    return kExitOk;
  }
  std::string lines;
  for (const PortInfo& port : ports) {
    lines += port.name + "\t" + port.description + "\n";
  }
  Result(lines);
  return kExitOk;
}

// Checks every port's name and the log before any port is opened, then
// runs job on each port: alone as always, or on all of them at once.
int RunDevice(const Options& options, bool json, const std::function<int(Command&)>& job) {
  std::vector<std::string> ports;
  int code = CheckPorts(options.ports, &ports);
  SharedLog log;
  if (code == kExitOk) {
    code = log.Open(options.logFile);
  }
  if (code != kExitOk) {
    return code;
  }
  const bool several = SeveralPorts(options.ports);
  const auto one = [&](const std::string& port) {
    Command command(options, log.file(), several);
    int result = command.Check(port);
    if (result == kExitOk) {
      result = job(command);
    }
    return command.Finish(result);
  };
  return several ? RunOnPorts(ports, json, one) : one(ports[0]);
}

int RunSearch(const Options& options) {
  return RunDevice(options, options.json, [](Command& command) {
    const int code = command.Start();
    if (code == kExitOk) {
      Result("Find DTU\n");
    }
    return code;
  });
}

std::string Rendered(const std::string& format, const std::optional<std::string>& port,
                     const ConfigImage& record) {
  if (format == "raw") {
    return std::string(record.bytes.begin(), record.bytes.end());
  }
  if (format == "json") {
    return RecordJson(port, record);
  }
  return RecordToIni(record);
}

int RunRead(const Options& options) {
  const bool several = SeveralPorts(options.ports);
  if (several && options.out.empty() && options.format != "json") {
    Error("several ports: give --out with {port} in it (unit-{port}.ini, say), or --format json");
    return kExitUsage;
  }
  if (several && !options.out.empty() && options.out.find("{port}") == std::string::npos) {
    Error("--out " + options.out + ": with several ports, the name needs {port} in it");
    return kExitUsage;
  }
  const bool json = several && options.out.empty();
  return RunDevice(options, json, [&options, several, json](Command& command) {
    const std::string& port = command.connection().name();
    const std::string path = several ? PortFileName(options.out, port) : options.out;
    platform::PendingFile out;
    int code = kExitOk;
    if (!path.empty()) {
      std::string error;
      if (!out.Create(path, &error)) {
        Error(path + ": cannot write it (" + error + ")");
        code = kExitUsage;
      }
    }
    if (code == kExitOk) {
      code = command.Start();
    }
    ConfigImage record{};
    if (code == kExitOk) {
      code = command.Failed(ReadRecordFromUnit(command.session(), record));
    }
    if (code != kExitOk) {
      return code;
    }
    if (json) {
      CurrentPort()->json = RecordJsonValue(port, record);
    } else if (path.empty()) {
      Result(Rendered(options.format, port, record));
    } else {
      std::string error;
      if (!out.Commit(Rendered(options.format, port, record), &error)) {
        Error(path + ": cannot write it (" + error + ")");
        return static_cast<int>(kExitUsage);
      }
      Result(several ? "Read successfully! " + path + "\n" : "Read successfully!\n");
    }
    return static_cast<int>(kExitOk);
  });
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
    Result("SUCESS" + note + "\n");
    return kExitOk;
  }
  ConfigImage back{};
  code = command.Failed(ReadRecordFromUnit(command.session(), back));
  if (code != kExitOk) {
    return code;
  }
  const std::vector<Difference> differences = CompareRecords(back, record);
  if (differences.empty()) {
    Result("written and verified" + note + "\n");
    return kExitOk;
  }
  Result(DifferenceLines(differences, "written"));
  Error("verification failed: " + std::to_string(differences.size()) +
        " field(s) read back differ from what was written");
  if (PortOutput* port = CurrentPort()) {
    port->json["differences"] = DiffJsonValue(differences)["differences"];
  }
  return kExitDiffers;
}

// Which row of the units CSV goes to which port.
int AssignRows(const Options& options, const std::string& path, const UnitsTable& units,
               std::vector<std::string>* ports, std::map<std::string, const UnitRow*>* rows) {
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
        Error(path + ": no row for the port " + std::string(port));
        return kExitUsage;
      }
      (*rows)[port] = &*row;
    }
    return kExitOk;
  }
  if (units.rows.size() != ports->size()) {
    Error(path + ": " + std::to_string(units.rows.size()) + " row(s) for " +
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

int RunWriteUnits(Options options) {
  int code = kExitOk;
  const std::vector<Override> sets = ParseOverrides(options.sets, &code);
  if (code != kExitOk) {
    return code;
  }
  UnitsTable units;
  std::string error;
  if (!LoadUnits(options.units, options.file, sets, options.uniques, &units, &error)) {
    Error(error);
    return kExitUsage;
  }
  std::vector<std::string> ports;
  std::map<std::string, const UnitRow*> rows;
  code = AssignRows(options, options.units, units, &ports, &rows);
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

int RunWrite(const Options& options) {
  if (!options.units.empty()) {
    if (options.raw) {
      Error("--units lays values over a profile; it cannot go with --raw");
      return kExitUsage;
    }
    return RunWriteUnits(options);
  }
  if (!options.uniques.empty()) {
    Error("--unique compares the rows of --units");
    return kExitUsage;
  }
  RecordInput input;
  const int code = LoadInput(options, options.raw ? InputKind::Record : InputKind::Profile, &input);
  if (code != kExitOk) {
    return code;
  }
  WarnFields(CheckRecordInput(input));
  return RunDevice(options, options.json, [&options, &input](Command& command) {
    return WriteAndVerify(options, command, input.record, "");
  });
}

int RunDiff(const Options& options) {
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
    if (PortOutput* port = CurrentPort()) {
      port->json = DiffJsonValue(differences);
    }
    if (options.json && CurrentPort() == nullptr) {
      Result(DumpJson(DiffJsonValue(differences)));
    } else if (differences.empty()) {
      Result("same\n");
    } else {
      Result(DifferenceLines(differences, "profile"));
    }
    return static_cast<int>(differences.empty() ? kExitOk : kExitDiffers);
  });
}

// A command the unit only acknowledges, and what is said when it did.
int RunAcknowledged(const Options& options, SessionResult (*step)(Session&), const char* said) {
  return RunDevice(options, options.json, [step, said](Command& command) {
    int code = command.Start();
    if (code == kExitOk) {
      code = command.Failed(step(command.session()));
    }
    if (code == kExitOk) {
      Result(said);
    }
    return code;
  });
}

int RunRestart(const Options& options) {
  return RunAcknowledged(options, RestartUnit, "Reboot successfully!\n");
}

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

int RunShow(const Options& options) {
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

int RunCli(int argc, char** argv) {
  Options options;
  CLI::App app{"Reads, writes, checks, restarts and resets a DTU over a serial port.", "dtucfg"};
  app.set_version_flag("--version", std::string("dtucfg ") + DTU_VERSION);
  app.require_subcommand(1);
  app.add_option("--timeout", options.timeoutSeconds, "Each wait for the unit, in seconds")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.01, 86400.0).description(""))
      ->capture_default_str();
  app.add_option("--log", options.logFile, "Append every chunk sent and received to FILE")
      ->type_name("FILE");
  app.add_flag("-q,--quiet", options.quiet, "No progress and no notes");
  app.footer(
      "PORT is COM1..COM256 on Windows, a device path on Linux, \"sim\" (a simulated unit in\n"
      "the program) or \"sim:FILE\" (one whose record is kept in FILE). Without --port, the one\n"
      "USB serial adapter there is. --port may be repeated, or be \"all\" (every USB serial\n"
      "adapter): the ports are served at once, each result line starting \"PORT: \".\n"
      "Exit codes: 0 done (or the same); 1 differences found; 2 usage error or input refused,\n"
      "nothing sent; 3 no unit answered; 4 the port cannot be opened; 5 the unit failed a\n"
      "command (line: the report cannot be written); 130 interrupted. With several ports, the\n"
      "largest of theirs.");

  const auto addPort = [&options](CLI::App* command) {
    command
        ->add_option("--port", options.ports,
                     "The unit's port; repeat it, or give \"all\", for several at once")
        ->type_name("PORT")
        ->allow_extra_args(false);
    command->add_flag("--json", options.json, "One JSON object per port");
  };
  const auto addSets = [&options](CLI::App* command) {
    command->add_option("--set", options.sets, "Override one settings key (repeatable)")
        ->type_name("KEY=VALUE")
        ->allow_extra_args(false);
  };
  std::vector<CLI::App*> commands;
  const auto add = [&app, &commands](const char* name, const char* what) {
    CLI::App* command = app.add_subcommand(name, what);
    command->fallthrough();
    commands.push_back(command);
    return command;
  };

  CLI::App* ports = add("ports", "List the serial ports");
  ports->add_flag("--json", options.json, "As JSON");

  CLI::App* search = add("search", "Search for the unit");
  addPort(search);

  CLI::App* read = add("read", "Read the unit's configuration");
  addPort(read);
  read->add_option("--out", options.out, "Write it to FILE, not to standard output")
      ->type_name("FILE");
  options.format = "ini";
  read->add_option("--format", options.format, "ini (a profile), json or raw (600 bytes)")
      ->check(CLI::IsMember({"ini", "json", "raw"}));

  CLI::App* write = add("write", "Write a profile to the unit and verify it");
  addPort(write);
  write->add_option("PROFILE", options.file, "The profile (a settings file)")->required();
  addSets(write);
  write->add_flag("--raw", options.raw, "PROFILE is a 600-byte record file, written unchanged");
  write->add_flag("--no-verify", options.noVerify, "Do not read the record back");

  write
      ->add_option("--units", options.units,
                   "Per-unit values: a CSV of settings keys, one row per unit; a \"port\" "
                   "column (lower case) sends each row to its port")
      ->type_name("FILE.csv");
  write
      ->add_option("--unique", options.uniques,
                   "This key's values must differ between rows (repeatable; ID by default)")
      ->type_name("KEY")
      ->allow_extra_args(false);

  CLI::App* diff = add("diff", "Compare the unit with a profile");
  addPort(diff);
  diff->add_option("PROFILE", options.file, "The profile (a settings file)")->required();
  addSets(diff);

  CLI::App* line = add("line", "Production line: write every unit plugged in, until stopped");
  line->add_option("PROFILE", options.file, "The profile (a settings file)")->required();
  line->add_option("--port", options.ports, "A port of the line (repeatable)")
      ->type_name("PORT")
      ->required()
      ->allow_extra_args(false);
  addSets(line);
  line->add_option("--units", options.units, "Per-unit values: a CSV, one row per unit")
      ->type_name("FILE.csv");
  line->add_option("--unique", options.uniques,
                   "This key's values must differ between rows (repeatable; ID by default)")
      ->type_name("KEY")
      ->allow_extra_args(false);
  line->add_option("--report", options.report,
                   "Append one row per unit to this CSV; an existing one is resumed")
      ->type_name("FILE.csv");

  CLI::App* restart = add("restart", "Restart the unit");
  addPort(restart);

  CLI::App* reset = add("factory-reset", "Restore the unit's factory settings");
  addPort(reset);
  reset->add_flag("--yes", options.yes, "Do not ask");

  CLI::App* show = add("show", "Show what a profile or record file holds, offline");
  show->add_option("FILE", options.file, "A profile or a 600-byte record file")->required();
  addSets(show);
  std::string showFormat = "table";
  show->add_option("--format", showFormat, "table, ini or json")
      ->check(CLI::IsMember({"table", "ini", "json"}));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (*ports) {
    return RunPorts(options);
  }
  if (*search) {
    return RunSearch(options);
  }
  if (*read) {
    return RunRead(options);
  }
  if (*write) {
    return RunWrite(options);
  }
  if (*diff) {
    return RunDiff(options);
  }
  if (*restart) {
    return RunRestart(options);
  }
  if (*reset) {
    return RunFactoryReset(options);
  }
  if (*line) {
    return RunLine(options);
  }
  options.format = showFormat;
  return RunShow(options);
}
