#include "serial/serial_port_win32.h"

#include <cstdio>

namespace {

constexpr DWORD kQueueSize = 1024;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr std::size_t kMaxName = 32;

DWORD ClampToDword(std::size_t n) { return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(n); }

}  // namespace

bool Win32SerialPort::Open(const char* name) {
  if (Held()) {
    Close();
  }
  // Windows opens COM10 and up only through the device namespace; the
  // lower ports open that way too.
  char path[kMaxName + 5] = "\\\\.\\";
  std::size_t n = 4;
  for (const char* c = name; *c != '\0' && n < sizeof path - 1; ++c) {
    path[n++] = *c;
  }
  path[n] = '\0';
  handle_ = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return Held();
}

bool ApplyLineSettings(HANDLE port, DCB* dcb, std::uint32_t baud) {
  dcb->BaudRate = baud;
  dcb->fBinary = TRUE;
  dcb->fParity = FALSE;
  dcb->fOutxCtsFlow = FALSE;
  dcb->fOutxDsrFlow = FALSE;
  dcb->fDtrControl = DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fOutX = FALSE;
  dcb->fInX = FALSE;
  dcb->fErrorChar = FALSE;
  dcb->fNull = FALSE;
  dcb->fRtsControl = RTS_CONTROL_DISABLE;
  dcb->fAbortOnError = FALSE;
  dcb->ByteSize = 8;
  dcb->Parity = NOPARITY;
  dcb->StopBits = ONESTOPBIT;
  dcb->XonLim = 2;
  dcb->XoffLim = 4;
  // Flow control is off, so these two only need to be distinct.
  dcb->XonChar = 0x13;
  dcb->XoffChar = 0x19;
  dcb->EvtChar = 0;
  return SetCommState(port, dcb) && SetupComm(port, kQueueSize, kQueueSize) &&
         PurgeComm(port, kPurgeAll);
}

bool Win32SerialPort::Configure(std::uint32_t baud) {
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  return Held() && GetCommState(handle_, &dcb) && ApplyLineSettings(handle_, &dcb, baud);
}

bool Win32SerialPort::SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                                  std::uint32_t readTotalConstant,
                                  std::uint32_t writeTotalMultiplier,
                                  std::uint32_t writeTotalConstant) {
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = readInterval;
  timeouts.ReadTotalTimeoutMultiplier = readTotalMultiplier;
  timeouts.ReadTotalTimeoutConstant = readTotalConstant;
  timeouts.WriteTotalTimeoutMultiplier = writeTotalMultiplier;
  timeouts.WriteTotalTimeoutConstant = writeTotalConstant;
  return Held() && SetCommTimeouts(handle_, &timeouts);
}

bool Win32SerialPort::Write(const std::uint8_t* data, std::size_t length, std::size_t* written) {
  *written = 0;
  if (!Held()) {
    return false;
  }
  DWORD count = 0;
  OVERLAPPED overlapped = {};
  if (WriteFile(handle_, data, ClampToDword(length), &count, nullptr)) {
    *written = count;
    return true;
  }
  if (GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  if (!GetOverlappedResult(handle_, &overlapped, &count, TRUE)) {
    std::fputs("GetOverlappedResults() in WriteFile()", stdout);
    return false;
  }
  *written = count;
  return true;
}

bool Win32SerialPort::Read(std::uint8_t* buffer, std::size_t maxLength, std::size_t* received) {
  *received = 0;
  DWORD count = 0;
  if (!Held() || !ReadFile(handle_, buffer, ClampToDword(maxLength), &count, nullptr)) {
    return false;
  }
  *received = count;
  return true;
}

bool Win32SerialPort::Close() {
  if (!Held()) {
    return false;
  }
  const bool closed = CloseHandle(handle_) != FALSE;
  handle_ = INVALID_HANDLE_VALUE;
  return closed;
}

bool Win32SerialPort::Purge() { return Held() && PurgeComm(handle_, kPurgeAll); }
