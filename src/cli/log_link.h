// A line that notes every chunk sent and received in a log file.
#ifndef DTU_CLI_LOG_LINK_H
#define DTU_CLI_LOG_LINK_H

#include <cstdio>

#include "serial/link.h"

class LogLink final : public Link {
 public:
  // file stays the caller's to close.
  LogLink(Link& inner, std::FILE* file) : inner_(inner), file_(file) {}

  Result Write(const std::uint8_t* data, std::size_t length) override;
  Result Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
              std::size_t* received) override;
  void Purge() override { inner_.Purge(); }
  std::uint64_t NowMs() override { return inner_.NowMs(); }

 private:
  void Note(const char* direction, const std::uint8_t* data, std::size_t length);
  Link& inner_;
  std::FILE* file_;
};

#endif
