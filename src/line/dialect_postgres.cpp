// PostgreSQL, the server dtucfg's line is tested with. The line's rules are
// functions that run with the owner's rights (SECURITY DEFINER), so that a
// station's login needs no right to change a table: it claims, records and
// keeps its name only through them, and a supervisor settles rows only
// through its own.
#include <iterator>
#include <string>
#include <vector>

#include "line/dialect.h"

namespace {

// Fetched as a time, the driver would drop the zone.
std::string TimeText(const std::string& column) { return "CAST(" + column + " AS VARCHAR(40))"; }

// "2026-12-07 19:06:08.123+01" becomes "2026-12-07T19:06:08+01:00".
std::string IsoTime(const std::string& serverTime) {
  if (serverTime.size() < 19) {
    return serverTime;
  }
  std::string iso = serverTime.substr(0, 19);
  iso[10] = 'T';
  std::size_t at = 19;
  if (at < serverTime.size() && serverTime[at] == '.') {
    at = serverTime.find_first_of("+-", at);
  }
  if (at == std::string::npos || at >= serverTime.size()) {
    return iso;
  }
  std::string zone = serverTime.substr(at);
  if (zone.size() == 3) {
    zone += ":00";
  }
  return iso + zone;
}

// A refused login reaches the client as "could not connect" (08001); the
// server's own words tell it from a server that is away.
bool RefusedLogin(const std::string& message) {
  for (const char* words :
       {"password authentication failed", "authentication failed for user", "does not exist",
        "no pg_hba.conf entry", "permission denied for database", "is not permitted to log in"}) {
    if (message.find(words) != std::string::npos) {
      return true;
    }
  }
  return false;
}

DbFault Classify(const std::string& state, const std::string& message) {
  const std::string group = state.substr(0, 2);
  if (group == "28" || state == "3D000" || (group == "08" && RefusedLogin(message))) {
    return DbFault::Denied;
  }
  // 57P01..57P03: the server is shutting down, crashed or not yet accepting.
  if (group == "08" || state == "57P01" || state == "57P02" || state == "57P03") {
    return DbFault::Lost;
  }
  if (state == "23505") {
    return DbFault::Duplicate;
  }
  // A lost race, a lock not had in time, a statement over its time limit.
  if (state == "40001" || state == "40P01" || state == "55P03" || state == "57014") {
    return DbFault::Retry;
  }
  if (state == "42P01" || state == "42S02") {
    return DbFault::MissingTable;
  }
  if (state == "42501") {
    return DbFault::Denied;
  }
  if (state == "25006") {
    return DbFault::ReadOnly;
  }
  return DbFault::Other;
}

// unnest() of text arrays, one row per element, the arrays side by side.
std::string ListsTable(const std::vector<std::string>& columns) {
  std::string table = "unnest(";
  std::string names;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    table += (i == 0 ? "" : ", ") + std::string("CAST(? AS TEXT[])");
    names += (i == 0 ? "" : ", ") + columns[i];
  }
  return table + ") AS lists (" + names + ")";
}

// An array's text: each element quoted, so that only " and \ need escaping.
std::string List(const std::vector<std::string>& values) {
  std::size_t size = 2;
  for (const std::string& value : values) {
    size += value.size() + 3;
  }
  std::string list;
  list.reserve(size);
  list += '{';
  for (const std::string& value : values) {
    list += list.size() == 1 ? "\"" : ",\"";
    for (const char c : value) {
      if (c == '"' || c == '\\') {
        list += '\\';
      }
      list += c;
    }
    list += '"';
  }
  return list + "}";
}

#define DTU_DEFINER " LANGUAGE plpgsql SECURITY DEFINER SET search_path = {schema}, pg_temp AS $$ "

