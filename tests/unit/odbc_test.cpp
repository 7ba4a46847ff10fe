// The ODBC layer against a real PostgreSQL of its own, through psqlODBC: values
// that must come back byte for byte, the errors a caller acts on, a server
// that goes away and comes back, and the batch store's reads a page at a time.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/connection_string.h"
#include "line/batch_store.h"
#include "line/dialect.h"
#include "line/odbc.h"

namespace {

TEST(OdbcMaskPassword, HidesEveryFormOfThePassword) {
  EXPECT_EQ(MaskPassword("Driver={PostgreSQL Unicode};Uid=u;Pwd={a;b}}c=d};Port=5"),
            "Driver={PostgreSQL Unicode};Uid=u;Pwd=***;Port=5");
  EXPECT_EQ(MaskPassword("DSN=factory; PASSWORD = s3cret ;UID=pwd"),
            "DSN=factory; PASSWORD = *** ;UID=pwd");
  EXPECT_EQ(MaskPassword("uid=x;pWd=plain;password={b};"), "uid=x;pWd=***;password=***;");
  // An unterminated brace runs to the end: all of it may be the password.
  EXPECT_EQ(MaskPassword("Uid=u;Pwd={abc;Uid=v"), "Uid=u;Pwd=***");
  EXPECT_EQ(MaskPassword("DSN=factory;Uid=u"), "DSN=factory;Uid=u");
}

class OdbcTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/dtu-odbc-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      startError_ = "mkdtemp failed";
      return;
    }
    dir_ = dir;
    // The server is stopped by TearDownTestSuite, or by its watcher if this
    // process dies first.
    std::string out;
    if (Scratch("start", &out, " --watch " + std::to_string(getpid()))) {
      server_ = nlohmann::json::parse(out, nullptr, false);
    }
    if (!server_.is_object()) {
      startError_ = "the scratch PostgreSQL did not start: " + out;
    }
  }

  static void TearDownTestSuite() {
    std::string out;
    if (!dir_.empty()) {
      Scratch("stop", &out);
      std::remove(dir_.c_str());
    }
  }

  void SetUp() override { ASSERT_EQ(startError_, ""); }

  static bool Scratch(const std::string& command, std::string* out, const std::string& extra = "") {
    std::string line =
        "python3 '" DTU_SCRATCH_PG "' " + command + " '" + dir_ + "'" + extra + " 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
      return false;
    }
    out->clear();
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      out->append(buffer, n);
    }
    return pclose(pipe) == 0;
  }

  static std::string Conn(const char* role) {
    return server_["roles"][role]["connection_string"].get<std::string>();
  }

  static Database Connected(const char* role) {
    Database db;
    DbError error;
    EXPECT_TRUE(db.Connect(Conn(role), &error)) << error.sqlState << " " << error.message;
    return db;
  }

  static std::string dir_;
  static nlohmann::json server_;
  static std::string startError_;
};

std::string OdbcTest::dir_;
nlohmann::json OdbcTest::server_;
std::string OdbcTest::startError_;

// As the station role: it reads, inserts and updates the owner's tables, and
// no more.
TEST_F(OdbcTest, ValuesRoundTripExactlyThroughBoundParameters) {
  Database owner = Connected("owner");
  DbError error;
  ASSERT_TRUE(owner.Exec("CREATE TABLE trip (id bigserial PRIMARY KEY, v text, n bigint)", {},
                         nullptr, &error))
      << error.message;
  ASSERT_TRUE(
      owner.Exec("GRANT SELECT, INSERT, UPDATE ON trip TO dtucfg_station; GRANT USAGE ON "
                 "SEQUENCE trip_id_seq TO dtucfg_station",
                 {}, nullptr, &error))
      << error.message;

  std::string longText;
  while (longText.size() < 20000) {
    longText += "profile [DTU NET] IP=10.0.0.5 \xc3\xa9\xe4\xb8\xad\xe6\x96\x87 \"q\" \\ ';\r\n";
  }
  const std::vector<std::string> texts = {
      "it's \"quoted\"",
      "back\\slash \\x00 \\\\",
      "x'); DROP TABLE trip; --",
      "\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80",  // é 中文 and one beyond 16 bits
      "",
      longText,
  };
  Database station = Connected("station");
  for (const std::string& text : texts) {
    ASSERT_TRUE(station.Exec("INSERT INTO trip (v, n) VALUES (?, ?)", {text, std::int64_t{-1}},
                             nullptr, &error))
        << error.message;
  }
  const std::int64_t big = std::numeric_limits<std::int64_t>::max();
  const std::int64_t small = std::numeric_limits<std::int64_t>::min();
  ASSERT_TRUE(station.Exec("INSERT INTO trip (v, n) VALUES (?, ?), (?, ?)",
                           {DbValue{}, big, "x", small}, nullptr, &error))
      << error.message;

  DbResult result;
  ASSERT_TRUE(station.Exec("SELECT v, n FROM trip ORDER BY id", {}, &result, &error))
      << error.message;
  ASSERT_EQ(result.rows.size(), texts.size() + 2);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(result.rows[i].size(), 2u);
    ASSERT_TRUE(result.rows[i][0].has_value()) << i;
    EXPECT_EQ(*result.rows[i][0], texts[i]) << i;
    EXPECT_EQ(result.rows[i][1], "-1");
  }
  EXPECT_FALSE(result.rows[texts.size()][0].has_value());
  EXPECT_EQ(result.rows[texts.size()][1], std::to_string(big));
  EXPECT_EQ(result.rows[texts.size() + 1][1], std::to_string(small));

  // A parameter compares as the value it is, never as SQL.
  ASSERT_TRUE(station.Exec("SELECT id FROM trip WHERE v = ?", {texts[2]}, &result, &error));
  ASSERT_EQ(result.rows.size(), 1u);
  EXPECT_EQ(result.rows[0][0], "3");

  EXPECT_FALSE(station.Exec("DELETE FROM trip", {}, nullptr, &error));
  EXPECT_EQ(error.sqlState, "42501") << error.message;
  EXPECT_NE(FaultOf(kPostgres, error), DbFault::Lost);
}

