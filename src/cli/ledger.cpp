#include "cli/ledger.h"

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
  return platform::Sha256Hex(record.bytes.data(), record.bytes.size());
}
