// A simulated unit on a pseudo-terminal, for trying the tool and for its tests.
//
//   dtu_sim_unit [--silent] [--delay-ms N] [--stray HEX] [--short-read] [--no-found]
//                [--record FILE] [--dump FILE] [--log FILE]
//
// Prints the pty's path on the first line of standard output, then answers as
// a unit does: the probe "DEDEDE" with the found frame, the read request with
// the 609-byte configuration reply, a configuration write by storing the
// record and acknowledging, restart and factory reset with an acknowledgement.
// SIGUSR1 writes the record to the --dump file again, SIGUSR2 switches
// --silent on and off, SIGTERM and SIGINT end it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "protocol/config_image.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kProbe = {'D', 'E', 'D', 'E', 'D', 'E'};
const Bytes kReadRequest = {0x7B, 0x94, 0x00, 0x00, 0x7C};
const Bytes kRestart = {0x7B, 0x95, 0x00, 0x00, 0x7C};
const Bytes kFactoryReset = {0x7B, 0x99, 0x00, 0x00, 0x7C};
const Bytes kWritePrefix = {0x7B, 0x91, 0x00};
const Bytes kFound = {0x7B, 0x90, 0x00, 0x00, 0x7C};
const Bytes kAck = {0x7B, 0x92, 0x00, 0x00, 0x7C};
const Bytes kReadHeader = {0x7B, 0x94, 0x00};
const Bytes kReadTrailer = {0x00, 0x00, 0x00, 0x00, 0x00, 0x7C};
constexpr std::size_t kWriteLength = 3 + kConfigImageSize + 1;
// Opening a port is followed by its configuration and a purge, which would
// throw away bytes sent at once.
constexpr auto kStraySettle = std::chrono::milliseconds(200);

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_dumpRequested = 0;
volatile sig_atomic_t g_toggleSilent = 0;

void OnSignal(int signal) {
  if (signal == SIGUSR1) {
    g_dumpRequested = 1;
  } else if (signal == SIGUSR2) {
    g_toggleSilent = 1;
  } else {
    g_stop = 1;
  }
}

struct Options {
  bool silent = false;
  int delayMs = 0;
  Bytes stray;
  bool shortRead = false;
  bool noFound = false;
  std::string recordFile;
  std::string dumpFile;
  std::string logFile;
};

using Record = std::array<std::uint8_t, kConfigImageSize>;

void PutText(Record& r, Field field, const char* text) {
  std::memcpy(r.data() + field.offset, text, std::min(std::strlen(text), field.size - 1));
}

void PutByte(Record& r, Field field, std::uint8_t value) { r[field.offset] = value; }

void PutPackage(Record& r, Field field, const Bytes& data) {
  std::copy(data.begin(), data.end(), r.begin() + static_cast<std::ptrdiff_t>(field.offset));
  r[field.offset + image::kPackageCountIndex] = static_cast<std::uint8_t>(data.size());
}

Record FactoryRecord() {
  using namespace image;
  Record r{};
  PutText(r, kProtocol, "TCP");
  PutText(r, kMasterAddress, "factory.example.com");
  PutText(r, kMasterPort, "6000");
  PutText(r, kHeartbeatTime, "60");
  PutText(r, kReconnectInterval, "60");
  PutText(r, kNoResponseTime, "20");
  PutPackage(r, kRegistrationPackage, {0x20});
  PutPackage(r, kHeartbeatPackage, {0x20});
  PutText(r, kUnitBaud, "115200");
  PutByte(r, kUnitDataBits, '8');
  PutByte(r, kUnitStopBits, 1);
  PutByte(r, kUnitParity, 0);
  PutText(r, kCenterPhone1, "10000000000");
  PutText(r, kStandbyAddress, "standby.example.com");
  PutText(r, kStandbyPort, "9997");
  PutText(r, kPacketLength, "1024");
  PutByte(r, kInput3Alarm, 2);
  PutByte(r, kInput4Alarm, 2);
  PutByte(r, kMinInterval, '2');
  PutByte(r, kReconnectTimes, 20);
  PutByte(r, kDebugInfo, 0);
  PutByte(r, kOutput1, 0);
  PutByte(r, kOutput2, 0);
  PutByte(r, kDataMode, 1);
  PutByte(r, kWorkMode, 0);
  PutText(r, kApn, "cmnet");
  PutText(r, kCenterPhone2, "10000000000");
  return r;
}