TEST_F(OdbcTest, TellsUniqueViolationsAndUpdatesOfNoRowAndKeepsTransactions) {
  Database owner = Connected("owner");
  DbError error;
  ASSERT_TRUE(
      owner.Exec("CREATE TABLE ids (id text PRIMARY KEY, station text); GRANT SELECT, "
                 "INSERT, UPDATE ON ids TO dtucfg_station",
                 {}, nullptr, &error))
      << error.message;
  Database station = Connected("station");
  DbResult result;
  ASSERT_TRUE(station.Exec("INSERT INTO ids VALUES (?, ?)", {"7B92", "a"}, &result, &error));
  EXPECT_EQ(result.affected, 1);

  EXPECT_FALSE(station.Exec("INSERT INTO ids VALUES (?, ?)", {"7B92", "b"}, nullptr, &error));
  EXPECT_EQ(FaultOf(kPostgres, error), DbFault::Duplicate)
      << error.sqlState << " " << error.message;
  EXPECT_NE(FaultOf(kPostgres, error), DbFault::Lost);

  ASSERT_TRUE(
      station.Exec("UPDATE ids SET station = ? WHERE id = ?", {"b", "none"}, &result, &error))
      << error.message;
  EXPECT_EQ(result.affected, 0);
  ASSERT_TRUE(
      station.Exec("UPDATE ids SET station = ? WHERE id = ?", {"b", "7B92"}, &result, &error));
  EXPECT_EQ(result.affected, 1);

  // A rolled-back row is gone; a committed one is seen by another connection.
  ASSERT_TRUE(station.Begin(&error)) << error.message;
  ASSERT_TRUE(station.Exec("INSERT INTO ids VALUES (?, ?)", {"gone", "a"}, nullptr, &error));
  ASSERT_TRUE(station.Rollback(&error)) << error.message;
  ASSERT_TRUE(station.Begin(&error));
  ASSERT_TRUE(station.Exec("INSERT INTO ids VALUES (?, ?)", {"kept", "a"}, nullptr, &error));
  ASSERT_TRUE(station.Commit(&error)) << error.message;
  ASSERT_TRUE(owner.Exec("SELECT id FROM ids ORDER BY id", {}, &result, &error));
  ASSERT_EQ(result.rows.size(), 2u);
  EXPECT_EQ(result.rows[0][0], "7B92");
  EXPECT_EQ(result.rows[1][0], "kept");
  // Back in autocommit: this insert is seen at once too.
  ASSERT_TRUE(station.Exec("INSERT INTO ids VALUES (?, ?)", {"auto", "a"}, nullptr, &error));
  ASSERT_TRUE(owner.Exec("SELECT count(*) FROM ids", {}, &result, &error));
  EXPECT_EQ(result.rows[0][0], "3");
}

