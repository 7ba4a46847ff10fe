// The ledger of a line on one PC: the report CSV, one row per unit, and the
// claims file beside it (REPORT.claims), one row per row given out. A line
// started again on the same report resumes it.
#ifndef DTU_LINE_LEDGER_FILE_H
#define DTU_LINE_LEDGER_FILE_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/platform.h"
#include "line/ledger.h"

class FileLedger final : public Ledger {
 public:
  // An empty report keeps the rows in memory only.
  FileLedger(const WriteInput& input, std::string report);

  int Open(const std::vector<std::string>& ports, std::string* error) override;
  const WriteInput& input() const override { return input_; }
  Status ClaimRow(const std::string& port, Claim* claim, std::string* error) override;
  Status FindDoneRow(const std::string& sha, Claim* claim, std::string* error) override;
  Status Record(const Claim& claim, const std::string& port, UnitResult result, RowState next,
                std::string* error) override;
  bool Finished() override;
  std::string Summary() override;

 private:
  struct Slot {
    RowState state = RowState::Free;
    bool inDoubt = false;  // claimed by an earlier run, its result never kept
    std::string port;      // the port that claimed it
  };

  bool Resume(const std::string& text, std::string* error);
  bool ResumeClaims(const std::string& text, const std::vector<std::string>& ports,
                    std::string* error);

  const WriteInput& input_;
  const std::string reportPath_;
  std::vector<Slot> slots_;
  std::unique_ptr<platform::AppendFile> report_;
  std::unique_ptr<platform::AppendFile> claims_;
  std::vector<std::size_t> reported_;  // report rows per row, before this run
  std::map<UnitResult, int> counts_;
  std::mutex mutex_;
};

#endif
