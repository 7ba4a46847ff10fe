#include <windows.h>

#include <bcrypt.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli/platform.h"
#include "serial/interrupt.h"
#include "serial/line_win32.h"
#include "serial/port_names.h"

namespace platform {

namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    RequestInterrupt();
    return TRUE;
  }
  return FALSE;
}

std::string SystemText(DWORD code) {
  char text[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) {
    text[--n] = '\0';
  }
  if (n == 0) {
    return "system error " + std::to_string(code);
  }
  return text;
}

std::wstring Widen(std::string_view text, UINT codePage) {
  if (text.empty()) {
    return {};
  }
  const int n =
      MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) {
    return {};
  }
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

// The path as Windows resolves it against the current folder and drive.
// Wine's ReplaceFile refuses a path without a drive ("Directory name
// invalid"), so a file is always named in full.
std::string FullPath(const std::string& path) {
  const DWORD size = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) {
    return path;
  }
  std::string full(size, '\0');
  const DWORD n = GetFullPathNameA(path.c_str(), size, full.data(), nullptr);
  if (n == 0 || n >= size) {
    return path;
  }
  full.resize(n);
  return full;
}

}  // namespace

void Start() {
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool StdinIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void WriteError(std::string_view utf8) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode) != 0) {
    // The console shows UTF-16 whatever its code page is.
    const std::wstring wide = Widen(utf8, CP_UTF8);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

std::optional<std::string> ReadLine() {
  std::string line;
  for (;;) {
    const int c = std::fgetc(stdin);
    if (c == EOF || InterruptRequested()) {
      return std::nullopt;
    }
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line;
    }
    line += static_cast<char>(c);
  }
}

std::string LocalTimeWithMs() {
  SYSTEMTIME t = {};
  GetLocalTime(&t);
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}

std::string IsoLocalTime() {
  SYSTEMTIME utc = {};
  GetSystemTime(&utc);
  SYSTEMTIME local = {};
  SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
  FILETIME u = {};
  FILETIME l = {};
  SystemTimeToFileTime(&utc, &u);
  SystemTimeToFileTime(&local, &l);
  const auto ticks = [](const FILETIME& t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                  t.dwLowDateTime);
  };
  const long long offset = (ticks(l) - ticks(u)) / 600000000LL;  // minutes
  const long long minutes = offset < 0 ? -offset : offset;
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u%c%02lld:%02lld", local.wYear,
                local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
    return {};
  }
  return Utf8(name);
}

std::optional<std::string> Environment(const char* name) {
  const std::wstring wide = Widen(name, CP_UTF8);
  const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (size == 0) {
    return std::nullopt;
  }
  std::vector<wchar_t> value(size);
  const DWORD n = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
  return Utf8(std::wstring(value.data(), n));
}

std::array<std::uint8_t, 32> Sha256(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, 32> digest = {};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok =
      BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
  ok = ok && BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  ok = ok &&
       BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0));
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), digest.size(), 0));
  if (hash != nullptr) {
    BCryptDestroyHash(hash);
  }
  if (algorithm != nullptr) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  if (!ok) {
    digest.fill(0);
  }
  return digest;
}

std::string UnitTextToUtf8(std::string_view text) { return Utf8(Widen(text, CP_ACP)); }

bool IsDeviceName(const std::string& name, std::string* why) {
  if (ComPortNumber(name.c_str()) == 0) {
    *why = "a port is named COM1 to COM256";
    return false;
  }
  return true;
}

std::unique_ptr<Device> OpenDevice(const std::string& name, LineOpenError* error) {
  return OpenLine<Win32Line>(name, error);
}

PendingFile::~PendingFile() { Drop(); }

bool PendingFile::Create(const std::string& path, std::string* error) {
  Drop();
  path_ = path;
  // A device (NUL, CON) is written directly; only files are replaced.
  HANDLE existing = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing != INVALID_HANDLE_VALUE) {
    if (GetFileType(existing) != FILE_TYPE_DISK) {
      handle_ = reinterpret_cast<std::intptr_t>(existing);
      return true;
    }
    CloseHandle(existing);
  }
  path_ = FullPath(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_ = path_ + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    HANDLE file = CreateFileA(temp_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<std::intptr_t>(file);
      return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      *error = SystemText(code);
      temp_.clear();
      return false;
    }
  }
  *error = "no free name for a temporary file";
  temp_.clear();
  return false;
}

bool PendingFile::Write(const std::string& data, std::string* error) {
  DWORD written = 0;
  if (WriteFile(reinterpret_cast<HANDLE>(handle_), data.data(), static_cast<DWORD>(data.size()),
                &written, nullptr) == 0 ||
      written != data.size()) {
    *error = SystemText(GetLastError());
    Drop();
    return false;
  }
  return true;
}

bool PendingFile::Commit(const std::string& data, std::string* error) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  DWORD written = 0;
  const bool ok =
      WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) != 0 &&
      written == data.size() && FlushFileBuffers(file) != 0;
  const DWORD code = GetLastError();
  CloseHandle(file);
  handle_ = -1;
  if (!ok && !(temp_.empty() && written == data.size())) {
    *error = SystemText(code);
    Drop();
    return false;
  }
  if (temp_.empty()) {
    return true;
  }
  // Replacing keeps the old file's security and attributes.
  const bool replaced =
      GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES
          ? ReplaceFileA(path_.c_str(), temp_.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                         nullptr, nullptr) != 0
          : MoveFileExA(temp_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!replaced) {
    *error = SystemText(GetLastError());
    Drop();
    return false;
  }
  temp_.clear();
  return true;
}

void PendingFile::Drop() {
  if (handle_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
  }
  if (!temp_.empty()) {
    DeleteFileA(temp_.c_str());
    temp_.clear();
  }
}

AppendFile::~AppendFile() {
  if (handle_ != -1) {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
  }
}

bool AppendFile::Open(const std::string& path, std::string* contents, std::string* error) {
  // Others may read it, never write it.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *error = code == ERROR_SHARING_VIOLATION ? "another program is using it" : SystemText(code);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  char chunk[65536];
  DWORD n = 0;
  while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) != 0 && n > 0) {
    contents->append(chunk, n);
  }
  return true;
}

bool AppendFile::Truncate(std::size_t length, std::string* error) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  LARGE_INTEGER at = {};
  at.QuadPart = static_cast<LONGLONG>(length);
  if (SetFilePointerEx(file, at, nullptr, FILE_BEGIN) == 0 || SetEndOfFile(file) == 0) {
    *error = SystemText(GetLastError());
    return false;
  }
  return true;
}

bool AppendFile::Append(const std::string& data, std::string* error) {
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  LARGE_INTEGER none = {};
  DWORD written = 0;
  if (SetFilePointerEx(file, none, nullptr, FILE_END) == 0 ||
      WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) == 0 ||
      written != data.size() || FlushFileBuffers(file) == 0) {
    *error = SystemText(GetLastError());
    return false;
  }
  return true;
}

}  // namespace platform
