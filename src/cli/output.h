// Where dtucfg's words go: messages to standard error, results to standard
// output. With several ports at once, each port's thread speaks through its
// own PortOutput: messages carry the port's name, results wait their turn.
#ifndef DTU_CLI_OUTPUT_H
#define DTU_CLI_OUTPUT_H

#include <string>

#include <nlohmann/json.hpp>

void Error(const std::string& message);
void Warn(const std::string& message);
void Result(const std::string& text);
// To standard output at once, even from a port's thread.
void ResultNow(const std::string& text);

struct PortOutput {
  std::string port;
  std::string result;     // what Result() gave, printed once all ports are done
  std::string lastError;  // the last message, for the port's result line
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  int code = 0;
};

// While it lives, the calling thread speaks for output.
class PortScope {
 public:
  explicit PortScope(PortOutput& output);
  PortScope(const PortScope&) = delete;
  PortScope& operator=(const PortScope&) = delete;
  ~PortScope();
};
// The calling thread's port, or null when one port is served alone.
PortOutput* CurrentPort();

#endif
