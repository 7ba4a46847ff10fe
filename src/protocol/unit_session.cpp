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

SessionResult AwaitAck(Session& session) {
  Wait wait(session, "waiting for the unit's acknowledgement");
  MarkerWatch ack(kCodeAck);
  std::uint8_t buffer[64];
  while (!wait.Over()) {
    std::size_t n = 0;
    const Result result = session.link.Read(buffer, sizeof buffer, wait.Next(), &n);
    if (result == Result::Lost || result == Result::Interrupted) {
      return FromLink(result);
    }
    if (ack.Feed(buffer, n)) {
      return SessionResult::Ok;
    }
  }
  return SessionResult::NoAck;
}

SessionResult CommandWithAck(Session& session, std::uint8_t code) {
  session.link.Purge();
  const SessionResult sent = SendCommand(session, code);
  return sent == SessionResult::Ok ? AwaitAck(session) : sent;
}

// After the found frame: reads until nothing has come for kQuietMs.
SessionResult AwaitQuiet(Session& session) {
  Wait wait(session, "waiting for the line to go quiet");
  std::uint8_t buffer[256];
  while (!wait.Over()) {
    std::size_t n = 0;
    wait.Tell();
    const Result result = session.link.Read(buffer, sizeof buffer, kQuietMs, &n);
    if (result == Result::Timeout) {
      session.link.Purge();
      return SessionResult::Ok;
    }
    if (result != Result::Ok) {
      return FromLink(result);
    }
    session.discardedBytes += n;
  }
  return SessionResult::NotQuiet;
}

}  // namespace

SessionResult FindUnit(Session& session) {
  session.discardedBytes = 0;
  session.link.Purge();
  MarkerWatch found(kCodeFound);
  std::uint8_t buffer[256];
  {
    Wait wait(session, "searching for the unit");
    while (!found.Seen()) {
      if (wait.Over()) {
        return SessionResult::NoUnit;
      }
      const SessionResult sent = Send(session, kSearchProbe.data(), kSearchProbe.size());
      if (sent != SessionResult::Ok) {
        return sent;
      }
      // Listen until the next probe is due, taking bytes as they come.
      const std::uint64_t probeAt = session.link.NowMs();
      std::uint64_t waited = 0;
      while (waited < kProbeIntervalMs && !found.Seen()) {
        wait.Tell();
        std::size_t n = 0;
        const Result result = session.link.Read(
            buffer, sizeof buffer, static_cast<unsigned>(kProbeIntervalMs - waited), &n);
        if (result == Result::Lost || result == Result::Interrupted) {
          return FromLink(result);
        }
        found.Feed(buffer, n);
        waited = session.link.NowMs() - probeAt;
      }
    }
  }
  return AwaitQuiet(session);
}

SessionResult ReadRecordFromUnit(Session& session, ConfigImage& record) {
  session.replyBytes = 0;
  session.link.Purge();
  const SessionResult sent = SendCommand(session, kCodeReadRequest);
  if (sent != SessionResult::Ok) {
    return sent;
  }
  std::uint8_t reply[kConfigReplyLength];
  Wait wait(session, "waiting for the configuration");
  while (session.replyBytes < kConfigReplyLength) {
    if (wait.Over()) {
      return SessionResult::Incomplete;
    }
    std::size_t n = 0;
    const Result result = session.link.Read(
        reply + session.replyBytes, kConfigReplyLength - session.replyBytes, wait.Next(), &n);
    if (result == Result::Lost || result == Result::Interrupted) {
      return FromLink(result);
    }
    session.replyBytes += n;
  }
  std::memcpy(record.bytes.data(), reply + kConfigReplyRecordOffset, kConfigImageSize);
  return SessionResult::Ok;
}

SessionResult WriteRecordToUnit(Session& session, const ConfigImage& record) {
  // One write, so that an interrupt can never fall between its three parts.
  std::uint8_t frame[kConfigWriteLength];
  std::memcpy(frame, kConfigWritePrefix.data(), kConfigWritePrefix.size());
  std::memcpy(frame + kConfigWritePrefix.size(), record.bytes.data(), kConfigImageSize);
  std::memcpy(frame + kConfigWritePrefix.size() + kConfigImageSize, kConfigWriteSuffix.data(),
              kConfigWriteSuffix.size());
  session.link.Purge();
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
