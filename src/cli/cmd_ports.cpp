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
    for (const PortInfo& port : ports) {
      nlohmann::ordered_json entry;
      entry["name"] = port.name;
      entry["description"] = JsonOrNull(port.description);
      entry["vid"] = JsonOrNull(port.vid);
      entry["pid"] = JsonOrNull(port.pid);
      entry["serial"] = JsonOrNull(port.serial);
      entry["by_id"] = JsonOrNull(port.byId);
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
