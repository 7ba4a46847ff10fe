// The device commands as the command-line tool runs them over a Link. Each
// first needs a found unit, waits for the unit's answer only as long as it
// takes, and gives up at the time-out; no fixed sleeps.
#ifndef DTU_PROTOCOL_UNIT_SESSION_H
#define DTU_PROTOCOL_UNIT_SESSION_H

#include <cstddef>
#include <cstdint>

#include "protocol/config_image.h"
#include "serial/link.h"

enum class SessionResult {
  Ok,
  NoUnit,       // nothing answered the search
  NotQuiet,     // found, but a byte that is no found frame came before an answer
  Incomplete,   // the configuration reply stopped short
  NoAck,        // no acknowledgement came
  Lost,         // the line went away
  Interrupted,  // the user stopped it
};

// Told what a wait is for and how long it has lasted, a few times a second.
class WaitObserver {
 public:
  virtual ~WaitObserver() = default;

  virtual void Waiting(const char* what, std::uint64_t elapsedMs) = 0;
  virtual void WaitEnded() = 0;

 protected:
  WaitObserver() = default;
  WaitObserver(const WaitObserver&) = default;
  WaitObserver& operator=(const WaitObserver&) = default;
};

struct Session {
  Link& link;
  unsigned timeoutMs;                // for each wait
  WaitObserver* observer = nullptr;  // may be null
  // Bytes of the last configuration reply, whole or not, for messages.
  std::size_t replyBytes = 0;
  // Bytes thrown away since the search began: noise before the found frame,
  // then what came before each command, and found frames that answered
  // earlier probes, ahead of an answer.
  std::size_t discardedBytes = 0;
  // Bytes of a found frame begun before the next command, whose rest may
  // still come: taken for that rest when it does.
  std::size_t foundBegun = 0;
};

inline constexpr unsigned kProbeIntervalMs = 10;
// While a unit stays on the line, it need not be asked that often.
inline constexpr unsigned kGoneProbeIntervalMs = 100;

// Probes every 10 ms until the unit's marker has come, then waits for the
// rest of its found frame no longer than those bytes take, and goes on
// without them. A unit slower than that answers several probes: the
// commands after the search take their answers at the answers' own markers
// and throw away the found frames ahead of them. Whatever has arrived when
// a command goes out came before it and is thrown away, never taken for its
// answer, so no command waits for the line to go quiet.
SessionResult FindUnit(Session& session);
// Bytes 3 to 602 of the 609-byte reply, as soon as it is whole. A byte
// that came after the request, ahead of the reply, and is no part of a
// found frame fails the read (NotQuiet) rather than shift the record.
SessionResult ReadRecordFromUnit(Session& session, ConfigImage& record);
// The 604-byte configuration write, then its acknowledgement.
SessionResult WriteRecordToUnit(Session& session, const ConfigImage& record);
SessionResult RestartUnit(Session& session);
// Probes until nothing has answered for silenceMs (Ok: the unit was
// unplugged) or the line went away (Lost). NotQuiet: still answering at the
// time-out.
SessionResult AwaitUnitGone(Session& session, unsigned silenceMs);
SessionResult ResetUnitToFactory(Session& session);

#endif
