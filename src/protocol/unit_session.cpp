#include "protocol/unit_session.h"

#include <cstring>

#include "protocol/frames.h"

namespace {

// Waits are cut into slices this long so that progress can be shown.
constexpr unsigned kSliceMs = 100;

using Result = Link::Result;

SessionResult FromLink(Result result) {
  return result == Result::Interrupted ? SessionResult::Interrupted : SessionResult::Lost;
}

// Progress of one wait, told to the observer at most once a slice.
class Wait {
 public:
  Wait(Session& session, const char* what)
      : session_(session), what_(what), start_(session.link.NowMs()) {}
  Wait(const Wait&) = delete;
  Wait& operator=(const Wait&) = delete;
  ~Wait() {
    if (session_.observer != nullptr && told_) {
      session_.observer->WaitEnded();
    }
  }
  std::uint64_t Elapsed() { return session_.link.NowMs() - start_; }
  bool Over() { return Elapsed() >= session_.timeoutMs; }
  // How long the next read may wait: up to the time-out, a slice at most.
  unsigned Next() {
    const std::uint64_t left = session_.timeoutMs - Elapsed();
    Tell();
    return static_cast<unsigned>(left < kSliceMs ? left : kSliceMs);
  }
  void Tell() {
    const std::uint64_t now = Elapsed();
    if (session_.observer != nullptr && (!told_ || now - lastTold_ >= kSliceMs)) {
      session_.observer->Waiting(what_, now);
      told_ = true;
      lastTold_ = now;
    }
  }

 private:
  Session& session_;
  const char* what_;
  std::uint64_t start_;
  bool told_ = false;
  std::uint64_t lastTold_ = 0;
};

SessionResult Send(Session& session, const std::uint8_t* data, std::size_t length) {
  const Result result = session.link.Write(data, length);
  return result == Result::Ok ? SessionResult::Ok : FromLink(result);
}

// The unit's frames are as long as a command's, all but the configuration reply.
constexpr std::size_t kFrameLength = CommandFrame{}.size();

// The three bytes after a found frame's marker take 0.26 ms at 115200 8N1;
// the clock's step, a millisecond, is the margin.
constexpr unsigned kFoundRestMs = 1;

// How much of a found frame has come: its first byte, its marker, then the
// rest, which is not compared. A frame start in the rest begins a new frame.
class FoundScan {
 public:
  explicit FoundScan(std::size_t got = 0) : got_(got) {}
  std::size_t Got() const { return got_; }
  bool Marked() const { return got_ >= 2; }
  bool Whole() const { return got_ == kFrameLength; }
  // More of it may still come.
  bool Begun() const { return got_ > 0 && got_ < kFrameLength; }
  // At most this many bytes may be read without passing the frame's end.
  std::size_t Room() const { return kFrameLength - got_; }
  bool Continues(std::uint8_t byte) const {
    return got_ == 1 ? byte == kCodeFound : Marked() && Begun() && byte != kFrameStart;
  }
  void Feed(std::uint8_t byte) {
    if (Continues(byte)) {
      ++got_;
    } else {
      got_ = byte == kFrameStart ? 1 : 0;
    }
  }

