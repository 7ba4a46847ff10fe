// A serial device (a tty, a USB adapter, a pty) as a line, over termios.
#ifndef DTU_SERIAL_LINE_POSIX_H
#define DTU_SERIAL_LINE_POSIX_H

#include "serial/link.h"

class PosixLine final : public Link {
 public:
  PosixLine() = default;
  PosixLine(const PosixLine&) = delete;
  PosixLine& operator=(const PosixLine&) = delete;
  ~PosixLine() override { Close(); }

  // Opens the device at the form's line settings: raw, 115200 baud, 8 data
  // bits, no parity, one stop bit, no flow control of either kind. Holds it
  // exclusively: no second open (TIOCEXCL) and an advisory lock on the
  // device itself, which also stops root and holds for every name of the
  // same device (a /dev/serial/by-id link, say).
  bool Open(const char* path, LineOpenError* error);
  // Gives the device back as it was found, exclusivity and lock released.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  Result Write(const std::uint8_t* data, std::size_t length) override;
  Result Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
              std::size_t* received) override;
  void Purge() override;
  std::uint64_t NowMs() override;

 private:
  int fd_ = -1;
};

#endif
