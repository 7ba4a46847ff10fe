#include "line/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include "cli/connection_string.h"
#include "line/call_thread.h"
#include "line/utf16.h"

// Text crosses the API as UTF-16 (the W functions, SQL_C_WCHAR). SQL_C_CHAR
// happens to pass UTF-8 through on Linux and under Wine, but a Unicode driver
// on Windows reads it in the ANSI code page.

namespace {

using Wide = std::vector<SQLWCHAR>;

constexpr std::size_t kChunk = 2048;  // SQLWCHARs fetched per SQLGetData call

// UTF-8 to the API's UTF-16, false on bytes that are not UTF-8.
bool ToWide(const std::string& text, Wide* out) {
  std::u16string wide;
  const bool ok = Utf8ToUtf16(text, &wide);
  out->assign(wide.begin(), wide.end());
  return ok;
}

std::string ToUtf8(const SQLWCHAR* text, std::size_t size) {
  return Utf16ToUtf8(std::u16string(text, text + size).data(), size);
}

// An integer attribute value where the API takes a pointer.
SQLPOINTER AttributeValue(SQLULEN value) {
  return reinterpret_cast<SQLPOINTER>(value);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

struct Database::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  bool connected = false;
  std::string connectionString;  // for masking the driver's messages
  SQLUINTEGER isolation = 0;     // to go back to when a snapshot ends; 0 for none

  ~Handles() { Close(); }

  void Close() {
    if (stmt != SQL_NULL_HSTMT) {
      SQLFreeHandle(SQL_HANDLE_STMT, stmt);
      stmt = SQL_NULL_HSTMT;
    }
    if (dbc != SQL_NULL_HDBC) {
      if (connected) {
        SQLDisconnect(dbc);
      }
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      dbc = SQL_NULL_HDBC;
    }
    if (env != SQL_NULL_HENV) {
      SQLFreeHandle(SQL_HANDLE_ENV, env);
      env = SQL_NULL_HENV;
    }
    connected = false;
  }

  // Fills *error from the diagnostics of a failed call on handle.
  void Fail(SQLSMALLINT type, SQLHANDLE handle, const char* what, DbError* error) const {
    if (error == nullptr) {
      return;
    }
    *error = DbError();
    std::string message;
    for (SQLSMALLINT record = 1;; ++record) {
      SQLWCHAR state[6] = {};
      SQLINTEGER native = 0;
      Wide text(512);
      SQLSMALLINT length = 0;
      SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &native, text.data(),
                                    static_cast<SQLSMALLINT>(text.size()), &length);
      if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
        text.resize(static_cast<std::size_t>(length) + 1);
        rc = SQLGetDiagRecW(type, handle, record, state, &native, text.data(),
                            static_cast<SQLSMALLINT>(text.size()), &length);
      }
      if (!SQL_SUCCEEDED(rc)) {
        break;
      }
      if (error->sqlState.empty()) {
        error->sqlState = ToUtf8(state, 5);
      }
      std::size_t size = std::min<std::size_t>(std::max<SQLSMALLINT>(length, 0), text.size());
      std::string line =
          ToUtf8(text.data(), std::find(text.data(), text.data() + size, 0) - text.data());
      // One line, as the driver's own line breaks and tabs would break a log's.
      for (char c : line) {
        bool space = c == '\n' || c == '\r' || c == '\t' || c == ' ';
        if (!space) {
          message += c;
        } else if (!message.empty() && message.back() != ' ') {
          message += ' ';
        }
      }
      while (!message.empty() && message.back() == ' ') {
        message.pop_back();
      }
      message += "; ";
    }
    if (message.size() >= 2) {
      message.resize(message.size() - 2);
    } else {
      message = std::string(what) + " failed";
    }
    error->message = MaskMessage(message, connectionString);
    if (dbc != SQL_NULL_HDBC && connected) {
      SQLUINTEGER dead = SQL_CD_FALSE;
      if (SQL_SUCCEEDED(SQLGetConnectAttrW(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr))) {
        error->connectionLost = dead == SQL_CD_TRUE;
      }
    }
  }

  bool SetAutocommit(bool on, DbError* error) const {
    SQLRETURN rc = SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT,
                                      AttributeValue(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF),
                                      SQL_IS_UINTEGER);
    if (!SQL_SUCCEEDED(rc)) {
      Fail(SQL_HANDLE_DBC, dbc, "setting autocommit", error);
      return false;
    }
    return true;
  }

  bool EndTransaction(SQLSMALLINT how, DbError* error) {
    if (!connected) {
      NotConnected(error);
      return false;
    }
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, how);
    if (!SQL_SUCCEEDED(rc)) {
      Fail(SQL_HANDLE_DBC, dbc, how == SQL_COMMIT ? "commit" : "rollback", error);
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      SetAutocommit(true, nullptr);
      SetIsolation(0, nullptr);
      return false;
    }
    return SetAutocommit(true, error) && SetIsolation(0, error);
  }

  // Repeatable read from the next transaction on, or (0) the isolation
  // there was before.
  bool SetIsolation(SQLUINTEGER level, DbError* error) {
    if (level == 0 && isolation == 0) {
      return true;
    }
    if (level != 0 && isolation == 0 &&
        !SQL_SUCCEEDED(SQLGetConnectAttrW(dbc, SQL_ATTR_TXN_ISOLATION, &isolation, 0, nullptr))) {
      Fail(SQL_HANDLE_DBC, dbc, "reading the isolation level", error);
      return false;
    }
    const SQLUINTEGER wanted = level != 0 ? level : isolation;
    if (level == 0) {
      isolation = 0;
    }
    if (!SQL_SUCCEEDED(SQLSetConnectAttrW(dbc, SQL_ATTR_TXN_ISOLATION, AttributeValue(wanted),
                                          SQL_IS_UINTEGER))) {
      Fail(SQL_HANDLE_DBC, dbc, "setting the isolation level", error);
      return false;
    }
    return true;
  }

  static void NotConnected(DbError* error) {
    if (error != nullptr) {
      *error = DbError();
      error->message = "not connected to the database";
      error->connectionLost = true;
    }
  }

  // One cell of the current row as UTF-8, fetched in chunks; nothing for NULL.
  bool Cell(SQLUSMALLINT column, std::optional<std::string>* cell, DbError* error) const {
    Wide chunk(kChunk);
    Wide all;
    for (;;) {
      SQLLEN indicator = 0;
      SQLRETURN rc = SQLGetData(stmt, column, SQL_C_WCHAR, chunk.data(),
                                static_cast<SQLLEN>(chunk.size() * sizeof(SQLWCHAR)), &indicator);
      if (rc == SQL_NO_DATA) {
        break;
      }
      if (!SQL_SUCCEEDED(rc)) {
        Fail(SQL_HANDLE_STMT, stmt, "reading a column", error);
        return false;
      }
      if (indicator == SQL_NULL_DATA) {
        cell->reset();
        return true;
      }
      // A chunk that did not hold the rest is full, less its terminator.
      std::size_t got = chunk.size() - 1;
      if (indicator != SQL_NO_TOTAL &&
          static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR) < chunk.size()) {
        got = static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
      }
      all.insert(all.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
      if (rc == SQL_SUCCESS) {
        break;
      }
    }
    *cell = ToUtf8(all.data(), all.size());
    return true;
  }

  // Connects; the caller closes on failure.
  bool Connect(const std::string& connectionString, int loginSeconds, DbError* error) {
    Close();
    this->connectionString = connectionString;
    Wide wide;
    if (!ToWide(connectionString, &wide)) {
      error->message = "the connection string is not UTF-8";
      return false;
    }
    wide.push_back(0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
      env = SQL_NULL_HENV;
      error->message = "the ODBC driver manager could not start";
      return false;
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, AttributeValue(SQL_OV_ODBC3), 0);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
      dbc = SQL_NULL_HDBC;
      Fail(SQL_HANDLE_ENV, env, "allocating a connection", error);
      return false;
    }
    const auto seconds = static_cast<SQLULEN>(loginSeconds);
    SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, AttributeValue(seconds), SQL_IS_UINTEGER);
    SQLSetConnectAttrW(dbc, SQL_ATTR_CONNECTION_TIMEOUT, AttributeValue(seconds), SQL_IS_UINTEGER);
    if (!SQL_SUCCEEDED(SQLDriverConnectW(dbc, nullptr, wide.data(), SQL_NTS, nullptr, 0, nullptr,
                                         SQL_DRIVER_NOPROMPT))) {
      Fail(SQL_HANDLE_DBC, dbc, "connecting", error);
      return false;
    }
    connected = true;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
      stmt = SQL_NULL_HSTMT;
      Fail(SQL_HANDLE_DBC, dbc, "allocating a statement", error);
      return false;
    }
    SQLSetStmtAttrW(stmt, SQL_ATTR_QUERY_TIMEOUT, AttributeValue(seconds), SQL_IS_UINTEGER);
    return true;
  }

  std::string ServerName() const {
    Wide name(128);
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DBMS_NAME, name.data(),
                                   static_cast<SQLSMALLINT>(name.size() * sizeof(SQLWCHAR)),
                                   &length))) {
      return "";
    }
    const std::size_t size = std::min<std::size_t>(
        static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)) / sizeof(SQLWCHAR),
        name.size() - 1);
    return ToUtf8(name.data(), size);
  }

  // Asks the driver to end what runs on the statement; from another thread.
  void Cancel() const {
    if (stmt != SQL_NULL_HSTMT) {
      SQLCancel(stmt);
    }
  }

  bool Exec(const std::string& sql, const std::vector<DbValue>& params, DbResult* out,
            DbError* error) const;
};

