#include "cli/ledger.h"

#include "cli/hex.h"
#include "cli/platform.h"

const char* ResultName(UnitResult result) {
  switch (result) {
    case UnitResult::Ok:
      return "ok";
    case UnitResult::Mismatch:
      return "mismatch";
    case UnitResult::NoAck:
      return "no-ack";
    case UnitResult::Refused:
      return "refused";
    case UnitResult::Lost:
      return "lost";
    case UnitResult::Interrupted:
      return "interrupted";
  }
  return "?";
}

std::string RecordSha(const ConfigImage& record) {
  const auto digest = platform::Sha256(record.bytes.data(), record.bytes.size());
  return Hex(digest.data(), digest.size());
}

std::string ResultCounts(const std::map<UnitResult, int>& counts) {
  const auto count = [&counts](UnitResult result) {
    const auto found = counts.find(result);
    return found == counts.end() ? 0 : found->second;
  };
  std::string failures;
  for (const UnitResult result : kUnitResults) {
    if (result != UnitResult::Ok && count(result) > 0) {
      failures += std::string(failures.empty() ? "" : ", ") + ResultName(result) + " " +
                  std::to_string(count(result));
    }
  }
  return "units done: " + std::to_string(count(UnitResult::Ok)) +
         "; failures: " + (failures.empty() ? std::string("none") : failures);
}
