// dtucfg trace: where a returned unit came from, found by its ID in a batch
// or a line's report, and what changed in it since it was given its record.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/command.h"
#include "cli/csv.h"
#include "cli/fleet.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/platform.h"
#include "cli/render.h"
#include "cli/units.h"
#include "line/batch_store.h"
#include "line/batch_text.h"
#include "line/commands.h"
#include "line/db_connect.h"
#include "line/ledger.h"
#include "protocol/unit_session.h"
#include "settings/settings.h"

namespace {

constexpr const char* kIdKey = "ID";

struct TraceOptions {
  std::string record;  // a record or profile read from the unit earlier
  std::string db;
  double dbTimeout = kDbTimeoutSeconds;
} given;

void AddOptions(CLI::App& command, Options& options) {
  command.add_option("--port", options.ports, "The unit's port")
      ->type_name("PORT")
      ->allow_extra_args(false);
  command
      .add_option("--record", given.record,
                  "The unit as read earlier (read --format raw, or read --out), not --port")
      ->type_name("FILE");
  AddDbOption(command, &given.db);
  AddDbTimeoutOption(command, &given.dbTimeout);
  command
      .add_option("--report", options.report,
                  "Look in this report of a line on one PC, not in the database")
      ->type_name("FILE.csv");
  command
      .add_option("--profile", options.file,
                  "With --report: the PROFILE that line was given, with its --set values")
      ->type_name("FILE");
  AddSetOption(command, options);
  command
      .add_option("--unique", options.uniques,
                  "With --report: a key that line was given as --unique (repeatable)")
      ->type_name("KEY")
      ->allow_extra_args(false);
  command.add_flag("--json", options.json, "One JSON object");
}

// Where the unit's ID was given out, and the record it was given.
struct Origin {
  std::optional<std::string> batch;   // or
  std::optional<std::string> report;  // a line's report on one PC
  std::int64_t row = 0;
  std::optional<std::string> state;  // the row's now, in a batch: "done", "in doubt"...
  std::string station;               // empty: none, or a report
  std::string port;
  std::string at;
  std::string result;  // the row's last ok one, or its last; empty: none
  ConfigImage given{};
  std::vector<std::string> identity;  // the unique keys
};

// The ID as the settings file holds it, without the space the file ends it with.
std::string IdText(const ConfigImage& record) {
  std::string text = SettingsJson(record)[FindSetting(kIdKey)->section][kIdKey].get<std::string>();
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// The report as the line wrote it: the header its ledger gives (time, port,
// row, result, the units' keys, record_sha256) and its rows; a row torn by a
// crash at its end is no row.
struct Report {
  std::vector<std::string> keys;
  std::vector<std::vector<std::string>> rows;
};

bool ReadReport(const std::string& path, Report* report, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, &text, error)) {
    return false;
  }
  text.resize(text.empty() || text.back() == '\n' ? text.size() : text.rfind('\n') + 1);
  CsvTable table;
  if (!ParseCsv(text, &table, error)) {
    *error = path + ": " + *error;
    return false;
  }
  const std::vector<std::string> head = {"time", "port", "row", "result"};
  const std::vector<std::string>* header = table.rows.empty() ? nullptr : &table.rows[0];
  if (header == nullptr || header->size() < head.size() + 1 ||
      !std::equal(head.begin(), head.end(), header->begin()) || header->back() != "record_sha256") {
    *error = path + ": not a report of dtucfg line (time,port,row,result,...,record_sha256)";
    return false;
  }
  report->keys.assign(header->begin() + 4, header->end() - 1);
  if (std::find(report->keys.begin(), report->keys.end(), kIdKey) == report->keys.end()) {
    *error = path + ": it has no ID column; its line gave the units no IDs";
    return false;
  }
  for (std::size_t r = 1; r < table.rows.size(); ++r) {
    const std::vector<std::string>& fields = table.rows[r];
    if (fields.size() != header->size() || fields[2].size() > 9 ||
        fields[2].find_first_not_of("0123456789") != std::string::npos) {
      *error = path + " line " + std::to_string(table.lines[r]) + ": not a row of this report";
      return false;
    }
    report->rows.push_back(table.rows[r]);
  }
  return true;
}

// The records the line made for the report's rows from base, as it made
// them: one per row it gave out.
struct ReportUnits {
  UnitsTable units;
  std::vector<std::size_t> from;  // the report's row of each
};

