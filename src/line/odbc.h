// A database reached through ODBC: unixODBC on Linux, odbc32.dll on Windows.
// Text goes both ways as UTF-8; every value is a bound parameter. What an
// error means is the server's to say (line/dialect.h): this layer keeps the
// driver's words.
#ifndef DTU_LINE_ODBC_H
#define DTU_LINE_ODBC_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// What went wrong, as the driver said it; any password in it masked.
struct DbError {
  std::string sqlState;  // five characters; empty when the driver gave none
  std::string message;
  bool connectionLost = false;  // the driver found the link dead, or there is none
};

// A bound parameter: NULL (the empty alternative), a 64-bit integer or UTF-8 text.
using DbValue = std::variant<std::monostate, std::int64_t, std::string>;
// A result row: one cell per column, nothing for NULL, text otherwise.
using DbRow = std::vector<std::optional<std::string>>;

struct DbResult {
  std::vector<DbRow> rows;
  std::int64_t affected = 0;  // rows an INSERT, UPDATE or DELETE changed
};

// How long each call may take. The driver is asked to keep to it, and the
// caller stops waiting once it is over (or once stop says so): the call
// then fails as a lost connection, and the connection is dropped.
struct DbLimits {
  std::chrono::milliseconds call{12000};
  int loginSeconds = 10;       // the driver's own limit on connecting
  std::function<bool()> stop;  // may be empty
};

class CallThread;

// One connection. Statements run in autocommit unless between Begin() and
// Commit() or Rollback(). The driver is called on a thread of the
// connection's own, so that no call holds its caller past the limits.
class Database {
 public:
  Database();
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // For the calls from now on.
  void SetLimits(DbLimits limits) { limits_ = std::move(limits); }
  const DbLimits& limits() const { return limits_; }
  // Connects without prompting (ODBC 3); an open connection is closed first.
  bool Connect(const std::string& connectionString, DbError* error);
  void Disconnect();
  bool Connected() const;
  // The server's product name, as its driver gives it ("PostgreSQL").
  std::string ServerName();

  bool Begin(DbError* error);
  // A transaction whose statements all read one snapshot of the database
  // (repeatable read); it ends as any other.
  bool BeginSnapshot(DbError* error);
  bool Commit(DbError* error);
  bool Rollback(DbError* error);

  // Prepares sql, binds params to its ? in order, runs it and fetches every
  // row. An UPDATE or DELETE that matches no row succeeds with 0 affected.
  // result may be null.
  bool Exec(const std::string& sql, const std::vector<DbValue>& params, DbResult* result,
            DbError* error);

 private:
  struct Handles;
  struct Outcome;
  bool Call(const std::function<bool(Handles&, Outcome&)>& work, DbError* error,
            Outcome* outcome = nullptr);

  DbLimits limits_;
  std::shared_ptr<Handles> handles_;
  std::unique_ptr<CallThread> thread_;
};

#endif
