#include "protocol/sim_link.h"

#include "serial/interrupt.h"

Link::Result SimLink::Write(const std::uint8_t* data, std::size_t length) {
  if (unit_.Unplugged()) {
    return Result::Lost;
  }
  unit_.Receive(data, length, nowUs_);
  // A unit that vanishes on what it was sent takes the line with it.
  return unit_.Unplugged() ? Result::Lost : Result::Ok;
}

Link::Result SimLink::Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
                           std::size_t* received) {
  *received = 0;
  if (unit_.Unplugged()) {
    return Result::Lost;
  }
  if (InterruptRequested()) {
    return Result::Interrupted;
  }
  const std::uint64_t due = unit_.NextDueUs();
  const std::uint64_t timeoutUs = std::uint64_t{timeoutMs} * 1000;
  if (due > nowUs_ && due - nowUs_ > timeoutUs) {
    nowUs_ += timeoutUs;
    return Result::Timeout;
  }
  if (due > nowUs_) {
    nowUs_ = due;
  }
  *received = unit_.TakeDue(buffer, maxLength, nowUs_);
  return Result::Ok;
}

void SimLink::Purge() {
  std::uint8_t scratch[64];
  while (unit_.TakeDue(scratch, sizeof scratch, nowUs_) > 0) {
  }
}
