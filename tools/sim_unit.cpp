// The simulated unit on a pseudo-terminal, for trying the tool and for its tests.
//
//   dtu_sim_unit [--silent] [--delay-ms N] [--stray HEX] [--short-read] [--no-found]
//   [--search-only]
//                [--unplug-on-write] [--record FILE] [--dump FILE] [--log FILE]
//
// Prints the pty's path on the first line of standard output, then answers as
// the unit model in src/protocol/sim_unit.h does, on real time. SIGUSR1 writes
// the record to the --dump file again, SIGUSR2 switches --silent on and off,
// SIGTERM and SIGINT end it. With --unplug-on-write the pty goes away as soon
// as a configuration write begins, and the program ends.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/config_image.h"
#include "protocol/sim_unit.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Opening a port is followed by its configuration and a purge, which would
// throw away bytes sent at once.
constexpr std::uint64_t kStraySettleMs = 200;

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

std::uint64_t NowMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

struct Options {
  SimUnitOptions unit;
  Bytes stray;
  std::string recordFile;
  std::string dumpFile;
  std::string logFile;
};

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
  return high < 0 && out->size() <= SimUnit::kOutputRoom;
}

class PtyUnit {
 public:
  explicit PtyUnit(Options options) : options_(std::move(options)), unit_(options_.unit) {}
  PtyUnit(const PtyUnit&) = delete;
  PtyUnit& operator=(const PtyUnit&) = delete;

  ~PtyUnit() {
    ClosePty();
    if (watch_ >= 0) {
      close(watch_);
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
        unit_.Send(options_.stray.data(), options_.stray.size(), NowMs());
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
        unit_.Options().silent = !unit_.Options().silent;
      }
      MoveDueReplies();
      Flush();

      pollfd fds[2] = {{master_, POLLIN, 0}, {watch_, POLLIN, 0}};
      if (!out_.empty()) {
        fds[0].events |= POLLOUT;
      }
      const nfds_t count = watch_ >= 0 ? 2 : 1;
      timespec timeout = {0, 0};
      const std::uint64_t due = unit_.NextDueMs();
      if (due != SimUnit::kNever) {
        const std::uint64_t now = NowMs();
        const std::uint64_t left = due > now ? due - now : 0;
        timeout.tv_sec = static_cast<time_t>(left / 1000);
        timeout.tv_nsec = static_cast<long>(left % 1000 * 1000000);
      }
      const int ready = ppoll(fds, count, due != SimUnit::kNever ? &timeout : nullptr, &open);
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
        if (unit_.Unplugged()) {
          ClosePty();  // the client sees its device vanish
          return 0;
        }
      }
    }
    return 0;
  }

 private:
  static void MakeRaw(int fd) {
    termios attrs = {};
    if (tcgetattr(fd, &attrs) == 0) {
      cfmakeraw(&attrs);
      tcsetattr(fd, TCSANOW, &attrs);
    }
  }

  void ClosePty() {
    for (int* fd : {&master_, &slave_}) {
      if (*fd >= 0) {
        close(*fd);
        *fd = -1;
      }
    }
  }

  bool LoadRecord(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && !in.good()) {
      std::fprintf(stderr, "%s: cannot read\n", file.c_str());
      return false;
    }
    if (data.size() != kConfigImageSize) {
      std::fprintf(stderr, "%s: need %zu bytes, found %zu\n", file.c_str(), kConfigImageSize,
                   data.size());
      return false;
    }
    ConfigImage record;
    std::copy(data.begin(), data.end(), record.bytes.begin());
    unit_.SetRecord(record);
    return true;
  }

  // Written beside the target and renamed, so a reader never sees half a record.
  void Dump() {
    dumpedVersion_ = unit_.RecordVersion();
    if (options_.dumpFile.empty()) {
      return;
    }
    const std::string temp = options_.dumpFile + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
      std::perror(temp.c_str());
      return;
    }
    const auto& bytes = unit_.Record().bytes;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
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

  void OnClientOpen() {
    char events[4096];
    while (read(watch_, events, sizeof events) > 0) {
    }
    close(watch_);
    watch_ = -1;
    unit_.Send(options_.stray.data(), options_.stray.size(), NowMs() + kStraySettleMs);
  }

  void MoveDueReplies() {
    std::uint8_t buffer[SimUnit::kOutputRoom];
    const std::size_t n = unit_.TakeDue(buffer, sizeof buffer, NowMs());
    if (n > 0) {
      Note("out", buffer, n);
      out_.insert(out_.end(), buffer, buffer + n);
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
    unit_.Receive(buffer, static_cast<std::size_t>(n), NowMs());
    if (unit_.RecordVersion() != dumpedVersion_) {
      Dump();
    }
  }

  Options options_;
  SimUnit unit_;
  unsigned dumpedVersion_ = 0;
  std::string path_;
  int master_ = -1;
  int slave_ = -1;
  int watch_ = -1;
  FILE* log_ = nullptr;
  Bytes out_;
};

void Usage() {
  std::fprintf(
      stderr,
      "usage: dtu_sim_unit [--silent] [--delay-ms N] [--stray HEX] [--short-read]\n"
      "                    [--no-found] [--unplug-on-write] [--search-only] [--record FILE]\n"
      "                    [--dump FILE] [--log FILE]\n"
      "  --silent           answer nothing (SIGUSR2 switches this on and off)\n"
      "  --delay-ms N       wait N ms before each reply\n"
      "  --stray HEX        send these bytes once, shortly after the first client opens\n"
      "  --short-read       answer a read with 608 bytes instead of 609\n"
      "  --no-found         ignore the probe\n"
      "  --unplug-on-write  vanish (close the pty and end) when a write begins\n"
      "  --search-only      answer the probe and ignore every command\n"
      "  --record FILE      start from this 600-byte record\n"
      "  --dump FILE        keep the current record in FILE (again on SIGUSR1)\n"
      "  --log FILE         append every byte sequence in and out, with time, as hex\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--silent") {
      options->unit.silent = true;
    } else if (arg == "--short-read") {
      options->unit.shortRead = true;
    } else if (arg == "--no-found") {
      options->unit.noFound = true;
    } else if (arg == "--unplug-on-write") {
      options->unit.unplugOnWrite = true;
    } else if (arg == "--search-only") {
      options->unit.searchOnly = true;
    } else if (arg == "--delay-ms" && hasValue) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 0 || value > 600000) {
        return false;
      }
      options->unit.delayMs = static_cast<unsigned>(value);
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
  PtyUnit unit(std::move(options));
  if (!unit.Start()) {
    return 1;
  }
  std::printf("%s\n", unit.Path().c_str());
  std::fflush(stdout);
  return unit.Run();
}
