// The PC's serial port over the Windows communications API.
#ifndef DTU_SERIAL_SERIAL_PORT_WIN32_H
#define DTU_SERIAL_SERIAL_PORT_WIN32_H

#include <windows.h>

#include "serial/serial_port.h"

// The form's line settings, which dtucfg's lines share: applied to a port
// whose state was read into *dcb, with the form's queue sizes, both queues
// purged. On failure GetLastError tells why.
bool ApplyLineSettings(HANDLE port, DCB* dcb, std::uint32_t baud);

class Win32SerialPort final : public SerialPort {
 public:
  bool Open(const char* name) override;
  bool Configure(std::uint32_t baud) override;
  bool SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                   std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                   std::uint32_t writeTotalConstant) override;
  bool Write(const std::uint8_t* data, std::size_t length, std::size_t* written) override;
  bool Read(std::uint8_t* buffer, std::size_t maxLength, std::size_t* received) override;
  bool Close() override;
  bool Purge() override;

 private:
  bool Held() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  // Zero-initialised static storage reads as "none held" too.
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

#endif