bool ParseHex(const char* text, Bytes* out) {
  int high = -1;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == ' ' || *c == ':' || *c == ',') {
      continue;
    }
    const char lower = static_cast<char>(*c | 0x20);
    int digit;
    if (*c >= '0' && *c <= '9') {
      digit = *c - '0';
    } else if (lower >= 'a' && lower <= 'f') {
      digit = lower - 'a' + 10;
    } else {
      return false;
    }
    if (high < 0) {
      high = digit;
    } else {
      out->push_back(static_cast<std::uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0;
}

bool StartsWith(const Bytes& data, const Bytes& prefix) {
  return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

// Whether everything in data could still grow into prefix.
bool CouldBecome(const Bytes& data, const Bytes& prefix) {
  return data.size() < prefix.size() && std::equal(data.begin(), data.end(), prefix.begin());
}

class Unit {
 public:
  explicit Unit(Options options) : options_(std::move(options)), record_(FactoryRecord()) {}

  ~Unit() {
    for (int fd : {master_, slave_, watch_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
    if (log_ != nullptr) {
      std::fclose(log_);
    }
  }

  bool Start() {
    if (!options_.recordFile.empty() && !LoadRecord(options_.recordFile)) {
      return false;
    }
    if (!options_.logFile.empty()) {
      log_ = std::fopen(options_.logFile.c_str(), "a");
      if (log_ == nullptr) {
        std::fprintf(stderr, "%s: %s\n", options_.logFile.c_str(), std::strerror(errno));
        return false;
      }
    }
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      std::perror("posix_openpt");
      return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
      std::perror("ptsname");
      return false;
    }
    path_ = name;
    // Holding the slave open ourselves keeps the master readable while no
    // client has the port open; otherwise it reports EIO between clients.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
      std::perror(path_.c_str());
      return false;
    }
    MakeRaw(master_);
    MakeRaw(slave_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (!options_.stray.empty()) {
      // Watched only after our own open, so the first event is a client's.
      watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (watch_ >= 0 && inotify_add_watch(watch_, path_.c_str(), IN_OPEN) < 0) {
        close(watch_);
        watch_ = -1;
      }
      if (watch_ < 0) {
        Queue(options_.stray, Clock::now());
        options_.stray.clear();
      }
    }
    Dump();
    return true;
  }

  const std::string& Path() const { return path_; }

  int Run() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) {
      sigaddset(&blocked, s);
    }
    sigset_t open;
    sigprocmask(SIG_BLOCK, &blocked, &open);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) {
      sigaction(s, &action, nullptr);
    }
    while (!g_stop) {
      if (g_dumpRequested) {
        g_dumpRequested = 0;
        Dump();
      }
      if (g_toggleSilent) {
        g_toggleSilent = 0;
        options_.silent = !options_.silent;
      }
      MoveDueReplies();
      Flush();

      pollfd fds[2] = {{master_, POLLIN, 0}, {watch_, POLLIN, 0}};
      if (!out_.empty()) {
        fds[0].events |= POLLOUT;
      }
      const nfds_t count = watch_ >= 0 ? 2 : 1;
      timespec timeout = {1, 0};
      timespec* wait = nullptr;
      if (!scheduled_.empty() || strayDue_) {
        wait = &timeout;
        auto next = scheduled_.empty() ? *strayDue_ : scheduled_.front().due;
        if (strayDue_) {
          next = std::min(next, *strayDue_);
        }
        const auto left = std::max(Clock::duration::zero(), next - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
        timeout.tv_nsec = static_cast<long>(ns % 1000000000);
      }
      const int ready = ppoll(fds, count, wait, &open);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        std::perror("ppoll");
        return 1;
      }
      if (count == 2 && (fds[1].revents & POLLIN) != 0) {
        OnClientOpen();
      }
      if ((fds[0].revents & POLLIN) != 0) {
        Receive();
      }
    }
    return 0;
  }

 private:
  struct Scheduled {
    Clock::time_point due;
    Bytes data;
  };

  static void MakeRaw(int fd) {
    termios attrs = {};
    if (tcgetattr(fd, &attrs) == 0) {
      cfmakeraw(&attrs);
      tcsetattr(fd, TCSANOW, &attrs);
    }
  }

  bool LoadRecord(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && !in.good()) {
      std::fprintf(stderr, "%s: cannot read\n", file.c_str());
      return false;
    }
    if (data.size() != kConfigImageSize) {
      std::fprintf(stderr, "%s: need %zu bytes, found %zu\n", file.c_str(), kConfigImageSize,
                   data.size());
      return false;
    }
    std::copy(data.begin(), data.end(), record_.begin());
    return true;
  }

  // Written beside the target and renamed, so a reader never sees half a record.
  void Dump() {
    if (options_.dumpFile.empty()) {
      return;
    }
    const std::string temp = options_.dumpFile + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
      std::perror(temp.c_str());
      return;
    }
    const bool ok = std::fwrite(record_.data(), 1, record_.size(), f) == record_.size();
    if (std::fclose(f) != 0 || !ok || std::rename(temp.c_str(), options_.dumpFile.c_str()) != 0) {
      std::perror(options_.dumpFile.c_str());
    }
  }

  void Note(const char* what, const std::uint8_t* data, std::size_t size) {
    if (log_ == nullptr) {
      return;
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    std::fprintf(log_, "%lld.%03lld %s", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), what);
    for (std::size_t i = 0; i < size; ++i) {
      std::fprintf(log_, " %02x", data[i]);
    }
    std::fputc('\n', log_);
    std::fflush(log_);
  }

  void Queue(const Bytes& data, Clock::time_point due) { scheduled_.push_back({due, data}); }

  void Reply(const Bytes& data) {
    if (!options_.silent) {
      Queue(data, Clock::now() + std::chrono::milliseconds(options_.delayMs));
    }
  }

  void OnClientOpen() {
    char events[4096];
    while (read(watch_, events, sizeof events) > 0) {
    }
    close(watch_);
    watch_ = -1;
    strayDue_ = Clock::now() + kStraySettle;
  }

  void MoveDueReplies() {
    const auto now = Clock::now();
    if (strayDue_ && *strayDue_ <= now) {
      strayDue_.reset();
      Queue(options_.stray, now);
    }
    while (!scheduled_.empty() && scheduled_.front().due <= now) {
      const Bytes& data = scheduled_.front().data;
      Note("out", data.data(), data.size());
      out_.insert(out_.end(), data.begin(), data.end());
      scheduled_.pop_front();
    }
  }

  void Flush() {
    while (!out_.empty()) {
      const ssize_t n = write(master_, out_.data(), out_.size());
      if (n <= 0) {
        return;  // the line is full; poll says when it drains
      }
      out_.erase(out_.begin(), out_.begin() + n);
    }
  }

  void Receive() {
    std::uint8_t buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) {
      return;
    }
    Note("in", buffer, static_cast<std::size_t>(n));
    pending_.insert(pending_.end(), buffer, buffer + n);
    Handle();
  }

  // Takes every whole request off the front of what has arrived; a byte that
  // starts no request is noise and dropped.
  void Handle() {
    static const Bytes* const kRequests[] = {&kProbe, &kReadRequest, &kRestart, &kFactoryReset};
    while (!pending_.empty()) {
      if (StartsWith(pending_, kWritePrefix)) {
        if (pending_.size() < kWriteLength) {
          return;
        }
        if (pending_[kWriteLength - 1] == 0x7C) {
          std::copy(pending_.begin() + 3, pending_.begin() + 3 + kConfigImageSize, record_.begin());
          Dump();
          Reply(kAck);
          Drop(kWriteLength);
        } else {
          Drop(1);
        }
        continue;
      }
      const Bytes* matched = nullptr;
      bool partial = CouldBecome(pending_, kWritePrefix);
      for (const Bytes* request : kRequests) {
        if (StartsWith(pending_, *request)) {
          matched = request;
          break;
        }
        partial = partial || CouldBecome(pending_, *request);
      }
      if (matched != nullptr) {
        Drop(matched->size());
        Answer(*matched);
      } else if (partial) {
        return;  // the rest may still come
      } else {
        Drop(1);
      }
    }
  }

  void Drop(std::size_t n) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  }

  void Answer(const Bytes& request) {
    if (&request == &kProbe) {
      if (!options_.noFound) {
        Reply(kFound);
      }
    } else if (&request == &kReadRequest) {
      Bytes reply = kReadHeader;
      reply.insert(reply.end(), record_.begin(), record_.end());
      reply.insert(reply.end(), kReadTrailer.begin(), kReadTrailer.end());
      if (options_.shortRead) {
        reply.pop_back();
      }
      Reply(reply);
    } else if (&request == &kRestart) {
      Reply(kAck);
    } else if (&request == &kFactoryReset) {
      record_ = FactoryRecord();
      Dump();
      Reply(kAck);
    }
  }

  Options options_;
  Record record_;
  std::string path_;
  int master_ = -1;
  int slave_ = -1;
  int watch_ = -1;
  FILE* log_ = nullptr;
  Bytes pending_;
  Bytes out_;
  std::deque<Scheduled> scheduled_;
  std::optional<Clock::time_point> strayDue_;
};

