#include "line/ledger.h"

#include <cstddef>
#include <iterator>

#include "cli/hex.h"
#include "cli/platform.h"

namespace {

constexpr const char* kRowStateNames[] = {"free", "claimed", "done", "void", "held"};

}  // namespace

const char* ResultName(UnitResult result) {
  switch (result) {
    case UnitResult::Ok:
      return "ok";
    case UnitResult::Mismatch:
      return "mismatch";
    case UnitResult::NoAck:
      return "no-ack";
    case UnitResult::Refused:
      return "refused";
    case UnitResult::Lost:
      return "lost";
    case UnitResult::Interrupted:
      return "interrupted";
    case UnitResult::TakenBack:
      return "taken-back";
  }
  return "?";
}

const char* RowStateName(RowState state) { return kRowStateNames[static_cast<std::size_t>(state)]; }

bool ParseRowState(const std::string& name, RowState* state) {
  for (std::size_t i = 0; i < std::size(kRowStateNames); ++i) {
    if (name == kRowStateNames[i]) {
      *state = static_cast<RowState>(i);
      return true;
    }
  }
  return false;
}

const char* SettlementName(Settlement settlement) {
  return settlement == Settlement::Release ? "release" : "void";
}

std::string RecordSha(const ConfigImage& record) {
  const auto digest = platform::Sha256(record.bytes.data(), record.bytes.size());
  return Hex(digest.data(), digest.size());
}

std::string ResultCounts(const std::map<UnitResult, int>& counts) {
  const auto count = [&counts](UnitResult result) {
    const auto found = counts.find(result);
    return found == counts.end() ? 0 : found->second;
  };
  std::string failures;
  for (const UnitResult result : kUnitResults) {
    if (result != UnitResult::Ok && count(result) > 0) {
      failures += std::string(failures.empty() ? "" : ", ") + ResultName(result) + " " +
                  std::to_string(count(result));
    }
  }
  return "units done: " + std::to_string(count(UnitResult::Ok)) +
         "; failures: " + (failures.empty() ? std::string("none") : failures);
}

void Ledger::Index(const WriteInput& input) {
  indexed_ = &input;
  baseSha_ = RecordSha(input.base.record);
  shas_.clear();
  shas_.reserve(input.units.rows.size());
  for (const UnitRow& row : input.units.rows) {
    shas_.push_back(RecordSha(row.record));
  }
}

Ledger::Claim Ledger::ClaimOf(int row) const {
  Claim claim;
  claim.row = row;
  if (row == kNoRow) {
    claim.record = &indexed_->base.record;
    claim.sha = &baseSha_;
  } else {
    const auto index = static_cast<std::size_t>(row - 1);
    claim.record = &indexed_->units.rows[index].record;
    claim.sha = &shas_[index];
  }
  return claim;
}
