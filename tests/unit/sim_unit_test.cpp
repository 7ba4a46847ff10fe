// The unit model, the in-process line over it on virtual time, and the
// program that serves the model on a pty.
#include "protocol/sim_unit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "form/form_lists.h"
#include "protocol/transfer.h"
#include "serial/interrupt.h"
#include "protocol/sim_link.h"
#include "support/fake_seams.h"
#include "support/memory_form.h"
#include "support/sim_process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kProbe = {'D', 'E', 'D', 'E', 'D', 'E'};
const Bytes kFound = {0x7B, 0x90, 0x00, 0x00, 0x7C};
const Bytes kAck = {0x7B, 0x92, 0x00, 0x00, 0x7C};
const Bytes kReadRequest = {0x7B, 0x94, 0x00, 0x00, 0x7C};
const Bytes kRestart = {0x7B, 0x95, 0x00, 0x00, 0x7C};
const Bytes kFactoryReset = {0x7B, 0x99, 0x00, 0x00, 0x7C};
const Bytes kWritePrefix = {0x7B, 0x91, 0x00};

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Times(int n, const Bytes& b) { return n == 0 ? Bytes{} : b + Times(n - 1, b); }

Bytes Of(const ConfigImage& image) { return Bytes(image.bytes.begin(), image.bytes.end()); }

Bytes Factory() {
  ConfigImage image;
  SimUnit::FactoryRecord(image);
  return Of(image);
}

Bytes ReadReply(const Bytes& record) {
  return Bytes{0x7B, 0x94, 0x00} + record + Bytes{0, 0, 0, 0, 0, 0x7C};
}

// A record unlike the defaults in every slot.
Bytes PatternRecord() {
  Bytes record(kConfigImageSize);
  std::iota(record.begin(), record.end(), std::uint8_t{3});
  return record;
}

Bytes WriteFrame(const Bytes& record) { return kWritePrefix + record + Bytes{0x7C}; }

// The unit's clock counts microseconds.
constexpr std::uint64_t kMs = 1000;

Bytes TakeAll(SimUnit& unit, std::uint64_t nowUs) {
  Bytes got(SimUnit::kOutputRoom);
  got.resize(unit.TakeDue(got.data(), got.size(), nowUs));
  return got;
}

// Hands in bytes at nowUs and returns what is due by then.
Bytes Exchange(SimUnit& unit, const Bytes& in, std::uint64_t nowUs = 0) {
  unit.Receive(in.data(), in.size(), nowUs);
  return TakeAll(unit, nowUs);
}

TEST(SimUnit, AnswersEveryRequestAndKeepsAWrittenRecordUntilFactoryReset) {
  SimUnit unit;
  EXPECT_EQ(Exchange(unit, kProbe), kFound);
  EXPECT_EQ(Exchange(unit, kReadRequest), ReadReply(Factory()));
  const Bytes record = PatternRecord();
  EXPECT_EQ(Exchange(unit, WriteFrame(record)), kAck);
  EXPECT_EQ(unit.RecordVersion(), 1u);
  EXPECT_EQ(Exchange(unit, kRestart + kReadRequest), kAck + ReadReply(record));
  EXPECT_EQ(unit.RecordVersion(), 1u);
  EXPECT_EQ(Exchange(unit, kFactoryReset + kReadRequest), kAck + ReadReply(Factory()));
  EXPECT_EQ(unit.RecordVersion(), 2u);
  EXPECT_EQ(unit.NextDueUs(), SimUnit::kNever);
}

TEST(SimUnit, FactoryRecordSurvivesTheFormUnchanged) {
  // Read into the form and set again, the defaults come back byte for byte:
  // nothing in them that Set would refuse or change.
  ConfigImage image;
  SimUnit::FactoryRecord(image);
  MemoryForm form;
  FakeBoxes boxes;
  SetUpForm(form);
  DecodeImage(image, form);
  ConfigImage again{};
  ASSERT_TRUE(EncodeForm(form, boxes, again));
  EXPECT_EQ(Of(again), Factory());
}

