// The simulated unit on a pseudo-terminal, for trying the tool and for its tests.
//
//   dtu_sim_unit [--paced] [--silent] [--delay-ms N] [--stray HEX] [--short-read]
//                [--no-found] [--found HEX] [--after-found HEX] [--search-only]
//                [--unplug-on-write] [--record FILE] [--dump FILE] [--log FILE]
//                [--link PATH]
//
// Prints the pty's path on the first line of standard output, then answers as
// the unit model in src/protocol/sim_unit.h does, on real time. SIGUSR1 writes
// the record to the --dump file again, SIGUSR2 switches --silent on and off,
// SIGTERM and SIGINT end it. With --unplug-on-write the pty goes away as soon
// as a configuration write begins, and the program ends.
//
// Standard input takes one command a line, each answered by one line, so that
// a test knows it has taken effect; its end only stops the reading:
//   unplug  the unit is gone: "unplugged". Without --link the pty stays, as a
//           cable left on the bench, and nothing answers; with --link the pty
//           closes, as a USB adapter pulled out, and the link goes.
//   plug    a new unit with the factory record and the same options; its
//           record goes to --dump at once. Answers its pty's path: new with
//           --link, the link moved to it.
//   replug  as plug, but the unit taken away comes back with its record.
//   other   "error: ..."
// The --log file marks these as "<time> unplug" and "<time> plug <pty>".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/config_image.h"
#include "protocol/sim_unit.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Opening a port is followed by its configuration and a purge, which would
// throw away bytes sent at once.
constexpr std::uint64_t kStraySettleUs = 200000;

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

std::uint64_t NowUs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

struct Options {
  SimUnitOptions unit;
  Bytes stray;
  std::string recordFile;
  std::string dumpFile;
  std::string logFile;
  std::string linkFile;
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

bool ParseSimBytes(const char* text, SimBytes* out) {
  Bytes bytes;
  if (!ParseHex(text, &bytes) || bytes.empty() || bytes.size() > out->data.size()) {
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), out->data.begin());
  out->length = bytes.size();
  return true;
}

// The folders above a --link such as by-id/usb-A, made if missing, as the
// system makes /dev/serial/by-id for a real adapter.
bool MakeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "%s: %s\n", folder.c_str(), std::strerror(errno));
      return false;
    }
  }
  return true;
}

class PtyUnit {
 public:
  explicit PtyUnit(Options options) : options_(std::move(options)), unit_(options_.unit) {}
  PtyUnit(const PtyUnit&) = delete;
  PtyUnit& operator=(const PtyUnit&) = delete;

  ~PtyUnit() {
    RemoveLink();
    ClosePty();
    CloseWatch();
    if (log_ != nullptr) {
      std::fclose(log_);
    }
  }

