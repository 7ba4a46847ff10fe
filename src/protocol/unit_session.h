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
  NotQuiet,     // found, but the line never went quiet afterwards
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
  // Found frames and other bytes thrown away after the search.
  std::size_t discardedBytes = 0;
};

// How long the line must stay silent after the found frame before a command
// goes out: answers to earlier probes may still be on their way, and one
// arriving during a read would shift the record.
inline constexpr unsigned kQuietMs = 60;
inline constexpr unsigned kProbeIntervalMs = 10;
// While a unit stays on the line, it need not be asked that often.
inline constexpr unsigned kGoneProbeIntervalMs = 100;

// Probes every 10 ms until the found frame arrives, then waits for quiet and
// throws away what came meanwhile.
SessionResult FindUnit(Session& session);
// Bytes 3 to 602 of the 609-byte reply, as soon as it is whole.
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
