// dtucfg ports: the serial ports there are.
#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/render.h"
#include "serial/port_list.h"

namespace {

void AddOptions(CLI::App& command, Options& options) {
  command.add_flag("--json", options.json, "As JSON");
}

int Run(const Options& options) {
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

}  // namespace

const CliCommand kPortsCommand = {"ports", "List the serial ports", AddOptions, Run};