bool Database::Handles::Exec(const std::string& sql, const std::vector<DbValue>& params,
                             DbResult* out, DbError* error) const {
  SQLFreeStmt(stmt, SQL_CLOSE);
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);
  Wide statement;
  ToWide(sql, &statement);
  statement.push_back(0);
  if (!SQL_SUCCEEDED(SQLPrepareW(stmt, statement.data(), SQL_NTS))) {
    Fail(SQL_HANDLE_STMT, stmt, "preparing a statement", error);
    return false;
  }
  // The bound buffers stay put until SQLExecute has read them.
  std::vector<Wide> texts(params.size());
  std::vector<std::int64_t> integers(params.size());
  std::vector<SQLLEN> lengths(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    auto number = static_cast<SQLUSMALLINT>(i + 1);
    SQLRETURN rc = SQL_SUCCESS;
    if (const auto* text = std::get_if<std::string>(&params[i])) {
      if (!ToWide(*text, &texts[i])) {
        error->message = "parameter " + std::to_string(number) + " is not UTF-8 text";
        return false;
      }
      lengths[i] = static_cast<SQLLEN>(texts[i].size() * sizeof(SQLWCHAR));
      texts[i].push_back(0);
      rc = SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                            std::max<SQLULEN>(texts[i].size() - 1, 1), 0, texts[i].data(),
                            static_cast<SQLLEN>(texts[i].size() * sizeof(SQLWCHAR)), &lengths[i]);
    } else if (const auto* integer = std::get_if<std::int64_t>(&params[i])) {
      integers[i] = *integer;
      rc = SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                            &integers[i], 0, &lengths[i]);
    } else {
      lengths[i] = SQL_NULL_DATA;
      rc = SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, 0, nullptr,
                            0, &lengths[i]);
    }
    if (!SQL_SUCCEEDED(rc)) {
      Fail(SQL_HANDLE_STMT, stmt, "binding a parameter", error);
      return false;
    }
  }
  SQLRETURN rc = SQLExecute(stmt);
  if (rc != SQL_NO_DATA && !SQL_SUCCEEDED(rc)) {
    Fail(SQL_HANDLE_STMT, stmt, "running a statement", error);
    return false;
  }
  if (rc != SQL_NO_DATA) {
    SQLLEN count = 0;
    if (SQL_SUCCEEDED(SQLRowCount(stmt, &count)) && count > 0) {
      out->affected = count;
    }
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns))) {
      Fail(SQL_HANDLE_STMT, stmt, "reading a result", error);
      return false;
    }
    while (columns > 0) {
      rc = SQLFetch(stmt);
      if (rc == SQL_NO_DATA) {
        break;
      }
      if (!SQL_SUCCEEDED(rc)) {
        Fail(SQL_HANDLE_STMT, stmt, "fetching a row", error);
        return false;
      }
      DbRow row(static_cast<std::size_t>(columns));
      for (SQLSMALLINT c = 0; c < columns; ++c) {
        if (!Cell(static_cast<SQLUSMALLINT>(c + 1), &row[static_cast<std::size_t>(c)], error)) {
          return false;
        }
      }
      out->rows.push_back(std::move(row));
    }
  }
  SQLFreeStmt(stmt, SQL_CLOSE);
  return true;
}

