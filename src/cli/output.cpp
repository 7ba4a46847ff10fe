#include "cli/output.h"

#include <cstdio>
#include <mutex>

#include "cli/platform.h"

namespace {

thread_local PortOutput* t_port = nullptr;
// Whole lines only, whichever thread writes them.
std::mutex g_writing;

}  // namespace

PortScope::PortScope(PortOutput& output) { t_port = &output; }

PortScope::~PortScope() { t_port = nullptr; }

PortOutput* CurrentPort() { return t_port; }

void Error(const std::string& message) {
  std::string line = "dtucfg: ";
  if (t_port != nullptr) {
    t_port->lastError = message;
    line += t_port->port + ": ";
  }
  line += message + "\n";
  const std::lock_guard<std::mutex> lock(g_writing);
  platform::WriteError(line);
}

void Warn(const std::string& message) { Error("warning: " + message); }

void Result(const std::string& text) {
  if (t_port != nullptr) {
    t_port->result += text;
    return;
  }
  ResultNow(text);
}

void ResultNow(const std::string& text) {
  const std::lock_guard<std::mutex> lock(g_writing);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}
