#include "line/station.h"

#include <chrono>
#include <thread>

#include "cli/cli.h"
#include "cli/output.h"
#include "cli/render.h"
#include "serial/interrupt.h"

namespace {

// How long a unit must stay silent before it counts as unplugged.
constexpr unsigned kGoneMs = 2000;
// Each search is this long, so that a finished line is noticed soon.
constexpr unsigned kSearchSliceMs = 500;
constexpr auto kRetry = std::chrono::milliseconds(250);

UnitResult Failure(SessionResult step) {
  switch (step) {
    case SessionResult::Lost:
      return UnitResult::Lost;
    case SessionResult::Interrupted:
      return UnitResult::Interrupted;
    default:
      return UnitResult::NoAck;
  }
}

}  // namespace

void Station::Run(const std::string& port) {
  if (connection_.Check(port) != kExitOk) {
    return;
  }
  while (!Stopping()) {
    if (!open_ && !OpenPort()) {
      SeeDone();  // while its adapter is out
      continue;
    }
    if (!ledger_.Reachable()) {
      Pause();
      continue;
    }
    Session session{connection_.link(), kSearchSliceMs, nullptr};
    const SessionResult found = FindUnit(session);
    if (found == SessionResult::Lost) {
      ClosePort();
    } else if (found == SessionResult::Ok) {
      Serve(session);
    } else if (found == SessionResult::NoUnit) {
      SeeDone();  // while no unit is there
    }
  }
  ClosePort();
}

bool Station::Stopping() const {
  return InterruptRequested() || stop_.done.load() || stop_.broken.load() || stop_.refused.load();
}

// Other stations may take the last rows whatever this one is doing, so each
// of its waits looks whether any are left.
bool Station::SeeDone() {
  std::string error;
  const Ledger::Status health = ledger_.Health(&error);
  if (health != Ledger::Status::Ok) {
    if (!stop_.broken && !stop_.refused) {
      Stop(health, error);
    }
    return stop_.done;
  }
  if (ledger_.Finished()) {
    stop_.done = true;
  }
  return stop_.done;
}

void Station::Pause() {
  for (int i = 0; i < 5 && !Stopping(); ++i) {
    std::this_thread::sleep_for(kRetry / 5);
  }
}

bool Station::OpenPort() {
  LineOpenError error;
  if (connection_.Open(log_, connection_.name(), &error) == kExitOk) {
    open_ = true;
    toldWaiting_ = false;
    return true;
  }
  if (!toldWaiting_) {
    Error(std::string("waiting for the port: ") + OpenErrorText(error) + " (" + error.detail + ")");
    toldWaiting_ = true;
  }
  Pause();
  return false;
}

void Station::ClosePort() {
  if (open_) {
    connection_.Close();
    open_ = false;
  }
}

void Station::Stop(Ledger::Status status, const std::string& error) {
  Error(error + "; the line stops");
  (status == Ledger::Status::Refused ? stop_.refused : stop_.broken) = true;
}

// A unit answered: give it a row, write it, keep its result, and wait until
// it is unplugged.
void Station::Serve(Session& found) {
  // Goes on from the search: the rest of its found frame may still come.
  Session session = found;
  session.timeoutMs = timeoutMs_;
  Outcome outcome;
  if (!Provision(session, &outcome)) {
    return;
  }
  std::string error;
  const Ledger::Status kept = Keep(outcome, &error);
  Tell(outcome, kept, error);
  if (kept == Ledger::Status::Ok) {
    SeeDone();
  }
  AwaitGone(session);
}

// What became of the unit, with the row it got; false when it is left alone
// for now.
bool Station::Provision(Session& session, Outcome* outcome) {
  Ledger::Claim& claim = outcome->claim;
  ConfigImage held{};
  const SessionResult read = ReadRecordFromUnit(session, held);
  std::string error;
  if (read != SessionResult::Ok) {
    claim = ledger_.ClaimOf(Ledger::kNoRow);
    outcome->result = Failure(read);
    return true;
  }
  // A unit this line has written already keeps its values.
  const std::string sha = RecordSha(held);
  Ledger::Status status = ledger_.FindDoneRow(sha, &claim, &error);
  if (status == Ledger::Status::Ok && claim.row != Ledger::kNoRow) {
    Error("this unit already holds row " + std::to_string(claim.row) +
          ", written earlier; set it aside");
    outcome->result = UnitResult::Refused;
    return true;
  }
  if (status == Ledger::Status::Ok) {
    status = ledger_.ClaimRow(connection_.name(), &claim, &error);
  }
  if (status == Ledger::Status::Broken || status == Ledger::Status::Refused) {
    Stop(status, error);
    return false;
  }
  if (status == Ledger::Status::NoRow && SeeDone()) {
    return false;
  }
  if (status == Ledger::Status::NoRow && !toldNoRow_) {
    Error("a unit is waiting, but no row is free now");
    toldNoRow_ = true;
  }
  if (status != Ledger::Status::Ok) {
    Pause();
    return false;
  }
  toldNoRow_ = false;
  if (claim.inDoubt && sha == *claim.sha) {
    return true;  // written just before the line stopped
  }
  Write(session, outcome);
  return true;
}

