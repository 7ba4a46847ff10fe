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

SessionResult SendCommand(Session& session, std::uint8_t code) {
  const CommandFrame frame = MakeCommandFrame(code);
  return Send(session, frame.data(), frame.size());
}

// The unit's frames are as long as a command's, all but the configuration reply.
constexpr std::size_t kFrameLength = CommandFrame{}.size();

// Whether bytes, have of them, may still begin the answer marked code or a
// found frame.
bool BeginsFrame(const std::uint8_t* bytes, std::size_t have, std::uint8_t code) {
  return have == 0 ||
         (bytes[0] == kFrameStart && (have == 1 || bytes[1] == code || bytes[1] == kCodeFound));
}

// Takes the answer that begins with kFrameStart and code, length bytes, into
// answer, reading nothing past its end. Whole found frames ahead of it
// answered probes sent before the unit was heard and are thrown away. Any
// other byte ahead of it fails a strict wait (NotQuiet), as it may be the
// first of a shifted answer; otherwise it is skipped. A wait that runs out
// returns late. *got: bytes of the answer itself.
SessionResult TakeAnswer(Session& session, const char* what, std::uint8_t code,
                         std::uint8_t* answer, std::size_t length, bool strict, SessionResult late,
                         std::size_t* got) {
  Wait wait(session, what);
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
    have += n;
    while (!BeginsFrame(answer, have, code)) {
      if (strict) {
        return result(SessionResult::NotQuiet);
      }
      std::memmove(answer, answer + 1, --have);
      ++session.discardedBytes;
    }
    if (have == kFrameLength && answer[1] == kCodeFound) {
      session.discardedBytes += have;
      have = 0;
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
  const SessionResult sent = SendCommand(session, code);
  return sent == SessionResult::Ok ? AwaitAck(session) : sent;
}

// Counts the bytes of a found frame as they come, and those before it.
class FoundScan {
 public:
  bool Marked() const { return got_ >= 2; }
  bool Whole() const { return got_ == kFrameLength; }
  // At most this many bytes may be read without passing the frame's end.
  std::size_t Room() const { return kFrameLength - got_; }
  std::size_t Noise() const { return seen_ - got_; }
  void Feed(const std::uint8_t* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
      ++seen_;
      if (Marked() || (got_ == 1 && data[i] == kCodeFound)) {
        ++got_;
      } else {
        got_ = data[i] == kFrameStart ? 1 : 0;
      }
    }
  }

 private:
  std::size_t got_ = 0;
  std::size_t seen_ = 0;
};

}  // namespace

SessionResult FindUnit(Session& session) {
  session.discardedBytes = 0;
  session.link.Purge();
  Wait wait(session, "searching for the unit");
  FoundScan found;
  std::uint8_t buffer[kFrameLength];
  std::uint64_t probeAt = 0;
  bool probed = false;
  while (!found.Whole()) {
    if (wait.Over()) {
      return SessionResult::NoUnit;
    }
    // Probes go out every 10 ms until the unit's marker has come; then only
    // the rest of its frame is awaited.
    std::uint64_t sinceProbe = session.link.NowMs() - probeAt;
    if (!found.Marked() && (!probed || sinceProbe >= kProbeIntervalMs)) {
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
        found.Marked() ? wait.Next() : static_cast<unsigned>(kProbeIntervalMs - sinceProbe);
    std::size_t n = 0;
    const Result result = session.link.Read(buffer, found.Room(), listen, &n);
    if (result == Result::Lost || result == Result::Interrupted) {
      return FromLink(result);
    }
    found.Feed(buffer, n);
  }
  session.discardedBytes = found.Noise();
  return SessionResult::Ok;
}

SessionResult ReadRecordFromUnit(Session& session, ConfigImage& record) {
  session.replyBytes = 0;
  const SessionResult sent = SendCommand(session, kCodeReadRequest);
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
  const SessionResult sent = Send(session, frame, sizeof frame);
  return sent == SessionResult::Ok ? AwaitAck(session) : sent;
}

SessionResult RestartUnit(Session& session) { return CommandWithAck(session, kCodeRestart); }

SessionResult AwaitUnitGone(Session& session, unsigned silenceMs) {
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
