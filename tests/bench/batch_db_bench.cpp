// A batch's size against what the line does with it, at 1,000, 10,000 and
// 100,000 rows, so that the growth shows: batch create (the dtucfg command,
// its input check too), a station's claim when all rows but the last are
// done, batch report and batch status (the commands), and the reporting
// views status reads, alone. The batches read are made once per size and
// filled by the owner's login: every row but the last eleven done with a
// result (every 50th with a failure before it), ten in doubt on one
// station, the last free.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/db_bench_server.h"
#include "line/batch_store.h"
#include "line/odbc.h"

namespace {

using db_bench::Clock;
using db_bench::Fresh;
using db_bench::Percentile;
using db_bench::Quoted;
using db_bench::Server;
using db_bench::Shell;

// Through the owner's login, which owns the tables.
bool Fill(const std::string& batch, int rows, std::string* error) {
  Server& server = Server::Get();
  Database db;
  DbError dbError;
  const std::int64_t last = rows;
  const bool filled =
      db.Connect(server.Connection("owner"), &dbError) &&
      db.Exec(
          "UPDATE dtucfg_row SET state = 'done', station = 'st' || (row_no % 4), port = "
          "'/dev/bench-' || (row_no % 2), claimed_at = CURRENT_TIMESTAMP WHERE batch = ? AND "
          "row_no <= ?",
          {batch, last - 11}, nullptr, &dbError) &&
      db.Exec(
          "UPDATE dtucfg_row SET state = 'claimed', station = 'st0', port = '/dev/bench-0', "
          "claim_key = 'k' || row_no, claimed_at = CURRENT_TIMESTAMP WHERE batch = ? AND "
          "row_no > ? AND row_no < ?",
          {batch, last - 11, last}, nullptr, &dbError) &&
      db.Exec(
          "INSERT INTO dtucfg_result (result_key, batch, row_no, station, port, result, "
          "record_sha256, at) SELECT batch || ':f' || row_no, batch, row_no, station, port, "
          "'no-ack', record_sha256, CURRENT_TIMESTAMP - (? - row_no) * INTERVAL '10 "
          "milliseconds' - INTERVAL '5 milliseconds' FROM dtucfg_row WHERE batch = ? AND "
          "state = 'done' AND row_no % 50 = 0",
          {last, batch}, nullptr, &dbError) &&
      db.Exec(
          "INSERT INTO dtucfg_result (result_key, batch, row_no, station, port, result, "
          "record_sha256, at) SELECT batch || ':' || row_no, batch, row_no, station, port, "
          "'ok', record_sha256, CURRENT_TIMESTAMP - (? - row_no) * INTERVAL '10 "
          "milliseconds' FROM dtucfg_row WHERE batch = ? AND state = 'done'",
          {last, batch}, nullptr, &dbError) &&
      // As autovacuum leaves the tables once a day's results are in.
      db.Exec("VACUUM ANALYZE dtucfg_row", {}, nullptr, &dbError) &&
      db.Exec("VACUUM ANALYZE dtucfg_result", {}, nullptr, &dbError);
  if (!filled) {
    *error = "cannot fill the batch: " + dbError.message;
  }
  return filled;
}

// The filled batch of this many rows, made once; empty, with error, when
// it cannot be.
std::string Filled(int rows, std::string* error) {
  static std::map<int, std::string> made;
  const auto found = made.find(rows);
  if (found != made.end()) {
    return found->second;
  }
  Server& server = Server::Get();
  std::string batch = Fresh("filled");
  *error = server.error();
  if (!error->empty() || !server.CreateBatch(batch, rows, error) || !Fill(batch, rows, error)) {
    error->insert(0, "cannot make the batch: ");
    return "";
  }
  made[rows] = batch;
  return batch;
}

void Sizes(benchmark::internal::Benchmark* bench) {
  bench->ArgName("rows")->Arg(1000)->Arg(10000)->Arg(100000);
}

// The dtucfg command, as a supervisor runs it; its time goes to seconds.
bool RunDtucfg(const std::string& arguments, double* seconds, std::string* said) {
  const auto start = Clock::now();
  const bool ok = Shell(Quoted(DTUCFG) + " " + arguments + " --db " +
                            Quoted(Server::Get().Connection("supervisor")) + " >/dev/null",
                        said);
  *seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return ok;
}

// batch create of a new batch, from its CSV to its commit.
void BM_BatchCreate(benchmark::State& state) {
  const auto rows = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::string said = Server::Get().error();
    double seconds = 0;
    if (!said.empty() || !Server::Get().CreateBatch(Fresh("create"), rows, &said, &seconds)) {
      state.SkipWithError(("cannot create the batch: " + said).c_str());
      return;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["rows_per_s"] =
      benchmark::Counter(static_cast<double>(rows) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BatchCreate)
    ->Apply(Sizes)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A station's claim of the one free row left; the row is freed again,
// untimed, for the next.
void BM_BatchClaimLast(benchmark::State& state) {
  const auto rows = static_cast<int>(state.range(0));
  std::string error;
  const std::string batch = Filled(rows, &error);
  Server& server = Server::Get();
  BatchStore station;
  Database owner;
  DbError dbError;
  bool taken = false;
  const std::string name = Fresh("claimer");
  const std::string token = Fresh("token");
  if (batch.empty() || !station.Connect(server.Connection("station"), DbLimits{}, &dbError) ||
      !owner.Connect(server.Connection("owner"), &dbError) ||
      !station.TakeStation(name, token, batch, &taken, &dbError) || !taken) {
    state.SkipWithError((error + dbError.message).c_str());
    return;
  }
  std::vector<double> ms;
  for (auto _ : state) {
    std::int64_t row = 0;
    const auto start = Clock::now();
    const bool claimed =
        station.ClaimRow(batch, name, token, "/dev/bench-claim", Fresh("claim"), &row, &dbError);
    const std::chrono::duration<double> took = Clock::now() - start;
    if (!claimed || row != rows ||
        !owner.Exec("UPDATE dtucfg_row SET state = 'free', station = NULL, port = NULL, "
                    "claim_key = NULL, claimed_at = NULL WHERE batch = ? AND row_no = ?",
                    {batch, row}, nullptr, &dbError)) {
      state.SkipWithError(
          ("the claim failed, or took row " + std::to_string(row) + ": " + dbError.message)
              .c_str());
      return;
    }
    state.SetIterationTime(took.count());
    ms.push_back(took.count() * 1000);
  }
  state.counters["median_ms"] = Percentile(ms, 0.5);
  state.counters["p95_ms"] = Percentile(ms, 0.95);
}
BENCHMARK(BM_BatchClaimLast)
    ->Apply(Sizes)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// batch report --out, every result of the batch.
void BM_BatchReport(benchmark::State& state) {
  std::string error;
  const std::string batch = Filled(static_cast<int>(state.range(0)), &error);
  const std::string out = std::filesystem::temp_directory_path() / Fresh("dtu-bench-report-");
  for (auto _ : state) {
    double seconds = 0;
    if (batch.empty() ||
        !RunDtucfg("batch report " + Quoted(batch) + " --out " + Quoted(out), &seconds, &error)) {
      state.SkipWithError(("batch report failed: " + error).c_str());
      break;
    }
    state.SetIterationTime(seconds);
  }
  std::error_code ignored;
  std::filesystem::remove(out, ignored);
}
BENCHMARK(BM_BatchReport)
    ->Apply(Sizes)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// batch status, as text (json 0) or --json (1): the whole command, its
// start and connection too.
void BM_BatchStatus(benchmark::State& state) {
  std::string error;
  const std::string batch = Filled(static_cast<int>(state.range(0)), &error);
  const std::string json = state.range(1) == 1 ? " --json" : "";
  for (auto _ : state) {
    double seconds = 0;
    if (batch.empty() || !RunDtucfg("batch status " + Quoted(batch) + json, &seconds, &error)) {
      state.SkipWithError(("batch status failed: " + error).c_str());
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_BatchStatus)
    ->ArgNames({"rows", "json"})
    ->ArgsProduct({{1000, 10000, 100000}, {0, 1}})
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// What batch status reads, the reporting views of one batch, on a
// reporter's connection already open.
void BM_BatchReadView(benchmark::State& state) {
  std::string error;
  const std::string batch = Filled(static_cast<int>(state.range(0)), &error);
  BatchStore store;
  DbError dbError;
  if (batch.empty() || !store.Connect(Server::Get().Connection("reporter"), DbLimits{}, &dbError)) {
    state.SkipWithError((error + dbError.message).c_str());
    return;
  }
  for (auto _ : state) {
    LineView view;
    if (!store.ReadView({batch}, &view, &dbError) || view.batches.size() != 1 ||
        view.open.size() != 10) {
      state.SkipWithError(("the views failed: " + dbError.message).c_str());
      break;
    }
  }
}
BENCHMARK(BM_BatchReadView)->Apply(Sizes)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
