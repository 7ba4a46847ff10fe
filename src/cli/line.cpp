#include "cli/line.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "cli/cli.h"
#include "cli/csv.h"
#include "cli/fleet.h"
#include "cli/output.h"
#include "cli/render.h"
#include "cli/units.h"
#include "serial/interrupt.h"

namespace {

// How long a unit must stay silent before it counts as unplugged.
constexpr unsigned kGoneMs = 2000;
// Each search is this long, so that a finished line is noticed soon.
constexpr unsigned kSearchSliceMs = 500;
constexpr auto kRetryOpen = std::chrono::milliseconds(250);

const char* const kResults[] = {"ok", "mismatch", "no-ack", "refused", "lost", "interrupted"};

std::string Sha(const ConfigImage& record) {
  return platform::Sha256Hex(record.bytes.data(), record.bytes.size());
}

// The rows and the report, shared by the ports. A row is claimed before its
// unit is written, in the claims file beside the report, so that a line
// stopped without warning knows which rows it may have written.
class Ledger {
 public:
  static constexpr int kNone = -1;  // no row free now

  explicit Ledger(const UnitsTable* units) : units_(units) {
    if (units_ != nullptr) {
      slots_.resize(units_->rows.size());
      for (std::size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].sha = Sha(units_->rows[i].record);
      }
    }
  }

  bool Open(const std::string& path, const std::vector<std::string>& ports, std::string* error);

  // The next row for a unit on port: a row in doubt there first, then the
  // lowest free one (of this port, when the CSV names ports).
  int Claim(const std::string& port, bool* inDoubt, std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    *inDoubt = false;
    int chosen = kNone;
    for (std::size_t i = 0; i < slots_.size() && chosen == kNone; ++i) {
      if (slots_[i].state == State::InDoubt && slots_[i].port == port) {
        chosen = static_cast<int>(i);
        *inDoubt = true;
      }
    }
    for (std::size_t i = 0; i < slots_.size() && chosen == kNone; ++i) {
      if (slots_[i].state == State::Free && (!units_->hasPort || units_->rows[i].port == port)) {
        chosen = static_cast<int>(i);
      }
    }
    if (chosen == kNone) {
      return kNone;
    }
    Slot& slot = slots_[static_cast<std::size_t>(chosen)];
    if (claims_ && !claims_->Append(CsvRow({std::to_string(chosen + 1), port, slot.sha}), error)) {
      return kNone;
    }
    slot.state = State::Claimed;
    slot.port = port;
    return chosen;
  }

  // The row whose record a unit already holds, if this line wrote it.
  int DoneRowWithSha(const std::string& sha) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].state == State::Done && slots_[i].sha == sha) {
        return static_cast<int>(i);
      }
    }
    return kNone;
  }

  // Reports one unit; a row that failed is free for the next unit.
  bool Report(int row, const std::string& port, const std::string& result, const std::string& sha,
              std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> fields = {platform::IsoLocalTime(), port,
                                       row == kNone ? "" : std::to_string(row + 1), result};
    if (units_ != nullptr && row != kNone) {
      const std::vector<std::string>& values = units_->rows[static_cast<std::size_t>(row)].values;
      fields.insert(fields.end(), values.begin(), values.end());
    } else if (units_ != nullptr) {
      fields.resize(fields.size() + units_->keys.size());
    }
    fields.push_back(row == kNone && units_ != nullptr ? "" : sha);
    if (row != kNone && slots_[static_cast<std::size_t>(row)].state == State::Claimed) {
      slots_[static_cast<std::size_t>(row)].state = result == "ok" ? State::Done : State::Free;
    }
    ++counts_[result];
    return !report_ || report_->Append(CsvRow(fields), error);
  }

  // Every row written, or none can be.
  bool Finished() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return units_ != nullptr && std::all_of(slots_.begin(), slots_.end(), [](const Slot& slot) {
             return slot.state == State::Done;
           });
  }

  std::string Summary() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string text = "units done: " + std::to_string(counts_["ok"]);
    std::string failures;
    for (const char* result : kResults) {
      if (std::string(result) != "ok" && counts_[result] > 0) {
        failures += std::string(failures.empty() ? "" : ", ") + result + " " +
                    std::to_string(counts_[result]);
      }
    }
    text += "; failures: " + (failures.empty() ? std::string("none") : failures);
    if (units_ != nullptr) {
      const auto left = std::count_if(slots_.begin(), slots_.end(),
                                      [](const Slot& slot) { return slot.state != State::Done; });
      text += "; rows left: " + std::to_string(left);
      for (std::size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].state == State::InDoubt) {
          text += "\nrow " + std::to_string(i + 1) + " is in doubt: it was being written on " +
                  slots_[i].port + " when the line stopped";
        }
      }
    }
    return text + "\n";
  }

 private:
  enum class State { Free, Claimed, Done, InDoubt };
  struct Slot {
    State state = State::Free;
    std::string port;  // the port that claimed it
    std::string sha;   // of the record it gives
  };

  bool Resume(const std::string& path, const std::string& text, std::string* error);
  bool ResumeClaims(const std::string& text, const std::vector<std::string>& ports,
                    std::string* error);

  const UnitsTable* units_;
  std::vector<Slot> slots_;
  std::unique_ptr<platform::AppendFile> report_;
  std::unique_ptr<platform::AppendFile> claims_;
  std::vector<std::size_t> reported_;  // report rows per row, before this run
  std::map<std::string, int> counts_;
  std::mutex mutex_;
};

