// The PC's one serial port as the core sees it.
#ifndef DTU_SERIAL_SERIAL_PORT_H
#define DTU_SERIAL_SERIAL_PORT_H

#include <cstddef>
#include <cstdint>

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Closes a held port first. On failure no port is held.
  virtual bool Open(const char* name) = 0;
  virtual bool Configure(std::uint32_t baud) = 0;
  virtual bool SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                           std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                           std::uint32_t writeTotalConstant) = 0;
  // Reports in *written how many bytes went out.
  virtual bool Write(const std::uint8_t* data, std::size_t length, std::size_t* written) = 0;
  // Never waits with the time-outs the tool applies: takes what has arrived.
  virtual bool Read(std::uint8_t* buffer, std::size_t maxLength, std::size_t* received) = 0;
  // Fails when no port is held.
  virtual bool Close() = 0;
  virtual bool Purge() = 0;

 protected:
  SerialPort() = default;
  SerialPort(const SerialPort&) = default;
  SerialPort& operator=(const SerialPort&) = default;
};

#endif
