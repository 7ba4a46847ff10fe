#include "cli/odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <memory>
#include <utility>

// Text crosses the API as UTF-16 (the W functions, SQL_C_WCHAR): the one
// encoding that unixODBC, Windows and Wine's odbc32 all pass through
// unchanged. SQL_C_CHAR happens to pass UTF-8 through on Linux and under
// Wine, but a Unicode driver on Windows reads it in the ANSI code page.

namespace {

using Wide = std::vector<SQLWCHAR>;

constexpr SQLULEN kLoginTimeoutSeconds = 5;
constexpr std::size_t kChunk = 2048;  // SQLWCHARs fetched per SQLGetData call

// UTF-8 to UTF-16, false on bytes that are not UTF-8.
bool ToWide(const std::string& text, Wide* out) {
  out->clear();
  out->reserve(text.size() + 1);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    std::uint32_t c = *p++;
    int more = 0;
    std::uint32_t least = 0;
    if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      least = 0x10000;
      c &= 0x07;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      least = 0x800;
      c &= 0x0F;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      least = 0x80;
      c &= 0x1F;
    } else if (c >= 0x80) {
      return false;
    }
    if (end - p < more) {
      return false;
    }
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) {
        return false;
      }
      c = (c << 6) | (*p & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      return false;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out->push_back(static_cast<SQLWCHAR>(0xD800 + (c >> 10)));
      out->push_back(static_cast<SQLWCHAR>(0xDC00 + (c & 0x3FF)));
    } else {
      out->push_back(static_cast<SQLWCHAR>(c));
    }
  }
  return true;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(const SQLWCHAR* text, std::size_t size) {
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size) {
      std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// An integer attribute value where the API takes a pointer.
SQLPOINTER AttributeValue(SQLULEN value) {
  return reinterpret_cast<SQLPOINTER>(value);  // NOLINT(performance-no-int-to-ptr)
}

struct Attribute {
  std::string key;         // as written, spaces trimmed
  std::size_t valueBegin;  // the value, braces included
  std::size_t valueEnd;
};

// Where the value that starts at begin ends: after its closing brace, or
// before the next ';' less trailing spaces.
std::size_t ValueEnd(const std::string& s, std::size_t begin) {
  if (begin < s.size() && s[begin] == '{') {
    std::size_t end = begin + 1;
    while (end < s.size() && !(s[end] == '}' && (end + 1 == s.size() || s[end + 1] != '}'))) {
      end += s[end] == '}' ? 2 : 1;
    }
    return std::min(end + 1, s.size());
  }
  std::size_t end = std::min(s.find(';', begin), s.size());
  while (end > begin && s[end - 1] == ' ') {
    --end;
  }
  return end;
}

// The key=value pairs of a connection string: ';' separates them, a value in
// braces holds anything, with "}}" for one '}'.
std::vector<Attribute> Attributes(const std::string& s) {
  std::vector<Attribute> found;
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t equals = s.find_first_of("=;", i);
    if (equals == std::string::npos || s[equals] == ';') {
      i = equals == std::string::npos ? s.size() : equals + 1;
      continue;
    }
    std::size_t keyBegin = s.find_first_not_of(' ', i);
    std::size_t keyEnd = s.find_last_not_of(' ', equals - 1);
    std::string key = keyBegin < equals ? s.substr(keyBegin, keyEnd + 1 - keyBegin) : std::string();
    std::size_t begin = std::min(s.find_first_not_of(' ', equals + 1), s.size());
    std::size_t end = ValueEnd(s, begin);
    found.push_back({key, begin, end});
    std::size_t next = s.find(';', end);
    i = next == std::string::npos ? s.size() : next + 1;
  }
  return found;
}

bool IsPasswordKey(std::string key) {
  for (char& c : key) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key == "pwd" || key == "password";
}

// The passwords a connection string holds, braces and escapes removed.
std::vector<std::string> Passwords(const std::string& connectionString) {
  std::vector<std::string> passwords;
  for (const Attribute& a : Attributes(connectionString)) {
    std::string value = connectionString.substr(a.valueBegin, a.valueEnd - a.valueBegin);
    if (!IsPasswordKey(a.key) || value.empty()) {
      continue;
    }
    if (value.front() == '{') {
      value = value.substr(
          1, value.size() >= 2 && value.back() == '}' ? value.size() - 2 : std::string::npos);
      for (std::size_t at = value.find("}}"); at != std::string::npos;
           at = value.find("}}", at + 1)) {
        value.erase(at, 1);
      }
    }
    passwords.push_back(value);
  }
  return passwords;
}