// A report's pages follow time, then id, across a page's end where many
// results share one time, and all come from the snapshot of the first.
TEST_F(OdbcTest, ResultsComePagedInTimeOrderFromOneSnapshot) {
  BatchStore store;
  DbError error;
  ASSERT_TRUE(store.Connect(Conn("owner"), DbLimits{}, &error)) << error.message;
  ASSERT_TRUE(store.CreateSchema(&error)) << error.message;
  constexpr int kRows = 5003;  // a page and a bit
  StoredBatch batch{"paged", "", "", "ID,APN", "ID", {}};
  for (int i = 1; i <= kRows; ++i) {
    // The cells go as one list of the dialect's: quotes, braces, commas.
    batch.rows.push_back(
        {i, "7B " + std::to_string(i) + ",\"a\\\\\"\"{,}\"", std::string(64, 'a'), {}});
  }
  batch.rows.back().cells = "";
  BatchStore::Clash clash;
  ASSERT_EQ(store.StoreBatch(batch, &clash, &error), BatchStore::Stored::Ok) << error.message;
  // Row n's result: one time for all but the last three, which come first
  // by time though last by id.
  Database owner = Connected("owner");
  ASSERT_TRUE(owner.Exec(
      "INSERT INTO dtucfg_result (result_key, batch, row_no, station, port, result, "
      "record_sha256, at) SELECT 'k' || n, 'paged', n, 's', 'p', 'ok', 'x', CASE WHEN n > ? THEN "
      "TIMESTAMP WITH TIME ZONE '2026-01-01 00:00:00+00' + (? - n) * INTERVAL '1 microsecond' "
      "ELSE TIMESTAMP WITH TIME ZONE '2026-01-01 00:00:01+00' END FROM generate_series(1, ?) n",
      {std::int64_t{kRows - 3}, std::int64_t{kRows}, std::int64_t{kRows}}, nullptr, &error))
      << error.message;

  std::vector<ReportRow> all;
  int pages = 0;
  ASSERT_TRUE(store.Results(
      "paged",
      [&](const std::vector<ReportRow>& page) {
        ++pages;
        all.insert(all.end(), page.begin(), page.end());
        // Kept after the snapshot: not in this report.
        DbError late;
        EXPECT_TRUE(
            owner.Exec("INSERT INTO dtucfg_result (result_key, batch, row_no, station, "
                       "port, result, record_sha256) VALUES (?, 'paged', 1, 's', 'p', "
                       "'ok', 'x')",
                       {"late" + std::to_string(pages)}, nullptr, &late))
            << late.message;
        return true;
      },
      &error))
      << error.message;
  EXPECT_EQ(pages, 2);
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kRows));
  std::vector<std::string> order;
  for (const ReportRow& row : all) {
    order.push_back(row.row);
  }
  std::vector<std::string> want = {std::to_string(kRows), std::to_string(kRows - 1),
                                   std::to_string(kRows - 2)};
  for (int i = 1; i <= kRows - 3; ++i) {
    want.push_back(std::to_string(i));
  }
  EXPECT_EQ(order, want);
  EXPECT_EQ(all[5].cells, "7B 3,\"a\\\\\"\"{,}\"");
  EXPECT_EQ(all[0].cells, "");
}

TEST_F(OdbcTest, AWrongPasswordIsRefusedWithoutShowingIt) {
  Database db;
  DbError error;
  std::string conn = Conn("station");
  conn = conn.substr(0, conn.find("Pwd=")) + "Pwd={wr0ng;pass}}word}";
  EXPECT_FALSE(db.Connect(conn, &error));
  EXPECT_FALSE(db.Connected());
  EXPECT_NE(error.message, "");
  EXPECT_EQ(error.message.find("wr0ng"), std::string::npos) << error.message;
}

TEST_F(OdbcTest, ALostServerIsToldAsSuchAndAReconnectWorksOnceItIsBack) {
  Database station = Connected("station");
  DbError error;
  DbResult result;
  ASSERT_TRUE(station.Exec("SELECT 1", {}, &result, &error)) << error.message;

  std::string out;
  ASSERT_TRUE(Scratch("crash", &out)) << out;
  EXPECT_FALSE(station.Exec("SELECT 1", {}, &result, &error));
  EXPECT_EQ(FaultOf(kPostgres, error), DbFault::Lost) << error.sqlState << " " << error.message;
  EXPECT_FALSE(Database().Connect(Conn("station"), &error));
  EXPECT_EQ(FaultOf(kPostgres, error), DbFault::Lost) << error.sqlState << " " << error.message;

  ASSERT_TRUE(Scratch("restart", &out)) << out;
  ASSERT_TRUE(station.Connect(Conn("station"), &error)) << error.message;
  ASSERT_TRUE(station.Exec("SELECT ?", {std::int64_t{42}}, &result, &error)) << error.message;
  ASSERT_EQ(result.rows.size(), 1u);
  EXPECT_EQ(result.rows[0][0], "42");
}

}  // namespace