TEST(SimUnit, FramesSplitAcrossCallsAreAnsweredOnlyWhenWhole) {
  SimUnit unit;
  EXPECT_EQ(Exchange(unit, {'D', 'E', 'D'}), Bytes{});
  EXPECT_EQ(Exchange(unit, {'E', 'D', 'E'}), kFound);
  EXPECT_EQ(Exchange(unit, {0x7B}), Bytes{});
  EXPECT_EQ(Exchange(unit, {0x94, 0x00, 0x00}), Bytes{});
  EXPECT_EQ(Exchange(unit, {0x7C}), ReadReply(Factory()));

  // A configuration write as the tools send it: prefix, record (here in two), end.
  const Bytes record = PatternRecord();
  EXPECT_EQ(Exchange(unit, kWritePrefix), Bytes{});
  EXPECT_EQ(Exchange(unit, Bytes(record.begin(), record.begin() + 250)), Bytes{});
  EXPECT_EQ(Exchange(unit, Bytes(record.begin() + 250, record.end())), Bytes{});
  EXPECT_EQ(Of(unit.Record()), Factory());
  EXPECT_EQ(Exchange(unit, {0x7C}), kAck);
  EXPECT_EQ(Of(unit.Record()), record);
}

TEST(SimUnit, GarbageAndBrokenWritesAreSkipped) {
  SimUnit unit;
  // A write whose closing byte is wrong is noise, byte by byte: requests
  // inside it and after it are heard.
  const Bytes broken = kWritePrefix + kProbe + Bytes(594, 'Q') + Bytes{0x7D};
  EXPECT_EQ(Exchange(unit, broken + kProbe), kFound + kFound);
  EXPECT_EQ(Of(unit.Record()), Factory());
  EXPECT_EQ(unit.RecordVersion(), 0u);
  // Bytes that begin a request and then break off must not swallow the next one.
  EXPECT_EQ(
      Exchange(unit, Bytes{0x00, 0xFF, 'D', 'E', 'X', 0x7B, 0x7B, 0x94, 0x00, 0x7C, 0x7B, 0x91} +
                         kProbe + Bytes{'D', 0x7B, 0x99, 0x01} + kRestart),
      kFound + kAck);
  // More noise than the unit holds at once, then a write, all in one call.
  const Bytes record = PatternRecord();
  EXPECT_EQ(Exchange(unit, Bytes(3000, 'Q') + WriteFrame(record) + Bytes{0x12} + kProbe),
            kAck + kFound);
  EXPECT_EQ(Of(unit.Record()), record);
}

TEST(SimUnit, Misbehaviours) {
  SimUnit silent(SimUnitOptions{true, 0, false, false, false});
  EXPECT_EQ(Exchange(silent, kProbe + kReadRequest + kRestart + WriteFrame(PatternRecord())),
            Bytes{});
  EXPECT_EQ(silent.NextDueUs(), SimUnit::kNever);
  EXPECT_EQ(Of(silent.Record()), PatternRecord());  // it lost its voice, not its memory
  EXPECT_EQ(silent.RecordVersion(), 1u);
  silent.Options().silent = false;
  EXPECT_EQ(Exchange(silent, kProbe), kFound);

  SimUnit odd(SimUnitOptions{false, 0, true, true, false});
  EXPECT_EQ(Exchange(odd, kProbe + kRestart), kAck);
  const Bytes reply = ReadReply(Factory());
  EXPECT_EQ(Exchange(odd, kReadRequest), Bytes(reply.begin(), reply.end() - 1));

  SimUnitOptions deaf;
  deaf.searchOnly = true;
  SimUnit searchOnly(deaf);
  EXPECT_EQ(Exchange(searchOnly, kReadRequest + WriteFrame(PatternRecord()) + kRestart + kProbe),
            kFound);
  EXPECT_EQ(searchOnly.RecordVersion(), 0u);
}

