// The simulated unit, driven over its pty as the tool drives a real unit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/config_image.h"

extern char** environ;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kProbe = {'D', 'E', 'D', 'E', 'D', 'E'};
const Bytes kFound = {0x7B, 0x90, 0x00, 0x00, 0x7C};
const Bytes kAck = {0x7B, 0x92, 0x00, 0x00, 0x7C};
const Bytes kReadRequest = {0x7B, 0x94, 0x00, 0x00, 0x7C};
const Bytes kRestart = {0x7B, 0x95, 0x00, 0x00, 0x7C};
const Bytes kFactoryReset = {0x7B, 0x99, 0x00, 0x00, 0x7C};
constexpr std::size_t kReplyLength = 609;
// Long enough for a reply that is coming, short enough to keep the tests quick.
constexpr int kReplyWaitMs = 3000;
constexpr int kQuietMs = 150;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Text(const Bytes& record, Field field) {
  const char* start = reinterpret_cast<const char*>(record.data() + field.offset);
  return std::string(start, strnlen(start, field.size));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string TempPath(const char* name) {
  return testing::TempDir() + "sim_unit_" + std::to_string(getpid()) + "_" + name;
}

// A record unlike the defaults in every slot.
Bytes PatternRecord() {
  Bytes record(kConfigImageSize);
  for (std::size_t i = 0; i < record.size(); ++i) {
    record[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return record;
}

Bytes WriteFrame(const Bytes& record) { return Bytes{0x7B, 0x91, 0x00} + record + Bytes{0x7C}; }

class SimUnit {
 public:
  explicit SimUnit(std::vector<std::string> args = {}) {
    args.insert(args.begin(), DTU_SIM_UNIT);
    std::vector<char*> argv;
    for (std::string& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) {
      ADD_FAILURE() << "pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
    if (spawned != 0) {
      pid_ = -1;
      ADD_FAILURE() << "cannot start " << argv[0];
      return;
    }
    path_ = FirstLine();
  }

  ~SimUnit() {
    if (fd_ >= 0) {
      close(fd_);
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) {
      close(stdout_);
    }
  }

  const std::string& Path() const { return path_; }

  bool Attach() {
    fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) {
      return false;
    }
    termios attrs = {};
    tcgetattr(fd_, &attrs);
    cfmakeraw(&attrs);
    return tcsetattr(fd_, TCSANOW, &attrs) == 0;
  }

  void Detach() {
    close(fd_);
    fd_ = -1;
  }

  void Send(const Bytes& data) {
    ASSERT_EQ(write(fd_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

  // Everything that arrives until `count` bytes are in or `ms` have passed.
  Bytes Receive(std::size_t count, int ms = kReplyWaitMs) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        break;
      }
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      std::uint8_t buffer[1024];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
      }
    }
    return got;
  }

  // Nothing may arrive: waits a little and returns whatever did.
  Bytes Stray() { return Receive(1, kQuietMs); }

  Bytes ReadRecord() {
    Send(kReadRequest);
    const Bytes reply = Receive(kReplyLength);
    if (reply.size() != kReplyLength) {
      ADD_FAILURE() << "reply of " << reply.size() << " bytes";
      return {};
    }
    return Bytes(reply.begin() + 3, reply.begin() + 3 + kConfigImageSize);
  }

  void Signal(int signal) { kill(pid_, signal); }

  // The exit status, or -1 if it did not end within the wait.
  int WaitExit() {
    for (int i = 0; i < kReplyWaitMs / 10; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }

 private:
  std::string FirstLine() {
    std::string line;
    for (;;) {
      pollfd p = {stdout_, POLLIN, 0};
      char c = 0;
      if (poll(&p, 1, kReplyWaitMs) <= 0 || read(stdout_, &c, 1) != 1 || c == '\n') {
        return line;
      }
      line += c;
    }
  }

  pid_t pid_ = -1;
  int stdout_ = -1;
  int fd_ = -1;
  std::string path_;
};

TEST(SimUnit, AnswersEveryRequestByteExactly) {
  SimUnit unit;
  ASSERT_EQ(unit.Path().rfind("/dev/pts/", 0), 0u) << unit.Path();
  ASSERT_TRUE(unit.Attach());
  unit.Send(kProbe);
  EXPECT_EQ(unit.Receive(kFound.size()), kFound);
  unit.Send(kRestart);
  EXPECT_EQ(unit.Receive(kAck.size()), kAck);
  unit.Send(kFactoryReset);
  EXPECT_EQ(unit.Receive(kAck.size()), kAck);

  unit.Send(kReadRequest);
  const Bytes reply = unit.Receive(kReplyLength);
  ASSERT_EQ(reply.size(), kReplyLength);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 3), (Bytes{0x7B, 0x94, 0x00}));
  EXPECT_EQ(Bytes(reply.end() - 6, reply.end()), (Bytes{0, 0, 0, 0, 0, 0x7C}));
  EXPECT_EQ(unit.Stray(), Bytes{});
}

TEST(SimUnit, FactoryRecordFollowsTheLayout) {
  SimUnit unit;
  ASSERT_TRUE(unit.Attach());
  const Bytes r = unit.ReadRecord();
  ASSERT_EQ(r.size(), kConfigImageSize);
  using namespace image;
  EXPECT_EQ(Text(r, kProtocol), "TCP");
  EXPECT_NE(Text(r, kMasterAddress).find("example.com"), std::string::npos);
  EXPECT_EQ(Text(r, kMasterPort), "6000");
  EXPECT_EQ(Text(r, kHeartbeatTime), "60");
  EXPECT_EQ(Text(r, kReconnectInterval), "60");
  EXPECT_EQ(Text(r, kNoResponseTime), "20");
  EXPECT_EQ(r[kRegistrationPackage.offset], 0x20);
  EXPECT_EQ(r[LastByte(kRegistrationPackage)], 1);
  EXPECT_EQ(r[LastByte(kHeartbeatPackage)], 1);
  EXPECT_EQ(Text(r, kUnitBaud), "115200");
  EXPECT_EQ(r[kUnitDataBits.offset], '8');
  EXPECT_EQ(r[kUnitStopBits.offset], 1);
  EXPECT_EQ(r[kUnitParity.offset], 0);
  EXPECT_EQ(Text(r, kStandbyPort), "9997");
  EXPECT_EQ(Text(r, kPacketLength), "1024");
  EXPECT_EQ(r[kInput3Alarm.offset], 2);
  EXPECT_EQ(r[kInput4Alarm.offset], 2);
  EXPECT_EQ(r[kMinInterval.offset], '2');
  EXPECT_EQ(r[kReconnectTimes.offset], 20);
  EXPECT_EQ(r[kDataMode.offset], 1);
  EXPECT_EQ(r[kWorkMode.offset], 0);
  EXPECT_EQ(Text(r, kApn), "cmnet");
  // What Set would refuse to send must not be in the defaults either.
  for (Field zero :
       {kZeroAfterParity, kZeroAfterInputs, kZeroAfterDataMode, kZeroAfterWorkMode, kZeroTail}) {
    for (std::size_t i = zero.offset; i <= LastByte(zero); ++i) {
      EXPECT_EQ(r[i], 0) << "byte " << i;
    }
  }
  for (Field text : {kProtocol, kMasterAddress, kMasterPort, kCenterPhone1, kStandbyAddress, kApn,
                     kCenterPhone2, kSmsInput3, kSmsInput4}) {
    EXPECT_EQ(r[LastByte(text)], 0) << "text at " << text.offset;
  }
}

TEST(SimUnit, FramesSplitAcrossReadsAreAnsweredOnlyWhenWhole) {
  SimUnit unit;
  ASSERT_TRUE(unit.Attach());
  unit.Send({'D', 'E', 'D'});
  EXPECT_EQ(unit.Stray(), Bytes{});
  unit.Send({'E', 'D', 'E'});
  EXPECT_EQ(unit.Receive(kFound.size()), kFound);

  unit.Send({0x7B});
  EXPECT_EQ(unit.Stray(), Bytes{});
  unit.Send({0x94, 0x00, 0x00});
  EXPECT_EQ(unit.Stray(), Bytes{});
  unit.Send({0x7C});
  EXPECT_EQ(unit.Receive(kReplyLength).size(), kReplyLength);

  // A configuration write in the tool's three writes, the record itself in two.
  const Bytes record = PatternRecord();
  unit.Send({0x7B, 0x91, 0x00});
  unit.Send(Bytes(record.begin(), record.begin() + 250));
  EXPECT_EQ(unit.Stray(), Bytes{});
  unit.Send(Bytes(record.begin() + 250, record.end()));
  EXPECT_EQ(unit.Stray(), Bytes{});
  unit.Send({0x7C});
  EXPECT_EQ(unit.Receive(kAck.size()), kAck);
  EXPECT_EQ(unit.ReadRecord(), record);
}

TEST(SimUnit, GarbageBetweenFramesIsSkipped) {
  SimUnit unit;
  ASSERT_TRUE(unit.Attach());
  // Bytes that begin a request and then break off must not swallow the next one.
  unit.Send(Bytes{0x00, 0xFF, 'D', 'E', 'X', 0x7B, 0x7B, 0x94, 0x00, 0x7C, 0x7B, 0x91} + kProbe +
            Bytes{'D', 0x7B, 0x99, 0x01} + kRestart);
  EXPECT_EQ(unit.Receive(2 * kAck.size()), kFound + kAck);

  unit.Send(Bytes{'Q', 'Q'} + kReadRequest + Bytes{0x12} + kProbe);
  const Bytes reply = unit.Receive(kReplyLength + kFound.size());
  ASSERT_EQ(reply.size(), kReplyLength + kFound.size());
  EXPECT_EQ(Bytes(reply.end() - 5, reply.end()), kFound);
  EXPECT_EQ(unit.Stray(), Bytes{});
}

TEST(SimUnit, WriteWithoutClosingByteIsNotStored) {
  SimUnit unit;
  ASSERT_TRUE(unit.Attach());
  const Bytes factory = unit.ReadRecord();
  Bytes broken = WriteFrame(PatternRecord());
  broken.back() = 0x7D;
  unit.Send(broken);
  EXPECT_EQ(unit.Stray(), Bytes{});
  EXPECT_EQ(unit.ReadRecord(), factory);
}

TEST(SimUnit, StoresWrittenRecordsUntilFactoryReset) {
  const std::string dump = TempPath("dump.bin");
  std::remove(dump.c_str());
  SimUnit unit({"--dump", dump});
  ASSERT_TRUE(unit.Attach());
  const Bytes factory = unit.ReadRecord();
  EXPECT_EQ(ReadFile(dump), factory);

  const Bytes record = PatternRecord();
  unit.Send(WriteFrame(record));
  EXPECT_EQ(unit.Receive(kAck.size()), kAck);
  EXPECT_EQ(ReadFile(dump), record);
  unit.Send(kRestart);
  EXPECT_EQ(unit.Receive(kAck.size()), kAck);
  EXPECT_EQ(unit.ReadRecord(), record);

  // The record outlives the client: a later open reads the same.
  unit.Detach();
  ASSERT_TRUE(unit.Attach());
  EXPECT_EQ(unit.ReadRecord(), record);

  unit.Send(kFactoryReset);
  EXPECT_EQ(unit.Receive(kAck.size()), kAck);
  EXPECT_EQ(unit.ReadRecord(), factory);
  EXPECT_EQ(ReadFile(dump), factory);

  std::remove(dump.c_str());
  unit.Signal(SIGUSR1);
  Bytes dumped;
  for (int i = 0; i < kReplyWaitMs / 10 && dumped.empty(); ++i) {
    usleep(10000);
    dumped = ReadFile(dump);
  }
  EXPECT_EQ(dumped, factory);

  unit.Signal(SIGTERM);
  EXPECT_EQ(unit.WaitExit(), 0);
  std::remove(dump.c_str());
}

TEST(SimUnit, StartsFromAGivenRecordAndRefusesAWrongSize) {
  const std::string file = TempPath("record.bin");
  const Bytes record = PatternRecord();
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(record.data()),
             static_cast<std::streamsize>(record.size()));
  {
    SimUnit unit({"--record", file});
    ASSERT_TRUE(unit.Attach());
    EXPECT_EQ(unit.ReadRecord(), record);
  }
  std::ofstream(file, std::ios::binary).write("short", 5);
  SimUnit refused({"--record", file});
  EXPECT_EQ(refused.Path(), "");
  EXPECT_NE(refused.WaitExit(), 0);
  std::remove(file.c_str());
}

