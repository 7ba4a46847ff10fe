// A simulated unit inside the program, as a line: the port "sim". It runs
// on virtual time, so waiting for it costs nothing: a read that would wait
// moves the clock on instead.
#ifndef DTU_PROTOCOL_SIM_LINK_H
#define DTU_PROTOCOL_SIM_LINK_H

#include "protocol/sim_unit.h"
#include "serial/link.h"

class SimLink final : public Link {
 public:
  explicit SimLink(SimUnit& unit) : unit_(unit) {}

  Result Write(const std::uint8_t* data, std::size_t length) override;
  Result Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
              std::size_t* received) override;
  void Purge() override;
  std::uint64_t NowMs() override { return nowUs_ / 1000; }

 private:
  SimUnit& unit_;
  // Finer than the milliseconds it tells, for a paced unit's bytes.
  std::uint64_t nowUs_ = 0;
};

#endif
