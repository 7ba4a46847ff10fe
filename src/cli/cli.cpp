#include "cli/cli.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/log_link.h"
#include "cli/platform.h"
#include "cli/profile_input.h"
#include "cli/render.h"
#include "protocol/frames.h"
#include "protocol/sim_unit.h"
#include "protocol/unit_session.h"
#include "serial/interrupt.h"
#include "serial/port_list.h"
#include "serial/sim_link.h"

namespace {

struct Options {
  double timeoutSeconds = 10;
  std::string logFile;
  bool quiet = false;
  std::string port;
  std::string file;
  std::string out;
  std::string format;
  std::vector<std::string> sets;
  bool raw = false;
  bool noVerify = false;
  bool json = false;
  bool yes = false;
};

// Messages go to standard error, results to standard output.
void Error(const std::string& message) { platform::WriteError("dtucfg: " + message + "\n"); }

void Warn(const std::string& message) { Error("warning: " + message); }

void Result(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

// Live progress of the waits, on a terminal only.
class Progress final : public WaitObserver {
 public:
  explicit Progress(bool enabled) : enabled_(enabled) {}
  void Waiting(const char* what, std::uint64_t elapsedMs) override {
    if (!enabled_) {
      return;
    }
    char line[128];
    std::snprintf(line, sizeof line, "\r%s... %.1f s ", what,
                  static_cast<double>(elapsedMs) / 1000.0);
    width_ = std::strlen(line);
    platform::WriteError(line);
  }
  void WaitEnded() override {
    if (enabled_ && width_ > 0) {
      platform::WriteError("\r" + std::string(width_, ' ') + "\r");
      width_ = 0;
    }
  }

 private:
  bool enabled_;
  std::size_t width_ = 0;
};

// The port a command talks to: a device, or the simulated unit in the program.
class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (log_ != nullptr) {
      std::fclose(log_);
    }
  }

  const std::string& name() const { return name_; }
  Link& link() { return logged_ ? *logged_ : *raw_; }

  // Before any port is touched: the name, and that the log can be written.
  int Check(const Options& options) {
    if (!options.logFile.empty()) {
      log_ = std::fopen(options.logFile.c_str(), "ab");
      if (log_ == nullptr) {
        Error(options.logFile + ": cannot write the log (" + std::strerror(errno) + ")");
        return kExitUsage;
      }
    }
    if (!options.port.empty()) {
      name_ = options.port;
    } else {
      const int chosen = ChooseAdapter();
      if (chosen != kExitOk) {
        return chosen;
      }
    }
    if (name_ == "sim" || name_.rfind("sim:", 0) == 0) {
      simFile_ = name_.size() > 4 ? name_.substr(4) : "";
      return kExitOk;
    }
    std::string why;
    if (!platform::IsDeviceName(name_, &why)) {
      Error(name_ + ": not a port: " + why);
      return kExitUsage;
    }
    return kExitOk;
  }

  int Open() {
    if (name_ == "sim" || name_.rfind("sim:", 0) == 0) {
      const int opened = OpenSim();
      if (opened != kExitOk) {
        return opened;
      }
    } else {
      LineOpenError error;
      device_ = platform::OpenDevice(name_, &error);
      if (!device_) {
        Error(name_ + ": " + Why(error) + " (" + error.detail + ")");
        return kExitPort;
      }
      raw_ = &device_->link();
    }
    if (log_ != nullptr) {
      logged_ = std::make_unique<LogLink>(*raw_, log_);
    }
    return kExitOk;
  }

  // Keeps what a simulated unit stored, for the next run.
  int Close() {
    if (!sim_ || simFile_.empty() || sim_->RecordVersion() == simVersion_) {
      return kExitOk;
    }
    return SaveSim() ? kExitOk : kExitPort;
  }