int MakeReportUnits(const Options& options, const Report& report, const RecordInput& base,
                    ReportUnits* made) {
  // As a batch tells a row's origin: its last ok result, or its last one.
  std::map<std::string, std::size_t> last;
  for (std::size_t r = 0; r < report.rows.size(); ++r) {
    const std::vector<std::string>& fields = report.rows[r];
    const auto [kept, added] = last.emplace(fields[2], r);
    if (!fields[2].empty() && (added || fields[3] == ResultName(UnitResult::Ok) ||
                               report.rows[kept->second][3] != ResultName(UnitResult::Ok))) {
      kept->second = r;
    }
  }
  last.erase("");
  CsvTable csv;
  csv.rows.push_back(report.keys);
  csv.lines.push_back(1);
  for (const auto& [row, r] : last) {
    const std::vector<std::string>& fields = report.rows[r];
    csv.rows.emplace_back(fields.begin() + 4, fields.end() - 1);
    csv.lines.push_back(r + 2);
    made->from.push_back(r);
  }
  std::string error;
  if (!BuildUnits(options.report, csv, base, options.uniques, &made->units, &error)) {
    Error(error);
    return kExitUsage;
  }
  return kExitOk;
}

// The row whose ID gives the unit's bytes.
int FindInReport(const Options& options, const Report& report, const ReportUnits& made,
                 const std::string& idHex, bool* found, Origin* origin) {
  *found = false;
  for (std::size_t i = 0; i < made.units.rows.size() && !*found; ++i) {
    const ConfigImage& record = made.units.rows[i].record;
    if (KeyValueHex(record, kIdKey) != idHex) {
      continue;
    }
    const std::vector<std::string>& fields = report.rows[made.from[i]];
    if (RecordSha(record) != fields.back()) {
      Error(options.report + " row " + fields[2] + ": the line wrote another record than " +
            options.file +
            " with these --set values gives; give the profile and --set values of that line");
      return kExitUsage;
    }
    *found = true;
    origin->report = options.report;
    origin->row = std::stoll(fields[2]);
    origin->port = fields[1];
    origin->at = fields[0];
    origin->result = fields[3];
    origin->given = record;
    origin->identity = made.units.unique;
  }
  return kExitOk;
}

int FindInDatabase(BatchStore& store, const std::string& idHex, bool* found, Origin* origin) {
  UnitOrigin stored;
  DbError dbError;
  if (!store.FindUnit(kIdKey, idHex, found, &stored, &dbError)) {
    TellDbError("cannot look for the unit's ID", dbError);
    return kExitUnit;
  }
  if (!*found) {
    return kExitOk;
  }
  StoredBatch batch{stored.batch,      stored.profile,
                    stored.sets,       stored.columns,
                    stored.uniqueKeys, {{stored.row, stored.cells, stored.sha, {}}}};
  WriteInput input;
  std::string error;
  const int code = RebuildBatch(batch, &input, &error);
  if (code != kExitOk) {
    Error(error);
    return code;
  }
  origin->batch = stored.batch;
  origin->row = stored.row;
  // In the words batch status uses: a claimed row is one a unit may hold.
  origin->state = stored.state == RowState::Claimed ? "in doubt" : RowStateName(stored.state);
  origin->station = stored.station;
  origin->port = stored.port;
  origin->at = stored.at;
  origin->result = stored.result;
  origin->given = input.units.rows[0].record;
  origin->identity = input.units.unique;
  return kExitOk;
}

nlohmann::ordered_json ChangesJson(const std::vector<Difference>& differences) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Difference& d : differences) {
    nlohmann::ordered_json entry;
    entry["field"] = d.key;
    entry["given"] = platform::UnitTextToUtf8(d.other);
    entry["now"] = platform::UnitTextToUtf8(d.unit);
    list.push_back(entry);
  }
  return list;
}

std::string OriginLine(const Origin& origin) {
  std::string line = origin.batch ? BatchName(*origin.batch) : *origin.report;
  line += " row " + std::to_string(origin.row) + ": ";
  if (origin.result.empty()) {
    line += "no result kept";
  } else {
    line += (origin.station.empty() ? "" : "station " + origin.station + ", ") + "port " +
            origin.port + ", " + origin.at + ", " + origin.result;
  }
  if (origin.state && *origin.state != RowStateName(RowState::Done)) {
    line += "; the row is " + *origin.state;
  }
  return line + "\n";
}

std::string ChangeLines(const std::vector<Difference>& differences, const std::string& kind) {
  std::string lines;
  for (const Difference& d : differences) {
    lines += kind + " " + DifferenceLines({d}, "given");
  }
  return lines;
}

