// One port of the production line: waits for a unit, gives it a row of the
// ledger, writes and verifies it, keeps its result, and waits until the unit
// is gone before it takes the next.
#ifndef DTU_CLI_STATION_H
#define DTU_CLI_STATION_H

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/command.h"
#include "cli/ledger.h"

// How the stations of one line end together.
struct LineStop {
  std::atomic<bool> done{false};    // nothing is left to write
  std::atomic<bool> broken{false};  // the ledger cannot be kept
};

class Station {
 public:
  Station(const Options& options, Ledger& ledger, std::FILE* log, LineStop& stop)
      : options_(options), ledger_(ledger), log_(log), stop_(stop) {}

  // Serves port until the line stops.
  void Run(const std::string& port);

 private:
  bool Stopping() const;
  bool SeeDone();
  void Pause();
  bool OpenPort();
  void ClosePort();
  void Serve(Session& found);
  bool Provision(Session& session, Ledger::Claim* claim, UnitResult* result);
  bool Keep(int row, UnitResult result, const std::string& sha);
  void Tell(int row, UnitResult result);
  void AwaitGone(Session& session);
  void Broken(const std::string& error);

  const Options& options_;
  Ledger& ledger_;
  std::FILE* log_;
  LineStop& stop_;
  Connection connection_;
  bool open_ = false;
  bool toldWaiting_ = false;
  bool toldNoRow_ = false;
};

#endif
