#include "protocol/frames.h"

bool HasMarker(const std::uint8_t* data, std::size_t length, std::uint8_t code) {
  for (std::size_t i = 0; i + 1 < length && data[i] != 0; ++i) {
    if (data[i] == kFrameStart && data[i + 1] == code) {
      return true;
    }
  }
  return false;
}

bool MarkerWatch::Feed(const std::uint8_t* data, std::size_t length) {
  for (std::size_t i = 0; i < length && !seen_; ++i) {
    seen_ = afterStart_ && data[i] == code_;
    afterStart_ = data[i] == kFrameStart;
  }
  return seen_;
}