TEST(SimUnit, AnswersFallDueAfterTheDelayInOrder) {
  SimUnit unit(SimUnitOptions{false, 300, false, false, false});
  unit.Receive(kProbe.data(), kProbe.size(), 100 * kMs);
  const std::uint8_t stray[] = {0x41, 0x42};
  unit.Send(stray, sizeof stray, 250 * kMs);
  unit.Receive(kRestart.data(), kRestart.size(), 200 * kMs);
  EXPECT_EQ(unit.NextDueUs(), 400 * kMs);
  EXPECT_EQ(TakeAll(unit, 400 * kMs - 1), Bytes{});
  // Taken in pieces, the bytes keep their order; the stray ones waited their turn.
  std::uint8_t first[2];
  ASSERT_EQ(unit.TakeDue(first, sizeof first, 400 * kMs), 2u);
  EXPECT_EQ(Bytes(first, first + 2) + TakeAll(unit, 400 * kMs), (kFound + Bytes{0x41, 0x42}));
  EXPECT_EQ(unit.NextDueUs(), 500 * kMs);
  EXPECT_EQ(TakeAll(unit, 500 * kMs), kAck);
}

TEST(SimUnit, PacedBytesMoveAtTheLineRateAndAnswersWaitForTheLastByteIn) {
  SimUnitOptions options;
  options.paced = true;
  options.delayMs = 5;
  SimUnit unit(options);
  // A byte takes 86.806 us at 115200 8N1. The probe is in after six of them,
  // the found frame leaves 5 ms later, and its bytes come one at a time.
  unit.Receive(kProbe.data(), kProbe.size(), 0);
  EXPECT_EQ(unit.NextDueUs(), 5608u);  // 6 + 1 bytes and 5 ms
  EXPECT_EQ(TakeAll(unit, 5607), Bytes{});
  EXPECT_EQ(TakeAll(unit, 5608), Bytes{0x7B});
  EXPECT_EQ(TakeAll(unit, 5900), (Bytes{0x90, 0x00, 0x00}));
  EXPECT_EQ(TakeAll(unit, 5955), Bytes{0x7C});
  // A write handed over at once is in only after 604 bytes' time.
  const Bytes record = PatternRecord();
  const Bytes write = WriteFrame(record);
  unit.Receive(write.data(), write.size(), 10 * kMs);
  EXPECT_EQ(unit.NextDueUs(), 67518u);  // 10 ms, 604 + 1 bytes and 5 ms
  EXPECT_EQ(TakeAll(unit, 67517), Bytes{});
  EXPECT_EQ(TakeAll(unit, 67865), kAck);
  // The reply to a read is whole 609 bytes after it began.
  unit.Receive(kReadRequest.data(), kReadRequest.size(), 70 * kMs);
  const Bytes most = TakeAll(unit, 128298);  // 70 ms, 5 + 609 bytes and 5 ms
  EXPECT_EQ(most + TakeAll(unit, 128299), ReadReply(record));
  EXPECT_EQ(most.size(), 608u);
}

TEST(SimUnit, FullQueueDropsTheNewestAnswer) {
  SimUnit unit;
  // Offsets the ring, so that later answers wrap around its end.
  EXPECT_EQ(Exchange(unit, kProbe), kFound);
  const Bytes reply = ReadReply(Factory());
  EXPECT_EQ(Exchange(unit, Times(10, kReadRequest)), Times(6, reply));
  EXPECT_EQ(Exchange(unit, Times(2, kReadRequest)), Times(2, reply));
  // Many short answers run out of places before they run out of bytes.
  EXPECT_EQ(Exchange(unit, Times(300, kProbe)), Times(256, kFound));
  EXPECT_EQ(Exchange(unit, kRestart), kAck);
}

TEST(SimUnit, VanishesWhenAWriteBegins) {
  SimUnit unit(SimUnitOptions{false, 50, false, false, true});
  unit.Receive(kProbe.data(), kProbe.size(), 0);
  EXPECT_EQ(Exchange(unit, kWritePrefix, 10 * kMs), Bytes{});
  EXPECT_TRUE(unit.Unplugged());
  // The answer it owed is lost with it, and it hears nothing more.
  EXPECT_EQ(Exchange(unit, PatternRecord() + Bytes{0x7C} + kProbe, 1000 * kMs), Bytes{});
  EXPECT_EQ(unit.NextDueUs(), SimUnit::kNever);
  EXPECT_EQ(Of(unit.Record()), Factory());
  EXPECT_EQ(unit.RecordVersion(), 0u);
}