std::vector<std::string> ReportHeader(const UnitsTable* units) {
  std::vector<std::string> header = {"time", "port", "row", "result"};
  if (units != nullptr) {
    header.insert(header.end(), units->keys.begin(), units->keys.end());
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

bool Ledger::Open(const std::string& path, const std::vector<std::string>& ports,
                  std::string* error) {
  if (path.empty()) {
    return true;
  }
  report_ = std::make_unique<platform::AppendFile>();
  std::string text;
  if (!report_->Open(path, &text, error) || !CutTornRow(*report_, &text, path, error)) {
    *error = path + ": " + *error;
    return false;
  }
  if (!Resume(path, text, error)) {
    return false;
  }
  if (units_ == nullptr) {
    return true;
  }
  const std::string claimsPath = path + ".claims";
  claims_ = std::make_unique<platform::AppendFile>();
  std::string claims;
  if (!claims_->Open(claimsPath, &claims, error) ||
      !CutTornRow(*claims_, &claims, claimsPath, error)) {
    *error = claimsPath + ": " + *error;
    return false;
  }
  // Claims without their report are from another line's run.
  if (text.empty() && !claims.empty()) {
    claims.clear();
    if (!claims_->Truncate(0, error)) {
      *error = claimsPath + ": " + *error;
      return false;
    }
  }
  if (!ResumeClaims(claims, ports, error)) {
    *error = claimsPath + ": " + *error;
    return false;
  }
  return true;
}

bool Ledger::Resume(const std::string& path, const std::string& text, std::string* error) {
  const std::vector<std::string> header = ReportHeader(units_);
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
    if (units_ == nullptr || fields[2].empty()) {
      continue;  // a unit that never got a row
    }
    if (!ParseRowNumber(fields[2], slots_.size(), &row)) {
      *error = path + " line " + std::to_string(table.lines[r]) + ": row \"" + fields[2] +
               "\" is not a row of the units CSV";
      return false;
    }
    ++reported_[row - 1];
    if (fields[3] != "ok") {
      continue;
    }
    // A changed CSV could give a second unit a value written before.
    const std::vector<std::string>& values = units_->rows[row - 1].values;
    if (!std::equal(values.begin(), values.end(), fields.begin() + 4)) {
      *error = path + ": row " + std::to_string(row) +
               " was written with other values than the units CSV now holds; a changed CSV "
               "needs a new report";
      return false;
    }
    slots_[row - 1].state = State::Done;
  }
  return true;
}

bool Ledger::ResumeClaims(const std::string& text, const std::vector<std::string>& ports,
                          std::string* error) {
  CsvTable table;
  if (!ParseCsv(text, &table, error)) {
    return false;
  }
  std::vector<std::size_t> claimed(slots_.size(), 0);
  for (std::size_t i = 0; i < table.rows.size(); ++i) {
    std::size_t row = 0;
    if (table.rows[i].size() != 3 || !ParseRowNumber(table.rows[i][0], slots_.size(), &row)) {
      *error = "line " + std::to_string(table.lines[i]) + ": not a claim of this line";
      return false;
    }
    ++claimed[row - 1];
    slots_[row - 1].port = table.rows[i][1];
  }
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const std::size_t reported = reported_.empty() ? 0 : reported_[i];
    if (claimed[i] <= reported || slots_[i].state == State::Done) {
      continue;
    }
    slots_[i].state = State::InDoubt;
    const bool onLine = std::find(ports.begin(), ports.end(), slots_[i].port) != ports.end();
    Warn("row " + std::to_string(i + 1) + " was being written on " + slots_[i].port +
         " when the line stopped. " +
         (onLine ? "It goes to the next unit on that port only, unless that unit already holds "
                   "it. If you took that unit away meanwhile, check its values by hand."
                 : "That port is not on this line, so the row stays aside."));
  }
  return true;
}

