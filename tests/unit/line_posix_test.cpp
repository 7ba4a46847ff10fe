// The termios line on ptys: what reaches the device, exclusivity, waits,
// hang-up and Ctrl-C.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/interrupt.h"
#include "serial/line_posix.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
// A bound on waits that should end long before it, not a measurement.
constexpr unsigned kLongMs = 20000;

class Pty {
 public:
  Pty() {
    int slave = -1;
    char name[64] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << std::strerror(errno);
      return;
    }
    path_ = name;
    // Cooked, slow and with every kind of flow control, so that Open has to
    // undo it all.
    termios attrs = {};
    tcgetattr(slave, &attrs);
    attrs.c_cflag |= CRTSCTS | PARENB | CSTOPB;
    attrs.c_cflag = (attrs.c_cflag & ~CSIZE) | CS7;
    attrs.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
    attrs.c_lflag |= ICANON | ECHO | ISIG;
    attrs.c_oflag |= OPOST | ONLCR;
    cfsetspeed(&attrs, B9600);
    tcsetattr(slave, TCSANOW, &attrs);
    slave_ = slave;
  }
  ~Pty() {
    CloseMaster();
    close(slave_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& Path() const { return path_; }
  // On Linux the master's mode calls act on the slave: tcgetattr on it
  // shows what the line set.
  int Master() const { return master_; }
  // Opened before the line took the device, so it shows the device's state.
  bool Exclusive() const {
    int exclusive = -1;
    EXPECT_EQ(ioctl(slave_, TIOCGEXCL, &exclusive), 0);
    return exclusive != 0;
  }
  void CloseMaster() {
    if (master_ >= 0) {
      close(master_);
      master_ = -1;
    }
  }

  void Send(const Bytes& data) const {
    ASSERT_EQ(write(master_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

  // Everything the line sends, until count bytes or a long quiet.
  Bytes Receive(std::size_t count) const {
    Bytes got;
    while (got.size() < count) {
      pollfd fds = {master_, POLLIN, 0};
      if (poll(&fds, 1, static_cast<int>(kLongMs)) <= 0) {
        break;
      }
      std::uint8_t buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

Bytes EveryByte() {
  Bytes all(256);
  for (std::size_t i = 0; i < all.size(); ++i) {
    all[i] = static_cast<std::uint8_t>(i);
  }
  return all;
}

// Reads until count bytes have come or the line stops giving any.
Bytes ReadAll(PosixLine& line, std::size_t count) {
  Bytes got;
  std::uint8_t buffer[512];
  std::size_t n = 0;
  while (got.size() < count && line.Read(buffer, sizeof buffer, kLongMs, &n) == Link::Result::Ok) {
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

LineOpenError::Kind OpenKind(const std::string& path, LineOpenError* error) {
  PosixLine line;
  EXPECT_FALSE(line.Open(path.c_str(), error)) << path;
  EXPECT_NE(error->detail[0], '\0') << path;
  return error->kind;
}

class PosixLineTest : public testing::Test {
 protected:
  void TearDown() override { ClearInterrupt(); }
};

TEST_F(PosixLineTest, OpensRawAt115200WithoutFlowControlAndPassesEveryByte) {
  Pty pty;
  PosixLine line;
  LineOpenError error;
  ASSERT_TRUE(line.Open(pty.Path().c_str(), &error)) << error.detail;
  EXPECT_EQ(error.kind, LineOpenError::Kind::None);

  termios attrs = {};
  ASSERT_EQ(tcgetattr(pty.Master(), &attrs), 0);
  EXPECT_EQ(cfgetispeed(&attrs), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B115200));
  EXPECT_EQ(attrs.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(attrs.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(attrs.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(attrs.c_oflag & OPOST, 0u);
  EXPECT_EQ(attrs.c_cc[VMIN], 0);
  EXPECT_EQ(attrs.c_cc[VTIME], 0);

  // CR, XON/XOFF, ^C and the rest arrive and leave untouched.
  pty.Send(EveryByte());
  EXPECT_EQ(ReadAll(line, 256), EveryByte());
  EXPECT_EQ(line.Write(EveryByte().data(), 256), Link::Result::Ok);
  EXPECT_EQ(pty.Receive(256), EveryByte());
}

TEST_F(PosixLineTest, HeldExclusivelyUnderEveryNameUntilClosed) {
  Pty pty;
  PosixLine first;
  LineOpenError error;
  ASSERT_TRUE(first.Open(pty.Path().c_str(), &error)) << error.detail;

  const std::string link = testing::TempDir() + "line_posix_" + std::to_string(getpid());
  unlink(link.c_str());
  ASSERT_EQ(symlink(pty.Path().c_str(), link.c_str()), 0);
  EXPECT_EQ(OpenKind(pty.Path(), &error), LineOpenError::Kind::Busy);
  EXPECT_EQ(OpenKind(link, &error), LineOpenError::Kind::Busy);
  EXPECT_TRUE(pty.Exclusive());

  first.Close();
  EXPECT_FALSE(pty.Exclusive());
  PosixLine second;
  EXPECT_TRUE(second.Open(link.c_str(), &error)) << error.detail;
  unlink(link.c_str());
}

TEST_F(PosixLineTest, RefusesWhatIsNoSerialDevice) {
  LineOpenError error;
  EXPECT_EQ(OpenKind("/dev/null", &error), LineOpenError::Kind::NotSerial);

  const std::string file = testing::TempDir() + "line_posix_file_" + std::to_string(getpid());
  std::ofstream(file) << "not a tty";
  EXPECT_EQ(OpenKind(file, &error), LineOpenError::Kind::NotSerial);
  unlink(file.c_str());

  EXPECT_EQ(OpenKind("/dev/no-such-tty-here", &error), LineOpenError::Kind::Missing);
  EXPECT_STREQ(error.detail, std::strerror(ENOENT));
}

TEST_F(PosixLineTest, ReadTimesOutThenTakesWhatArrivesWithoutWaitingForMore) {
  Pty pty;
  PosixLine line;
  ASSERT_TRUE(line.Open(pty.Path().c_str(), nullptr));
  std::uint8_t buffer[64];
  std::size_t n = 99;
  EXPECT_EQ(line.Read(buffer, sizeof buffer, 30, &n), Link::Result::Timeout);
  EXPECT_EQ(n, 0u);

  pty.Send({1, 2, 3});
  ASSERT_EQ(line.Read(buffer, sizeof buffer, kLongMs, &n), Link::Result::Ok);
  EXPECT_EQ(Bytes(buffer, buffer + n), Bytes({1, 2, 3}));

  std::thread later([&pty] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.Send({7});
  });
  EXPECT_EQ(line.Read(buffer, sizeof buffer, kLongMs, &n), Link::Result::Ok);
  later.join();
  EXPECT_EQ(Bytes(buffer, buffer + n), Bytes({7}));

  pty.Send({9, 9});
  line.Purge();
  EXPECT_EQ(line.Read(buffer, sizeof buffer, 30, &n), Link::Result::Timeout);
}

TEST_F(PosixLineTest, HangUpIsLostForReadAndWrite) {
  Pty pty;
  PosixLine line;
  ASSERT_TRUE(line.Open(pty.Path().c_str(), nullptr));
  pty.CloseMaster();
  std::uint8_t buffer[16];
  std::size_t n = 0;
  EXPECT_EQ(line.Read(buffer, sizeof buffer, kLongMs, &n), Link::Result::Lost);
  EXPECT_EQ(line.Write(buffer, sizeof buffer), Link::Result::Lost);
}

TEST_F(PosixLineTest, InterruptEndsAWaitButNotAWrite) {
  Pty pty;
  PosixLine line;
  ASSERT_TRUE(line.Open(pty.Path().c_str(), nullptr));
  std::uint8_t buffer[16];
  std::size_t n = 0;
  std::thread user([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    RequestInterrupt();
  });
  EXPECT_EQ(line.Read(buffer, sizeof buffer, kLongMs, &n), Link::Result::Interrupted);
  user.join();

  // More than the pty holds, so the write has to wait for the reader with
  // the interrupt up all along.
  Bytes big(std::size_t{256} * 1024);
  for (std::size_t i = 0; i < big.size(); ++i) {
    big[i] = static_cast<std::uint8_t>(i * 31);
  }
  Bytes got;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    got = pty.Receive(big.size());
  });
  EXPECT_EQ(line.Write(big.data(), big.size()), Link::Result::Ok);
  reader.join();
  EXPECT_EQ(got, big);

  ClearInterrupt();
  pty.Send({5});
  EXPECT_EQ(line.Read(buffer, sizeof buffer, kLongMs, &n), Link::Result::Ok);
}

}  // namespace
