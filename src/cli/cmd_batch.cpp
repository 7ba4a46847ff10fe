// dtucfg batch: the rows a line shares between its stations, kept in a
// database. create stores them, status and report tell what became of them,
// release and void settle rows left in doubt.
#include <CLI/CLI.hpp>

#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/csv.h"
#include "cli/db_batch.h"
#include "cli/db_dialect.h"
#include "cli/ledger.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "cli/profile_input.h"
#include "cli/render.h"
#include "cli/units.h"

namespace {

void AddOptions(CLI::App& command, Options& options) {
  command.require_subcommand(1);
  const auto action = [&command, &options](const char* name, const char* help) {
    CLI::App* sub = command.add_subcommand(name, help);
    sub->add_option("NAME", options.batch, "The batch's name")->required();
    AddDbOption(*sub, options);
    sub->callback([&options, name] { options.batchAction = name; });
    return sub;
  };
  CLI::App* create = action("create", "Store a batch: a profile and one row per unit");
  create->add_option("PROFILE", options.file, "The profile (a settings file)")->required();
  create->add_option("--units", options.units, "The rows: a CSV of settings keys, one row per unit")
      ->type_name("FILE.csv")
      ->required();
  create
      ->add_option("--unique", options.uniques,
                   "This key's values must differ from every batch's that named it (repeatable; "
                   "ID always)")
      ->type_name("KEY")
      ->allow_extra_args(false);
  AddSetOption(*create, options);
  CLI::App* status = action("status", "What became of a batch's rows, per station");
  status->add_flag("--json", options.json, "As JSON");
  CLI::App* report = action("report", "Every result kept for a batch, as the line's report CSV");
  report->add_option("--out", options.out, "Write it to FILE, not to standard output")
      ->type_name("FILE.csv");
  for (CLI::App* settle : {action("release", "Give a row in doubt back: its unit does not hold it"),
                           action("void", "Never give a row out")}) {
    settle->add_option("--row", options.row, "The row's number")
        ->required()
        ->check(CLI::PositiveNumber);
  }
}

// The database, its tables ready (made when create says so).
int Open(const Options& options, bool create, Database* db) {
  std::string connection;
  int code = DbConnectionString(options, &connection);
  if (code == kExitOk) {
    code = ConnectDb(connection, db);
  }
  return code == kExitOk ? UseSchema(*db, create) : code;
}

// Why a unique value was refused: the batch and row that have it.
std::string Clash(Database& db, const std::string& key, const std::string& hex) {
  DbResult owner;
  DbError error;
  if (!db.Exec("SELECT batch, row_no FROM dtucfg_unique WHERE key_name = ? AND value_hex = ?",
               {key, hex}, &owner, &error) ||
      owner.rows.empty()) {
    return "another batch has it";
  }
  return "row " + owner.rows[0][1].value_or("?") + " of " +
         BatchName(owner.rows[0][0].value_or("?")) + " has it already";
}

// Stores the batch and its rows in one transaction: all of it, or nothing.
int Store(Database& db, const Options& options, const WriteInput& input,
          const std::string& profile) {
  DbError error;
  DbError ignored;
  const auto fail = [&](const std::string& why) {
    db.Rollback(&ignored);
    Error(why + "; nothing was stored");
    return static_cast<int>(kExitUsage);
  };
  if (!db.Begin(&error)) {
    TellDbError("cannot store " + BatchName(options.batch), error);
    return kExitUnit;
  }
  if (!db.Exec(
          "INSERT INTO dtucfg_batch (name, profile, sets, columns, unique_keys) VALUES (?, "
          "?, ?, ?, ?)",
          {options.batch, StoredProfile(profile), options.sets.empty() ? "" : CsvRow(options.sets),
           CsvRow(input.units.keys), CsvRow(input.units.unique)},
          nullptr, &error)) {
    return fail(error.IsUniqueViolation()
                    ? BatchName(options.batch) + " exists already; give the new one another name"
                    : "cannot store " + BatchName(options.batch) + ": " + error.message);
  }
  for (const UnitRow& row : input.units.rows) {
    const DbValue number = static_cast<std::int64_t>(row.number);
    const std::string where = options.units + " row " + std::to_string(row.number);
    if (!IsUtf8(CsvRow(row.values))) {
      return fail(where + ": not UTF-8 text, which the database keeps; save the CSV as UTF-8");
    }
    if (!db.Exec("INSERT INTO dtucfg_row (batch, row_no, cells, record_sha256, state) VALUES (?, "
                 "?, ?, ?, 'free')",
                 {options.batch, number, CsvRow(row.values), RecordSha(row.record)}, nullptr,
                 &error)) {
      return fail("cannot store " + where + ": " + error.message);
    }
    for (const std::string& key : input.units.unique) {
      const std::string hex = KeyValueHex(row.record, key);
      if (!db.Exec("INSERT INTO dtucfg_unique (key_name, value_hex, batch, row_no) VALUES (?, ?, "
                   "?, ?)",
                   {key, hex, options.batch, number}, nullptr, &error)) {
        if (!error.IsUniqueViolation()) {
          return fail("cannot store " + where + ": " + error.message);
        }
        db.Rollback(&ignored);
        std::string why = where;
        why += ": " + key + " must be unique, and " + Clash(db, key, hex);
        return fail(why);
      }
    }
  }
  if (!db.Commit(&error)) {
    db.Rollback(&ignored);
    TellDbError("cannot store " + BatchName(options.batch), error);
    return kExitUnit;
  }
  return kExitOk;
}

int RunCreate(const Options& options) {
  WriteInput input;
  int code = LoadWriteInput(options, &input);
  if (code != kExitOk) {
    return code;
  }
  if (input.units.hasPort) {
    Error(options.units +
          ": a batch's rows go to whichever station claims them, so it has no \"port\" column");
    return kExitUsage;
  }
  std::string profile;
  std::string error;
  if (!ReadWholeFile(options.file, &profile, &error)) {
    Error(error);
    return kExitUsage;
  }
  Database db;
  code = Open(options, true, &db);
  if (code == kExitOk) {
    code = Store(db, options, input, profile);
  }
  if (code == kExitOk) {
    Result(BatchName(options.batch) + ": " + std::to_string(input.units.rows.size()) +
           (input.units.rows.size() == 1 ? " row stored\n" : " rows stored\n"));
  }
  return code;
}

// Runs sql for the batch; false once the error is told.
bool Query(Database& db, const std::string& sql, const std::vector<DbValue>& params,
           DbResult* result) {
  DbError error;
  if (!db.Exec(sql, params, result, &error)) {
    TellDbError("cannot read the batch", error);
    return false;
  }
  return true;
}

bool BatchExists(Database& db, const std::string& name) {
  DbResult found;
  if (!Query(db, "SELECT name FROM dtucfg_batch WHERE name = ?", {name}, &found)) {
    return false;
  }
  if (found.rows.empty()) {
    Error("there is no " + BatchName(name) + " in this database");
  }
  return !found.rows.empty();
}

std::int64_t Count(const std::optional<std::string>& cell) { return cell ? std::stoll(*cell) : 0; }

int RunStatus(const Options& options) {
  Database db;
  int code = Open(options, false, &db);
  if (code != kExitOk) {
    return code;
  }
  DbResult states;
  DbResult doubt;
  DbResult stations;
  DbResult recent;
  const std::string& name = options.batch;
  if (!BatchExists(db, name)) {
    return db.Connected() ? kExitUsage : kExitUnit;
  }
  if (!Query(db, "SELECT state, COUNT(*) FROM dtucfg_row WHERE batch = ? GROUP BY state", {name},
             &states) ||
      !Query(db,
             "SELECT row_no, station, port, " + dialect::TimeText("claimed_at") +
                 " FROM dtucfg_row WHERE batch = ? AND state = 'claimed' ORDER BY row_no",
             {name}, &doubt) ||
      !Query(db,
             "SELECT station, SUM(CASE WHEN result = 'ok' THEN 1 ELSE 0 END), SUM(CASE WHEN "
             "result = 'ok' THEN 0 ELSE 1 END), " +
                 dialect::TimeText("MAX(at)") +
                 " FROM dtucfg_result WHERE batch = ? GROUP BY station ORDER BY station",
             {name}, &stations) ||
      !Query(db,
             "SELECT COUNT(*) FROM dtucfg_result WHERE batch = ? AND result = 'ok' AND at > "
             "CURRENT_TIMESTAMP - INTERVAL '10' MINUTE",
             {name}, &recent)) {
    return kExitUnit;
  }
  std::map<std::string, std::int64_t> count;
  std::int64_t rows = 0;
  for (const DbRow& state : states.rows) {
    count[state[0].value_or("")] = Count(state[1]);
    rows += Count(state[1]);
  }
  std::map<std::string, std::int64_t> held;
  nlohmann::ordered_json doubtRows = nlohmann::ordered_json::array();
  for (const DbRow& row : doubt.rows) {
    ++held[row[1].value_or("")];
    doubtRows.push_back({{"row", Count(row[0])},
                         {"station", row[1].value_or("")},
                         {"port", row[2].value_or("")},
                         {"since", dialect::IsoTime(row[3].value_or(""))}});
  }
  nlohmann::ordered_json perStation = nlohmann::ordered_json::array();
  std::map<std::string, bool> listed;
  for (const DbRow& row : stations.rows) {
    const std::string station = row[0].value_or("");
    listed[station] = true;
    perStation.push_back({{"station", station},
                          {"done", Count(row[1])},
                          {"failed", Count(row[2])},
                          {"in_doubt", held[station]},
                          {"last", dialect::IsoTime(row[3].value_or(""))}});
  }
  for (const auto& [station, n] : held) {
    if (!listed[station]) {
      perStation.push_back(
          {{"station", station}, {"done", 0}, {"failed", 0}, {"in_doubt", n}, {"last", nullptr}});
    }
  }
  const double perMinute = static_cast<double>(Count(recent.rows.at(0).at(0))) / 10.0;
  nlohmann::ordered_json status = {{"batch", name},
                                   {"rows", rows},
                                   {"free", count["free"]},
                                   {"in_doubt", count["claimed"]},
                                   {"done", count["done"]},
                                   {"void", count["void"]},
                                   {"stations", perStation},
                                   {"in_doubt_rows", doubtRows},
                                   {"units_per_minute", perMinute}};
  if (options.json) {
    Result(DumpJson(status));
    return kExitOk;
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.1f", perMinute);
  std::string text = BatchName(name) + ": " + std::to_string(rows) +
                     " rows: " + std::to_string(count["free"]) + " free, " +
                     std::to_string(count["claimed"]) + " in doubt, " +
                     std::to_string(count["done"]) + " done, " + std::to_string(count["void"]) +
                     " void; " + rate + " units per minute over the last 10 minutes\n";
  for (const auto& station : perStation) {
    text += "station " + station["station"].get<std::string>() + ": " +
            std::to_string(station["done"].get<std::int64_t>()) + " done, " +
            std::to_string(station["failed"].get<std::int64_t>()) + " failed, " +
            std::to_string(station["in_doubt"].get<std::int64_t>()) + " in doubt" +
            (station["last"].is_string() ? "; last " + station["last"].get<std::string>() : "") +
            "\n";
  }
  for (const auto& row : doubtRows) {
    text += "row " + std::to_string(row["row"].get<std::int64_t>()) + " is in doubt: station " +
            row["station"].get<std::string>() + ", port " + row["port"].get<std::string>() +
            ", since " + row["since"].get<std::string>() + "\n";
  }
  Result(text);
  return kExitOk;
}

int RunReport(const Options& options) {
  platform::PendingFile out;
  std::string error;
  if (!options.out.empty() && !out.Create(options.out, &error)) {
    Error(options.out + ": cannot write it (" + error + ")");
    return kExitUsage;
  }
  Database db;
  int code = Open(options, false, &db);
  if (code != kExitOk) {
    return code;
  }
  DbResult batch;
  DbResult results;
  if (!Query(db, "SELECT columns FROM dtucfg_batch WHERE name = ?", {options.batch}, &batch)) {
    return kExitUnit;
  }
  if (batch.rows.empty()) {
    Error("there is no " + BatchName(options.batch) + " in this database");
    return kExitUsage;
  }
  if (!Query(db,
             "SELECT " + dialect::TimeText("r.at") +
                 ", r.station, r.port, r.row_no, r.result, w.cells, r.record_sha256 FROM "
                 "dtucfg_result r LEFT JOIN dtucfg_row w ON w.batch = r.batch AND w.row_no = "
                 "r.row_no WHERE r.batch = ? ORDER BY r.at, r.id",
             {options.batch}, &results)) {
    return kExitUnit;
  }
  CsvTable columns;
  if (!ParseCsv(batch.rows[0][0].value_or(""), &columns, &error) || columns.rows.size() != 1) {
    Error(BatchName(options.batch) + " is damaged: its columns cannot be read");
    return kExitUnit;
  }
  std::vector<std::string> header = {"time", "station", "port", "row", "result"};
  header.insert(header.end(), columns.rows[0].begin(), columns.rows[0].end());
  header.emplace_back("record_sha256");
  std::string text = CsvRow(header);
  for (const DbRow& row : results.rows) {
    std::vector<std::string> fields = {dialect::IsoTime(row[0].value_or("")), row[1].value_or(""),
                                       row[2].value_or(""), row[3].value_or(""),
                                       row[4].value_or("")};
    CsvTable cells;
    if (row[5] && ParseCsv(*row[5], &cells, &error) && cells.rows.size() == 1) {
      fields.insert(fields.end(), cells.rows[0].begin(), cells.rows[0].end());
    }
    fields.resize(header.size() - 1);
    fields.push_back(row[6].value_or(""));
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

// release and void: a supervisor settles a row, on the record with who and when.
int RunSettle(const Options& options) {
  const bool release = options.batchAction == "release";
  Database db;
  int code = Open(options, false, &db);
  if (code != kExitOk) {
    return code;
  }
  const std::string where = BatchName(options.batch) + " row " + std::to_string(options.row);
  DbResult row;
  if (!Query(db, "SELECT state, station, port FROM dtucfg_row WHERE batch = ? AND row_no = ?",
             {options.batch, std::int64_t{options.row}}, &row)) {
    return kExitUnit;
  }
  if (row.rows.empty()) {
    Error("there is no " + where);
    return kExitUsage;
  }
  const std::string state = row.rows[0][0].value_or("");
  const std::string station = row.rows[0][1].value_or("");
  if (release ? state != "claimed" : state != "claimed" && state != "free") {
    Error(where + " is " + (state == "claimed" ? "in doubt" : state) + "; " +
          (release ? "only a row in doubt is released" : "a row written or void stays as it is"));
    return kExitUsage;
  }
  DbError error;
  if (state == "claimed" && StationRunning(db, station, &error)) {
    Error(where + " is being written by station " + station +
          ", which is running; settle it once that station has stopped");
    return kExitUsage;
  }
  DbError ignored;
  DbResult changed;
  const bool done =
      db.Begin(&error) &&
      db.Exec(
          "UPDATE dtucfg_row SET state = ?, station = NULL, port = NULL, claim_key = NULL, "
          "claimed_at = NULL WHERE batch = ? AND row_no = ? AND state = ?",
          {std::string(release ? "free" : "void"), options.batch, std::int64_t{options.row}, state},
          &changed, &error) &&
      changed.affected == 1 &&
      db.Exec(
          "INSERT INTO dtucfg_settle (batch, row_no, action, station, port) VALUES (?, ?, ?, "
          "?, ?)",
          {options.batch, std::int64_t{options.row}, options.batchAction,
           row.rows[0][1] ? DbValue{station} : DbValue{},
           row.rows[0][2] ? DbValue{*row.rows[0][2]} : DbValue{}},
          nullptr, &error) &&
      db.Commit(&error);
  if (!done) {
    db.Rollback(&ignored);
    if (changed.affected != 1 && error.message.empty()) {
      Error(where + " changed meanwhile; look at \"dtucfg batch status\" again");
      return kExitUsage;
    }
    TellDbError("cannot settle " + where, error);
    return kExitUnit;
  }
  Result(where +
         (release ? " released: it goes to the next unit\n" : " void: it is never given out\n"));
  return kExitOk;
}

int Run(const Options& options) {
  if (options.batchAction == "create") {
    return RunCreate(options);
  }
  if (options.batchAction == "status") {
    return RunStatus(options);
  }
  if (options.batchAction == "report") {
    return RunReport(options);
  }
  return RunSettle(options);
}

}  // namespace

const CliCommand kBatchCommand = {
    "batch", "A production line's rows in a database, shared by stations", AddOptions, Run};
