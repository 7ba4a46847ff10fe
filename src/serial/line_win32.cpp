#include "serial/line_win32.h"

#include <cstdio>

#include "serial/interrupt.h"
#include "serial/port_names.h"
#include "serial/serial_port_win32.h"
#include "serial/sliced_wait.h"

namespace {

constexpr std::uint32_t kBaud = 115200;
// Short enough that Ctrl-C ends a wait at once.
constexpr DWORD kSliceMs = 100;
// The form's write time-outs: 20 ms for every byte, and 1 s.
constexpr DWORD kWritePerByteMs = 20;
constexpr DWORD kWriteBaseMs = 1000;

DWORD ClampToDword(std::size_t n) { return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(n); }

void Fail(LineOpenError* error, LineOpenError::Kind kind, DWORD code) {
  if (error == nullptr) {
    return;
  }
  error->kind = kind;
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) {
    std::snprintf(error->detail, sizeof error->detail, "system error %lu",
                  static_cast<unsigned long>(code));
    return;
  }
  std::snprintf(error->detail, sizeof error->detail, "%s", text);
  LocalFree(text);
  std::size_t end = 0;
  while (error->detail[end] != '\0') {
    ++end;
  }
  while (end > 0 && (error->detail[end - 1] == '\r' || error->detail[end - 1] == '\n')) {
    error->detail[--end] = '\0';
  }
}

LineOpenError::Kind KindOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return LineOpenError::Kind::Missing;
    // Windows says "access denied" for a port another program holds.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return LineOpenError::Kind::Busy;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return LineOpenError::Kind::NotSerial;
    default:
      return LineOpenError::Kind::Other;
  }
}

// A read returns what has arrived at once, else waits up to readMs for the
// first byte and returns with it; 0 never waits.
bool SetWaits(HANDLE port, DWORD readMs) {
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = readMs == 0 ? 0 : MAXDWORD;
  timeouts.ReadTotalTimeoutConstant = readMs;
  timeouts.WriteTotalTimeoutMultiplier = kWritePerByteMs;
  timeouts.WriteTotalTimeoutConstant = kWriteBaseMs;
  return SetCommTimeouts(port, &timeouts) != FALSE;
}

}  // namespace

bool Win32Line::Open(const char* name, LineOpenError* error) {
  Close();
  if (error != nullptr) {
    *error = LineOpenError{};
  }
  const unsigned number = ComPortNumber(name);
  if (number == 0) {
    if (error != nullptr) {
      error->kind = LineOpenError::Kind::NotSerial;
      std::snprintf(error->detail, sizeof error->detail, "not a COM port name (COM1 to COM256)");
    }
    return false;
  }
  // The device namespace is the only way to COM10 and up.
  char path[16];
  std::snprintf(path, sizeof path, "\\\\.\\COM%u", number);
  const HANDLE port =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  LineOpenError::Kind kind = LineOpenError::Kind::None;
  if (port == INVALID_HANDLE_VALUE) {
    kind = KindOf(GetLastError());
  } else if (!GetCommState(port, &dcb)) {
    kind = LineOpenError::Kind::NotSerial;
  } else if (!ApplyLineSettings(port, &dcb, kBaud) || !SetWaits(port, 0)) {
    kind = KindOf(GetLastError());
  } else {
    handle_ = port;
    return true;
  }
  DWORD code = GetLastError();
  if (port != INVALID_HANDLE_VALUE) {
    CloseHandle(port);
  }
  // Under Wine a port that leads nowhere fails as "access denied" or
  // "invalid function"; it is missing.
  if (ComPortLeadsNowhere(number)) {
    kind = LineOpenError::Kind::Missing;
    code = ERROR_FILE_NOT_FOUND;
  }
  Fail(error, kind, code);
  return false;
}

void Win32Line::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
}

Link::Result Win32Line::Write(const std::uint8_t* data, std::size_t length) {
  if (!IsOpen()) {
    return Result::Lost;
  }
  // The user's interrupt is not looked at: a frame is never left half-sent.
  std::size_t sent = 0;
  while (sent < length) {
    DWORD count = 0;
    if (!WriteFile(handle_, data + sent, ClampToDword(length - sent), &count, nullptr) ||
        count == 0) {
      return Result::Lost;  // failed, or nothing went out within the write time-outs
    }
    sent += count;
  }
  return Result::Ok;
}

Link::Result Win32Line::Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
                             std::size_t* received) {
  *received = 0;
  if (!IsOpen()) {
    return Result::Lost;
  }
  if (maxLength == 0) {
    return Result::Ok;
  }
  return WaitInSlices(*this, timeoutMs, kSliceMs, received, [&](unsigned slice, std::size_t* got) {
    DWORD count = 0;
    if (!SetWaits(handle_, slice) ||
        !ReadFile(handle_, buffer, ClampToDword(maxLength), &count, nullptr)) {
      return Result::Lost;
    }
    *got = count;
    // A read that finds nothing succeeds even on a device that has gone
    // (under Wine, a pty hung up); asking for the line's state fails then.
    DWORD errors = 0;
    if (count == 0 && !ClearCommError(handle_, &errors, nullptr)) {
      return Result::Lost;
    }
    return Result::Ok;
  });
}

void Win32Line::Purge() {
  if (IsOpen()) {
    PurgeComm(handle_, PURGE_RXCLEAR | PURGE_RXABORT);
  }
}

std::uint64_t Win32Line::NowMs() { return GetTickCount64(); }

bool ComPortLeadsNowhere(unsigned number) {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) {
    return false;
  }
  // Wine answers from the Unix path the port is mapped to, with stat alone:
  // a folder has attributes, a path to nothing is a "bad device type", and
  // a device (a tty, a pty) is refused as an invalid parameter.
  char path[16];
  std::snprintf(path, sizeof path, "\\\\.\\COM%u", number);
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_DEV_TYPE;
}
