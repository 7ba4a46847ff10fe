// A COM port as a line, over the Windows communications API.
#ifndef DTU_SERIAL_LINE_WIN32_H
#define DTU_SERIAL_LINE_WIN32_H

#include <windows.h>

#include "serial/link.h"

class Win32Line final : public Link {
 public:
  Win32Line() = default;
  Win32Line(const Win32Line&) = delete;
  Win32Line& operator=(const Win32Line&) = delete;
  ~Win32Line() override { Close(); }

  // name is "COM1" to "COM256" in any case, always opened through the
  // device namespace (\\.\COMn), not shared, at the form's line settings.
  // Any other name fails as NotSerial.
  bool Open(const char* name, LineOpenError* error);
  void Close();
  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

  Result Write(const std::uint8_t* data, std::size_t length) override;
  Result Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
              std::size_t* received) override;
  void Purge() override;
  std::uint64_t NowMs() override;

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Whether COMn surely has no device behind it. Only Wine can tell without
// opening the port: it points a port it has no device for at a folder (our
// prefixes do so for every port they do not use). Elsewhere always false.
bool ComPortLeadsNowhere(unsigned number);

#endif
