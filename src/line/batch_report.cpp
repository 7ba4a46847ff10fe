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
  DbError dbError;
  std::vector<ReportRow> results;
  if (!store.Results(target.name, &results, &dbError)) {
    TellDbError("cannot read the batch", dbError);
    return kExitUnit;
  }
  CsvTable columns;
  if (!ParseCsv(stored, &columns, &error) || columns.rows.size() != 1) {
    Error(BatchName(target.name) + " is damaged: its columns cannot be read");
    return kExitUnit;
  }
  std::vector<std::string> header = {"time", "station", "port", "row", "result"};
  header.insert(header.end(), columns.rows[0].begin(), columns.rows[0].end());
  header.emplace_back("record_sha256");
  std::string text = CsvRow(header);
  for (const ReportRow& row : results) {
    std::vector<std::string> fields = {row.time, row.station, row.port, row.row, row.result};
    CsvTable cells;
    if (row.cells && ParseCsv(*row.cells, &cells, &error) && cells.rows.size() == 1) {
      fields.insert(fields.end(), cells.rows[0].begin(), cells.rows[0].end());
    }
    fields.resize(header.size() - 1);
    fields.push_back(row.sha);
    text += CsvRow(fields);
  }
  if (options.out.empty()) {
    Result(text);
  } else if (!out.Commit(text, &error)) {
    Error(options.out + ": cannot write it (" + error + ")");
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace

const CliCommand kBatchReport = {
    "report", "Every result kept for a batch, as the line's report CSV", AddOptions, Run};
