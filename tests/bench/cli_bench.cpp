// dtucfg's device commands against the simulated unit on a pty, on real
// time: the core's commands over the termios line, and the whole program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "protocol/sim_unit.h"
#include "protocol/unit_session.h"
#include "serial/line_posix.h"
#include "support/sim_process.h"

namespace {

// DTUCFG in the environment times another build, an older one say.
int RunDtucfg(std::vector<std::string> args) {
  const char* other = std::getenv("DTUCFG");
  args.insert(args.begin(), other != nullptr ? other : DTUCFG);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  // Its results and warnings are not wanted here.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return -1;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_SearchAndRead(benchmark::State& state) {
  SimProcess unit(DTU_SIM_UNIT, {});
  for (auto _ : state) {
    PosixLine line;
    LineOpenError error;
    Session session{line, 10000};
    ConfigImage record{};
    if (!line.Open(unit.Path().c_str(), &error) || FindUnit(session) != SessionResult::Ok ||
        ReadRecordFromUnit(session, record) != SessionResult::Ok) {
      state.SkipWithError("search and read failed");
      break;
    }
  }
}
BENCHMARK(BM_SearchAndRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

void BM_WriteAndVerify(benchmark::State& state) {
  SimProcess unit(DTU_SIM_UNIT, {});
  ConfigImage record;
  SimUnit::FactoryRecord(record);
  for (auto _ : state) {
    PosixLine line;
    LineOpenError error;
    Session session{line, 10000};
    ConfigImage back{};
    if (!line.Open(unit.Path().c_str(), &error) || FindUnit(session) != SessionResult::Ok ||
        WriteRecordToUnit(session, record) != SessionResult::Ok ||
        ReadRecordFromUnit(session, back) != SessionResult::Ok || back.bytes != record.bytes) {
      state.SkipWithError("write and verify failed");
      break;
    }
  }
}
BENCHMARK(BM_WriteAndVerify)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

// The whole program, from its start to its exit.
void BM_DtucfgRead(benchmark::State& state) {
  SimProcess unit(DTU_SIM_UNIT, {});
  for (auto _ : state) {
    if (RunDtucfg({"read", "--port", unit.Path()}) != 0) {
      state.SkipWithError("dtucfg read failed");
      break;
    }
  }
}
BENCHMARK(BM_DtucfgRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

void BM_DtucfgWrite(benchmark::State& state) {
  SimProcess unit(DTU_SIM_UNIT, {});
  for (auto _ : state) {
    if (RunDtucfg({"write", "--port", unit.Path(), "/dev/null"}) != 0) {
      state.SkipWithError("dtucfg write failed");
      break;
    }
  }
}
BENCHMARK(BM_DtucfgWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

// The whole program against a unit paced like a real line at 115200 8N1,
// answering after range(1) ms, against the least the line allows: the time
// its bytes take on the wire and the unit's latency before each answer.
struct PacedCommand {
  const char* name;
  std::vector<std::string> args;  // after the port
  unsigned bytes;                 // sent and received
  unsigned answers;               // each after the unit's latency
};

const PacedCommand kPacedCommands[] = {
    // Probe, found frame, read request, reply.
    {"read", {"read"}, 6 + 5 + 5 + 609, 2},
    // Probe, found frame, write, acknowledgement, read request, reply.
    {"write", {"write", "/dev/null"}, 6 + 5 + 604 + 5 + 5 + 609, 3},
    {"write --no-verify", {"write", "/dev/null", "--no-verify"}, 6 + 5 + 604 + 5, 2},
};

constexpr double kLineByteMs = 10 * 1000.0 / 115200;

std::vector<std::string> PacedArgs(unsigned latencyMs) {
  return {"--paced", "--delay-ms", std::to_string(latencyMs)};
}

void BM_DtucfgPaced(benchmark::State& state) {
  const PacedCommand& command = kPacedCommands[state.range(0)];
  const auto latencyMs = static_cast<unsigned>(state.range(1));
  SimProcess unit(DTU_SIM_UNIT, PacedArgs(latencyMs));
  std::vector<std::string> args = command.args;
  args.insert(args.begin() + 1, {"--port", unit.Path()});
  double totalMs = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (RunDtucfg(args) != 0) {
      state.SkipWithError("dtucfg failed against the paced unit");
      break;
    }
    totalMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  const double floorMs = command.bytes * kLineByteMs + command.answers * latencyMs;
  state.SetLabel(command.name);
  state.counters["floor_ms"] = floorMs;
  state.counters["ratio"] = totalMs / static_cast<double>(state.iterations()) / floorMs;
}
BENCHMARK(BM_DtucfgPaced)
    ->ArgsProduct({{0, 1, 2}, {0, 5}})
    ->ArgNames({"command", "latency_ms"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(30);

// One unit, or several at once, each with its own row of a units CSV: the
// ports are served in parallel, so eight should take little longer than one.
// range(1): the units are paced like a real line.
void BM_DtucfgWriteUnits(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<std::string> unitArgs =
      state.range(1) != 0 ? PacedArgs(0) : std::vector<std::string>{};
  std::vector<std::unique_ptr<SimProcess>> units;
  char csv[] = "/tmp/dtu-bench-units-XXXXXX";
  const int fd = mkstemp(csv);
  std::string text = "ID\n";
  std::vector<std::string> args = {"write", "/dev/null", "--units", csv};
  for (std::size_t i = 0; i < count; ++i) {
    units.push_back(std::make_unique<SimProcess>(DTU_SIM_UNIT, unitArgs));
    text += "7B " + std::to_string(10 + i) + "\n";
    args.insert(args.end(), {"--port", units.back()->Path()});
  }
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    state.SkipWithError("cannot write the units CSV");
  }
  for (auto _ : state) {
    if (RunDtucfg(args) != 0) {
      state.SkipWithError("dtucfg write --units failed");
      break;
    }
  }
  close(fd);
  unlink(csv);
}
BENCHMARK(BM_DtucfgWriteUnits)
    ->ArgsProduct({{1, 8}, {0, 1}})
    ->ArgNames({"units", "paced"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(30);

}  // namespace