TEST(SimUnit, MisbehaviourOptions) {
  {
    SimUnit silent({"--silent"});
    ASSERT_TRUE(silent.Attach());
    silent.Send(kProbe + kReadRequest + kRestart);
    EXPECT_EQ(silent.Stray(), Bytes{});
    // SIGUSR2 makes it talk again.
    silent.Signal(SIGUSR2);
    Bytes answer;
    for (int i = 0; i < kReplyWaitMs / kQuietMs && answer.empty(); ++i) {
      silent.Send(kProbe);
      answer = silent.Receive(kFound.size(), kQuietMs);
    }
    EXPECT_EQ(answer, kFound);
  }
  {
    SimUnit unit({"--short-read", "--no-found"});
    ASSERT_TRUE(unit.Attach());
    unit.Send(kProbe);
    EXPECT_EQ(unit.Stray(), Bytes{});
    unit.Send(kReadRequest);
    EXPECT_EQ(unit.Receive(kReplyLength - 1).size(), kReplyLength - 1);
    EXPECT_EQ(unit.Stray(), Bytes{});
  }
  {
    SimUnit slow({"--delay-ms", "30"});
    ASSERT_TRUE(slow.Attach());
    slow.Send(kProbe + kRestart);
    EXPECT_EQ(slow.Receive(2 * kAck.size()), kFound + kAck);
  }
  {
    SimUnit stray({"--stray", "41 7B:92"});
    ASSERT_TRUE(stray.Attach());
    EXPECT_EQ(stray.Receive(3), (Bytes{0x41, 0x7B, 0x92}));
    stray.Send(kProbe);
    EXPECT_EQ(stray.Receive(kFound.size()), kFound);
  }
  SimUnit badHex({"--stray", "7"});
  EXPECT_EQ(badHex.WaitExit(), 2);
}

TEST(SimUnit, LogsWhatArrives) {
  const std::string log = TempPath("log.txt");
  std::remove(log.c_str());
  SimUnit unit({"--log", log});
  ASSERT_TRUE(unit.Attach());
  unit.Send(kProbe);
  EXPECT_EQ(unit.Receive(kFound.size()), kFound);
  const Bytes text = ReadFile(log);
  const std::string lines(text.begin(), text.end());
  EXPECT_NE(lines.find(" in 44 45 44 45 44 45\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find(" out 7b 90 00 00 7c\n"), std::string::npos) << lines;
  std::remove(log.c_str());
}

}  // namespace
