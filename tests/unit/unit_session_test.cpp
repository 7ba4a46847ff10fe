// The tool's device commands against the simulated unit on virtual time.
#include "protocol/unit_session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "protocol/frames.h"
#include "protocol/record_fields.h"
#include "protocol/sim_unit.h"
#include "serial/interrupt.h"
#include "protocol/sim_link.h"

namespace {

ConfigImage Pattern() {
  ConfigImage record;
  for (std::size_t i = 0; i < kConfigImageSize; ++i) {
    record.bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return record;
}

struct Rig {
  explicit Rig(SimUnitOptions options = {}) : unit(options), link(unit) {}
  SimUnit unit;
  SimLink link;
  Session session{link, 1000};
};

TEST(UnitSession, SlowUnitsExtraFoundFramesNeverShiftTheRecord) {
  SimUnitOptions slow;
  slow.delayMs = 45;  // several probes go out before the first answer
  Rig rig(slow);
  rig.unit.SetRecord(Pattern());
  ASSERT_EQ(FindUnit(rig.session), SessionResult::Ok);
  ConfigImage record{};
  ASSERT_EQ(ReadRecordFromUnit(rig.session, record), SessionResult::Ok);
  EXPECT_GE(rig.session.discardedBytes, 5u * 3);
  EXPECT_EQ(record.bytes, Pattern().bytes);
}

TEST(UnitSession, WritesRestartsAndResetsAreAcknowledged) {
  Rig rig;
  ASSERT_EQ(FindUnit(rig.session), SessionResult::Ok);
  EXPECT_EQ(rig.session.discardedBytes, 0u);
  ASSERT_EQ(WriteRecordToUnit(rig.session, Pattern()), SessionResult::Ok);
  EXPECT_EQ(rig.unit.Record().bytes, Pattern().bytes);
  EXPECT_EQ(RestartUnit(rig.session), SessionResult::Ok);
  EXPECT_EQ(ResetUnitToFactory(rig.session), SessionResult::Ok);
  ConfigImage factory;
  SimUnit::FactoryRecord(factory);
  EXPECT_EQ(rig.unit.Record().bytes, factory.bytes);
}

TEST(UnitSession, FailuresEndAtTheTimeOut) {
  SimUnitOptions silent;
  silent.silent = true;
  Rig quiet(silent);
  EXPECT_EQ(FindUnit(quiet.session), SessionResult::NoUnit);
  EXPECT_GE(quiet.link.NowMs(), 1000u);
  EXPECT_LT(quiet.link.NowMs(), 1000u + kProbeIntervalMs + 1);

  SimUnitOptions shortRead;
  shortRead.shortRead = true;
  Rig shortOne(shortRead);
  ConfigImage record{};
  ASSERT_EQ(FindUnit(shortOne.session), SessionResult::Ok);
  EXPECT_EQ(ReadRecordFromUnit(shortOne.session, record), SessionResult::Incomplete);
  EXPECT_EQ(shortOne.session.replyBytes, kConfigImageSize + 8u);

  SimUnitOptions deaf;
  deaf.searchOnly = true;
  Rig searchOnly(deaf);
  ASSERT_EQ(FindUnit(searchOnly.session), SessionResult::Ok);
  EXPECT_EQ(ReadRecordFromUnit(searchOnly.session, record), SessionResult::Incomplete);
  EXPECT_EQ(searchOnly.session.replyBytes, 0u);
  EXPECT_EQ(WriteRecordToUnit(searchOnly.session, Pattern()), SessionResult::NoAck);
  EXPECT_EQ(RestartUnit(searchOnly.session), SessionResult::NoAck);

  SimUnitOptions vanishing;
  vanishing.unplugOnWrite = true;
  Rig unplugged(vanishing);
  ASSERT_EQ(FindUnit(unplugged.session), SessionResult::Ok);
  EXPECT_EQ(WriteRecordToUnit(unplugged.session, Pattern()), SessionResult::Lost);
}

TEST(UnitSession, InterruptEndsTheSearch) {
  SimUnitOptions silent;
  silent.silent = true;
  Rig rig(silent);
  RequestInterrupt();
  EXPECT_EQ(FindUnit(rig.session), SessionResult::Interrupted);
  ClearInterrupt();
}

TEST(UnitSession, AUnitIsGoneOnlyAfterItsSilenceLasted) {
  Rig rig;
  EXPECT_EQ(AwaitUnitGone(rig.session, 2000), SessionResult::NotQuiet);
  rig.unit.Options().silent = true;
  rig.session.timeoutMs = 5000;
  const std::uint64_t start = rig.link.NowMs();
  ASSERT_EQ(AwaitUnitGone(rig.session, 2000), SessionResult::Ok);
  EXPECT_GE(rig.link.NowMs() - start, 2000u);
  EXPECT_LE(rig.link.NowMs() - start, 2000u + kGoneProbeIntervalMs);
}

// A unit paced like a real line, slow to answer or answering each probe
// several times: found frames answering later probes arrive after the
// search, yet nothing waits for them to stop. Units that answer the probe
// oddly, with its marker alone or with more bytes behind the found frame.
class PacedUnitSession : public testing::TestWithParam<std::tuple<unsigned, unsigned>> {
 protected:
  static SimUnitOptions Paced() {
    SimUnitOptions options;
    options.paced = true;
    options.delayMs = std::get<0>(GetParam());
    options.foundPerProbe = std::get<1>(GetParam());
    return options;
  }
};

TEST_P(PacedUnitSession, RepliesAreNeverShiftedNorWaitedForLongerThanTheyTake) {
  const unsigned latencyMs = std::get<0>(GetParam());
  ConfigImage other = Pattern();
  other.bytes[0] ^= 0xFF;
  Rig rig(Paced());
  rig.unit.SetRecord(Pattern());
  ConfigImage record{};
  ASSERT_EQ(FindUnit(rig.session), SessionResult::Ok);
  ASSERT_EQ(ReadRecordFromUnit(rig.session, record), SessionResult::Ok);
  EXPECT_EQ(record.bytes, Pattern().bytes);
  // 625 bytes take 54.3 ms at 115200 8N1, and the unit is slow twice.
  EXPECT_LE(rig.link.NowMs(), 55u + 2 * latencyMs + 3);
  EXPECT_EQ(rig.session.discardedBytes % 5, 0u);
  ASSERT_EQ(FindUnit(rig.session), SessionResult::Ok);
  ASSERT_EQ(WriteRecordToUnit(rig.session, other), SessionResult::Ok);
  ASSERT_EQ(ReadRecordFromUnit(rig.session, record), SessionResult::Ok);
  EXPECT_EQ(record.bytes, other.bytes);

  // A stray byte after the search fails the read instead of shifting it.
  Rig stray(Paced());
  ASSERT_EQ(FindUnit(stray.session), SessionResult::Ok);
  const std::uint8_t noise = 0x41;
  stray.unit.Send(&noise, 1, stray.link.NowMs() * 1000);
  EXPECT_EQ(ReadRecordFromUnit(stray.session, record), SessionResult::NotQuiet);

  // A reply that never comes ends at the time-out, the found frames taken.
  Rig mute(Paced());
  ASSERT_EQ(FindUnit(mute.session), SessionResult::Ok);
  mute.unit.Options().silent = true;
  const std::uint64_t asked = mute.link.NowMs();
  EXPECT_EQ(ReadRecordFromUnit(mute.session, record), SessionResult::Incomplete);
  EXPECT_EQ(mute.session.replyBytes, 0u);
  EXPECT_GE(mute.link.NowMs() - asked, 1000u);
  EXPECT_LE(mute.link.NowMs() - asked, 1000u + 1);

  // A unit that sends its marker alone is found on it, waited for no longer
  // than the rest of a frame would take; its later markers are thrown away.
  SimUnitOptions marker = Paced();
  marker.found = SimBytes{{kFrameStart, kCodeFound}, 2};
  Rig bare(marker);
  bare.unit.SetRecord(Pattern());
  ASSERT_EQ(FindUnit(bare.session), SessionResult::Ok);
  ASSERT_EQ(ReadRecordFromUnit(bare.session, record), SessionResult::Ok);
  EXPECT_EQ(record.bytes, Pattern().bytes);
  EXPECT_LE(bare.link.NowMs(), 55u + 2 * latencyMs + 3);
  ASSERT_EQ(WriteRecordToUnit(bare.session, other), SessionResult::Ok);
  // Its rest, late, is known for a found frame's when it comes after the request.
  Rig late(marker);
  ASSERT_EQ(FindUnit(late.session), SessionResult::Ok);
  const std::uint8_t rest[] = {0x00, 0x00, kFrameEnd};
  late.unit.Send(rest, sizeof rest, late.link.NowMs() * 1000 + 2000);
  EXPECT_EQ(ReadRecordFromUnit(late.session, record), SessionResult::Ok);

  // Bytes handed over in one piece with the found frame are in before the
  // command: a stale acknowledgement is not the restart's, and stray bytes
  // do not fail the read.
  SimUnitOptions deaf = Paced();
  deaf.paced = false;
  deaf.searchOnly = true;
  deaf.afterFound = SimBytes{{kFrameStart, kCodeAck, 0x00, 0x00, kFrameEnd}, 5};
  Rig acked(deaf);
  ASSERT_EQ(FindUnit(acked.session), SessionResult::Ok);
  EXPECT_EQ(RestartUnit(acked.session), SessionResult::NoAck);
  SimUnitOptions noisy = Paced();
  noisy.paced = false;
  noisy.afterFound = SimBytes{{0x31, 0x32, 0x33, 0x34, 0x35, kFrameStart}, 6};
  Rig behind(noisy);
  behind.unit.SetRecord(Pattern());
  ASSERT_EQ(FindUnit(behind.session), SessionResult::Ok);
  ASSERT_EQ(ReadRecordFromUnit(behind.session, record), SessionResult::Ok);
  EXPECT_EQ(record.bytes, Pattern().bytes);
}

INSTANTIATE_TEST_SUITE_P(LatencyAndFoundFrames, PacedUnitSession,
                         testing::Combine(testing::Range(0u, 51u, 5u), testing::Values(1u, 3u)));

// Zero areas, bytes past a text's end and past a package's count are not
// the unit's settings; everything else is.
TEST(RecordFields, CompareOnlyWhatTheFormShows) {
  ConfigImage a{};
  std::memcpy(a.bytes.data() + image::kApn.offset, "cmnet", 6);
  a.bytes[image::kRegistrationPackage.offset] = 0x7B;
  a.bytes[image::LastByte(image::kRegistrationPackage)] = 1;
  ConfigImage b = a;
  b.bytes[image::kApn.offset + 7] = 'x';
  b.bytes[image::kRegistrationPackage.offset + 1] = 0x92;
  b.bytes[image::kZeroTail.offset] = 1;
  b.bytes[image::kZeroAfterWorkMode.offset] = 1;
  for (const RecordField& field : kRecordFields) {
    EXPECT_TRUE(SameField(a, b, field)) << field.field.offset;
  }
  b.bytes[image::LastByte(image::kRegistrationPackage)] = 2;
  b.bytes[image::kApn.offset + 4] = 'T';
  b.bytes[image::kWorkMode.offset] = 2;
  int differing = 0;
  for (const RecordField& field : kRecordFields) {
    differing += SameField(a, b, field) ? 0 : 1;
  }
  EXPECT_EQ(differing, 3);
}

}  // namespace
