// A line that notes every chunk sent and received in a log file.
#ifndef DTU_CLI_LOG_LINK_H
#define DTU_CLI_LOG_LINK_H

#include <cstdio>
#include <string>
#include <utility>

#include "serial/link.h"

class LogLink final : public Link {
 public:
  // file stays the caller's to close; label, when not empty, names the port
  // in each line.
  LogLink(Link& inner, std::FILE* file, std::string label)
      : inner_(inner), file_(file), label_(std::move(label)) {}

  Result Write(const std::uint8_t* data, std::size_t length) override;
  Result Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
              std::size_t* received) override;
  void Purge() override { inner_.Purge(); }
  std::uint64_t NowMs() override { return inner_.NowMs(); }

 private:
  void Note(const char* direction, const std::uint8_t* data, std::size_t length);
  Link& inner_;
  std::FILE* file_;
  std::string label_;
};

#endif
