// dtucfg read: the unit's record, as a profile, JSON or the raw 600 bytes.
#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "cli/render.h"
#include "protocol/unit_session.h"

namespace {

void AddOptions(CLI::App& command, Options& options) {
  AddPortOptions(command, options);
  command.add_option("--out", options.out, "Write it to FILE, not to standard output")
      ->type_name("FILE");
  command.add_option("--format", options.format, "ini (a profile), json or raw (600 bytes)")
      ->check(CLI::IsMember({"ini", "json", "raw"}));
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

int Run(const Options& options) {
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

}  // namespace

const CliCommand kReadCommand = {"read", "Read the unit's configuration", AddOptions, Run};
