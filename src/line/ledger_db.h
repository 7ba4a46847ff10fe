// The ledger of a line shared by several stations: a batch in a database.
// Each station claims its rows there, one statement each, committed before
// the unit hears a byte; its results go there with the database's time. A
// run holds its station's name by a lease that its heartbeat renews on a
// connection of its own; a claim or a result needs the lease live and the
// row still this run's claim, in the same statement. When the database goes
// away, the station waits for it: nothing new is claimed, and results are
// kept as soon as it is back.
#ifndef DTU_LINE_LEDGER_DB_H
#define DTU_LINE_LEDGER_DB_H

#include <atomic>
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
  DbLedger(std::string connection, std::string batch, std::string station, DbLimits limits);
  ~DbLedger() override;

  // kExitPort when the database cannot be reached or refuses the login,
  // kExitUsage when the batch or the station's name is refused.
  int Open(const std::vector<std::string>& ports, std::string* error) override;
  const WriteInput& input() const override { return input_; }
  bool Reachable() override;
  Status ClaimRow(const std::string& port, Claim* claim, std::string* error) override;
  Status FindDoneRow(const std::string& sha, Claim* claim, std::string* error) override;
  Status Record(const Claim& claim, const std::string& port, UnitResult result, RowState next,
                std::string* error) override;
  Status Health(std::string* error) override;
  bool Finished() override;
  std::string Summary() override;

 private:
  struct Pending {
    std::string key;  // a claim or result not yet known to be kept
    int row = kNoRow;
  };

  Status Stopped(std::string* error) const;
  bool EnsureConnected();
  bool Reconnect();
  Status Failed(const DbError& error, const std::string& what, std::string* message);
  void Waiting(const std::string& why);
  Status Lapsed(std::string* error);
  std::string NextKey();
  int CheckRow(std::int64_t row, std::string* error) const;
  void Refuse(const std::string& why);
  void Beat();
  void Quick();

  const std::string connection_;
  const std::string batch_;
  const std::string station_;
  const DbLimits limits_;
  const std::string token_;  // proves the name is this run's; never shown
  const std::string run_;    // names this run's claims and results
  std::uint64_t keys_ = 0;
  WriteInput input_;
  BatchStore store_;   // the ports' connection, under mutex_
  bool down_ = false;  // lost; waiting for it to come back
  std::string told_;   // why it is waiting, as last told
  std::chrono::steady_clock::time_point lastTry_{};
  std::map<std::string, std::vector<Claim>> inDoubt_;  // per port: for its next unit
  std::map<std::string, Pending> claims_;              // per port
  std::map<std::string, Pending> results_;             // per port
  std::map<UnitResult, int> counts_;
  std::mutex mutex_;
  std::atomic<bool> taken_{false};    // another run holds the station's name now
  std::atomic<bool> refused_{false};  // the database refuses this login
  std::once_flag refusing_;
  std::string refusal_;  // in its words, set once before refused_
  // The heartbeat, on a connection of its own.
  std::mutex beatMutex_;
  std::condition_variable stopBeat_;
  std::atomic<bool> stopping_{false};
  std::thread beat_;
};

#endif
