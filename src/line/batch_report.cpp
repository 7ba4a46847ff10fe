// dtucfg batch report: every result kept for a batch, as the line's report
// CSV with the station as a column.
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/csv.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "line/batch_store.h"
#include "line/batch_text.h"
#include "line/commands.h"
#include "line/db_connect.h"

namespace {

BatchTarget target;

void AddOptions(CLI::App& action, Options& options) {
  AddBatchTarget(action, &target);
  action.add_option("--out", options.out, "Write it to FILE, not to standard output")
      ->type_name("FILE.csv");
}

// One result as a row of the report, its cells under their columns.
std::string ReportLine(const ReportRow& row, std::size_t width) {
  std::vector<std::string> fields = {row.time, row.station, row.port, row.row, row.result};
  CsvTable cells;
  std::string error;
  if (row.cells && ParseCsv(*row.cells, &cells, &error) && cells.rows.size() == 1) {
    fields.insert(fields.end(), cells.rows[0].begin(), cells.rows[0].end());
  }
  fields.resize(width - 1);
  fields.push_back(row.sha);
  return CsvRow(fields);
}

int Run(const Options& options) {
  platform::PendingFile out;
  std::string error;
  if (!options.out.empty() && !out.Create(options.out, &error)) {
    Error(options.out + ": cannot write it (" + error + ")");
    return kExitUsage;
  }
  BatchStore store;
  std::string stored;
  const int code = OpenBatch(target, &store, &stored);
  if (code != kExitOk) {
    return code;
  }
  CsvTable columns;
  if (!ParseCsv(stored, &columns, &error) || columns.rows.size() != 1) {
    Error(BatchName(target.name) + " is damaged: its columns cannot be read");
    return kExitUnit;
  }
  std::vector<std::string> header = {"time", "station", "port", "row", "result"};
  header.insert(header.end(), columns.rows[0].begin(), columns.rows[0].end());
  header.emplace_back("record_sha256");
  // Each page is written as it comes, so that a batch of any size takes the
  // same memory; --out still appears only whole.
  std::string text = CsvRow(header);
  bool written = true;
  const auto take = [&](const std::vector<ReportRow>& page) {
    for (const ReportRow& row : page) {
      text += ReportLine(row, header.size());
    }
    if (options.out.empty()) {
      Result(text);
    } else {
      written = out.Write(text, &error);
    }
    text.clear();
    return written;
  };
  DbError dbError;
  if (!store.Results(target.name, take, &dbError)) {
    TellDbError("cannot read the batch", dbError);
    return kExitUnit;
  }
  if (written && options.out.empty()) {
    Result(text);
  } else if (!written || !out.Commit(text, &error)) {
    Error(options.out + ": cannot write it (" + error + ")");
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace

const CliCommand kBatchReport = {
    "report", "Every result kept for a batch, as the line's report CSV", AddOptions, Run};