// One port of the line.
class Station {
 public:
  Station(const Options& options, Ledger& ledger, const UnitsTable* units, const RecordInput& base,
          std::FILE* log, std::atomic<bool>& done, std::atomic<bool>& broken)
      : options_(options),
        ledger_(ledger),
        units_(units),
        base_(base),
        log_(log),
        done_(done),
        broken_(broken),
        timeoutMs_(static_cast<unsigned>(std::ceil(options.timeoutSeconds * 1000))) {}

  void Run(const std::string& port) {
    if (connection_.Check(port) != kExitOk) {
      return;
    }
    while (!Stopping()) {
      if (!open_ && !OpenPort()) {
        continue;
      }
      Session session{connection_.link(), kSearchSliceMs, nullptr};
      const SessionResult found = FindUnit(session);
      if (found == SessionResult::Lost) {
        ClosePort();
      } else if (found == SessionResult::Ok) {
        Serve(session);
      }
    }
    ClosePort();
  }

 private:
  bool Stopping() const { return InterruptRequested() || done_.load() || broken_.load(); }

  void Pause() {
    for (int i = 0; i < 5 && !Stopping(); ++i) {
      std::this_thread::sleep_for(kRetryOpen / 5);
    }
  }

  bool OpenPort() {
    LineOpenError error;
    if (connection_.Open(log_, connection_.name(), &error) == kExitOk) {
      open_ = true;
      toldWaiting_ = false;
      return true;
    }
    if (!toldWaiting_) {
      Error(std::string("waiting for the port: ") + OpenErrorText(error) + " (" + error.detail +
            ")");
      toldWaiting_ = true;
    }
    Pause();
    return false;
  }

  void ClosePort() {
    if (open_) {
      connection_.Close();
      open_ = false;
    }
  }

  // A unit answered: give it a row, write it, report, and wait until it is
  // unplugged.
  void Serve(Session& found) {
    Session session{found.link, timeoutMs_, nullptr};
    int row = Ledger::kNone;
    const std::string result = Provision(session, &row);
    if (result.empty()) {
      return;
    }
    const ConfigImage& record =
        row == Ledger::kNone ? base_.record : units_->rows[static_cast<std::size_t>(row)].record;
    std::string error;
    if (!ledger_.Report(row, connection_.name(), result, Sha(record), &error)) {
      Error(options_.report + ": " + error + "; the line stops");
      broken_ = true;
    }
    Tell(row, result);
    if (ledger_.Finished()) {
      done_ = true;
    }
    AwaitGone(session);
  }

  // What became of the unit, one of kResults, with the row it got; empty
  // when it is left alone for now.
  std::string Provision(Session& session, int* row) {
    ConfigImage held{};
    SessionResult step = ReadRecordFromUnit(session, held);
    if (step != SessionResult::Ok) {
      return Failure(step);
    }
    // A unit this line has written already keeps its values.
    const std::string sha = Sha(held);
    *row = ledger_.DoneRowWithSha(sha);
    if (*row != Ledger::kNone) {
      Error("this unit already holds row " + std::to_string(*row + 1) +
            ", written earlier; set it aside");
      return "refused";
    }
    bool inDoubt = false;
    if (units_ != nullptr) {
      std::string error;
      *row = ledger_.Claim(connection_.name(), &inDoubt, &error);
      if (!error.empty()) {
        Error(options_.report + ".claims: " + error + "; the line stops");
        broken_ = true;
        return {};
      }
      if (*row == Ledger::kNone) {
        if (!toldNoRow_) {
          Error("a unit is waiting, but no row is free now");
          toldNoRow_ = true;
        }
        Pause();
        return {};
      }
      toldNoRow_ = false;
    }
    const ConfigImage& record =
        *row == Ledger::kNone ? base_.record : units_->rows[static_cast<std::size_t>(*row)].record;
    if (inDoubt && sha == Sha(record)) {
      return "ok";  // written just before the line stopped
    }
    step = WriteRecordToUnit(session, record);
    if (step == SessionResult::Ok) {
      step = ReadRecordFromUnit(session, held);
    }
    if (step != SessionResult::Ok) {
      return Failure(step);
    }
    return CompareRecords(held, record).empty() ? "ok" : "mismatch";
  }

