// The shared line's database ledger against a private PostgreSQL on
// loopback: what one unit costs a station, and how fast sixteen stations
// drain one batch between them. The server is started for the first of these
// benchmarks and stopped when the program ends.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/db_bench_server.h"
#include "line/ledger_db.h"
#include "line/odbc.h"
#include "protocol/sim_unit.h"

namespace {

using db_bench::Clock;
using db_bench::Fresh;
using db_bench::Percentile;
using db_bench::Server;

const std::string kPort = "/dev/bench-port";

// One unit's talk with the database, as a station has it: ClaimRow and
// Record (arg 0), or with the look-up before and the end check after, which
// the station makes for every unit too (arg 1).
void BM_DbPerUnit(benchmark::State& state) {
  const bool whole = state.range(0) == 1;
  Server& server = Server::Get();
  const std::string batch = Fresh("unit");
  const auto units = static_cast<int>(state.max_iterations);
  std::string error = server.error();
  if (!error.empty() || !server.CreateBatch(batch, units, &error)) {
    state.SkipWithError(("cannot create the batch: " + error).c_str());
    return;
  }
  error.clear();
  DbLedger ledger(server.Connection("station"), batch, Fresh("station"), DbLimits{});
  if (ledger.Open({kPort}, &error) != 0) {
    state.SkipWithError(("cannot open the ledger: " + error).c_str());
    return;
  }
  ConfigImage factory;
  SimUnit::FactoryRecord(factory);
  const std::string factorySha = RecordSha(factory);
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = Clock::now();
    Ledger::Claim done;
    Ledger::Claim claim;
    bool ok = !whole || ledger.FindDoneRow(factorySha, &done, &error) == Ledger::Status::Ok;
    ok = ok && ledger.ClaimRow(kPort, &claim, &error) == Ledger::Status::Ok;
    ok = ok &&
         ledger.Record(claim, kPort, UnitResult::Ok, RowState::Done, &error) == Ledger::Status::Ok;
    if (whole) {
      benchmark::DoNotOptimize(ledger.Finished());
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    if (!ok) {
      state.SkipWithError(("a unit failed: " + error).c_str());
      break;
    }
    state.SetIterationTime(took.count());
    ms.push_back(took.count() * 1000);
  }
  state.counters["median_ms"] = Percentile(ms, 0.5);
  state.counters["p95_ms"] = Percentile(ms, 0.95);
  state.counters["max_ms"] = Percentile(ms, 1.0);
}
BENCHMARK(BM_DbPerUnit)
    ->ArgName("with_lookup_and_end_check")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(500)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Sixteen stations, each a ledger with its own name and connection, claim
// and record the rows of one batch until none is left. Every row must be
// claimed exactly once, as the claimers and the database both count.
void BM_DbContention(benchmark::State& state) {
  constexpr int kClaimers = 16;
  constexpr int kRows = 2000;
  Server& server = Server::Get();
  double seconds = 0;
  std::int64_t claims = 0;
  for (auto _ : state) {
    const std::string batch = Fresh("busy");
    std::string error = server.error();
    if (!error.empty() || !server.CreateBatch(batch, kRows, &error)) {
      state.SkipWithError(("cannot create the batch: " + error).c_str());
      return;
    }
    error.clear();
    std::vector<std::unique_ptr<DbLedger>> ledgers;
    for (int i = 0; i < kClaimers && error.empty(); ++i) {
      ledgers.push_back(std::make_unique<DbLedger>(server.Connection("station"), batch,
                                                   Fresh("claimer"), DbLimits{}));
      if (ledgers.back()->Open({kPort}, &error) != 0) {
        error.insert(0, "cannot open a ledger: ");
      }
    }
    std::vector<std::vector<int>> rows(kClaimers);
    std::vector<std::string> errors(kClaimers);
    std::mutex mutex;
    std::condition_variable go;
    bool started = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < kClaimers && error.empty(); ++i) {
      threads.emplace_back([&, i] {
        {
          std::unique_lock<std::mutex> lock(mutex);
          go.wait(lock, [&] { return started; });
        }
        DbLedger& ledger = *ledgers[static_cast<std::size_t>(i)];
        for (;;) {
          Ledger::Claim claim;
          const Ledger::Status status = ledger.ClaimRow(kPort, &claim, &errors[i]);
          if (status == Ledger::Status::NoRow) {
            return;
          }
          if (status != Ledger::Status::Ok ||
              ledger.Record(claim, kPort, UnitResult::Ok, RowState::Done, &errors[i]) !=
                  Ledger::Status::Ok) {
            errors[i] = "claimer " + std::to_string(i) + ": " + errors[i];
            return;
          }
          rows[i].push_back(claim.row);
        }
      });
    }
    const auto start = Clock::now();
    {
      const std::lock_guard<std::mutex> lock(mutex);
      started = true;
    }
    go.notify_all();
    for (std::thread& thread : threads) {
      thread.join();
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    state.SetIterationTime(took.count());
    seconds += took.count();
    for (const std::string& e : errors) {
      error = e.empty() ? error : e;
    }
    std::set<int> distinct;
    std::size_t total = 0;
    for (const std::vector<int>& mine : rows) {
      distinct.insert(mine.begin(), mine.end());
      total += mine.size();
    }
    Database db;
    DbError dbError;
    DbResult done;
    DbResult results;
    if (error.empty() &&
        (!db.Connect(server.Connection("owner"), &dbError) ||
         !db.Exec("SELECT COUNT(*) FROM dtucfg_row WHERE batch = ? AND state = 'done'", {batch},
                  &done, &dbError) ||
         !db.Exec("SELECT COUNT(*), COUNT(DISTINCT row_no) FROM dtucfg_result WHERE batch = ?",
                  {batch}, &results, &dbError))) {
      error = "cannot count the rows: " + dbError.message;
    }
    const std::string want = std::to_string(kRows);
    if (error.empty() && (total != kRows || distinct.size() != kRows || done.rows[0][0] != want ||
                          results.rows[0][0] != want || results.rows[0][1] != want)) {
      error = "rows not claimed exactly once: the claimers took " + std::to_string(total) +
              " claims of " + std::to_string(distinct.size()) + " rows; the database has " +
              done.rows[0][0].value_or("?") + " rows done and " + results.rows[0][0].value_or("?") +
              " results of " + results.rows[0][1].value_or("?") + " rows";
    }
    if (!error.empty()) {
      state.SkipWithError(error.c_str());
      return;
    }
    claims += static_cast<std::int64_t>(total);
  }
  state.counters["claims_per_s"] = static_cast<double>(claims) / seconds;
  state.counters["claimers"] = kClaimers;
  state.counters["rows"] = kRows;
}
BENCHMARK(BM_DbContention)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
