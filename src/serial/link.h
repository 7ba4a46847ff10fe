// A serial line to one unit as the command-line tool drives it: unlike the
// form's port, a read can wait for the unit, up to a time-out.
#ifndef DTU_SERIAL_LINK_H
#define DTU_SERIAL_LINK_H

#include <cstddef>
#include <cstdint>

class Link {
 public:
  virtual ~Link() = default;

  enum class Result {
    Ok,
    Timeout,      // nothing arrived in time
    Lost,         // the device went away (unplugged, pty closed) or failed
    Interrupted,  // the user asked to stop (Ctrl-C)
  };

  // Sends all of data. Finishes even when the user interrupts meanwhile, so
  // that no frame is ever left half-sent; only a lost line stops it.
  virtual Result Write(const std::uint8_t* data, std::size_t length) = 0;
  // Waits up to timeoutMs until something has arrived, then takes what has,
  // at most maxLength bytes, without waiting for more. Timeout leaves
  // *received at 0.
  virtual Result Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
                      std::size_t* received) = 0;
  // Throws away what has arrived and not been read.
  virtual void Purge() = 0;
  // Milliseconds on a clock that never goes back; only differences count.
  virtual std::uint64_t NowMs() = 0;

 protected:
  Link() = default;
  Link(const Link&) = default;
  Link& operator=(const Link&) = default;
};

// Why a line could not be opened, for the user: the kind, and the system's
// own words for it.
struct LineOpenError {
  enum class Kind { None, Missing, Busy, Permission, NotSerial, Other };
  Kind kind = Kind::None;
  char detail[192] = {};
};

#endif