Link::Result ReadInto(SimLink& link, Bytes* got, unsigned timeoutMs, std::size_t max = 1024) {
  got->assign(max, 0);
  std::size_t received = 99;
  const Link::Result result = link.Read(got->data(), max, timeoutMs, &received);
  got->resize(received);
  return result;
}

TEST(SimLink, WaitingMovesTheVirtualClock) {
  SimUnit unit(SimUnitOptions{false, 500, false, false, false});
  SimLink link(unit);
  Bytes got;
  ASSERT_EQ(link.Write(kProbe.data(), kProbe.size()), Link::Result::Ok);
  EXPECT_EQ(ReadInto(link, &got, 1000), Link::Result::Ok);
  EXPECT_EQ(got, kFound);
  EXPECT_EQ(link.NowMs(), 500u);
  EXPECT_EQ(ReadInto(link, &got, 200), Link::Result::Timeout);
  EXPECT_EQ(got, Bytes{});
  EXPECT_EQ(link.NowMs(), 700u);

  ASSERT_EQ(link.Write(kReadRequest.data(), kReadRequest.size()), Link::Result::Ok);
  EXPECT_EQ(ReadInto(link, &got, 499), Link::Result::Timeout);
  EXPECT_EQ(ReadInto(link, &got, 1), Link::Result::Ok);
  EXPECT_EQ(got, ReadReply(Factory()));
  EXPECT_EQ(link.NowMs(), 1200u);

  // Purge drops what is due, not what is still to come.
  const std::uint8_t early[] = {0x01, 0x02};
  const std::uint8_t late[] = {0x03};
  unit.Send(early, sizeof early, 1200 * kMs);
  unit.Send(late, sizeof late, 1250 * kMs);
  link.Purge();
  EXPECT_EQ(ReadInto(link, &got, 100), Link::Result::Ok);
  EXPECT_EQ(got, Bytes{0x03});
}

TEST(SimLink, InterruptedOnRequestAndLostOnceTheUnitVanishes) {
  SimUnit unit(SimUnitOptions{false, 0, false, false, true});
  SimLink link(unit);
  Bytes got;
  RequestInterrupt();
  EXPECT_EQ(ReadInto(link, &got, 100), Link::Result::Interrupted);
  ClearInterrupt();
  EXPECT_EQ(got, Bytes{});
  EXPECT_EQ(link.NowMs(), 0u);

  ASSERT_EQ(link.Write(kProbe.data(), kProbe.size()), Link::Result::Ok);
  EXPECT_EQ(link.Write(kWritePrefix.data(), kWritePrefix.size()), Link::Result::Lost);
  EXPECT_EQ(ReadInto(link, &got, 100), Link::Result::Lost);
  EXPECT_EQ(link.Write(kProbe.data(), kProbe.size()), Link::Result::Lost);
}

// Long enough for a reply that is coming, short enough to keep the tests quick.
constexpr int kReplyWaitMs = 3000;
constexpr int kQuietMs = 150;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// The program as a child process, its pty opened as a client would.
class PtyUnit {
 public:
  explicit PtyUnit(std::vector<std::string> args) : process_(DTU_SIM_UNIT, std::move(args)) {}

