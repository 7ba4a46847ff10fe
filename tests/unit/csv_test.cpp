#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/csv.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;
using namespace std::string_literals;

CsvTable Parsed(std::string_view text) {
  CsvTable table;
  std::string error;
  EXPECT_TRUE(ParseCsv(text, &table, &error)) << error;
  return table;
}

TEST(Csv, ReadsRfcRecords) {
  const CsvTable units =
      Parsed("\xEF\xBB\xBFport,ID,Snum\r\nCOM3,\"a,b\",\"say \"\"hi\"\"\"\r\n COM4 ,\"\",");
  EXPECT_EQ(units.rows,
            (Rows{{"port", "ID", "Snum"}, {"COM3", "a,b", "say \"hi\""}, {" COM4 ", "", ""}}));
  EXPECT_EQ(units.lines, (std::vector<std::size_t>{1, 2, 3}));

  // Quoted line ends are kept and counted; empty lines are skipped; a lone CR ends a record.
  const CsvTable spanning = Parsed("x,\"l1\r\nl2\nl3\"\r\n\r\n\ny\rz,\n\"\"\n");
  EXPECT_EQ(spanning.rows, (Rows{{"x", "l1\r\nl2\nl3"}, {"y"}, {"z", ""}, {""}}));
  EXPECT_EQ(spanning.lines, (std::vector<std::size_t>{1, 6, 7, 8}));

  // Only a byte-order mark at the very start is dropped.
  const std::string bom = "\xEF\xBB\xBF";
  EXPECT_EQ(Parsed("a\n" + bom + "b\n").rows, (Rows{{"a"}, {bom + "b"}}));
  EXPECT_TRUE(Parsed("\n\r\n\r").rows.empty());
}

TEST(Csv, RefusesWithTheLineItHappensOn) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\n\"open,\nstill open"s, "line 2: quoted field not closed"},
      {"a,b\nc,d\"e\n"s, "line 2: quote inside an unquoted field"},
      {"\"x\ny\" z\n"s, "line 2: text after a closing quote"},
      {"\"a\"\"\"b"s, "line 1: text after a closing quote"},
      {"a\nb,c\0d\n"s, "line 2: NUL byte"},
      {"\"a\n\0\""s, "line 2: NUL byte"},
  };
  for (const auto& [text, expected] : cases) {
    CsvTable table{{{"kept"}}, {1}};
    std::string error;
    EXPECT_FALSE(ParseCsv(text, &table, &error)) << text;
    EXPECT_EQ(error, expected) << text;
    EXPECT_TRUE(table.rows.empty() && table.lines.empty()) << text;
  }
}

TEST(Csv, WriterQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(CsvField("COM3"), "COM3");
  EXPECT_EQ(CsvField("in side"), "in side");
  EXPECT_EQ(CsvField(""), "");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
  EXPECT_EQ(CsvField("l1\nl2"), "\"l1\nl2\"");
  EXPECT_EQ(CsvField(" lead"), "\" lead\"");
  EXPECT_EQ(CsvField("trail "), "\"trail \"");
  EXPECT_EQ(CsvRow({"COM3", "a,b", ""}), "COM3,\"a,b\",\r\n");
  EXPECT_EQ(CsvRow({""}), "\"\"\r\n");

  // What the reader finds tricky comes back as it was written.
  const Rows rows = {{"\xEF\xBB\xBFx", " y", "\"\r\n"}, {""}, {",", ""}};
  std::string text;
  for (const auto& row : rows) {
    text += CsvRow(row);
  }
  EXPECT_EQ(Parsed(text).rows, rows);
}

}  // namespace