// A driver's message with the connection's passwords and any Pwd= in it masked.
std::string Masked(std::string message, const std::string& connectionString) {
  for (const std::string& password : Passwords(connectionString)) {
    if (password.size() < 3) {
      continue;  // masking "ab" would mangle words, and says little anyway
    }
    for (std::size_t at = message.find(password); at != std::string::npos;
         at = message.find(password, at + 3)) {
      message.replace(at, password.size(), "***");
    }
  }
  return MaskPassword(message);
}

}  // namespace

bool IsUtf8(const std::string& text) {
  Wide wide;
  return ToWide(text, &wide);
}

std::string MaskPassword(const std::string& connectionString) {
  std::string out;
  std::size_t copied = 0;
  for (const Attribute& a : Attributes(connectionString)) {
    if (IsPasswordKey(a.key)) {
      out.append(connectionString, copied, a.valueBegin - copied);
      out += "***";
      copied = a.valueEnd;
    }
  }
  out.append(connectionString, copied, std::string::npos);
  return out;
}

bool DbError::IsUniqueViolation() const { return sqlState == "23505"; }

bool DbError::IsSerializationFailure() const { return sqlState == "40001" || sqlState == "40P01"; }

bool DbError::IsConnectionLost() const {
  // 57P01..57P03: the server is shutting down, crashed or not yet accepting.
  return connectionLost || sqlState.compare(0, 2, "08") == 0 || sqlState == "57P01" ||
         sqlState == "57P02" || sqlState == "57P03";
}

struct Database::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  bool connected = false;
  std::string connectionString;  // for masking the driver's messages

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
    error->message = Masked(message, connectionString);
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

  bool EndTransaction(SQLSMALLINT how, DbError* error) const {
    if (!connected) {
      NotConnected(error);
      return false;
    }
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc, how);
    if (!SQL_SUCCEEDED(rc)) {
      Fail(SQL_HANDLE_DBC, dbc, how == SQL_COMMIT ? "commit" : "rollback", error);
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      SetAutocommit(true, nullptr);
      return false;
    }
    return SetAutocommit(true, error);
  }

  static void NotConnected(DbError* error) {
    if (error != nullptr) {
      *error = DbError();
      error->sqlState = "08003";
      error->message = "not connected to the database";
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
};

Database::Database() : handles_(std::make_unique<Handles>()) {}
Database::Database(Database&& other) noexcept = default;
Database& Database::operator=(Database&& other) noexcept = default;
Database::~Database() = default;

bool Database::Connect(const std::string& connectionString, DbError* error) {
  if (handles_ == nullptr) {
    handles_ = std::make_unique<Handles>();
  }
  Handles& h = *handles_;
  h.Close();
  h.connectionString = connectionString;
  Wide wide;
  if (!ToWide(connectionString, &wide)) {
    if (error != nullptr) {
      *error = DbError();
      error->message = "the connection string is not UTF-8";
    }
    return false;
  }
  wide.push_back(0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h.env))) {
    h.env = SQL_NULL_HENV;
    if (error != nullptr) {
      *error = DbError();
      error->message = "the ODBC driver manager could not start";
    }
    return false;
  }
  SQLSetEnvAttr(h.env, SQL_ATTR_ODBC_VERSION, AttributeValue(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, h.env, &h.dbc))) {
    h.dbc = SQL_NULL_HDBC;
    h.Fail(SQL_HANDLE_ENV, h.env, "allocating a connection", error);
    h.Close();
    return false;
  }
  SQLSetConnectAttrW(h.dbc, SQL_ATTR_LOGIN_TIMEOUT, AttributeValue(kLoginTimeoutSeconds),
                     SQL_IS_UINTEGER);
  SQLRETURN rc = SQLDriverConnectW(h.dbc, nullptr, wide.data(), SQL_NTS, nullptr, 0, nullptr,
                                   SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    h.Fail(SQL_HANDLE_DBC, h.dbc, "connecting", error);
    h.Close();
    return false;
  }
  h.connected = true;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, h.dbc, &h.stmt))) {
    h.stmt = SQL_NULL_HSTMT;
    h.Fail(SQL_HANDLE_DBC, h.dbc, "allocating a statement", error);
    h.Close();
    return false;
  }
  return true;
}