// Writes the claim's record and finds out where its row goes. A row goes
// back to the pool only when no unit can hold it: nothing was sent, or the
// unit reads back none of the row's unique values.
void Station::Write(Session& session, Outcome* outcome) {
  const Ledger::Claim& claim = outcome->claim;
  // A row in doubt may be on the unit that had it before; this one may hold
  // it too once anything is sent.
  const RowState unsent = claim.inDoubt ? RowState::Claimed : RowState::Free;
  if (InterruptRequested()) {
    outcome->result = UnitResult::Interrupted;
    outcome->next = unsent;
    return;
  }
  const SessionResult step = WriteRecordToUnit(session, *claim.record);
  outcome->result = Failure(step);
  outcome->next = RowState::Claimed;
  if (step != SessionResult::Ok && step != SessionResult::NoAck) {
    return;  // cut off with the unit holding whatever it took
  }
  // Without its acknowledgement the unit may still have taken the record.
  ConfigImage held{};
  const SessionResult read = ReadRecordFromUnit(session, held);
  if (read != SessionResult::Ok) {
    outcome->result = Failure(step == SessionResult::Ok ? read : step);
    return;
  }
  if (RecordSha(held) == *claim.sha) {
    outcome->result = UnitResult::Ok;
    outcome->next = RowState::Done;
    return;
  }
  outcome->result = step == SessionResult::Ok ? UnitResult::Mismatch : UnitResult::NoAck;
  outcome->next = RowState::Free;
  for (const std::string& key : ledger_.input().units.unique) {
    if (claim.row != Ledger::kNoRow && KeyValueHex(held, key) == KeyValueHex(*claim.record, key)) {
      outcome->next = RowState::Held;  // a faulty unit carrying a real ID
    }
  }
}

// Keeps the result, waiting while the ledger cannot be reached; anything
// but Ok when it could not be kept, or the line stopped meanwhile.
Ledger::Status Station::Keep(const Outcome& outcome, std::string* error) {
  for (;;) {
    const Ledger::Status status =
        ledger_.Record(outcome.claim, connection_.name(), outcome.result, outcome.next, error);
    if (status == Ledger::Status::Unavailable && !InterruptRequested()) {
      Pause();
      continue;
    }
    if (status == Ledger::Status::Broken || status == Ledger::Status::Refused) {
      Stop(status, *error);
    }
    return status;
  }
}

// One line per unit; the bell for a unit done with, none for one that must
// come back.
void Station::Tell(const Outcome& outcome, Ledger::Status kept, const std::string& error) {
  const int row = outcome.claim.row;
  const std::string& port = connection_.name();
  std::string line = port + ": ";
  std::string values;
  if (row != Ledger::kNoRow) {
    const UnitsTable& units = ledger_.input().units;
    const UnitRow& unit = units.rows[static_cast<std::size_t>(row - 1)];
    line += "row " + std::to_string(unit.number) + " ";
    for (std::size_t i = 0; i < unit.values.size(); ++i) {
      values += (i == 0 ? ": " : ", ") + units.keys[i] + "=" + unit.values[i];
    }
  }
  // Whether the unit may hold the row, and so must not go out unaccounted.
  const bool holds = outcome.next != RowState::Free && row != Ledger::kNoRow &&
                     outcome.result != UnitResult::Refused;
  bool bell = true;
  if (kept == Ledger::Status::TakenBack) {
    line += std::string(ResultName(UnitResult::TakenBack)) +
            ": the row was released, voided or taken over meanwhile; set this unit aside";
  } else if (kept != Ledger::Status::Ok && holds) {
    line += std::string(ResultName(outcome.result)) + ", written but not recorded" +
            (stop_.broken || stop_.refused ? " (" + error + "); set this unit aside"
                                           : ": the row stays in doubt; put this unit back on " +
                                                 port + " when the line runs again");
    bell = false;
  } else if (outcome.next == RowState::Claimed && holds) {
    line += std::string(ResultName(outcome.result)) + ", in doubt: put this unit back on " + port;
    bell = false;
  } else if (outcome.next == RowState::Held && holds) {
    line += std::string(ResultName(outcome.result)) +
            ": set this unit aside, it holds this row's ID; the row goes to no other unit" + values;
  } else {
    line +=
        ResultName(outcome.result) + values + (kept == Ledger::Status::Ok ? "" : " (not recorded)");
  }
  ResultNow(line + (bell && platform::StdoutIsTerminal() ? "\a\n" : "\n"));
}

void Station::AwaitGone(Session& session) {
  // Each wait must outlast the silence it looks for.
  session.timeoutMs = kGoneMs + 1000;
  while (!Stopping()) {
    const SessionResult gone = AwaitUnitGone(session, kGoneMs);
    if (gone == SessionResult::Lost) {
      ClosePort();
      return;
    }
    if (gone != SessionResult::NotQuiet) {
      return;
    }
    SeeDone();  // while a unit is left on the bench
  }
}
