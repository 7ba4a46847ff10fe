// One port of the production line: waits for a unit, gives it a row of the
// ledger, writes and verifies it, keeps its result, and waits until the unit
// is gone before it takes the next.
#ifndef DTU_LINE_STATION_H
#define DTU_LINE_STATION_H

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/command.h"
#include "line/ledger.h"

// How the stations of one line end together.
struct LineStop {
  std::atomic<bool> done{false};     // nothing is left to write
  std::atomic<bool> broken{false};   // the ledger cannot be kept
  std::atomic<bool> refused{false};  // the ledger refuses the line's login
};

class Station {
 public:
  // timeoutMs: each wait for a unit's answer.
  Station(unsigned timeoutMs, Ledger& ledger, std::FILE* log, LineStop& stop)
      : timeoutMs_(timeoutMs), ledger_(ledger), log_(log), stop_(stop) {}

  // Serves port until the line stops.
  void Run(const std::string& port);

 private:
  bool Stopping() const;
  bool SeeDone();
  void Pause();
  bool OpenPort();
  void ClosePort();
  void Serve(Session& found);
  // What became of a unit: the row it got, with its record, the result, and
  // where the row goes.
  struct Outcome {
    Ledger::Claim claim;
    UnitResult result = UnitResult::Ok;
    RowState next = RowState::Done;
  };
  bool Provision(Session& session, Outcome* outcome);
  void Write(Session& session, Outcome* outcome);
  Ledger::Status Keep(const Outcome& outcome, std::string* error);
  void Tell(const Outcome& outcome, Ledger::Status kept, const std::string& error);
  void AwaitGone(Session& session);
  void Stop(Ledger::Status status, const std::string& error);

  const unsigned timeoutMs_;
  Ledger& ledger_;
  std::FILE* log_;
  LineStop& stop_;
  Connection connection_;
  bool open_ = false;
  bool toldWaiting_ = false;
  bool toldNoRow_ = false;
};

#endif