// What a call on the connection's thread gives back: it outlives a caller
// that stopped waiting.
struct Database::Outcome {
  DbError error;
  DbResult result;
  std::string text;
};

Database::Database() = default;
Database::Database(Database&& other) noexcept = default;
Database& Database::operator=(Database&& other) noexcept = default;
Database::~Database() { Disconnect(); }

bool Database::Call(const std::function<bool(Handles&, Outcome&)>& work, DbError* error,
                    Outcome* outcome) {
  DbError local;
  DbError& failed = error != nullptr ? *error : local;
  failed = DbError();
  if (thread_ == nullptr || thread_->abandoned()) {
    Handles::NotConnected(&failed);
    return false;
  }
  auto done = std::make_shared<Outcome>();
  auto ok = std::make_shared<bool>(false);
  const std::shared_ptr<Handles> handles = handles_;
  const CallThread::Ended ended =
      thread_->Run([handles, done, ok, work] { *ok = work(*handles, *done); },
                   {limits_.call, limits_.stop}, [handles] { handles->Cancel(); });
  if (ended != CallThread::Ended::Done) {
    // The call goes on without us; so does its connection, to be dropped.
    thread_.reset();
    handles_.reset();
    failed.connectionLost = true;
    failed.message = ended == CallThread::Ended::Stopped
                         ? "stopped while waiting for the database"
                         : "the database did not answer within " +
                               std::to_string((limits_.call.count() + 999) / 1000) + " s";
    return false;
  }
  failed = std::move(done->error);
  if (outcome != nullptr) {
    *outcome = std::move(*done);
  }
  return *ok;
}

