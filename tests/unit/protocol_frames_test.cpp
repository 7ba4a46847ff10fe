#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/frames.h"

namespace {

TEST(Frames, CommandFramesProbeAndConfigurationWrite) {
  EXPECT_EQ(MakeCommandFrame(kCodeReadRequest), (CommandFrame{0x7B, 0x94, 0x00, 0x00, 0x7C}));
  EXPECT_EQ(MakeCommandFrame(kCodeRestart), (CommandFrame{0x7B, 0x95, 0x00, 0x00, 0x7C}));
  EXPECT_EQ(MakeCommandFrame(kCodeFactoryReset), (CommandFrame{0x7B, 0x99, 0x00, 0x00, 0x7C}));
  EXPECT_EQ(kCodeFound, 0x90);
  EXPECT_EQ(kCodeAck, 0x92);
  EXPECT_EQ(std::string(kSearchProbe.begin(), kSearchProbe.end()), "DEDEDE");
  EXPECT_EQ(kConfigWritePrefix, (std::array<std::uint8_t, 3>{0x7B, 0x91, 0x00}));
  EXPECT_EQ(kConfigWriteSuffix, (std::array<std::uint8_t, 1>{0x7C}));
  EXPECT_EQ(kConfigWriteLength, 604u);
  EXPECT_EQ(kConfigReplyLength, 609u);
  EXPECT_EQ(kConfigReplyRecordOffset, 3u);
}

bool Marker(const std::vector<std::uint8_t>& bytes, std::uint8_t code) {
  return HasMarker(bytes.data(), bytes.size(), code);
}

TEST(Frames, MarkersAreFoundUpToTheFirstZeroOnly) {
  EXPECT_TRUE(Marker({0x41, 0x7B, 0x92}, kCodeAck));
  EXPECT_FALSE(Marker({0x00, 0x7B, 0x92}, kCodeAck));
  EXPECT_TRUE(Marker({0x7B, 0x90, 0x00, 0x00, 0x7C}, kCodeFound));
  EXPECT_TRUE(Marker({0x7B, 0x90}, kCodeFound));
  EXPECT_FALSE(Marker({0x7B, 0x91, 0x00, 0x00, 0x7C}, kCodeFound));
  EXPECT_FALSE(Marker({0x7B, 0x92}, kCodeFound));  // the wrong code
  EXPECT_FALSE(Marker({0x92, 0x7B}, kCodeAck));    // the wrong order
  EXPECT_TRUE(Marker({0x7B, 0x7B, 0x92}, kCodeAck));
  EXPECT_TRUE(Marker({'D', 'E', 0x7B, 0x7B, 0x7B, 0x90}, kCodeFound));
  // The two bytes split by a zero, as when they come in different reads.
  EXPECT_FALSE(Marker({0x41, 0x7B, 0x00, 0x90}, kCodeFound));
  // Left-overs of an earlier read count up to the first zero, not past it.
  EXPECT_TRUE(Marker({0x41, 0x41, 0x41, 0x7B, 0x92, 0x00}, kCodeAck));
  EXPECT_FALSE(Marker({0x41, 0x41, 0x00, 0x7B, 0x92, 0x00}, kCodeAck));
  EXPECT_FALSE(Marker({}, kCodeAck));
}

TEST(Frames, MarkerSearchStaysInsideABufferWithoutAnyZero) {
  std::array<std::uint8_t, 650> full;
  full.fill(0x41);
  EXPECT_FALSE(HasMarker(full, kCodeAck));
  full[649] = 0x7B;  // first half of a marker at the very end
  EXPECT_FALSE(HasMarker(full, kCodeAck));
  full[648] = 0x7B;
  full[649] = 0x92;
  EXPECT_TRUE(HasMarker(full, kCodeAck));
  // Only the bytes handed over are searched.
  EXPECT_FALSE(HasMarker(full.data(), 649, kCodeAck));
}

}  // namespace