  bool Start() {
    if (!options_.recordFile.empty() && !LoadRecord(options_.recordFile)) {
      return false;
    }
    struct stat existing = {};
    if (!options_.linkFile.empty() && lstat(options_.linkFile.c_str(), &existing) == 0 &&
        !S_ISLNK(existing.st_mode)) {
      std::fprintf(stderr, "%s: exists and is not a symbolic link\n", options_.linkFile.c_str());
      return false;
    }
    if (!options_.linkFile.empty() && !MakeParents(options_.linkFile)) {
      return false;
    }
    if (!options_.logFile.empty()) {
      log_ = std::fopen(options_.logFile.c_str(), "a");
      if (log_ == nullptr) {
        std::fprintf(stderr, "%s: %s\n", options_.logFile.c_str(), std::strerror(errno));
        return false;
      }
    }
    if (!OpenPty() || !PointLink()) {
      return false;
    }
    ArmStray();
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
      if (present_) {
        MoveDueReplies();
        Flush();
      }

      // A negative descriptor is skipped by ppoll.
      pollfd fds[3] = {{master_, POLLIN, 0},
                       {watch_, POLLIN, 0},
                       {commandsOpen_ ? STDIN_FILENO : -1, POLLIN, 0}};
      if (!out_.empty()) {
        fds[0].events |= POLLOUT;
      }
      timespec timeout = {0, 0};
      const std::uint64_t due = present_ ? unit_.NextDueUs() : SimUnit::kNever;
      if (due != SimUnit::kNever) {
        const std::uint64_t now = NowUs();
        const std::uint64_t left = due > now ? due - now : 0;
        timeout.tv_sec = static_cast<time_t>(left / 1000000);
        timeout.tv_nsec = static_cast<long>(left % 1000000 * 1000);
      }
      const int ready = ppoll(fds, 3, due != SimUnit::kNever ? &timeout : nullptr, &open);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        std::perror("ppoll");
        return 1;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        OnClientOpen();
      }
      if ((fds[0].revents & POLLIN) != 0) {
        Receive();
        if (unit_.Unplugged()) {
          ClosePty();  // the client sees its device vanish
          return 0;
        }
      }
      if (fds[2].revents != 0) {
        ReadCommands();
      }
    }
    return 0;
  }

 private:
  // More than any command; a longer line is noise.
  static constexpr std::size_t kMaxCommandLine = 256;

  static void MakeRaw(int fd) {
    termios attrs = {};
    if (tcgetattr(fd, &attrs) == 0) {
      cfmakeraw(&attrs);
      tcsetattr(fd, TCSANOW, &attrs);
    }
  }

  bool OpenPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      std::perror("posix_openpt");
      ClosePty();
      return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
      std::perror("ptsname");
      ClosePty();
      return false;
    }
    path_ = name;
    // Holding the slave open ourselves keeps the master readable while no
    // client has the port open; otherwise it reports EIO between clients.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
      std::perror(path_.c_str());
      ClosePty();
      return false;
    }
    MakeRaw(master_);
    MakeRaw(slave_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return true;
  }

  void ClosePty() {
    for (int* fd : {&master_, &slave_}) {
      if (*fd >= 0) {
        close(*fd);
        *fd = -1;
      }
    }
  }

  // Renamed over the old link, so a client never finds the name missing.
  bool PointLink() {
    const std::string& link = options_.linkFile;
    if (link.empty()) {
      return true;
    }
    const std::string temp = link + "." + std::to_string(getpid()) + ".tmp";
    unlink(temp.c_str());
    if (symlink(path_.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
      std::perror(link.c_str());
      unlink(temp.c_str());
      return false;
    }
    return true;
  }

  // Only a link to our own pty: the name may have been taken over since.
  void RemoveLink() {
    if (options_.linkFile.empty() || path_.empty()) {
      return;
    }
    char target[4096];
    const ssize_t n = readlink(options_.linkFile.c_str(), target, sizeof target);
    if (n >= 0 && path_.compare(0, std::string::npos, target, static_cast<std::size_t>(n)) == 0) {
      unlink(options_.linkFile.c_str());
    }
  }

  // Watched only after our own open, so the first event is a client's.
  void ArmStray() {
    if (options_.stray.empty()) {
      return;
    }
    CloseWatch();
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ >= 0 && inotify_add_watch(watch_, path_.c_str(), IN_OPEN) < 0) {
      CloseWatch();
    }
    if (watch_ < 0) {
      unit_.Send(options_.stray.data(), options_.stray.size(), NowUs());
    }
  }

  void CloseWatch() {
    if (watch_ >= 0) {
      close(watch_);
      watch_ = -1;
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

  // Starts a log line with the time; false if there is no log.
  bool NoteTime() {
    if (log_ == nullptr) {
      return false;
    }
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    std::fprintf(log_, "%lld.%03lld ", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000));
    return true;
  }

  void Note(const char* what, const std::uint8_t* data, std::size_t size) {
    if (!NoteTime()) {
      return;
    }
    std::fputs(what, log_);
    for (std::size_t i = 0; i < size; ++i) {
      std::fprintf(log_, " %02x", data[i]);
    }
    std::fputc('\n', log_);
    std::fflush(log_);
  }

  void NoteEvent(const std::string& text) {
    if (NoteTime()) {
      std::fprintf(log_, "%s\n", text.c_str());
      std::fflush(log_);
    }
  }

  void OnClientOpen() {
    char events[4096];
    while (read(watch_, events, sizeof events) > 0) {
    }
    CloseWatch();
    unit_.Send(options_.stray.data(), options_.stray.size(), NowUs() + kStraySettleUs);
  }

  void MoveDueReplies() {
    std::uint8_t buffer[SimUnit::kOutputRoom];
    const std::size_t n = unit_.TakeDue(buffer, sizeof buffer, NowUs());
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

  // With no unit the bytes fall off the end of the cable.
  void Receive() {
    std::uint8_t buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0 || !present_) {
      return;
    }
    Note("in", buffer, static_cast<std::size_t>(n));
    unit_.Receive(buffer, static_cast<std::size_t>(n), NowUs());
    if (unit_.RecordVersion() != dumpedVersion_) {
      Dump();
    }
  }

  // Stdin is not made non-blocking: its description may be shared with a shell.
  void ReadCommands() {
    char buffer[256];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      return;
    }
    if (n <= 0) {
      commandsOpen_ = false;  // the end of input is no reason to end
      return;
    }
    commands_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end = commands_.find('\n'); end != std::string::npos;
         end = commands_.find('\n')) {
      std::string line = commands_.substr(0, end);
      commands_.erase(0, end + 1);
      line.erase(line.find_last_not_of(" \t\r") + 1);
      line.erase(0, line.find_first_not_of(" \t"));
      if (!line.empty()) {
        Answer(Obey(line));
      }
    }
    if (commands_.size() > kMaxCommandLine) {
      commands_.clear();
      Answer("error: line too long");
    }
  }

  std::string Obey(const std::string& command) {
    if (command == "unplug") {
      return Unplug();
    }
    if (command == "plug") {
      return Plug(false);
    }
    if (command == "replug") {
      return Plug(true);
    }
    return "error: unknown command \"" + command + "\"; the commands are plug, replug and unplug";
  }

  static void Answer(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }

  std::string Unplug() {
    if (!present_) {
      return "error: no unit is plugged in";
    }
    present_ = false;
    out_.clear();
    CloseWatch();
    if (!options_.linkFile.empty()) {
      RemoveLink();
      ClosePty();  // a client with the port open sees it vanish
    }
    NoteEvent("unplug");
    return "unplugged";
  }

  // again: the unit taken away comes back, with the record it held.
  std::string Plug(bool again) {
    if (present_) {
      return "error: a unit is plugged in; unplug it first";
    }
    const ConfigImage held = unit_.Record();
    unit_ = SimUnit(options_.unit);
    if (again) {
      unit_.SetRecord(held);
    }
    if (master_ < 0 && !(OpenPty() && PointLink())) {
      ClosePty();
      return "error: no new pty for the unit";
    }
    present_ = true;
    ArmStray();
    Dump();
    NoteEvent("plug " + path_);
    return path_;
  }

  Options options_;
  SimUnit unit_;
  bool present_ = true;
  unsigned dumpedVersion_ = 0;
  std::string path_;
  int master_ = -1;
  int slave_ = -1;
  int watch_ = -1;
  FILE* log_ = nullptr;
  Bytes out_;
  bool commandsOpen_ = true;
  std::string commands_;
};