bool Database::Connect(const std::string& connectionString, DbError* error) {
  Disconnect();
  handles_ = std::make_shared<Handles>();
  thread_ = std::make_unique<CallThread>();
  const int login = limits_.loginSeconds;
  const bool connected = Call(
      [connectionString, login](Handles& h, Outcome& out) {
        if (!h.Connect(connectionString, login, &out.error)) {
          h.Close();
          return false;
        }
        return true;
      },
      error);
  if (!connected) {
    Disconnect();
  }
  return connected;
}

void Database::Disconnect() {
  thread_.reset();
  handles_.reset();
}

bool Database::Connected() const {
  return handles_ != nullptr && thread_ != nullptr && !thread_->abandoned() && handles_->connected;
}

std::string Database::ServerName() {
  Outcome out;
  if (!Call(
          [](Handles& h, Outcome& o) {
            o.text = h.ServerName();
            return true;
          },
          nullptr, &out)) {
    return "";
  }
  return out.text;
}

bool Database::Begin(DbError* error) {
  return Call([](Handles& h, Outcome& o) { return h.SetAutocommit(false, &o.error); }, error);
}

bool Database::BeginSnapshot(DbError* error) {
  return Call(
      [](Handles& h, Outcome& o) {
        return h.SetIsolation(SQL_TXN_REPEATABLE_READ, &o.error) &&
               h.SetAutocommit(false, &o.error);
      },
      error);
}

bool Database::Commit(DbError* error) {
  return Call([](Handles& h, Outcome& o) { return h.EndTransaction(SQL_COMMIT, &o.error); }, error);
}

bool Database::Rollback(DbError* error) {
  return Call([](Handles& h, Outcome& o) { return h.EndTransaction(SQL_ROLLBACK, &o.error); },
              error);
}

bool Database::Exec(const std::string& sql, const std::vector<DbValue>& params, DbResult* result,
                    DbError* error) {
  Outcome out;
  const bool ok = Call(
      [sql, params](Handles& h, Outcome& o) { return h.Exec(sql, params, &o.result, &o.error); },
      error, &out);
  if (result != nullptr) {
    *result = ok ? std::move(out.result) : DbResult();
  }
  return ok;
}