// Tells what trace found; the exit code.
int Tell(const Options& options, const ConfigImage& unit, const Origin* origin) {
  nlohmann::ordered_json json;
  if (origin == nullptr) {
    const std::string where =
        options.report.empty() ? "no batch in this database" : "no row of " + options.report;
    if (options.json) {
      json["origin"] = nullptr;
      json["status"] = "unknown";
      json["id"] = IdText(unit);
      json["identity"] = nlohmann::ordered_json::array();
      json["settings"] = nlohmann::ordered_json::array();
      Result(DumpJson(json));
    } else {
      Result("unknown: " + where + " has the ID \"" + IdText(unit) + "\"\n");
    }
    return kExitUnknownUnit;
  }
  std::vector<Difference> identity;
  std::vector<Difference> settings;
  for (Difference& d : CompareRecords(unit, origin->given)) {
    const bool unique = std::find(origin->identity.begin(), origin->identity.end(), d.key) !=
                        origin->identity.end();
    (unique ? identity : settings).push_back(std::move(d));
  }
  const bool same = identity.empty() && settings.empty();
  if (options.json) {
    nlohmann::ordered_json from;
    from["batch"] = JsonOrNull(origin->batch);
    from["report"] = JsonOrNull(origin->report);
    from["row"] = origin->row;
    from["state"] = JsonOrNull(origin->state);
    from["station"] = JsonOrNull(origin->station);
    from["port"] = JsonOrNull(origin->port);
    from["time"] = JsonOrNull(origin->at);
    from["result"] = JsonOrNull(origin->result);
    json["origin"] = from;
    json["status"] = same ? "provisioned" : "changed";
    json["id"] = IdText(unit);
    json["identity"] = ChangesJson(identity);
    json["settings"] = ChangesJson(settings);
    Result(DumpJson(json));
  } else if (same) {
    Result(OriginLine(*origin) + "provisioned: the unit holds the record it was given\n");
  } else {
    Result(OriginLine(*origin) + "changed since: " + std::to_string(identity.size()) +
           " identity field(s), " + std::to_string(settings.size()) + " setting(s)\n" +
           ChangeLines(identity, "identity") + ChangeLines(settings, "setting"));
  }
  return same ? kExitOk : kExitDiffers;
}

// What is asked, checked before any port is opened.
int CheckOptions(const Options& options) {
  if (!given.record.empty() && !options.ports.empty()) {
    Error("give --port or --record, not both");
    return kExitUsage;
  }
  if (options.ports.size() > 1 || SeveralPorts(options.ports)) {
    Error("trace reads one unit: give one --port");
    return kExitUsage;
  }
  if (options.report.empty()) {
    if (!options.file.empty() || !options.sets.empty() || !options.uniques.empty()) {
      Error("--profile, --set and --unique go with --report; a batch keeps its own");
      return kExitUsage;
    }
    return kExitOk;
  }
  if (!given.db.empty()) {
    Error("give --report or --db, not both");
    return kExitUsage;
  }
  if (options.file.empty()) {
    Error("--report needs --profile: the profile that line was given, with its --set values");
    return kExitUsage;
  }
  return kExitOk;
}

// The unit's record: read from its port, or from a file it was read into.
int ReadUnit(const Options& options, ConfigImage* record) {
  if (!given.record.empty()) {
    RecordInput input;
    std::string error;
    if (!LoadRecordInput(given.record, InputKind::Either, {}, &input, &error)) {
      Error(error);
      return kExitUsage;
    }
    *record = input.record;
    return kExitOk;
  }
  return RunDevice(options, false, [record](Command& command) {
    const int code = command.Start();
    return code != kExitOk ? code : command.Failed(ReadRecordFromUnit(command.session(), *record));
  });
}

int Run(const Options& options) {
  int code = CheckOptions(options);
  if (code != kExitOk) {
    return code;
  }
  Origin origin;
  bool found = false;
  ConfigImage unit{};
  if (!options.report.empty()) {
    RecordInput base;
    Report report;
    ReportUnits made;
    std::string error;
    code = LoadInput(options, InputKind::Profile, &base);
    if (code == kExitOk && !ReadReport(options.report, &report, &error)) {
      Error(error);
      code = kExitUsage;
    }
    if (code == kExitOk) {
      code = MakeReportUnits(options, report, base, &made);
    }
    if (code == kExitOk) {
      code = ReadUnit(options, &unit);
    }
    if (code == kExitOk) {
      code = FindInReport(options, report, made, KeyValueHex(unit, kIdKey), &found, &origin);
    }
  } else {
    BatchStore store;
    code = OpenBatchStore({"", given.db, given.dbTimeout}, false, &store);
    if (code == kExitOk) {
      code = ReadUnit(options, &unit);
    }
    if (code == kExitOk) {
      code = FindInDatabase(store, KeyValueHex(unit, kIdKey), &found, &origin);
    }
  }
  return code != kExitOk ? code : Tell(options, unit, found ? &origin : nullptr);
}

}  // namespace

const CliCommand kTraceCommand = {
    "trace", "Where a unit came from, by its ID, and what changed in it since", AddOptions, Run};
