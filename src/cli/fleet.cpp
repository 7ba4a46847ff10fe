#include "cli/fleet.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/output.h"
#include "cli/render.h"
#include "protocol/unit_session.h"
#include "serial/port_list.h"

bool SeveralPorts(const std::vector<std::string>& given) {
  return given.size() > 1 || (given.size() == 1 && given[0] == "all");
}

int ExpandPorts(const std::vector<std::string>& given, std::vector<std::string>* ports) {
  ports->clear();
  for (const std::string& port : given) {
    if (port == "all" && given.size() > 1) {
      Error("--port all names every USB serial adapter; give no other --port with it");
      return kExitUsage;
    }
    if (port == "all") {
      for (const PortInfo& info : UsbAdapters()) {
        ports->push_back(info.name);
      }
      if (ports->empty()) {
        Error("--port all: no USB serial adapter found");
        return kExitUsage;
      }
      return kExitOk;
    }
    if (std::find(ports->begin(), ports->end(), port) != ports->end()) {
      Error(port + ": this port is given twice");
      return kExitUsage;
    }
    ports->push_back(port);
  }
  if (ports->empty()) {
    ports->emplace_back();  // the one adapter there is
  }
  return kExitOk;
}

int CheckPorts(const std::vector<std::string>& given, std::vector<std::string>* ports) {
  int code = ExpandPorts(given, ports);
  for (std::size_t i = 0; code == kExitOk && i < ports->size(); ++i) {
    Connection connection;
    code = connection.Check((*ports)[i]);
    (*ports)[i] = connection.name();
  }
  return code;
}

std::string PortFileName(const std::string& pattern, const std::string& port) {
  std::string name = port;
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':') {
      c = '_';
    }
  }
  std::string file = pattern;
  const std::string key = "{port}";
  for (std::size_t at = file.find(key); at != std::string::npos;
       at = file.find(key, at + name.size())) {
    file.replace(at, key.size(), name);
  }
  return file;
}

int RunOnPorts(const std::vector<std::string>& ports, bool json,
               const std::function<int(const std::string& port)>& job) {
  std::vector<PortOutput> outputs(ports.size());
  std::vector<std::thread> threads;
  threads.reserve(ports.size());
  for (std::size_t i = 0; i < ports.size(); ++i) {
    outputs[i].port = ports[i];
    threads.emplace_back([&job, &output = outputs[i]] {
      const PortScope scope(output);
      try {
        output.code = job(output.port);
      } catch (const std::exception& e) {
        Error(e.what());
        output.code = kExitPort;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  int code = kExitOk;
  std::string text;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (PortOutput& output : outputs) {
    code = std::max(code, output.code);
    if (json) {
      nlohmann::ordered_json entry;
      entry["port"] = output.port;
      entry["exit"] = output.code;
      entry["error"] = output.code == kExitOk ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json(output.lastError);
      if (output.json.empty() && !output.result.empty()) {
        std::string result = output.result;
        result.erase(result.find_last_not_of('\n') + 1);
        entry["result"] = result;
      }
      entry.update(output.json);
      list.push_back(entry);
      continue;
    }
    if (output.result.empty()) {
      output.result = "failed: " + output.lastError + "\n";
    }
    std::size_t start = 0;
    while (start < output.result.size()) {
      std::size_t end = output.result.find('\n', start);
      end = end == std::string::npos ? output.result.size() : end + 1;
      text += output.port + ": " + output.result.substr(start, end - start);
      start = end;
    }
    if (text.back() != '\n') {
      text += '\n';
    }
  }
  ResultNow(json ? DumpJson(list) : text);
  return code;
}

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
