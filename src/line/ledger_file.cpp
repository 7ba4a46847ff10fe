#include "line/ledger_file.h"

#include <algorithm>
#include <utility>

#include "cli/cli.h"
#include "cli/csv.h"
#include "cli/output.h"

namespace {

// The mark of a claims-file row that sets its row aside for good.
constexpr const char* kHeld = "held";

std::vector<std::string> ReportHeader(const WriteInput& input) {
  std::vector<std::string> header = {"time", "port", "row", "result"};
  if (input.hasUnits) {
    header.insert(header.end(), input.units.keys.begin(), input.units.keys.end());
  }
  header.emplace_back("record_sha256");
  return header;
}

// Cuts a row torn by a crash off the end of text, and off the file.
bool CutTornRow(platform::AppendFile& file, std::string* text, const std::string& path,
                std::string* error) {
  if (text->empty() || text->back() == '\n') {
    return true;
  }
  const std::size_t end = text->rfind('\n');
  text->resize(end == std::string::npos ? 0 : end + 1);
  Warn(path + ": its last row was torn (the program was stopped while writing it); cut off");
  return file.Truncate(text->size(), error);
}

bool ParseRowNumber(const std::string& text, std::size_t rows, std::size_t* row) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *row = std::stoul(text);
  return *row >= 1 && *row <= rows;
}