 private:
  std::size_t got_;
};

// Takes in what has arrived before a command and throws it away: the unit
// cannot have answered what it has not been sent. A found frame begun at its
// end is remembered, so that its rest is known when it comes.
SessionResult DropWhatCame(Session& session) {
  FoundScan found(session.foundBegun);
  std::uint8_t buffer[64];
  std::size_t n = 0;
  do {
    const Result read = session.link.Read(buffer, sizeof buffer, 0, &n);
    if (read == Result::Lost || read == Result::Interrupted) {
      return FromLink(read);
    }
    for (std::size_t i = 0; i < n; ++i) {
      found.Feed(buffer[i]);
    }
    session.discardedBytes += n;
  } while (n == sizeof buffer);
  session.foundBegun = found.Begun() ? found.Got() : 0;
  return SessionResult::Ok;
}

SessionResult Ask(Session& session, const std::uint8_t* data, std::size_t length) {
  const SessionResult dropped = DropWhatCame(session);
  return dropped == SessionResult::Ok ? Send(session, data, length) : dropped;
}

SessionResult AskCommand(Session& session, std::uint8_t code) {
  const CommandFrame frame = MakeCommandFrame(code);
  return Ask(session, frame.data(), frame.size());
}

// Whether bytes, have of them, may still begin the answer marked code or a
// found frame.
bool BeginsFrame(const std::uint8_t* bytes, std::size_t have, std::uint8_t code) {
  return have == 0 ||
         (bytes[0] == kFrameStart && (have == 1 || bytes[1] == code || bytes[1] == kCodeFound));
}

// How many bytes at the front of bytes, have of them, are a found frame to
// throw away: 0 while it may still grow, or if it is none.
std::size_t FoundFrameAhead(const std::uint8_t* bytes, std::size_t have) {
  if (have < 2 || bytes[0] != kFrameStart || bytes[1] != kCodeFound) {
    return 0;
  }
  FoundScan found(2);
  std::size_t end = 2;
  while (end < have && found.Continues(bytes[end])) {
    found.Feed(bytes[end++]);
  }
  return end < have || found.Whole() ? end : 0;
}

// Takes the answer that begins with kFrameStart and code, length bytes, into
// answer, reading nothing past its end. The rest of a found frame begun
// before the command, and found frames ahead of the answer, answered probes
// sent before the unit was heard and are thrown away. Any other byte ahead
// of it fails a strict wait (NotQuiet), as it may be the first of a shifted
// answer; otherwise it is skipped. A wait that runs out returns late.
// *got: bytes of the answer itself.
SessionResult TakeAnswer(Session& session, const char* what, std::uint8_t code,
                         std::uint8_t* answer, std::size_t length, bool strict, SessionResult late,
                         std::size_t* got) {
  Wait wait(session, what);
  FoundScan begun(session.foundBegun);
  session.foundBegun = 0;
  std::size_t have = 0;
  const auto result = [&](SessionResult r) {
    *got = have >= 2 && answer[1] == code ? have : 0;
    return r;
  };
  while (have < length) {
    if (wait.Over()) {
      return result(late);
    }
    const std::size_t frame = have >= 2 && answer[1] == code ? length : kFrameLength;
    std::size_t n = 0;
    const Result read = session.link.Read(answer + have, frame - have, wait.Next(), &n);
    if (read == Result::Lost || read == Result::Interrupted) {
      return result(FromLink(read));
    }
    std::size_t rest = 0;
    while (rest < n && begun.Continues(answer[have + rest])) {
      begun.Feed(answer[have + rest++]);
    }
    if (rest > 0) {
      std::memmove(answer + have, answer + have + rest, n - rest);
      session.discardedBytes += rest;
    }
    if (rest < n) {
      begun = FoundScan();
    }
    have += n - rest;
    for (;;) {
      std::size_t drop = FoundFrameAhead(answer, have);
      if (drop == 0 && !BeginsFrame(answer, have, code)) {
        if (strict) {
          return result(SessionResult::NotQuiet);
        }
        drop = 1;
      }
      if (drop == 0) {
        break;
      }
      have -= drop;
      std::memmove(answer, answer + drop, have);
      session.discardedBytes += drop;
    }
  }
  return result(SessionResult::Ok);
}

SessionResult AwaitAck(Session& session) {
  std::uint8_t ack[kFrameLength];
  std::size_t got = 0;
  return TakeAnswer(session, "waiting for the unit's acknowledgement", kCodeAck, ack, sizeof ack,
                    false, SessionResult::NoAck, &got);
}

SessionResult CommandWithAck(Session& session, std::uint8_t code) {
  const SessionResult sent = AskCommand(session, code);
  return sent == SessionResult::Ok ? AwaitAck(session) : sent;
}

}  // namespace

