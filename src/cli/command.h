// One device command on one port, from opening it to closing it, and the
// options and inputs the commands share.
#ifndef DTU_CLI_COMMAND_H
#define DTU_CLI_COMMAND_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/log_link.h"
#include "cli/options.h"
#include "cli/platform.h"
#include "cli/profile_input.h"
#include "protocol/sim_link.h"
#include "protocol/sim_unit.h"
#include "protocol/unit_session.h"
#include "serial/port_list.h"

std::string Seconds(double seconds);
bool IsSimName(const std::string& port);
// The USB serial adapters ListPorts finds: the ports taken when none is named.
std::vector<PortInfo> UsbAdapters();

// Live progress of the waits, on a terminal only.
class Progress final : public WaitObserver {
 public:
  explicit Progress(bool enabled) : enabled_(enabled) {}
  void Waiting(const char* what, std::uint64_t elapsedMs) override;
  void WaitEnded() override;

 private:
  bool enabled_;
  std::size_t width_ = 0;
};

// The log every port notes its traffic in; lines carry the port's name when
// several ports share it.
class SharedLog {
 public:
  SharedLog() = default;
  SharedLog(const SharedLog&) = delete;
  SharedLog& operator=(const SharedLog&) = delete;
  ~SharedLog();
  int Open(const std::string& path);
  std::FILE* file() const { return file_; }

 private:
  std::FILE* file_ = nullptr;
};

// The port a command talks to: a device, or the simulated unit in the program.
class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& name() const { return name_; }
  Link& link() { return logged_ ? *logged_ : *raw_; }

  // Before any port is touched: that the name names one. An empty name is
  // the one USB serial adapter there is.
  int Check(const std::string& port);
  // logLabel goes into each log line; empty for a port served alone.
  int Open(std::FILE* log, const std::string& logLabel, LineOpenError* error = nullptr);
  // Keeps what a simulated unit stored, for the next run; a command calls it
  // before it tells of a success. A failure is told once.
  int Keep();
  int Close();

 private:
  int ChooseAdapter();
  int OpenSim();
  bool SaveSim();

  std::string name_;
  std::string simFile_;
  std::unique_ptr<platform::Device> device_;
  std::unique_ptr<SimUnit> sim_;
  std::unique_ptr<SimLink> simLink_;
  unsigned simVersion_ = 0;
  std::unique_ptr<LogLink> logged_;
  Link* raw_ = nullptr;
};

const char* OpenErrorText(const LineOpenError& error);

class Command {
 public:
  Command(const Options& options, std::FILE* log, bool several);

  Connection& connection() { return connection_; }
  int Check(const std::string& port) { return connection_.Check(port); }
  // Opens the port and finds the unit.
  int Start();
  Session& session() { return *session_; }
  // What a failed step means to the user.
  int Failed(SessionResult result);
  // The command's outcome, after the port's own last word.
  int Finish(int code);

 private:
  const Options& options_;
  std::FILE* log_;
  bool several_;
  Progress progress_;
  Connection connection_;
  std::unique_ptr<Session> session_;
};

std::vector<Override> ParseOverrides(const std::vector<std::string>& sets, int* code);
// The record write, diff or show start from, with its warnings told.
int LoadInput(const Options& options, InputKind kind, RecordInput* input);
void WarnFields(const std::vector<FieldWarning>& warnings, const std::string& where = "");

#endif
