// What the file ledger keeps across a line stopped without warning.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/csv.h"
#include "line/ledger_file.h"

namespace {

class FileLedgerTest : public testing::Test {
 protected:
  FileLedgerTest()
      : report_(testing::TempDir() + "ledger_" + std::to_string(getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv") {
    input_.hasUnits = true;
    input_.units.keys = {"ID"};
    for (int i = 1; i <= 3; ++i) {
      UnitRow row;
      row.number = static_cast<std::size_t>(i);
      row.values = {"0" + std::to_string(i)};
      row.record.bytes[180] = static_cast<std::uint8_t>(i);
      input_.units.rows.push_back(row);
    }
  }
  ~FileLedgerTest() override {
    std::remove(report_.c_str());
    std::remove((report_ + ".claims").c_str());
  }

  std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }
  void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
  }
  // The row a unit on port is given, or kNoRow.
  static int Claimed(Ledger& ledger, const std::string& port, bool* inDoubt = nullptr) {
    Ledger::Claim claim;
    std::string error;
    const Ledger::Status status = ledger.ClaimRow(port, &claim, &error);
    EXPECT_NE(status, Ledger::Status::Broken) << error;
    if (inDoubt != nullptr) {
      *inDoubt = claim.inDoubt;
    }
    return claim.row;
  }
  static void Report(Ledger& ledger, int row, const std::string& port, UnitResult result) {
    std::string error;
    const RowState next = result == UnitResult::Ok ? RowState::Done : RowState::Free;
    ASSERT_EQ(ledger.Record(ledger.ClaimOf(row), port, result, next, &error), Ledger::Status::Ok)
        << error;
  }
  // A first run: row 1 written on p1, row 2 claimed on p2 when the line
  // died, row 3 failed on p1.
  void FirstRun() {
    FileLedger ledger(input_, report_);
    std::string error;
    ASSERT_EQ(ledger.Open({"p1", "p2"}, &error), 0) << error;
    ASSERT_EQ(Claimed(ledger, "p1"), 1);
    Report(ledger, 1, "p1", UnitResult::Ok);
    ASSERT_EQ(Claimed(ledger, "p2"), 2);
    ASSERT_EQ(Claimed(ledger, "p1"), 3);
    Report(ledger, 3, "p1", UnitResult::Mismatch);
  }

  WriteInput input_;
  const std::string report_;
};

TEST_F(FileLedgerTest, ResumeSkipsWrittenRowsAndKeepsAClaimInDoubtForItsPort) {
  FirstRun();
  FileLedger ledger(input_, report_);
  std::string error;
  ASSERT_EQ(ledger.Open({"p1", "p2"}, &error), 0) << error;
  Ledger::Claim done;
  ASSERT_EQ(ledger.FindDoneRow(RecordSha(input_.units.rows[0].record), &done, &error),
            Ledger::Status::Ok);
  EXPECT_EQ(done.row, 1);
  // p1 gets the failed row, never the one in doubt on p2.
  bool inDoubt = true;
  EXPECT_EQ(Claimed(ledger, "p1", &inDoubt), 3);
  EXPECT_FALSE(inDoubt);
  EXPECT_EQ(Claimed(ledger, "p1"), Ledger::kNoRow);
  EXPECT_EQ(Claimed(ledger, "p2", &inDoubt), 2);
  EXPECT_TRUE(inDoubt);
  EXPECT_NE(ledger.Summary().find("rows left: 2"), std::string::npos);
  Report(ledger, 2, "p2", UnitResult::Ok);
  Report(ledger, 3, "p1", UnitResult::Ok);
  EXPECT_TRUE(ledger.Finished());
}

TEST_F(FileLedgerTest, TornLastRowsAreCutOff) {
  FirstRun();
  const std::string report = Slurp(report_);
  const std::string claims = Slurp(report_ + ".claims");
  Append(report_, "2026-12-07T10:00:00+00:00,p2,2,o");
  Append(report_ + ".claims", "3,p");
  {
    FileLedger ledger(input_, report_);
    std::string error;
    ASSERT_EQ(ledger.Open({"p1", "p2"}, &error), 0) << error;
    // The torn report row did not count: row 2 is still in doubt on p2.
    bool inDoubt = false;
    EXPECT_EQ(Claimed(ledger, "p2", &inDoubt), 2);
    EXPECT_TRUE(inDoubt);
  }
  EXPECT_EQ(Slurp(report_), report);
  EXPECT_EQ(Slurp(report_ + ".claims"),
            claims + CsvRow({"2", "p2", RecordSha(input_.units.rows[1].record)}));
}

TEST_F(FileLedgerTest, AChangedCsvOrOtherColumnsAreRefused) {
  FirstRun();
  std::string error;
  input_.units.rows[0].values = {"09"};
  EXPECT_EQ(FileLedger(input_, report_).Open({"p1"}, &error), 2);
  EXPECT_NE(error.find("row 1 was written with other values"), std::string::npos) << error;

  input_.units.rows[0].values = {"01", "x"};
  input_.units.keys = {"ID", "APN"};
  EXPECT_EQ(FileLedger(input_, report_).Open({"p1"}, &error), 2);
  EXPECT_NE(error.find("its columns are not this line's"), std::string::npos) << error;
}

}  // namespace
