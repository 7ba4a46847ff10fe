#include "serial/line_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial/interrupt.h"
#include "serial/sliced_wait.h"

namespace {

// Short enough that Ctrl-C, which may reach another thread, ends a wait at once.
constexpr unsigned kSliceMs = 50;
// The form's write time-outs: 1 s, and 20 ms for every byte.
constexpr std::uint64_t kWriteBaseMs = 1000;
constexpr std::uint64_t kWritePerByteMs = 20;

void Fail(LineOpenError* error, LineOpenError::Kind kind, int code) {
  if (error != nullptr) {
    error->kind = kind;
    std::snprintf(error->detail, sizeof error->detail, "%s", std::strerror(code));
  }
}

LineOpenError::Kind KindOfOpenError(int code) {
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return LineOpenError::Kind::Missing;
    case EBUSY:
    case EWOULDBLOCK:
      return LineOpenError::Kind::Busy;
    case EACCES:
    case EPERM:
      return LineOpenError::Kind::Permission;
    case EISDIR:
      return LineOpenError::Kind::NotSerial;
    default:
      return LineOpenError::Kind::Other;
  }
}

bool HungUp(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

}  // namespace

bool PosixLine::Open(const char* path, LineOpenError* error) {
  Close();
  if (error != nullptr) {
    *error = LineOpenError{};
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail(error, KindOfOpenError(errno), errno);
    return false;
  }
  termios attrs = {};
  if (tcgetattr(fd, &attrs) != 0) {
    const int code = errno;
    close(fd);
    Fail(error,
         code == ENOTTY || code == EINVAL ? LineOpenError::Kind::NotSerial
                                          : LineOpenError::Kind::Other,
         code);
    return false;
  }
  // TIOCEXCL does not stop root; the lock does, and it sits on the device
  // itself, so every name of it is held.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    close(fd);
    Fail(error, KindOfOpenError(code), code);
    return false;
  }
  cfmakeraw(&attrs);
  attrs.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  attrs.c_cflag |= CS8 | CLOCAL | CREAD;
  attrs.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  attrs.c_cc[VMIN] = 0;
  attrs.c_cc[VTIME] = 0;
  termios applied = {};
  // tcsetattr succeeds when any one setting took, so the result is read back.
  if (ioctl(fd, TIOCEXCL) != 0 || cfsetispeed(&attrs, B115200) != 0 ||
      cfsetospeed(&attrs, B115200) != 0 || tcsetattr(fd, TCSANOW, &attrs) != 0 ||
      tcgetattr(fd, &applied) != 0 || tcflush(fd, TCIOFLUSH) != 0) {
    const int code = errno;
    ioctl(fd, TIOCNXCL);
    close(fd);
    Fail(error, KindOfOpenError(code), code);
    return false;
  }
  if (cfgetospeed(&applied) != B115200 || (applied.c_cflag & (CSIZE | PARENB)) != CS8) {
    ioctl(fd, TIOCNXCL);
    close(fd);
    Fail(error, LineOpenError::Kind::Other, EINVAL);
    return false;
  }
  fd_ = fd;
  return true;
}

void PosixLine::Close() {
  if (fd_ < 0) {
    return;
  }
  // On a pty whose other end stays open, exclusivity would outlive us.
  ioctl(fd_, TIOCNXCL);
  flock(fd_, LOCK_UN);
  close(fd_);
  fd_ = -1;
}

Link::Result PosixLine::Write(const std::uint8_t* data, std::size_t length) {
  if (fd_ < 0) {
    return Result::Lost;
  }
  // The user's interrupt is not looked at: a frame is never left half-sent.
  std::size_t sent = 0;
  std::uint64_t deadline = NowMs() + kWriteBaseMs + kWritePerByteMs * length;
  while (sent < length) {
    const ssize_t n = write(fd_, data + sent, length - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      deadline = NowMs() + kWriteBaseMs + kWritePerByteMs * (length - sent);
      continue;
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return Result::Lost;  // EIO, ENXIO: unplugged or hung up
    }
    const std::uint64_t now = NowMs();
    if (now >= deadline) {
      return Result::Lost;
    }
    pollfd fds = {fd_, POLLOUT, 0};
    const int ready =
        poll(&fds, 1, static_cast<int>(std::min<std::uint64_t>(deadline - now, 1000)));
    if (ready < 0 && errno != EINTR) {
      return Result::Lost;
    }
    if (ready > 0 && HungUp(fds.revents)) {
      return Result::Lost;
    }
  }
  return Result::Ok;
}

Link::Result PosixLine::Read(std::uint8_t* buffer, std::size_t maxLength, unsigned timeoutMs,
                             std::size_t* received) {
  *received = 0;
  if (fd_ < 0) {
    return Result::Lost;
  }
  if (maxLength == 0) {
    return Result::Ok;
  }
  return WaitInSlices(*this, timeoutMs, kSliceMs, received, [&](unsigned slice, std::size_t* got) {
    pollfd fds = {fd_, POLLIN, 0};
    const int ready = poll(&fds, 1, static_cast<int>(slice));
    if (ready < 0 && errno != EINTR) {
      return Result::Lost;
    }
    if (ready > 0 && (fds.revents & POLLIN) != 0) {
      // With VMIN and VTIME at 0 an empty tty also reads 0, so only after
      // POLLIN does 0 mean the other end has gone.
      const ssize_t n = read(fd_, buffer, maxLength);
      if (n > 0) {
        *got = static_cast<std::size_t>(n);
        return Result::Ok;
      }
      if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        return Result::Lost;
      }
    } else if (ready > 0 && HungUp(fds.revents)) {
      return Result::Lost;
    }
    return Result::Ok;
  });
}

void PosixLine::Purge() {
  if (fd_ >= 0) {
    tcflush(fd_, TCIFLUSH);
  }
}

std::uint64_t PosixLine::NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}
