// The ledger of a line shared by several stations: a batch in a database.
// Each station claims its rows there, one statement each, committed before
// the unit hears a byte; its results go there with the database's time. A
// station's name is held while it runs, by a heartbeat. When the database
// goes away, the station waits for it: nothing new is claimed, and results
// are kept as soon as it is back.
#ifndef DTU_LINE_LEDGER_DB_H
#define DTU_LINE_LEDGER_DB_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line/batch_store.h"
#include "line/ledger.h"

class DbLedger final : public Ledger {
 public:
  DbLedger(std::string connection, std::string batch, std::string station);
  ~DbLedger() override;

  // kExitPort when the database cannot be reached, kExitUsage when the batch
  // or the station's name is refused.
  int Open(const std::vector<std::string>& ports, std::string* error) override;
  const WriteInput& input() const override { return input_; }
  bool Reachable() override;
  Status ClaimRow(const std::string& port, Claim* claim, std::string* error) override;
  Status FindDoneRow(const std::string& sha, Claim* claim, std::string* error) override;
  Status Record(const Claim& claim, const std::string& port, UnitResult result,
                std::string* error) override;
  bool Finished() override;
  std::string Summary() override;

 private:
  struct Pending {
    std::string key;  // a claim or result not yet known to be kept
    int row = kNoRow;
  };

  bool TakeStation(std::string* error);
  bool EnsureConnected();
  bool Reconnect();
  Status Failed(const DbError& error, const std::string& what, std::string* message);
  std::string NextKey();
  Status TakenOver(std::string* error) const;
  int CheckRow(std::int64_t row, std::string* error) const;
  void Beat();

  const std::string connection_;
  const std::string batch_;
  const std::string station_;
  std::string token_;
  std::uint64_t keys_ = 0;
  WriteInput input_;
  BatchStore store_;
  bool down_ = false;   // lost; waiting for it to come back
  bool taken_ = false;  // another process holds the station's name now
  std::chrono::steady_clock::time_point lastTry_{};
  std::map<std::string, std::vector<int>> inDoubt_;  // rows per port, from an earlier run
  std::map<std::string, Pending> claims_;            // per port
  std::map<std::string, Pending> results_;           // per port
  std::map<UnitResult, int> counts_;
  std::mutex mutex_;
  std::condition_variable stopBeat_;
  bool stopping_ = false;
  std::thread beat_;
};

#endif