  static std::string Failure(SessionResult step) {
    switch (step) {
      case SessionResult::Lost:
        return "lost";
      case SessionResult::Interrupted:
        return "interrupted";
      default:
        return "no-ack";
    }
  }

  void Tell(int row, const std::string& result) {
    std::string line = connection_.name() + ": ";
    if (row != Ledger::kNone) {
      const UnitRow& unit = units_->rows[static_cast<std::size_t>(row)];
      line += "row " + std::to_string(unit.number) + " " + result;
      for (std::size_t i = 0; i < unit.values.size(); ++i) {
        line += (i == 0 ? ": " : ", ") + units_->keys[i] + "=" + unit.values[i];
      }
    } else {
      line += result;
    }
    ResultNow(line + (platform::StdoutIsTerminal() ? "\a\n" : "\n"));
  }

  void AwaitGone(Session& session) {
    // Each wait must outlast the silence it looks for.
    session.timeoutMs = kGoneMs + 1000;
    while (!Stopping()) {
      const SessionResult gone = AwaitUnitGone(session, kGoneMs);
      if (gone == SessionResult::Lost) {
        ClosePort();
        return;
      }
      if (gone != SessionResult::NotQuiet) {
        return;
      }
    }
  }

  const Options& options_;
  Ledger& ledger_;
  const UnitsTable* units_;
  const RecordInput& base_;
  std::FILE* log_;
  std::atomic<bool>& done_;
  std::atomic<bool>& broken_;  // the report cannot be written
  unsigned timeoutMs_;
  Connection connection_;
  bool open_ = false;
  bool toldWaiting_ = false;
  bool toldNoRow_ = false;
};

}  // namespace

int RunLine(const Options& options) {
  if (options.units.empty() && !options.uniques.empty()) {
    Error("--unique compares the rows of --units");
    return kExitUsage;
  }
  RecordInput base;
  int code = LoadInput(options, InputKind::Profile, &base);
  if (code != kExitOk) {
    return code;
  }
  WarnFields(CheckRecordInput(base));
  UnitsTable units;
  if (!options.units.empty()) {
    const std::vector<Override> sets = ParseOverrides(options.sets, &code);
    std::string error;
    if (!LoadUnits(options.units, options.file, sets, options.uniques, &units, &error)) {
      Error(error);
      return kExitUsage;
    }
  }
  const UnitsTable* table = options.units.empty() ? nullptr : &units;
  std::vector<std::string> ports;
  code = CheckPorts(options.ports, &ports);
  for (std::size_t i = 0; code == kExitOk && i < ports.size(); ++i) {
    if (IsSimName(ports[i])) {
      Error(ports[i] +
            ": a simulated unit in the program is never unplugged; the line needs "
            "real ports");
      code = kExitUsage;
    }
  }
  if (code == kExitOk && table != nullptr && units.hasPort) {
    for (const UnitRow& row : units.rows) {
      if (std::find(ports.begin(), ports.end(), row.port) == ports.end()) {
        Warn(options.units + " row " + std::to_string(row.number) + ": the port " + row.port +
             " is not on this line");
      }
    }
  }
  SharedLog log;
  if (code == kExitOk) {
    code = log.Open(options.logFile);
  }
  if (code != kExitOk) {
    return code;
  }
  Ledger ledger(table);
  std::string error;
  if (!ledger.Open(options.report, ports, &error)) {
    Error(error);
    return kExitUsage;
  }
  std::atomic<bool> done{ledger.Finished()};
  std::atomic<bool> broken{false};
  if (!done) {
    std::vector<PortOutput> outputs(ports.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      outputs[i].port = ports[i];
      threads.emplace_back([&, i] {
        const PortScope scope(outputs[i]);
        Station(options, ledger, table, base, log.file(), done, broken).Run(ports[i]);
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
  }
  ResultNow(ledger.Summary());
  if (InterruptRequested()) {
    return kExitInterrupted;
  }
  return broken ? kExitUnit : kExitOk;
}