 private:
  static const char* Why(const LineOpenError& error) {
    switch (error.kind) {
      case LineOpenError::Kind::Missing:
        return "no such port";
      case LineOpenError::Kind::Busy:
        return "port busy";
      case LineOpenError::Kind::Permission:
        return "no permission to open the port";
      case LineOpenError::Kind::NotSerial:
        return "not a serial device";
      default:
        return "cannot open or configure the port";
    }
  }

  int ChooseAdapter() {
    std::vector<PortInfo> adapters;
    for (PortInfo& port : ListPorts()) {
      if (port.usb) {
        adapters.push_back(port);
      }
    }
    if (adapters.size() == 1) {
      name_ = adapters[0].name;
      return kExitOk;
    }
    std::string list;
    for (const PortInfo& port : adapters) {
      list += "\n  " + port.name + "\t" + port.description;
    }
    Error(adapters.empty()
              ? "no --port given and no USB serial adapter found; name the port with --port"
              : "no --port given and several USB serial adapters found; name one:" + list);
    return kExitUsage;
  }

  int OpenSim() {
    sim_ = std::make_unique<SimUnit>();
    if (!simFile_.empty()) {
      std::FILE* file = std::fopen(simFile_.c_str(), "rb");
      if (file == nullptr && errno != ENOENT) {
        Error(simFile_ + ": cannot read the simulated unit's record (" + std::strerror(errno) +
              ")");
        return kExitPort;
      }
      if (file != nullptr) {
        ConfigImage record{};
        char extra = 0;
        const std::size_t n = std::fread(record.bytes.data(), 1, kConfigImageSize, file);
        const bool longer = std::fread(&extra, 1, 1, file) == 1;
        std::fclose(file);
        if (n != kConfigImageSize || longer) {
          Error(simFile_ + ": a simulated unit's record file holds exactly 600 bytes");
          return kExitPort;
        }
        sim_->SetRecord(record);
      } else if (!SaveSim()) {
        return kExitPort;
      }
    }
    simVersion_ = sim_->RecordVersion();
    simLink_ = std::make_unique<SimLink>(*sim_);
    raw_ = simLink_.get();
    return kExitOk;
  }

  bool SaveSim() {
    const ConfigImage& record = sim_->Record();
    platform::PendingFile file;
    std::string error;
    if (!file.Create(simFile_, &error) ||
        !file.Commit(std::string(record.bytes.begin(), record.bytes.end()), &error)) {
      Error(simFile_ + ": cannot keep the simulated unit's record (" + error + ")");
      return false;
    }
    return true;
  }

  std::string name_;
  std::string simFile_;
  std::unique_ptr<platform::Device> device_;
  std::unique_ptr<SimUnit> sim_;
  std::unique_ptr<SimLink> simLink_;
  unsigned simVersion_ = 0;
  std::unique_ptr<LogLink> logged_;
  Link* raw_ = nullptr;
  std::FILE* log_ = nullptr;
};

// One device command from opening the port to closing it.
class Command {
 public:
  explicit Command(const Options& options)
      : options_(options),
        progress_(platform::StderrIsTerminal() && !options.quiet),
        timeoutMs_(static_cast<unsigned>(std::ceil(options.timeoutSeconds * 1000))) {}

  Connection& connection() { return connection_; }

  int Check() { return connection_.Check(options_); }

  // Opens the port and finds the unit.
  int Start() {
    const int opened = connection_.Open();
    if (opened != kExitOk) {
      return opened;
    }
    session_ = std::make_unique<Session>(Session{connection_.link(), timeoutMs_, &progress_});
    const SessionResult found = FindUnit(*session_);
    if (found == SessionResult::NoUnit) {
      Error("no unit answered on " + connection_.name() + " within " +
            Seconds(options_.timeoutSeconds));
      return kExitNoUnit;
    }
    if (found == SessionResult::Lost) {
      Error(connection_.name() + ": the port went away during the search");
      return kExitPort;
    }
    if (found != SessionResult::Ok) {
      return Failed(found);
    }
    if (session_->discardedBytes > 0 && !options_.quiet) {
      Warn("the unit answered " + std::to_string(session_->discardedBytes) +
           " bytes more after it was found; they were thrown away");
    }
    return kExitOk;
  }