// Opens path and cuts a torn row off; the error names the file.
bool OpenRows(platform::AppendFile& file, const std::string& path, std::string* text,
              std::string* error) {
  if (!file.Open(path, text, error) || !CutTornRow(file, text, path, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace

FileLedger::FileLedger(const WriteInput& input, std::string report)
    : input_(input), reportPath_(std::move(report)) {
  slots_.resize(input_.units.rows.size());
  Index(input_);
}

int FileLedger::Open(const std::vector<std::string>& ports, std::string* error) {
  if (reportPath_.empty()) {
    return kExitOk;
  }
  report_ = std::make_unique<platform::AppendFile>();
  std::string text;
  if (!OpenRows(*report_, reportPath_, &text, error) || !Resume(text, error)) {
    return kExitUsage;
  }
  if (!input_.hasUnits) {
    return kExitOk;
  }
  const std::string claimsPath = reportPath_ + ".claims";
  claims_ = std::make_unique<platform::AppendFile>();
  std::string claims;
  if (!OpenRows(*claims_, claimsPath, &claims, error)) {
    return kExitUsage;
  }
  // Claims without their report are from another line's run.
  if (text.empty() && !claims.empty()) {
    claims.clear();
    if (!claims_->Truncate(0, error)) {
      *error = claimsPath + ": " + *error;
      return kExitUsage;
    }
  }
  if (!ResumeClaims(claims, ports, error)) {
    *error = claimsPath + ": " + *error;
    return kExitUsage;
  }
  return kExitOk;
}

bool FileLedger::Resume(const std::string& text, std::string* error) {
  const std::string& path = reportPath_;
  const std::vector<std::string> header = ReportHeader(input_);
  if (text.empty()) {
    if (!report_->Append(CsvRow(header), error)) {
      *error = path + ": " + *error;
      return false;
    }
    return true;
  }
  CsvTable table;
  if (!ParseCsv(text, &table, error)) {
    *error = path + ": " + *error;
    return false;
  }
  if (table.rows[0] != header) {
    *error = path + ": its columns are not this line's (" + CsvRow(header).substr(0, 200) +
             "); give another report, or the units CSV it was written for";
    return false;
  }
  reported_.assign(slots_.size(), 0);
  for (std::size_t r = 1; r < table.rows.size(); ++r) {
    const std::vector<std::string>& fields = table.rows[r];
    std::size_t row = 0;
    if (fields.size() != header.size()) {
      *error = path + " line " + std::to_string(table.lines[r]) + ": not a row of this report";
      return false;
    }
    if (!input_.hasUnits || fields[2].empty()) {
      continue;  // a unit that never got a row
    }
    if (!ParseRowNumber(fields[2], slots_.size(), &row)) {
      *error = path + " line " + std::to_string(table.lines[r]) + ": row \"" + fields[2] +
               "\" is not a row of the units CSV";
      return false;
    }
    ++reported_[row - 1];
    if (fields[3] != ResultName(UnitResult::Ok)) {
      continue;
    }
    // A changed CSV could give a second unit a value written before.
    const std::vector<std::string>& values = input_.units.rows[row - 1].values;
    if (!std::equal(values.begin(), values.end(), fields.begin() + 4)) {
      *error = path + ": row " + std::to_string(row) +
               " was written with other values than the units CSV now holds; a changed CSV "
               "needs a new report";
      return false;
    }
    slots_[row - 1].state = RowState::Done;
  }
  return true;
}

bool FileLedger::ResumeClaims(const std::string& text, const std::vector<std::string>& ports,
                              std::string* error) {
  CsvTable table;
  if (!ParseCsv(text, &table, error)) {
    return false;
  }
  std::vector<std::size_t> claimed(slots_.size(), 0);
  std::vector<bool> held(slots_.size(), false);
  for (std::size_t i = 0; i < table.rows.size(); ++i) {
    const std::vector<std::string>& fields = table.rows[i];
    std::size_t row = 0;
    if (fields.size() < 3 || fields.size() > 4 || (fields.size() == 4 && fields[3] != kHeld) ||
        !ParseRowNumber(fields[0], slots_.size(), &row)) {
      *error = "line " + std::to_string(table.lines[i]) + ": not a claim of this line";
      return false;
    }
    ++claimed[row - 1];
    held[row - 1] = held[row - 1] || fields.size() == 4;
    slots_[row - 1].port = fields[1];
  }
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const std::size_t reported = reported_.empty() ? 0 : reported_[i];
    if (slots_[i].state == RowState::Done) {
      continue;
    }
    if (held[i]) {
      slots_[i].state = RowState::Held;
      Warn("row " + std::to_string(i + 1) + " is held: the unit on " + slots_[i].port +
           " holds its ID but read back otherwise; the row stays aside");
      continue;
    }
    if (claimed[i] <= reported) {
      continue;
    }
    slots_[i].state = RowState::Claimed;
    slots_[i].inDoubt = true;
    const bool onLine = std::find(ports.begin(), ports.end(), slots_[i].port) != ports.end();
    Warn("row " + std::to_string(i + 1) + " was being written on " + slots_[i].port +
         " when the line stopped. " +
         (onLine ? "It goes to the next unit on that port only, unless that unit already holds "
                   "it. If you took that unit away meanwhile, check its values by hand."
                 : "That port is not on this line, so the row stays aside."));
  }
  return true;
}

Ledger::Status FileLedger::ClaimRow(const std::string& port, Claim* claim, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *claim = ClaimOf(kNoRow);
  if (!input_.hasUnits) {
    return Status::Ok;
  }
  std::size_t chosen = slots_.size();
  bool inDoubt = false;
  for (std::size_t i = 0; i < slots_.size() && chosen == slots_.size(); ++i) {
    if (slots_[i].inDoubt && slots_[i].port == port) {
      chosen = i;
      inDoubt = true;
    }
  }
  for (std::size_t i = 0; i < slots_.size() && chosen == slots_.size(); ++i) {
    if (slots_[i].state == RowState::Free &&
        (!input_.units.hasPort || input_.units.rows[i].port == port)) {
      chosen = i;
    }
  }
  if (chosen == slots_.size()) {
    return Status::NoRow;
  }
  const int row = static_cast<int>(chosen) + 1;
  const Claim taken = ClaimOf(row);
  if (claims_ && !claims_->Append(CsvRow({std::to_string(row), port, *taken.sha}), error)) {
    *error = reportPath_ + ".claims: " + *error;
    return Status::Broken;
  }
  Slot& slot = slots_[chosen];
  slot.state = RowState::Claimed;
  slot.inDoubt = false;
  slot.port = port;
  *claim = taken;
  claim->inDoubt = inDoubt;
  return Status::Ok;
}

Ledger::Status FileLedger::FindDoneRow(const std::string& sha, Claim* claim,
                                       std::string* /*error*/) {
  const std::lock_guard<std::mutex> lock(mutex_);
  *claim = ClaimOf(kNoRow);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const Claim row = ClaimOf(static_cast<int>(i) + 1);
    if (slots_[i].state == RowState::Done && *row.sha == sha) {
      *claim = row;
      break;
    }
  }
  return Status::Ok;
}

Ledger::Status FileLedger::Record(const Claim& claim, const std::string& port, UnitResult result,
                                  RowState next, std::string* error) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const int row = claim.row;
  std::vector<std::string> fields = {platform::IsoLocalTime(), port,
                                     row == kNoRow ? "" : std::to_string(row), ResultName(result)};
  if (input_.hasUnits && row != kNoRow) {
    const std::vector<std::string>& values =
        input_.units.rows[static_cast<std::size_t>(row - 1)].values;
    fields.insert(fields.end(), values.begin(), values.end());
  } else if (input_.hasUnits) {
    fields.resize(fields.size() + input_.units.keys.size());
  }
  fields.push_back(row == kNoRow && input_.hasUnits ? "" : *claim.sha);
  Slot* slot = row == kNoRow ? nullptr : &slots_[static_cast<std::size_t>(row - 1)];
  if (slot != nullptr && (slot->state != RowState::Claimed || slot->inDoubt)) {
    slot = nullptr;  // a row found done, not claimed: left as it is
  }
  // A row a unit may hold is claimed again, ahead of its result: a line
  // that stops in between finds it in doubt, never free.
  if (slot != nullptr && (next == RowState::Claimed || next == RowState::Held) && claims_) {
    std::vector<std::string> again = {std::to_string(row), port, *claim.sha};
    if (next == RowState::Held) {
      again.emplace_back(kHeld);
    }
    if (!claims_->Append(CsvRow(again), error)) {
      *error = reportPath_ + ".claims: " + *error;
      return Status::Broken;
    }
  }
  if (slot != nullptr) {
    slot->state = next;
    slot->inDoubt = next == RowState::Claimed;
    slot->port = port;
  }
  ++counts_[result];
  if (report_ && !report_->Append(CsvRow(fields), error)) {
    *error = reportPath_ + ": " + *error;
    return Status::Broken;
  }
  return Status::Ok;
}

bool FileLedger::Finished() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return input_.hasUnits && std::none_of(slots_.begin(), slots_.end(), [](const Slot& slot) {
           return slot.state == RowState::Free || slot.state == RowState::Claimed;
         });
}

std::string FileLedger::Summary() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string text = ResultCounts(counts_);
  if (input_.hasUnits) {
    const auto left = std::count_if(slots_.begin(), slots_.end(),
                                    [](const Slot& slot) { return slot.state != RowState::Done; });
    text += "; rows left: " + std::to_string(left);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].inDoubt) {
        text += "\nrow " + std::to_string(i + 1) + " is in doubt: it was being written on " +
                slots_[i].port + " when the line stopped";
      } else if (slots_[i].state == RowState::Held) {
        text += "\nrow " + std::to_string(i + 1) + " is held: the unit on " + slots_[i].port +
                " holds its ID but read back otherwise; the row stays aside";
      }
    }
  }
  return text + "\n";
}