void Usage() {
  std::fprintf(stderr,
               "usage: dtu_sim_unit [--silent] [--delay-ms N] [--stray HEX] [--short-read]\n"
               "                    [--no-found] [--record FILE] [--dump FILE] [--log FILE]\n"
               "  --silent       answer nothing (SIGUSR2 switches this on and off)\n"
               "  --delay-ms N   wait N ms before each reply\n"
               "  --stray HEX    send these bytes once, shortly after the first client opens\n"
               "  --short-read   answer a read with 608 bytes instead of 609\n"
               "  --no-found     ignore the probe\n"
               "  --record FILE  start from this 600-byte record\n"
               "  --dump FILE    keep the current record in FILE (again on SIGUSR1)\n"
               "  --log FILE     append every byte sequence in and out, with time, as hex\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--silent") {
      options->silent = true;
    } else if (arg == "--short-read") {
      options->shortRead = true;
    } else if (arg == "--no-found") {
      options->noFound = true;
    } else if (arg == "--delay-ms" && hasValue) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 0 || value > 600000) {
        return false;
      }
      options->delayMs = static_cast<int>(value);
    } else if (arg == "--stray" && hasValue) {
      if (!ParseHex(argv[++i], &options->stray)) {
        return false;
      }
    } else if (arg == "--record" && hasValue) {
      options->recordFile = argv[++i];
    } else if (arg == "--dump" && hasValue) {
      options->dumpFile = argv[++i];
    } else if (arg == "--log" && hasValue) {
      options->logFile = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 2;
  }
  Unit unit(std::move(options));
  if (!unit.Start()) {
    return 1;
  }
  std::printf("%s\n", unit.Path().c_str());
  std::fflush(stdout);
  return unit.Run();
}
