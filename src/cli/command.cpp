#include "cli/command.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "cli/cli.h"
#include "cli/output.h"
#include "cli/render.h"
#include "protocol/frames.h"
#include "serial/interrupt.h"
#include "serial/port_list.h"

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

bool IsSimName(const std::string& port) { return port == "sim" || port.rfind("sim:", 0) == 0; }

std::vector<PortInfo> UsbAdapters() {
  std::vector<PortInfo> adapters;
  for (PortInfo& port : ListPorts()) {
    if (port.usb) {
      adapters.push_back(std::move(port));
    }
  }
  return adapters;
}

void Progress::Waiting(const char* what, std::uint64_t elapsedMs) {
  if (!enabled_) {
    return;
  }
  char line[128];
  std::snprintf(line, sizeof line, "\r%s... %.1f s ", what,
                static_cast<double>(elapsedMs) / 1000.0);
  width_ = std::strlen(line);
  platform::WriteError(line);
}

void Progress::WaitEnded() {
  if (enabled_ && width_ > 0) {
    platform::WriteError("\r" + std::string(width_, ' ') + "\r");
    width_ = 0;
  }
}

SharedLog::~SharedLog() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

int SharedLog::Open(const std::string& path) {
  if (path.empty()) {
    return kExitOk;
  }
  file_ = std::fopen(path.c_str(), "ab");
  if (file_ == nullptr) {
    Error(path + ": cannot write the log (" + std::strerror(errno) + ")");
    return kExitUsage;
  }
  return kExitOk;
}

const char* OpenErrorText(const LineOpenError& error) {
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

int Connection::Check(const std::string& port) {
  if (!port.empty()) {
    name_ = port;
  } else {
    const int chosen = ChooseAdapter();
    if (chosen != kExitOk) {
      return chosen;
    }
  }
  if (IsSimName(name_)) {
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

int Connection::Open(std::FILE* log, const std::string& logLabel, LineOpenError* error) {
  if (IsSimName(name_)) {
    const int opened = OpenSim();
    if (opened != kExitOk) {
      return opened;
    }
  } else {
    LineOpenError own;
    LineOpenError& why = error != nullptr ? *error : own;
    device_ = platform::OpenDevice(name_, &why);
    if (!device_) {
      if (error == nullptr) {
        Error(name_ + ": " + OpenErrorText(why) + " (" + why.detail + ")");
      }
      return kExitPort;
    }
    raw_ = &device_->link();
  }
  logged_.reset();
  if (log != nullptr) {
    logged_ = std::make_unique<LogLink>(*raw_, log, logLabel);
  }
  return kExitOk;
}

int Connection::Close() {
  logged_.reset();
  raw_ = nullptr;
  device_.reset();
  return Keep();
}

int Connection::Keep() {
  if (!sim_ || simFile_.empty() || sim_->RecordVersion() == simVersion_) {
    return kExitOk;
  }
  simVersion_ = sim_->RecordVersion();
  return SaveSim() ? kExitOk : kExitPort;
}

int Connection::ChooseAdapter() {
  const std::vector<PortInfo> adapters = UsbAdapters();
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

int Connection::OpenSim() {
  sim_ = std::make_unique<SimUnit>();
  if (!simFile_.empty()) {
    std::FILE* file = std::fopen(simFile_.c_str(), "rb");
    if (file == nullptr && errno != ENOENT) {
      Error(simFile_ + ": cannot read the simulated unit's record (" + std::strerror(errno) + ")");
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

bool Connection::SaveSim() {
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

Command::Command(const Options& options, std::FILE* log, bool several)
    : options_(options),
      log_(log),
      several_(several),
      progress_(platform::StderrIsTerminal() && !options.quiet && !several) {}

int Command::Start() {
  const int opened = connection_.Open(log_, several_ ? connection_.name() : std::string());
  if (opened != kExitOk) {
    return opened;
  }
  session_ =
      std::make_unique<Session>(Session{connection_.link(), TimeoutMs(options_), &progress_});
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
    Warn(std::to_string(session_->discardedBytes) +
         " bytes that were no answer of the unit came during the search; they were thrown away");
  }
  return kExitOk;
}

int Command::Failed(SessionResult result) {
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
      Error("a byte that was no answer of the unit came before its reply; nothing was taken");
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

int Command::Finish(int code) {
  const int closed = connection_.Close();
  if (InterruptRequested() && code == kExitOk) {
    return kExitInterrupted;
  }
  return code != kExitOk ? code : closed;
}

std::vector<Override> ParseOverrides(const std::vector<std::string>& sets, int* code) {
  std::vector<Override> overrides;
  for (const std::string& text : sets) {
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

int LoadInput(const Options& options, InputKind kind, RecordInput* input) {
  int code = kExitOk;
  const std::vector<Override> overrides = ParseOverrides(options.sets, &code);
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

void WarnFields(const std::vector<FieldWarning>& warnings, const std::string& where) {
  for (const FieldWarning& warning : warnings) {
    Warn(where + FieldName(warning.control) + ": " + warning.text);
  }
}
