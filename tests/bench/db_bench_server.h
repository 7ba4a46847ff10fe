// The scratch PostgreSQL the database benchmarks share (one per program),
// and what they share besides: a shell, fresh names, percentiles.
#ifndef DTU_BENCH_DB_BENCH_SERVER_H
#define DTU_BENCH_DB_BENCH_SERVER_H

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace db_bench {

using Clock = std::chrono::steady_clock;

// A word for the shell, quoted.
inline std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// Runs a shell command; true when it exits 0. out gets what it prints.
inline bool Shell(const std::string& command, std::string* out) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return false;
  }
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out->append(buffer, n);
  }
  return pclose(pipe) == 0;
}

// The scratch server of tests/support/scratch_pg.py, with a folder of files
// for the batches; both go when the program ends, or with its watcher when
// it dies.
class Server {
 public:
  static Server& Get() {
    static Server server;
    return server;
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& error() const { return error_; }
  std::string Connection(const char* role) const {
    return info_["roles"][role]["connection_string"].get<std::string>();
  }

  // A new batch of rows, each with an ID no batch before it had; what
  // dtucfg said goes to said, and how long it took (the CSV written before
  // it aside) to seconds.
  bool CreateBatch(const std::string& name, int rows, std::string* said,
                   double* seconds = nullptr) {
    const std::string csv = dir_ + "/" + name + ".csv";
    std::ofstream out(csv, std::ios::binary);
    out << "ID\n";
    for (int i = 0; i < rows; ++i, ++ids_) {
      char id[16];
      std::snprintf(id, sizeof id, "7B %02X %02X %02X", (ids_ >> 16) & 0xFF, (ids_ >> 8) & 0xFF,
                    ids_ & 0xFF);
      out << id << "\n";
    }
    out.close();
    const auto start = Clock::now();
    const bool created =
        out && Shell(Quoted(DTUCFG) + " batch create " + Quoted(name) + " " + Quoted(profile_) +
                         " --units " + Quoted(csv) + " --db " + Quoted(Connection("owner")),
                     said);
    if (seconds != nullptr) {
      *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    std::filesystem::remove(csv);
    return created;
  }

 private:
  Server() {
    char dir[] = "/tmp/dtu-dbbench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      error_ = "mkdtemp failed";
      return;
    }
    dir_ = dir;
    profile_ = dir_ + "/p.ini";
    std::ofstream(profile_, std::ios::binary) << "[DTU NET]\r\nIP=10.0.0.5\r\nBT=30\r\nNOT=40\r\n";
    std::string out;
    if (Scratch("start", " --watch " + std::to_string(getpid()), &out)) {
      info_ = nlohmann::json::parse(out, nullptr, false);
    }
    if (!info_.is_object()) {
      error_ = "the scratch PostgreSQL did not start: " + out;
    }
  }

  ~Server() {
    if (!dir_.empty()) {
      std::string out;
      Scratch("stop", "", &out);
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  bool Scratch(const std::string& command, const std::string& extra, std::string* out) const {
    return Shell(
        "python3 " + Quoted(DTU_SCRATCH_PG) + " " + command + " " + Quoted(dir_ + "/pg") + extra,
        out);
  }

  std::string dir_;
  std::string profile_;
  nlohmann::json info_;
  std::string error_;
  int ids_ = 0;
};

// A fresh name for each batch and station of the run.
inline std::string Fresh(const std::string& prefix) {
  static int count = 0;
  return prefix + std::to_string(++count);
}

inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(
      std::lround(fraction * static_cast<double>(values.size() - 1)))];
}

}  // namespace db_bench

#endif