void Usage() {
  std::fprintf(
      stderr,
      "usage: dtu_sim_unit [--paced] [--silent] [--delay-ms N] [--stray HEX] [--short-read]\n"
      "                    [--no-found] [--found HEX] [--after-found HEX] [--unplug-on-write]\n"
      "                    [--search-only] [--ignore-writes] [--garble-writes] [--record FILE]\n"
      "                    [--dump FILE] [--log FILE] [--link PATH]\n"
      "  --paced            move bytes no faster than a real line at 115200 baud 8N1,\n"
      "                     both ways, and answer a request once its last byte is in\n"
      "  --silent           answer nothing (SIGUSR2 switches this on and off)\n"
      "  --delay-ms N       wait N ms before each reply\n"
      "  --stray HEX        send these bytes once, shortly after the first client opens\n"
      "                     (again after each plug)\n"
      "  --short-read       answer a read with 608 bytes instead of 609\n"
      "  --no-found         ignore the probe\n"
      "  --found HEX        answer the probe with these bytes (16 at most) instead of\n"
      "                     the found frame\n"
      "  --after-found HEX  send these bytes (16 at most) once, right behind the first\n"
      "                     answer to the probe\n"
      "  --unplug-on-write  vanish (close the pty and end) when a write begins\n"
      "  --search-only      answer the probe and ignore every command\n"
      "  --ignore-writes    acknowledge a configuration write but keep the record\n"
      "  --garble-writes    keep a written record with one byte of its APN changed\n"
      "  --record FILE      start from this 600-byte record\n"
      "  --dump FILE        keep the current record in FILE (again on SIGUSR1)\n"
      "  --log FILE         append every byte sequence in and out, with time, as hex,\n"
      "                     and each unplug and plug\n"
      "  --link PATH        keep a symbolic link at PATH to the current pty, making\n"
      "                     the folders above it if missing\n"
      "standard input takes one command a line, each answered by one line:\n"
      "  unplug             the unit is gone; without --link the pty stays and answers\n"
      "                     nothing, with --link it closes and the link goes: \"unplugged\"\n"
      "  plug               a new unit with the factory record and these options, on a\n"
      "                     new pty with --link: the pty's path\n"
      "  replug             as plug, but the unit taken away comes back, with its record\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--paced") {
      options->unit.paced = true;
    } else if (arg == "--silent") {
      options->unit.silent = true;
    } else if (arg == "--short-read") {
      options->unit.shortRead = true;
    } else if (arg == "--no-found") {
      options->unit.noFound = true;
    } else if (arg == "--unplug-on-write") {
      options->unit.unplugOnWrite = true;
    } else if (arg == "--search-only") {
      options->unit.searchOnly = true;
    } else if (arg == "--ignore-writes") {
      options->unit.ignoreWrites = true;
    } else if (arg == "--garble-writes") {
      options->unit.garbleWrites = true;
    } else if (arg == "--delay-ms" && hasValue) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 0 || value > 600000) {
        return false;
      }
      options->unit.delayMs = static_cast<unsigned>(value);
    } else if (arg == "--found" && hasValue) {
      if (!ParseSimBytes(argv[++i], &options->unit.found)) {
        return false;
      }
    } else if (arg == "--after-found" && hasValue) {
      if (!ParseSimBytes(argv[++i], &options->unit.afterFound)) {
        return false;
      }
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
    } else if (arg == "--link" && hasValue) {
      options->linkFile = argv[++i];
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
  // Whoever reads our answers may go, and a run in the background may not
  // read the terminal; either only ends the answers or the commands.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  PtyUnit unit(std::move(options));
  if (!unit.Start()) {
    return 1;
  }
  std::printf("%s\n", unit.Path().c_str());
  std::fflush(stdout);
  return unit.Run();
}