void Database::Disconnect() {
  if (handles_ != nullptr) {
    handles_->Close();
  }
}

bool Database::Connected() const { return handles_ != nullptr && handles_->connected; }

bool Database::Begin(DbError* error) {
  if (!Connected()) {
    Handles::NotConnected(error);
    return false;
  }
  return handles_->SetAutocommit(false, error);
}

bool Database::Commit(DbError* error) {
  if (!Connected()) {
    Handles::NotConnected(error);
    return false;
  }
  return handles_->EndTransaction(SQL_COMMIT, error);
}

bool Database::Rollback(DbError* error) {
  if (!Connected()) {
    Handles::NotConnected(error);
    return false;
  }
  return handles_->EndTransaction(SQL_ROLLBACK, error);
}

bool Database::Exec(const std::string& sql, const std::vector<DbValue>& params, DbResult* result,
                    DbError* error) {
  if (!Connected()) {
    Handles::NotConnected(error);
    return false;
  }
  Handles& h = *handles_;
  SQLFreeStmt(h.stmt, SQL_CLOSE);
  SQLFreeStmt(h.stmt, SQL_RESET_PARAMS);
  Wide statement;
  ToWide(sql, &statement);
  statement.push_back(0);
  if (!SQL_SUCCEEDED(SQLPrepareW(h.stmt, statement.data(), SQL_NTS))) {
    h.Fail(SQL_HANDLE_STMT, h.stmt, "preparing a statement", error);
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
        if (error != nullptr) {
          *error = DbError();
          error->message = "parameter " + std::to_string(number) + " is not UTF-8 text";
        }
        return false;
      }
      lengths[i] = static_cast<SQLLEN>(texts[i].size() * sizeof(SQLWCHAR));
      texts[i].push_back(0);
      rc = SQLBindParameter(h.stmt, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                            std::max<SQLULEN>(texts[i].size() - 1, 1), 0, texts[i].data(),
                            static_cast<SQLLEN>(texts[i].size() * sizeof(SQLWCHAR)), &lengths[i]);
    } else if (const auto* integer = std::get_if<std::int64_t>(&params[i])) {
      integers[i] = *integer;
      rc = SQLBindParameter(h.stmt, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                            &integers[i], 0, &lengths[i]);
    } else {
      lengths[i] = SQL_NULL_DATA;
      rc = SQLBindParameter(h.stmt, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 1, 0,
                            nullptr, 0, &lengths[i]);
    }
    if (!SQL_SUCCEEDED(rc)) {
      h.Fail(SQL_HANDLE_STMT, h.stmt, "binding a parameter", error);
      return false;
    }
  }
  SQLRETURN rc = SQLExecute(h.stmt);
  if (rc != SQL_NO_DATA && !SQL_SUCCEEDED(rc)) {
    h.Fail(SQL_HANDLE_STMT, h.stmt, "running a statement", error);
    return false;
  }
  DbResult local;
  DbResult& out = result != nullptr ? *result : local;
  out = DbResult();
  if (rc != SQL_NO_DATA) {
    SQLLEN count = 0;
    if (SQL_SUCCEEDED(SQLRowCount(h.stmt, &count)) && count > 0) {
      out.affected = count;
    }
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(h.stmt, &columns))) {
      h.Fail(SQL_HANDLE_STMT, h.stmt, "reading a result", error);
      return false;
    }
    while (columns > 0) {
      rc = SQLFetch(h.stmt);
      if (rc == SQL_NO_DATA) {
        break;
      }
      if (!SQL_SUCCEEDED(rc)) {
        h.Fail(SQL_HANDLE_STMT, h.stmt, "fetching a row", error);
        return false;
      }
      DbRow row(static_cast<std::size_t>(columns));
      for (SQLSMALLINT c = 0; c < columns; ++c) {
        if (!h.Cell(static_cast<SQLUSMALLINT>(c + 1), &row[static_cast<std::size_t>(c)], error)) {
          return false;
        }
      }
      out.rows.push_back(std::move(row));
    }
  }
  SQLFreeStmt(h.stmt, SQL_CLOSE);
  return true;
}
