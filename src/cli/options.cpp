#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <cmath>

void AddPortOptions(CLI::App& command, Options& options) {
  command
      .add_option("--port", options.ports,
                  "The unit's port; repeat it, or give \"all\", for several at once")
      ->type_name("PORT")
      ->allow_extra_args(false);
  command.add_flag("--json", options.json, "One JSON object per port");
}

void AddSetOption(CLI::App& command, Options& options) {
  command.add_option("--set", options.sets, "Override one settings key (repeatable)")
      ->type_name("KEY=VALUE")
      ->allow_extra_args(false);
}

void AddProfileOption(CLI::App& command, Options& options) {
  command.add_option("PROFILE", options.file, "The profile (a settings file)")->required();
}

void AddUnitsOptions(CLI::App& command, Options& options, const char* unitsHelp) {
  command.add_option("--units", options.units, unitsHelp)->type_name("FILE.csv");
  command
      .add_option("--unique", options.uniques,
                  "This key's values must differ between rows (repeatable; ID always)")
      ->type_name("KEY")
      ->allow_extra_args(false);
}

unsigned TimeoutMs(const Options& options) {
  return static_cast<unsigned>(std::ceil(options.timeoutSeconds * 1000));
}
