#include "line/dialect.h"

#include <iterator>

namespace {

// Every server dtucfg knows.
const Dialect* const kDialects[] = {&kPostgres};

}  // namespace

const Dialect* FindDialect(const std::string& serverName) {
  for (const Dialect* dialect : kDialects) {
    if (serverName == dialect->serverName) {
      return dialect;
    }
  }
  return nullptr;
}

std::string KnownServers() {
  std::string names;
  for (std::size_t i = 0; i < std::size(kDialects); ++i) {
    names += (i == 0 ? "" : ", ") + std::string(kDialects[i]->serverName);
  }
  return names;
}

DbFault FaultOf(const Dialect& dialect, const DbError& error) {
  return error.connectionLost ? DbFault::Lost : dialect.classify(error.sqlState, error.message);
}