  Session& session() { return *session_; }

  // What a failed step means to the user.
  int Failed(SessionResult result) {
    switch (result) {
      case SessionResult::Ok:
        return kExitOk;
      case SessionResult::Interrupted:
        Error("interrupted; the port is released and nothing was left half-sent");
        return kExitInterrupted;
      case SessionResult::NoUnit:
        Error("no unit answered on " + connection_.name());
        return kExitNoUnit;
      case SessionResult::NotQuiet:
        Error("the unit was found, but the line did not go quiet within " +
              Seconds(options_.timeoutSeconds));
        break;
      case SessionResult::Incomplete:
        Error("the unit's configuration reply was incomplete: " +
              std::to_string(session_->replyBytes) + " of " + std::to_string(kConfigReplyLength) +
              " bytes within " + Seconds(options_.timeoutSeconds));
        break;
      case SessionResult::NoAck:
        Error("no acknowledgement from the unit within " + Seconds(options_.timeoutSeconds));
        break;
      case SessionResult::Lost:
        Error(connection_.name() + ": the port went away during the command");
        break;
    }
    return kExitUnit;
  }

  // The command's outcome, after the port's own last word.
  int Finish(int code) {
    const int closed = connection_.Close();
    if (InterruptRequested() && code == kExitOk) {
      return kExitInterrupted;
    }
    return code != kExitOk ? code : closed;
  }

 private:
  const Options& options_;
  Progress progress_;
  unsigned timeoutMs_;
  Connection connection_;
  std::unique_ptr<Session> session_;
};

std::vector<Override> ParseOverrides(const Options& options, int* code) {
  std::vector<Override> overrides;
  for (const std::string& text : options.sets) {
    Override override{};
    std::string error;
    if (!ParseOverride(text, &override, &error)) {
      Error(error);
      *code = kExitUsage;
      return {};
    }
    overrides.push_back(override);
  }
  *code = kExitOk;
  return overrides;
}

// The record write, diff or show start from, with its warnings told.
int LoadInput(const Options& options, InputKind kind, RecordInput* input) {
  int code = kExitOk;
  const std::vector<Override> overrides = ParseOverrides(options, &code);
  if (code != kExitOk) {
    return code;
  }
  std::string error;
  if (!LoadRecordInput(options.file, kind, overrides, input, &error)) {
    Error(error);
    return kExitUsage;
  }
  for (const std::string& warning : input->warnings) {
    Warn(warning);
  }
  return kExitOk;
}

void WarnFields(const std::vector<FieldWarning>& warnings) {
  for (const FieldWarning& warning : warnings) {
    Warn(FieldName(warning.control) + ": " + warning.text);
  }
}

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

