// A scripted serial port: what the tool writes is logged and handed to an
// optional unit callback, which may queue bytes for the tool to read.
#ifndef DTU_TESTS_SUPPORT_FAKE_PORT_H
#define DTU_TESTS_SUPPORT_FAKE_PORT_H

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "serial/serial_port.h"

class FakePort final : public SerialPort {
 public:
  using Bytes = std::vector<std::uint8_t>;

  bool Open(const char* name) override;
  bool Configure(std::uint32_t baud) override;
  bool SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                   std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                   std::uint32_t writeTotalConstant) override;
  bool Write(const std::uint8_t* data, std::size_t length, std::size_t* written) override;
  bool Read(std::uint8_t* buffer, std::size_t maxLength, std::size_t* received) override;
  bool Close() override;
  bool Purge() override;

  // Bytes the unit has sent that the tool has not read yet.
  void Queue(const Bytes& bytes);
  void Queue(const std::string& bytes);

  bool open = false;
  bool failOpen = false;
  bool failConfigure = false;
  bool failTimeouts = false;
  bool failClose = false;
  // Up to this many bytes a write goes out (short writes); -1: all.
  long writeLimit = -1;

  std::vector<std::string> calls;      // "Open com3", "Configure 115200", ...
  std::vector<Bytes> writes;           // each write as the tool made it
  std::deque<std::uint8_t> input;      // unread bytes from the unit
  std::vector<std::size_t> readSizes;  // the maximum asked for by each read
  std::uint32_t timeouts[5] = {};
  std::function<void(const Bytes&)> unit;

  // Everything written, as one stream.
  Bytes Written() const;
};

#endif
