#include <fcntl.h>
#include <nettle/sha2.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cli/platform.h"
#include "serial/interrupt.h"
#include "serial/line_posix.h"

namespace platform {

namespace {

void OnInterrupt(int /*signal*/) { RequestInterrupt(); }

bool WriteAll(int fd, const std::string& data, std::string* error) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      *error = std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void Start() {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  // No SA_RESTART: a read at the prompt must end when Ctrl-C comes.
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A closed pipe on stdout is reported by the write, not by a signal.
  signal(SIGPIPE, SIG_IGN);
}

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void WriteError(std::string_view utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

std::optional<std::string> ReadLine() {
  std::string line;
  for (;;) {
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR && !InterruptRequested()) {
      continue;
    }
    if (n <= 0) {
      return std::nullopt;
    }
    if (c == '\n') {
      return line;
    }
    line += c;
  }
}

std::string LocalTimeWithMs() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local = {};
  localtime_r(&seconds, &local);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms));
  return text;
}

std::string IsoLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff / 60;
  const long minutes = offset < 0 ? -offset : offset;
  std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    return {};
  }
  return name;
}

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

// Nettle rather than OpenSSL: its far smaller library loads in a fraction
// of the time, and every run of dtucfg pays for the loading.
std::array<std::uint8_t, 32> Sha256(const std::uint8_t* data, std::size_t size) {
  static_assert(SHA256_DIGEST_SIZE == 32);
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, size, data);
  std::array<std::uint8_t, 32> digest;
  sha256_digest(&context, digest.size(), digest.data());
  return digest;
}

std::string UnitTextToUtf8(std::string_view text) { return std::string(text); }

bool IsDeviceName(const std::string& name, std::string* why) {
  if (name.empty()) {
    *why = "an empty port name";
    return false;
  }
  return true;
}

std::unique_ptr<Device> OpenDevice(const std::string& name, LineOpenError* error) {
  return OpenLine<PosixLine>(name, error);
}

PendingFile::~PendingFile() { Drop(); }

bool PendingFile::Create(const std::string& path, std::string* error) {
  Drop();
  // Through a symbolic link to the file it names, so that the link stays.
  char* resolved = realpath(path.c_str(), nullptr);
  path_ = resolved != nullptr ? resolved : path;
  std::free(resolved);
  struct stat existing = {};
  const bool exists = stat(path_.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = std::strerror(errno);
      return false;
    }
    handle_ = fd;
    return true;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_ = path_ + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
    const int fd = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      handle_ = fd;
      // A profile may hold a password: a file kept private stays so.
      if (exists) {
        fchmod(fd, existing.st_mode & 07777);
      }
      return true;
    }
    if (errno != EEXIST) {
      *error = std::strerror(errno);
      temp_.clear();
      return false;
    }
  }
  *error = "no free name for a temporary file";
  temp_.clear();
  return false;
}

bool PendingFile::Write(const std::string& data, std::string* error) {
  if (!WriteAll(static_cast<int>(handle_), data, error)) {
    Drop();
    return false;
  }
  return true;
}

bool PendingFile::Commit(const std::string& data, std::string* error) {
  const int fd = static_cast<int>(handle_);
  if (!WriteAll(fd, data, error)) {
    Drop();
    return false;
  }
  if (temp_.empty()) {
    close(fd);
    handle_ = -1;
    return true;
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    *error = std::strerror(errno);
    handle_ = -1;
    Drop();
    return false;
  }
  handle_ = -1;
  if (rename(temp_.c_str(), path_.c_str()) != 0) {
    *error = std::strerror(errno);
    Drop();
    return false;
  }
  temp_.clear();
  return true;
}

void PendingFile::Drop() {
  if (handle_ >= 0) {
    close(static_cast<int>(handle_));
    handle_ = -1;
  }
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    temp_.clear();
  }
}

AppendFile::~AppendFile() {
  if (handle_ >= 0) {
    close(static_cast<int>(handle_));
  }
}

bool AppendFile::Open(const std::string& path, std::string* contents, std::string* error) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  handle_ = fd;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "another program is using it" : std::strerror(errno);
    return false;
  }
  char chunk[65536];
  ssize_t n = 0;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) {
    contents->append(chunk, static_cast<std::size_t>(n));
  }
  if (n < 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool AppendFile::Truncate(std::size_t length, std::string* error) {
  if (ftruncate(static_cast<int>(handle_), static_cast<off_t>(length)) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool AppendFile::Append(const std::string& data, std::string* error) {
  const int fd = static_cast<int>(handle_);
  if (!WriteAll(fd, data, error)) {
    return false;
  }
  if (fsync(fd) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace platform
