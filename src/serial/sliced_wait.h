// A wait on a line cut into short slices, so that Ctrl-C ends it promptly
// whatever the time-out.
#ifndef DTU_SERIAL_SLICED_WAIT_H
#define DTU_SERIAL_SLICED_WAIT_H

#include <cstddef>
#include <cstdint>

#include "serial/interrupt.h"
#include "serial/link.h"

// waitSlice(ms, &received) waits up to ms for bytes and takes what came; it
// returns Ok, with or without bytes, or Lost.
template <typename WaitSlice>
Link::Result WaitInSlices(Link& line, unsigned timeoutMs, unsigned sliceMs, std::size_t* received,
                          WaitSlice waitSlice) {
  *received = 0;
  const std::uint64_t deadline = line.NowMs() + timeoutMs;
  for (;;) {
    if (InterruptRequested()) {
      return Link::Result::Interrupted;
    }
    const std::uint64_t now = line.NowMs();
    const std::uint64_t left = deadline > now ? deadline - now : 0;
    const Link::Result result =
        waitSlice(static_cast<unsigned>(left < sliceMs ? left : sliceMs), received);
    if (result != Link::Result::Ok || *received > 0) {
      return result;
    }
    if (InterruptRequested()) {
      return Link::Result::Interrupted;
    }
    if (left == 0) {
      return Link::Result::Timeout;
    }
  }
}

#endif