// The tables, every function and view, and their grants. A station reads the
// batch and its rows and calls its functions; a supervisor reads everything
// but the stations' tokens and settles rows; neither changes a table
// directly. A reporter reads the views and nothing else.
const char* const kRules[] = {
    "REVOKE ALL ON dtucfg_schema, dtucfg_batch, dtucfg_row, dtucfg_unique, dtucfg_result, "
    "dtucfg_settle, dtucfg_station FROM PUBLIC",
    // The run's lease: held by token, renewed by its heartbeat. Locked while
    // a claim or a result is made, so that no one takes the name over then.
    "CREATE OR REPLACE FUNCTION dtucfg_lease_live(p_name text, p_token text) RETURNS "
    "boolean" DTU_DEFINER
    "BEGIN PERFORM 1 FROM dtucfg_station WHERE name = p_name AND token = p_token AND "
    "seen_at > CURRENT_TIMESTAMP - {lease} * INTERVAL '1 second' FOR SHARE; RETURN FOUND; "
    "END $$",
    "CREATE OR REPLACE FUNCTION dtucfg_take_station(p_name text, p_token text, p_batch text) "
    "RETURNS integer" DTU_DEFINER
    "BEGIN INSERT INTO dtucfg_station AS s (name, token, batch, backend, seen_at) VALUES "
    "(p_name, p_token, p_batch, NULL, CURRENT_TIMESTAMP) ON CONFLICT (name) DO UPDATE SET "
    "token = EXCLUDED.token, batch = EXCLUDED.batch, backend = NULL, seen_at = EXCLUDED.seen_at "
    "WHERE s.seen_at <= CURRENT_TIMESTAMP - {lease} * INTERVAL '1 second'; "
    "IF FOUND THEN RETURN 1; END IF; RETURN 0; END $$",
    "CREATE OR REPLACE FUNCTION dtucfg_beat(p_name text, p_token text) RETURNS integer" DTU_DEFINER
    "BEGIN UPDATE dtucfg_station SET seen_at = CURRENT_TIMESTAMP WHERE name = p_name AND "
    "token = p_token; IF FOUND THEN RETURN 1; END IF; RETURN 0; END $$",
    "CREATE OR REPLACE FUNCTION dtucfg_give_back(p_name text, p_token text) RETURNS "
    "integer" DTU_DEFINER
    "BEGIN UPDATE dtucfg_station SET seen_at = CURRENT_TIMESTAMP - INTERVAL '1 hour' WHERE "
    "name = p_name AND token = p_token; RETURN 0; END $$",
    "CREATE OR REPLACE FUNCTION dtucfg_adopt(p_batch text, p_name text, p_token text, p_run "
    "text) RETURNS TABLE (o_row bigint, o_port text, o_key text)" DTU_DEFINER
    "BEGIN IF NOT dtucfg_lease_live(p_name, p_token) THEN RETURN; END IF; "
    "RETURN QUERY UPDATE dtucfg_row r SET claim_key = p_run || ':' || r.row_no WHERE r.batch = "
    "p_batch AND r.state = '{claimed}' AND r.station = p_name RETURNING CAST(r.row_no AS "
    "bigint), CAST(r.port AS text), CAST(r.claim_key AS text); END $$",
    // SKIP LOCKED lets concurrent claimers pass each other instead of
    // queueing on the same lowest row.
    "CREATE OR REPLACE FUNCTION dtucfg_claim(p_batch text, p_name text, p_token text, p_port "
    "text, p_key text) RETURNS bigint" DTU_DEFINER
    "DECLARE v_row bigint; BEGIN IF NOT dtucfg_lease_live(p_name, p_token) THEN RETURN -1; "
    "END IF; UPDATE dtucfg_row r SET state = '{claimed}', station = p_name, port = p_port, "
    "claim_key = p_key, claimed_at = CURRENT_TIMESTAMP WHERE r.batch = p_batch AND r.state = "
    "'{free}' AND r.row_no = (SELECT f.row_no FROM dtucfg_row f WHERE f.batch = p_batch AND "
    "f.state = '{free}' ORDER BY f.row_no LIMIT 1 FOR UPDATE SKIP LOCKED) RETURNING r.row_no "
    "INTO v_row; RETURN COALESCE(v_row, 0); END $$",
    // A result counts for its row only while the row is still this claim's:
    // released, voided or taken over meanwhile, it is kept as taken back.
    "CREATE OR REPLACE FUNCTION dtucfg_keep_result(p_key text, p_batch text, p_row bigint, "
    "p_name text, p_token text, p_port text, p_result text, p_sha text, p_claim text, p_next "
    "text) RETURNS text" DTU_DEFINER
    "DECLARE v dtucfg_row%ROWTYPE; w text; BEGIN IF NOT dtucfg_lease_live(p_name, p_token) "
    "THEN RETURN 'lapsed'; END IF; SELECT result INTO w FROM dtucfg_result WHERE result_key = "
    "p_key; IF FOUND THEN RETURN CASE WHEN w = '{taken_back}' THEN 'taken' ELSE 'again' END; "
    "END IF; "
    "IF p_claim IS NOT NULL THEN SELECT * INTO v FROM dtucfg_row WHERE batch = p_batch AND "
    "row_no = p_row FOR UPDATE; "
    "IF v.state IS DISTINCT FROM '{claimed}' OR v.claim_key IS DISTINCT FROM p_claim OR "
    "v.station IS DISTINCT FROM p_name THEN INSERT INTO dtucfg_result (result_key, batch, "
    "row_no, station, port, result, record_sha256) VALUES (p_key, p_batch, p_row, p_name, "
    "p_port, '{taken_back}', p_sha); RETURN 'taken'; END IF; "
    "IF p_next IN ('{done}', '{held}') THEN UPDATE dtucfg_row SET state = p_next, claim_key = "
    "NULL WHERE batch = p_batch AND row_no = p_row; "
    "ELSIF p_next = '{free}' THEN UPDATE dtucfg_row SET state = p_next, station = NULL, port = "
    "NULL, claim_key = NULL, claimed_at = NULL WHERE batch = p_batch AND row_no = p_row; "
    "ELSIF p_next IS DISTINCT FROM '{claimed}' THEN RAISE EXCEPTION 'no row goes to %', p_next; "
    "END IF; END IF; "
    "INSERT INTO dtucfg_result (result_key, batch, row_no, station, port, result, "
    "record_sha256) VALUES (p_key, p_batch, p_row, p_name, p_port, p_result, p_sha); "
    "RETURN 'kept'; END $$",
    // A row is settled only as the supervisor saw it, and never while the
    // station that holds it may still be writing it.
    "CREATE OR REPLACE FUNCTION dtucfg_settle(p_batch text, p_row bigint, p_action text, "
    "p_state text, p_station text, p_key text) RETURNS text" DTU_DEFINER
    "DECLARE v dtucfg_row%ROWTYPE; BEGIN SELECT * INTO v FROM dtucfg_row WHERE batch = "
    "p_batch AND row_no = p_row FOR UPDATE; IF NOT FOUND THEN RETURN 'missing'; END IF; "
    "IF v.state IS DISTINCT FROM p_state OR v.station IS DISTINCT FROM p_station OR "
    "v.claim_key IS DISTINCT FROM p_key THEN RETURN 'changed'; END IF; "
    "IF NOT (p_action = '{release}' AND v.state IN ('{claimed}', '{held}') OR p_action = "
    "'{void}' AND v.state IN ('{free}', '{claimed}', '{held}')) THEN RETURN 'refused'; END IF; "
    "IF v.state = '{claimed}' THEN PERFORM 1 FROM dtucfg_station WHERE name = v.station AND "
    "seen_at > CURRENT_TIMESTAMP - {lease} * INTERVAL '1 second'; IF FOUND THEN RETURN "
    "'running'; END IF; END IF; "
    "UPDATE dtucfg_row SET state = CASE WHEN p_action = '{release}' THEN '{free}' ELSE '{void}' "
    "END, station = NULL, port = NULL, claim_key = NULL, claimed_at = NULL WHERE batch = "
    "p_batch AND row_no = p_row; INSERT INTO dtucfg_settle (batch, row_no, action, station, "
    "port) VALUES (p_batch, p_row, p_action, v.station, v.port); RETURN 'settled'; END $$",
    "REVOKE ALL ON FUNCTION dtucfg_lease_live(text, text), dtucfg_take_station(text, text, "
    "text), dtucfg_beat(text, text), dtucfg_give_back(text, text), dtucfg_adopt(text, text, "
    "text, text), dtucfg_claim(text, text, text, text, text), dtucfg_keep_result(text, text, "
    "bigint, text, text, text, text, text, text, text), dtucfg_settle(text, bigint, text, text, "
    "text, text) FROM PUBLIC",
    "GRANT SELECT ON dtucfg_schema, dtucfg_batch, dtucfg_row TO dtucfg_station",
    "GRANT EXECUTE ON FUNCTION dtucfg_take_station(text, text, text), dtucfg_beat(text, text), "
    "dtucfg_give_back(text, text), dtucfg_adopt(text, text, text, text), dtucfg_claim(text, "
    "text, text, text, text), dtucfg_keep_result(text, text, bigint, text, text, text, text, "
    "text, text, text) TO dtucfg_station",
    "GRANT SELECT ON dtucfg_schema, dtucfg_batch, dtucfg_row, dtucfg_unique, dtucfg_result, "
    "dtucfg_settle TO dtucfg_supervisor",
    "GRANT EXECUTE ON FUNCTION dtucfg_settle(text, bigint, text, text, text, text) TO "
    "dtucfg_supervisor",
    // The tallies, counted anew from the rows and results whenever the
    // rules are made, with no station writing meanwhile; then kept by
    // triggers. A batch's row count is kept as the state 'rows' of no
    // station.
    "LOCK TABLE dtucfg_row, dtucfg_result IN SHARE MODE",
    "DROP TRIGGER IF EXISTS dtucfg_rows_added ON dtucfg_row",
    "DROP TRIGGER IF EXISTS dtucfg_rows_changed ON dtucfg_row",
    "DROP TRIGGER IF EXISTS dtucfg_results_added ON dtucfg_result",
    "DELETE FROM dtucfg_row_tally",
    "INSERT INTO dtucfg_row_tally (batch, station, state, units) SELECT batch, '', 'rows', "
    "COUNT(*) FROM dtucfg_row GROUP BY batch UNION ALL SELECT batch, COALESCE(station, ''), "
    "state, COUNT(*) FROM dtucfg_row WHERE state <> '{free}' GROUP BY batch, COALESCE(station, "
    "''), state",
    "DELETE FROM dtucfg_result_tally",
    "INSERT INTO dtucfg_result_tally (batch, station, result, units, last_id) SELECT batch, "
    "station, result, COUNT(*), MAX(id) FROM dtucfg_result GROUP BY batch, station, result",
    // Added in key order, so that two statements never wait on each other's
    // tallies.
    "CREATE OR REPLACE FUNCTION dtucfg_tally_rows_added() RETURNS trigger" DTU_DEFINER
    "BEGIN INSERT INTO dtucfg_row_tally AS t (batch, station, state, units) SELECT batch, "
    "station, state, SUM(d) FROM (SELECT batch, '' AS station, 'rows' AS state, 1 AS d FROM "
    "came UNION ALL SELECT batch, COALESCE(station, ''), state, 1 FROM came WHERE state <> "
    "'{free}') x GROUP BY batch, station, state ORDER BY batch, station, state ON CONFLICT "
    "(batch, station, state) DO UPDATE SET units = t.units + EXCLUDED.units; RETURN NULL; "
    "END $$",
    "CREATE OR REPLACE FUNCTION dtucfg_tally_rows_changed() RETURNS trigger" DTU_DEFINER
    "BEGIN INSERT INTO dtucfg_row_tally AS t (batch, station, state, units) SELECT batch, "
    "station, state, SUM(d) FROM (SELECT batch, COALESCE(station, '') AS station, state, -1 "
    "AS d FROM gone WHERE state <> '{free}' UNION ALL SELECT batch, COALESCE(station, ''), "
    "state, 1 FROM came WHERE state <> '{free}') x GROUP BY batch, station, state HAVING "
    "SUM(d) <> 0 ORDER BY batch, station, state ON CONFLICT (batch, station, state) DO UPDATE "
    "SET units = t.units + EXCLUDED.units; RETURN NULL; END $$",
    "CREATE OR REPLACE FUNCTION dtucfg_tally_results_added() RETURNS trigger" DTU_DEFINER
    "BEGIN INSERT INTO dtucfg_result_tally AS t (batch, station, result, units, last_id) "
    "SELECT batch, station, result, COUNT(*), MAX(id) FROM came GROUP BY batch, station, "
    "result ORDER BY batch, station, result ON CONFLICT (batch, station, result) DO UPDATE SET "
    "units = t.units + EXCLUDED.units, last_id = GREATEST(t.last_id, EXCLUDED.last_id); RETURN "
    "NULL; END $$",
    "CREATE TRIGGER dtucfg_rows_added AFTER INSERT ON dtucfg_row REFERENCING NEW TABLE AS came "
    "FOR EACH STATEMENT EXECUTE FUNCTION dtucfg_tally_rows_added()",
    "CREATE TRIGGER dtucfg_rows_changed AFTER UPDATE ON dtucfg_row REFERENCING OLD TABLE AS gone "
    "NEW TABLE AS came FOR EACH STATEMENT EXECUTE FUNCTION dtucfg_tally_rows_changed()",
    "CREATE TRIGGER dtucfg_results_added AFTER INSERT ON dtucfg_result REFERENCING NEW TABLE AS "
    "came FOR EACH STATEMENT EXECUTE FUNCTION dtucfg_tally_results_added()",
    "REVOKE ALL ON dtucfg_row_tally, dtucfg_result_tally FROM PUBLIC",
    "REVOKE ALL ON FUNCTION dtucfg_tally_rows_added(), dtucfg_tally_rows_changed(), "
    "dtucfg_tally_results_added() FROM PUBLIC",
    // The reporting views: one per question a supervisor or a reporting
    // tool asks. They read the tables with the owner's rights, so that a
    // reporter's login needs none on the tables themselves. A claimed row is
    // in doubt until its result is kept; it is being written while its
    // station's lease is live.
    "CREATE OR REPLACE VIEW dtucfg_version AS SELECT version FROM dtucfg_schema",
    "CREATE OR REPLACE VIEW dtucfg_batch_progress AS SELECT b.name AS batch, b.created_at, "
    "r.total AS rows_total, r.total - r.claimed - r.done - r.void - r.held AS rows_free, "
    "r.claimed AS rows_in_doubt, COALESCE(g.writing, 0) AS rows_being_written, r.done AS "
    "rows_done, r.void AS rows_void, r.held AS rows_held, COALESCE(x.recent, 0) AS "
    "units_last_10_minutes, COALESCE(x.recent, 0) * 6 AS units_per_hour, CASE WHEN x.recent > "
    "0 THEN CAST(CEIL((r.total - r.done - r.void - r.held) * 600.0 / x.recent) AS bigint) END "
    "AS seconds_left "
    "FROM dtucfg_batch b CROSS JOIN LATERAL (SELECT COALESCE(SUM(units) FILTER (WHERE state = "
    "'rows'), 0) AS total, COALESCE(SUM(units) FILTER (WHERE state = '{claimed}'), 0) AS "
    "claimed, COALESCE(SUM(units) FILTER (WHERE state = '{done}'), 0) AS done, "
    "COALESCE(SUM(units) FILTER (WHERE state = '{void}'), 0) AS void, COALESCE(SUM(units) "
    "FILTER (WHERE state = '{held}'), 0) AS held FROM dtucfg_row_tally WHERE batch = b.name) r "
    "LEFT JOIN LATERAL (SELECT COUNT(*) AS writing FROM dtucfg_row w JOIN dtucfg_station s ON "
    "s.name = w.station AND s.seen_at > CURRENT_TIMESTAMP - {lease} * INTERVAL '1 second' "
    "WHERE w.batch = b.name AND w.state = '{claimed}') g ON true "
    "LEFT JOIN LATERAL (SELECT COUNT(*) AS recent FROM dtucfg_result WHERE batch = b.name AND "
    "result = '{ok}' AND at > CURRENT_TIMESTAMP - INTERVAL '600 seconds') x ON true",
    // A unit is not known again when it is tried once more, so first-pass
    // yield is the share of a station's tries that were done at once. Its
    // results, the rows it holds in doubt and its lease are summed in one
    // pass, so that a station with only one of them is shown too.
    "CREATE OR REPLACE VIEW dtucfg_station_figures AS SELECT a.batch, a.station, a.done, "
    "a.failed, CASE WHEN a.done + a.failed > 0 THEN CAST(a.done AS double precision) / (a.done "
    "+ a.failed) END AS first_pass_yield, a.in_doubt, l.result AS last_result, l.at AS "
    "last_at, COALESCE(s.seen_at > CURRENT_TIMESTAMP - {lease} * INTERVAL '1 second', false) AS "
    "running, CAST(EXTRACT(EPOCH FROM CURRENT_TIMESTAMP - GREATEST(l.at, s.seen_at)) AS bigint) "
    "AS silent_seconds FROM (SELECT e.batch, e.station, SUM(e.done) AS done, SUM(e.failed) AS "
    "failed, MAX(e.last_id) AS last_id, SUM(e.in_doubt) AS in_doubt FROM (SELECT batch, "
    "station, CASE WHEN result = '{ok}' THEN units ELSE 0 END AS done, CASE WHEN result = "
    "'{ok}' THEN 0 ELSE units END AS failed, last_id, 0 AS in_doubt FROM dtucfg_result_tally "
    "UNION ALL SELECT batch, station, 0, 0, CAST(NULL AS bigint), units FROM dtucfg_row_tally "
    "WHERE state = '{claimed}' AND units <> 0 UNION ALL SELECT batch, name, 0, 0, CAST(NULL AS "
    "bigint), 0 FROM dtucfg_station WHERE batch IS NOT NULL) e GROUP BY e.batch, e.station) a "
    "LEFT JOIN LATERAL (SELECT x.result, x.at FROM dtucfg_result x WHERE x.id = a.last_id "
    "LIMIT 1) l ON true LEFT JOIN dtucfg_station s ON s.name = a.station AND s.batch = "
    "a.batch",
    "CREATE OR REPLACE VIEW dtucfg_failures AS SELECT t.batch, t.result AS cause, SUM(t.units) "
    "AS units, (SELECT x.at FROM dtucfg_result x WHERE x.id = MAX(t.last_id)) AS last_at FROM "
    "dtucfg_result_tally t WHERE t.result <> '{ok}' GROUP BY t.batch, t.result",
    "CREATE OR REPLACE VIEW dtucfg_open_rows AS SELECT r.batch, r.row_no, r.state, r.station, "
    "r.port, r.claimed_at AS since, CAST(EXTRACT(EPOCH FROM CURRENT_TIMESTAMP - r.claimed_at) "
    "AS bigint) AS age_seconds, (SELECT x.result FROM dtucfg_result x WHERE x.batch = r.batch "
    "AND x.row_no = r.row_no ORDER BY x.id DESC LIMIT 1) AS last_result, COALESCE(s.seen_at > "
    "CURRENT_TIMESTAMP - {lease} * INTERVAL '1 second', false) AS being_written FROM dtucfg_row "
    "r LEFT JOIN dtucfg_station s ON s.name = r.station AND s.batch = r.batch WHERE r.state IN "
    "('{claimed}', '{held}')",
    "CREATE OR REPLACE VIEW dtucfg_unit_history AS SELECT batch, row_no, at, 'result' AS event, "
    "result AS what, station, port, CAST(NULL AS varchar(200)) AS by_user, record_sha256 FROM "
    "dtucfg_result WHERE row_no IS NOT NULL UNION ALL SELECT batch, row_no, at, 'settlement', "
    "action, station, port, by_user, NULL FROM dtucfg_settle",
    // A unit's origin by one of its unique values: the row, the batch that
    // rebuilds its record, and its last good result (or its last one).
    "CREATE OR REPLACE VIEW dtucfg_unit_origin AS SELECT u.key_name, u.value_hex, w.batch, "
    "w.row_no, w.state, w.cells, w.record_sha256, b.columns, b.profile, b.sets, b.unique_keys, "
    "l.station, l.port, l.at, l.result FROM dtucfg_unique u JOIN dtucfg_row w ON w.batch = "
    "u.batch AND w.row_no = u.row_no JOIN dtucfg_batch b ON b.name = w.batch LEFT JOIN LATERAL "
    "(SELECT x.station, x.port, x.at, x.result FROM dtucfg_result x WHERE x.batch = w.batch AND "
    "x.row_no = w.row_no ORDER BY x.result = '{ok}' DESC, x.id DESC LIMIT 1) l ON true",
    "REVOKE ALL ON dtucfg_version, dtucfg_batch_progress, dtucfg_station_figures, "
    "dtucfg_failures, dtucfg_open_rows, dtucfg_unit_history, dtucfg_unit_origin FROM PUBLIC",
    "GRANT SELECT ON dtucfg_version, dtucfg_batch_progress, dtucfg_station_figures, "
    "dtucfg_failures, dtucfg_open_rows, dtucfg_unit_history, dtucfg_unit_origin TO "
    "dtucfg_reporter, dtucfg_supervisor",
};

#undef DTU_DEFINER

}  // namespace

const Dialect kPostgres = {
    "PostgreSQL",
    "TEXT",
    "TIMESTAMP WITH TIME ZONE",
    "BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY",
    kRules,
    std::size(kRules),
    "SELECT quote_ident(current_schema())",
    "SELECT dtucfg_take_station(?, ?, ?)",
    "SELECT dtucfg_beat(?, ?)",
    "SELECT dtucfg_give_back(?, ?)",
    "SELECT o_row, o_port, o_key FROM dtucfg_adopt(?, ?, ?, ?)",
    "SELECT dtucfg_claim(?, ?, ?, ?, ?)",
    "SELECT dtucfg_keep_result(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
    "SELECT dtucfg_settle(?, ?, ?, ?, ?, ?)",
    "SELECT set_config('lock_timeout', ?, false), set_config('statement_timeout', ?, false)",
    "SELECT CASE WHEN current_setting('synchronous_commit') = 'off' THEN 0 ELSE 1 END",
    "CURRENT_TIMESTAMP - CAST(? AS INTEGER) * INTERVAL '1' SECOND",
    TimeText,
    IsoTime,
    Classify,
    ListsTable,
    List,
};