int RunSearch(const Options& options) {
  Command command(options);
  int code = command.Check();
  if (code == kExitOk) {
    code = command.Start();
  }
  if (code == kExitOk) {
    Result("Find DTU\n");
  }
  return command.Finish(code);
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
  Command command(options);
  platform::PendingFile out;
  int code = command.Check();
  if (code == kExitOk && !options.out.empty()) {
    std::string error;
    if (!out.Create(options.out, &error)) {
      Error(options.out + ": cannot write it (" + error + ")");
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
  if (code == kExitOk) {
    const std::string text = Rendered(options.format, command.connection().name(), record);
    if (options.out.empty()) {
      Result(text);
    } else {
      std::string error;
      if (!out.Commit(text, &error)) {
        Error(options.out + ": cannot write it (" + error + ")");
        code = kExitUsage;
      } else {
        Result("Read successfully!\n");
      }
    }
  }
  return command.Finish(code);
}

int RunWrite(const Options& options) {
  Command command(options);
  RecordInput input;
  int code = LoadInput(options, options.raw ? InputKind::Record : InputKind::Profile, &input);
  if (code == kExitOk) {
    WarnFields(CheckRecordInput(input));
    code = command.Check();
  }
  if (code == kExitOk) {
    code = command.Start();
  }
  if (code == kExitOk) {
    code = command.Failed(WriteRecordToUnit(command.session(), input.record));
  }
  if (code == kExitOk && options.noVerify) {
    Result("SUCESS\n");
  } else if (code == kExitOk) {
    ConfigImage back{};
    code = command.Failed(ReadRecordFromUnit(command.session(), back));
    if (code == kExitOk) {
      const std::vector<Difference> differences = CompareRecords(back, input.record);
      if (differences.empty()) {
        Result("written and verified\n");
      } else {
        Result(DifferenceLines(differences, "written"));
        Error("verification failed: " + std::to_string(differences.size()) +
              " field(s) read back differ from what was written");
        code = kExitDiffers;
      }
    }
  }
  return command.Finish(code);
}

int RunDiff(const Options& options) {
  Command command(options);
  RecordInput input;
  int code = LoadInput(options, InputKind::Profile, &input);
  if (code == kExitOk) {
    code = command.Check();
  }
  if (code == kExitOk) {
    code = command.Start();
  }
  ConfigImage unit{};
  if (code == kExitOk) {
    code = command.Failed(ReadRecordFromUnit(command.session(), unit));
  }
  if (code == kExitOk) {
    const std::vector<Difference> differences = CompareRecords(unit, input.record);
    if (options.json) {
      Result(DiffJson(differences));
    } else if (differences.empty()) {
      Result("same\n");
    } else {
      Result(DifferenceLines(differences, "profile"));
    }
    code = differences.empty() ? kExitOk : kExitDiffers;
  }
  return command.Finish(code);
}

int RunRestart(const Options& options) {
  Command command(options);
  int code = command.Check();
  if (code == kExitOk) {
    code = command.Start();
  }
  if (code == kExitOk) {
    code = command.Failed(RestartUnit(command.session()));
  }
  if (code == kExitOk) {
    Result("Reboot successfully!\n");
  }
  return command.Finish(code);
}

// Asked on a terminal; without one, --yes is the only answer.
int ConfirmFactoryReset(const Options& options, const std::string& port) {
  if (options.yes) {
    return kExitOk;
  }
  if (!platform::StdinIsTerminal()) {
    Error("factory-reset needs --yes when no terminal can ask; nothing was sent");
    return kExitUsage;
  }
  platform::WriteError("Restore the factory settings of the unit on " + port + "? [y/N] ");
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
  Command command(options);
  int code = command.Check();
  if (code == kExitOk) {
    code = ConfirmFactoryReset(options, command.connection().name());
  }
  if (code == kExitOk) {
    code = command.Start();
  }
  if (code == kExitOk) {
    code = command.Failed(ResetUnitToFactory(command.session()));
  }
  if (code == kExitOk) {
    Result("SUCESS\n");
  }
  return command.Finish(code);
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
      "USB serial adapter there is.\n"
      "Exit codes: 0 done (or the same); 1 differences found; 2 usage error or input refused,\n"
      "nothing sent; 3 no unit answered; 4 the port cannot be opened; 5 the unit failed a\n"
      "command; 130 interrupted.");

  const auto addPort = [&options](CLI::App* command) {
    command->add_option("--port", options.port, "The unit's port")->type_name("PORT");
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

  CLI::App* diff = add("diff", "Compare the unit with a profile");
  addPort(diff);
  diff->add_option("PROFILE", options.file, "The profile (a settings file)")->required();
  addSets(diff);
  diff->add_flag("--json", options.json, "As JSON");

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
  options.format = showFormat;
  return RunShow(options);
}
