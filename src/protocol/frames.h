// Byte sequences exchanged with the unit, and how replies are recognised.
#ifndef DTU_PROTOCOL_FRAMES_H
#define DTU_PROTOCOL_FRAMES_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/config_image.h"

inline constexpr std::uint8_t kFrameStart = 0x7B;  // '{'
inline constexpr std::uint8_t kFrameEnd = 0x7C;    // '|'

inline constexpr std::uint8_t kCodeFound = 0x90;
inline constexpr std::uint8_t kCodeWrite = 0x91;
inline constexpr std::uint8_t kCodeAck = 0x92;
inline constexpr std::uint8_t kCodeReadRequest = 0x94;
inline constexpr std::uint8_t kCodeRestart = 0x95;
inline constexpr std::uint8_t kCodeFactoryReset = 0x99;

using CommandFrame = std::array<std::uint8_t, 5>;

constexpr CommandFrame MakeCommandFrame(std::uint8_t code) {
  return CommandFrame{kFrameStart, code, 0x00, 0x00, kFrameEnd};
}

inline constexpr std::array<std::uint8_t, 6> kSearchProbe = {'D', 'E', 'D', 'E', 'D', 'E'};

// A configuration write goes out as three writes: prefix, record, suffix.
inline constexpr std::array<std::uint8_t, 3> kConfigWritePrefix = {kFrameStart, kCodeWrite, 0x00};
inline constexpr std::array<std::uint8_t, 1> kConfigWriteSuffix = {kFrameEnd};
inline constexpr std::size_t kConfigWriteLength =
    kConfigWritePrefix.size() + kConfigImageSize + kConfigWriteSuffix.size();

// The reply to a read request; the record stands at bytes 3 to 602.
inline constexpr std::size_t kConfigReplyLength = 609;
inline constexpr std::size_t kConfigReplyRecordOffset = 3;
static_assert(kConfigReplyRecordOffset + kConfigImageSize + 6 == kConfigReplyLength,
              "six trailing bytes follow the record in a reply");

// Looks for kFrameStart followed by code in data taken as a zero-terminated
// text: a zero byte ends the search. Never reads past length, so a buffer
// without any zero is safe too.
bool HasMarker(const std::uint8_t* data, std::size_t length, std::uint8_t code);

template <std::size_t N>
bool HasMarker(const std::array<std::uint8_t, N>& buffer, std::uint8_t code) {
  return HasMarker(buffer.data(), N, code);
}

// Watches everything received, read after read, for kFrameStart followed by
// code: the two bytes may arrive in different reads, and a zero byte before
// them hides nothing.
class MarkerWatch {
 public:
  explicit MarkerWatch(std::uint8_t code) : code_(code) {}
  // True once the marker has been seen, in this or an earlier call.
  bool Feed(const std::uint8_t* data, std::size_t length);
  bool Seen() const { return seen_; }

 private:
  std::uint8_t code_;
  bool afterStart_ = false;
  bool seen_ = false;
};

#endif
