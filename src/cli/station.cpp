#include "cli/station.h"

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
  return InterruptRequested() || stop_.done.load() || stop_.broken.load();
}

// Other stations may take the last rows whatever this one is doing, so each
// of its waits looks whether any are left.
bool Station::SeeDone() {
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

void Station::Broken(const std::string& error) {
  Error(error + "; the line stops");
  stop_.broken = true;
}

// A unit answered: give it a row, write it, keep its result, and wait until
// it is unplugged.
void Station::Serve(Session& found) {
  // Goes on from the search: the rest of its found frame may still come.
  Session session = found;
  session.timeoutMs = TimeoutMs(options_);
  Ledger::Claim claim;
  UnitResult result = UnitResult::Ok;
  if (!Provision(session, &claim, &result)) {
    return;
  }
  const WriteInput& input = ledger_.input();
  const ConfigImage& record = claim.row == Ledger::kNoRow
                                  ? input.base.record
                                  : input.units.rows[static_cast<std::size_t>(claim.row)].record;
  const bool kept = Keep(claim.row, result, RecordSha(record));
  Tell(claim.row, result);
  if (kept) {
    SeeDone();
  }
  AwaitGone(session);
}

// What became of the unit, with the row it got; false when it is left alone
// for now.
bool Station::Provision(Session& session, Ledger::Claim* claim, UnitResult* result) {
  ConfigImage held{};
  SessionResult step = ReadRecordFromUnit(session, held);
  if (step != SessionResult::Ok) {
    *result = Failure(step);
    return true;
  }
  // A unit this line has written already keeps its values.
  const std::string sha = RecordSha(held);
  std::string error;
  Ledger::Status status = ledger_.FindDoneRow(sha, &claim->row, &error);
  if (status == Ledger::Status::Ok && claim->row != Ledger::kNoRow) {
    Error("this unit already holds row " + std::to_string(claim->row + 1) +
          ", written earlier; set it aside");
    *result = UnitResult::Refused;
    return true;
  }
  if (status == Ledger::Status::Ok) {
    status = ledger_.ClaimRow(connection_.name(), claim, &error);
  }
  if (status == Ledger::Status::Broken) {
    Broken(error);
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
  const WriteInput& input = ledger_.input();
  const ConfigImage& record = claim->row == Ledger::kNoRow
                                  ? input.base.record
                                  : input.units.rows[static_cast<std::size_t>(claim->row)].record;
  if (claim->inDoubt && sha == RecordSha(record)) {
    *result = UnitResult::Ok;  // written just before the line stopped
    return true;
  }
  step = WriteRecordToUnit(session, record);
  // Without its acknowledgement the unit may still have taken the record: a
  // row given to the next unit would then be on two. Its record tells.
  if (step == SessionResult::Ok || step == SessionResult::NoAck) {
    const SessionResult read = ReadRecordFromUnit(session, held);
    if (step == SessionResult::Ok ||
        (read == SessionResult::Ok && RecordSha(held) == RecordSha(record))) {
      step = read;
    }
  }
  if (step != SessionResult::Ok) {
    *result = Failure(step);
    return true;
  }
  *result = CompareRecords(held, record).empty() ? UnitResult::Ok : UnitResult::Mismatch;
  return true;
}

// Keeps the result, waiting while the ledger cannot be reached; false when
// it cannot be kept, or the line stopped meanwhile.
bool Station::Keep(int row, UnitResult result, const std::string& sha) {
  for (;;) {
    std::string error;
    const Ledger::Status status = ledger_.Record(row, connection_.name(), result, sha, &error);
    if (status == Ledger::Status::Ok) {
      return true;
    }
    if (status != Ledger::Status::Unavailable) {
      Broken(error);
      return false;
    }
    if (InterruptRequested()) {
      return false;
    }
    Pause();
  }
}

void Station::Tell(int row, UnitResult result) {
  std::string line = connection_.name() + ": ";
  if (row != Ledger::kNoRow) {
    const UnitsTable& units = ledger_.input().units;
    const UnitRow& unit = units.rows[static_cast<std::size_t>(row)];
    line += "row " + std::to_string(unit.number) + " " + ResultName(result);
    for (std::size_t i = 0; i < unit.values.size(); ++i) {
      line += (i == 0 ? ": " : ", ") + units.keys[i] + "=" + unit.values[i];
    }
  } else {
    line += ResultName(result);
  }
  ResultNow(line + (platform::StdoutIsTerminal() ? "\a\n" : "\n"));
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