  ~PtyUnit() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }

  const std::string& Path() const { return process_.Path(); }

  // The program made the line raw already; a client need not.
  bool Attach() {
    fd_ = open(Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd_ >= 0;
  }

  void Send(const Bytes& data) {
    ASSERT_EQ(write(fd_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

  // What arrives until count bytes are in or the line stays quiet for ms.
  Bytes Receive(std::size_t count, int ms = kReplyWaitMs) {
    Bytes got;
    pollfd p = {fd_, POLLIN, 0};
    std::uint8_t buffer[1024];
    ssize_t n = 0;
    while (got.size() < count && poll(&p, 1, ms) > 0 && (n = read(fd_, buffer, 1024)) > 0) {
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  // Whether the line went away (as a pulled adapter does) within the wait:
  // it hangs up and refuses what is written.
  bool Vanished() {
    pollfd p = {fd_, POLLIN, 0};
    return poll(&p, 1, kReplyWaitMs) == 1 && (p.revents & POLLHUP) != 0 && write(fd_, "D", 1) < 0 &&
           errno == EIO;
  }

  void Signal(int signal) { process_.Signal(signal); }

  // The exit status, or -1 if it did not end within the wait.
  int WaitExit() { return process_.WaitExit(kReplyWaitMs); }

 private:
  SimProcess process_;
  int fd_ = -1;
};

TEST(SimUnitPty, ServesAGivenRecordKeepsItsDumpAndLogs) {
  const std::string base = testing::TempDir() + "sim_unit_" + std::to_string(getpid());
  const std::string record = base + "_record.bin", dump = base + "_dump.bin", log = base + ".log";
  const Bytes first(kConfigImageSize, 0x31);
  const Bytes second(kConfigImageSize, 0x32);
  WriteFile(record, first);
  PtyUnit unit({"--record", record, "--dump", dump, "--log", log});
  ASSERT_EQ(unit.Path().rfind("/dev/pts/", 0), 0u) << unit.Path();
  ASSERT_TRUE(unit.Attach());
  EXPECT_EQ(ReadFile(dump), first);
  unit.Send(kReadRequest);
  EXPECT_EQ(unit.Receive(609), ReadReply(first));
  unit.Send(WriteFrame(second));
  EXPECT_EQ(unit.Receive(kAck.size()), kAck);
  EXPECT_EQ(ReadFile(dump), second);

  std::remove(dump.c_str());
  unit.Signal(SIGUSR1);
  for (int i = 0; i < kReplyWaitMs / 10 && ReadFile(dump).empty(); ++i) {
    usleep(10000);
  }
  EXPECT_EQ(ReadFile(dump), second);
  const Bytes text = ReadFile(log);
  const std::string lines(text.begin(), text.end());
  EXPECT_NE(lines.find(" in 7b 94 00 00 7c\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find(" out 7b 92 00 00 7c\n"), std::string::npos) << lines;
  unit.Signal(SIGTERM);
  EXPECT_EQ(unit.WaitExit(), 0);

  WriteFile(record, Bytes(kConfigImageSize - 1));
  PtyUnit refused({"--record", record});
  EXPECT_EQ(refused.Path(), "");
  EXPECT_NE(refused.WaitExit(), 0);
  for (const std::string& file : {record, dump, log}) {
    std::remove(file.c_str());
  }
}

TEST(SimUnitPty, StrayBytesOnOpenAndSilenceSwitchedBySignal) {
  PtyUnit unit({"--silent", "--stray", "41 7B:92"});
  ASSERT_TRUE(unit.Attach());
  EXPECT_EQ(unit.Receive(3), (Bytes{0x41, 0x7B, 0x92}));
  unit.Send(kProbe);
  EXPECT_EQ(unit.Receive(1, kQuietMs), Bytes{});
  unit.Signal(SIGUSR2);
  Bytes answer;
  for (int i = 0; i < kReplyWaitMs / kQuietMs && answer.empty(); ++i) {
    unit.Send(kProbe);
    answer = unit.Receive(kFound.size(), kQuietMs);
  }
  EXPECT_EQ(answer, kFound);
}

TEST(SimUnitPty, LineVanishesWhenAWriteBegins) {
  PtyUnit unit({"--unplug-on-write"});
  ASSERT_TRUE(unit.Attach());
  unit.Send(kProbe);
  EXPECT_EQ(unit.Receive(kFound.size()), kFound);
  unit.Send(kWritePrefix);
  EXPECT_TRUE(unit.Vanished());
  EXPECT_EQ(unit.WaitExit(), 0);
  EXPECT_NE(access(unit.Path().c_str(), F_OK), 0);
}

}  // namespace