SessionResult FindUnit(Session& session) {
  session.discardedBytes = 0;
  session.foundBegun = 0;
  session.link.Purge();
  Wait wait(session, "searching for the unit");
  FoundScan found;
  // Bytes seen, and of them those of the frame that found the unit, while
  // more of it may come.
  std::size_t seen = 0;
  std::size_t own = 0;
  bool open = false;
  std::uint8_t buffer[kFrameLength];
  std::uint64_t probeAt = 0;
  bool probed = false;
  while (own == 0 || (open && found.Begun())) {
    const bool heard = own > 0;
    if (!heard && wait.Over()) {
      return SessionResult::NoUnit;
    }
    // Probes go out every 10 ms until the unit's marker has come.
    std::uint64_t sinceProbe = session.link.NowMs() - probeAt;
    if (!heard && (!probed || sinceProbe >= kProbeIntervalMs)) {
      const SessionResult sent = Send(session, kSearchProbe.data(), kSearchProbe.size());
      if (sent != SessionResult::Ok) {
        return sent;
      }
      probeAt = session.link.NowMs();
      probed = true;
      sinceProbe = 0;
    }
    wait.Tell();
    const unsigned listen =
        heard ? kFoundRestMs : static_cast<unsigned>(kProbeIntervalMs - sinceProbe);
    std::size_t n = 0;
    const Result result = session.link.Read(buffer, found.Room(), listen, &n);
    if (result == Result::Lost || result == Result::Interrupted) {
      return FromLink(result);
    }
    if (heard && n == 0) {
      break;  // the rest is late: what comes of it is known later
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t before = found.Got();
      found.Feed(buffer[i]);
      if (own == 0 && found.Marked()) {
        own = 2;
        open = true;
      } else if (open) {
        open = found.Got() == before + 1;
        own += open ? 1 : 0;
      }
    }
    seen += n;
  }
  session.discardedBytes = seen - own;
  session.foundBegun = found.Begun() ? found.Got() : 0;
  return SessionResult::Ok;
}

SessionResult ReadRecordFromUnit(Session& session, ConfigImage& record) {
  session.replyBytes = 0;
  const SessionResult sent = AskCommand(session, kCodeReadRequest);
  if (sent != SessionResult::Ok) {
    return sent;
  }
  std::uint8_t reply[kConfigReplyLength];
  const SessionResult taken =
      TakeAnswer(session, "waiting for the configuration", kCodeReadRequest, reply, sizeof reply,
                 true, SessionResult::Incomplete, &session.replyBytes);
  if (taken == SessionResult::Ok) {
    std::memcpy(record.bytes.data(), reply + kConfigReplyRecordOffset, kConfigImageSize);
  }
  return taken;
}

SessionResult WriteRecordToUnit(Session& session, const ConfigImage& record) {
  // One write, so that an interrupt can never fall between its three parts.
  std::uint8_t frame[kConfigWriteLength];
  std::memcpy(frame, kConfigWritePrefix.data(), kConfigWritePrefix.size());
  std::memcpy(frame + kConfigWritePrefix.size(), record.bytes.data(), kConfigImageSize);
  std::memcpy(frame + kConfigWritePrefix.size() + kConfigImageSize, kConfigWriteSuffix.data(),
              kConfigWriteSuffix.size());
  const SessionResult sent = Ask(session, frame, sizeof frame);
  return sent == SessionResult::Ok ? AwaitAck(session) : sent;
}

SessionResult RestartUnit(Session& session) { return CommandWithAck(session, kCodeRestart); }

SessionResult AwaitUnitGone(Session& session, unsigned silenceMs) {
  session.foundBegun = 0;
  session.link.Purge();
  Wait wait(session, "waiting for the unit to be unplugged");
  std::uint64_t heardAt = session.link.NowMs();
  std::uint8_t buffer[256];
  while (!wait.Over()) {
    const SessionResult sent = Send(session, kSearchProbe.data(), kSearchProbe.size());
    if (sent != SessionResult::Ok) {
      return sent;
    }
    MarkerWatch found(kCodeFound);
    const std::uint64_t probeAt = session.link.NowMs();
    for (std::uint64_t waited = 0; waited < kGoneProbeIntervalMs;
         waited = session.link.NowMs() - probeAt) {
      wait.Tell();
      std::size_t n = 0;
      const Result result = session.link.Read(
          buffer, sizeof buffer, static_cast<unsigned>(kGoneProbeIntervalMs - waited), &n);
      if (result == Result::Lost || result == Result::Interrupted) {
        return FromLink(result);
      }
      if (found.Feed(buffer, n)) {
        heardAt = session.link.NowMs();
        found = MarkerWatch(kCodeFound);
      }
    }
    if (session.link.NowMs() - heardAt >= silenceMs) {
      return SessionResult::Ok;
    }
  }
  return SessionResult::NotQuiet;
}

SessionResult ResetUnitToFactory(Session& session) {
  return CommandWithAck(session, kCodeFactoryReset);
}
