// The production line's record of its rows: which row each unit got, and
// what became of it. The stations of the line (one per port) share one
// ledger; a ledger is shared by every thread of the line and locks itself.
// A row is claimed, and the claim kept, before its unit hears a byte of it;
// only a result frees a claim again.
#ifndef DTU_LINE_LEDGER_H
#define DTU_LINE_LEDGER_H

#include <map>
#include <string>
#include <vector>

#include "cli/units.h"
#include "protocol/config_image.h"

// What became of one unit on the line.
enum class UnitResult {
  Ok,           // written and verified (or found holding its row already)
  Mismatch,     // read back other than written
  NoAck,        // the unit failed a command
  Refused,      // it holds a record this line wrote already: set it aside
  Lost,         // its port went away
  Interrupted,  // the line was stopped meanwhile
  TakenBack,    // its row was settled by a supervisor or taken over meanwhile
};
inline constexpr UnitResult kUnitResults[] = {
    UnitResult::Ok,   UnitResult::Mismatch,    UnitResult::NoAck,     UnitResult::Refused,
    UnitResult::Lost, UnitResult::Interrupted, UnitResult::TakenBack,
};
// As the report and the messages write it: "ok", "no-ack" and so on.
const char* ResultName(UnitResult result);

// Where a row of the line stands.
enum class RowState {
  Free,     // no unit can hold it; the next claim may take it
  Claimed,  // a unit on a station's port may hold it: being written, or in doubt
  Done,     // written and verified
  Void,     // never to be given out
  Held,     // a faulty unit holds its unique values: given to no other unit
};
inline constexpr RowState kRowStates[] = {RowState::Free, RowState::Claimed, RowState::Done,
                                          RowState::Void, RowState::Held};
// As the database keeps it: "free", "claimed", "done", "void", "held".
const char* RowStateName(RowState state);
bool ParseRowState(const std::string& name, RowState* state);

// How a supervisor settles a row: given back, or never given out.
enum class Settlement { Release, Void };
const char* SettlementName(Settlement settlement);

// "units done: N; failures: ..." for a line's last words.
std::string ResultCounts(const std::map<UnitResult, int>& counts);

// The SHA-256 of a record, as ledgers keep it.
std::string RecordSha(const ConfigImage& record);

class Ledger {
 public:
  // Rows count from 1, as the units CSV, the report and the messages count
  // them.
  static constexpr int kNoRow = 0;

  enum class Status {
    Ok,
    NoRow,        // no row is free for this port now
    Unavailable,  // the ledger cannot be reached now; try again later
    Broken,       // the ledger cannot be kept: the line must stop
    Refused,      // the ledger refuses this line's login: the line must stop
    TakenBack,    // a result for a row settled or taken over meanwhile, kept as such
  };

  // A row given to a unit, with what it writes.
  struct Claim {
    int row = kNoRow;                     // kNoRow: a line without rows writes the profile
    const ConfigImage* record = nullptr;  // the row's, or the profile's
    const std::string* sha = nullptr;     // the record's digest
    bool inDoubt = false;                 // claimed before on this port, its result never kept
    std::string key;                      // the claim's own, where a ledger fences by it
  };

  Ledger() = default;
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;
  virtual ~Ledger() = default;

  // Before any port is opened: takes up what an earlier run left, refusing
  // what does not fit this line. kExitOk, or the exit code with the whole
  // message in error (empty when it was told already).
  virtual int Open(const std::vector<std::string>& ports, std::string* error) = 0;
  // What the line writes: the profile, and the rows when it has any.
  virtual const WriteInput& input() const = 0;

  // Whether a new unit may be served now; false while the ledger cannot be
  // reached, so that nothing is sent to a unit that could not be kept.
  virtual bool Reachable() { return true; }
  // The next row for a unit on port, kept before it returns: a row in doubt
  // on that port first, then the lowest free one.
  virtual Status ClaimRow(const std::string& port, Claim* claim, std::string* error) = 0;
  // The row, given out by this line and written, whose record has this
  // digest; claim->row is kNoRow when there is none.
  virtual Status FindDoneRow(const std::string& sha, Claim* claim, std::string* error) = 0;
  // A unit's result, for the row it was given (or kNoRow), and where the
  // row goes: Done; Free, when no unit can hold it; Claimed, in doubt with
  // this port; Held, aside until a person settles it. A claim found by
  // FindDoneRow is recorded and left as it is.
  virtual Status Record(const Claim& claim, const std::string& port, UnitResult result,
                        RowState next, std::string* error) = 0;
  // Ok while the line may go on; Broken or Refused, with why, once the
  // ledger found it cannot be kept.
  virtual Status Health(std::string* /*error*/) { return Status::Ok; }
  // Nothing is left to write: no row free and none in doubt on this line.
  // A line without rows is never finished.
  virtual bool Finished() = 0;
  // The last words of a line: units done, failures, rows left, rows in doubt.
  virtual std::string Summary() = 0;

  // What row (or, for kNoRow, the profile alone) gives a unit, once Open
  // has succeeded.
  Claim ClaimOf(int row) const;

 protected:
  // Once the input is known: each record's digest, made once.
  void Index(const WriteInput& input);

 private:
  const WriteInput* indexed_ = nullptr;
  std::string baseSha_;
  std::vector<std::string> shas_;
};

#endif
