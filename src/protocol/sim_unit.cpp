#include "protocol/sim_unit.h"

#include <algorithm>
#include <cstring>

#include "protocol/frames.h"

namespace {

// Ten bits (start, eight data, stop) at 115200 baud, rounded up: the
// simulated line is never faster than a real one.
constexpr std::uint64_t kLineByteNs = (10ULL * 1000000000 + 115199) / 115200;

constexpr CommandFrame kFound = MakeCommandFrame(kCodeFound);
constexpr CommandFrame kAck = MakeCommandFrame(kCodeAck);
constexpr CommandFrame kReadRequest = MakeCommandFrame(kCodeReadRequest);
constexpr CommandFrame kRestart = MakeCommandFrame(kCodeRestart);
constexpr CommandFrame kFactoryReset = MakeCommandFrame(kCodeFactoryReset);
constexpr std::uint8_t kReadHeader[] = {kFrameStart, kCodeReadRequest, 0x00};
constexpr std::uint8_t kReadTrailer[] = {0x00, 0x00, 0x00, 0x00, 0x00, kFrameEnd};
static_assert(sizeof kReadHeader + kConfigImageSize + sizeof kReadTrailer == kConfigReplyLength,
              "a read reply is header, record and trailer");

enum class Request { Probe, Read, Restart, FactoryReset };

struct Pattern {
  const std::uint8_t* bytes;
  std::size_t length;
  Request request;
};

// In the order they are tried; none is a prefix of another.
constexpr Pattern kRequests[] = {
    {kSearchProbe.data(), kSearchProbe.size(), Request::Probe},
    {kReadRequest.data(), kReadRequest.size(), Request::Read},
    {kRestart.data(), kRestart.size(), Request::Restart},
    {kFactoryReset.data(), kFactoryReset.size(), Request::FactoryReset},
};

bool StartsWith(const std::uint8_t* data, std::size_t length, const std::uint8_t* prefix,
                std::size_t prefixLength) {
  return length >= prefixLength && std::memcmp(data, prefix, prefixLength) == 0;
}

// Whether all of data could still grow into prefix.
bool CouldBecome(const std::uint8_t* data, std::size_t length, const std::uint8_t* prefix,
                 std::size_t prefixLength) {
  return length < prefixLength && std::memcmp(data, prefix, length) == 0;
}

void PutText(ConfigImage& r, Field field, const char* text) {
  std::memcpy(r.bytes.data() + field.offset, text, std::min(std::strlen(text), field.size - 1));
}

void PutByte(ConfigImage& r, Field field, std::uint8_t value) { r.bytes[field.offset] = value; }

void PutOneBytePackage(ConfigImage& r, Field field, std::uint8_t value) {
  r.bytes[field.offset] = value;
  r.bytes[field.offset + image::kPackageCountIndex] = 1;
}

}  // namespace

SimUnit::SimUnit(const SimUnitOptions& options) : options_(options), record_{} {
  FactoryRecord(record_);
}

void SimUnit::FactoryRecord(ConfigImage& r) {
  using namespace image;
  r.bytes.fill(0);
  PutText(r, kProtocol, "TCP");
  PutText(r, kMasterAddress, "factory.example.com");
  PutText(r, kMasterPort, "6000");
  PutText(r, kHeartbeatTime, "60");
  PutText(r, kReconnectInterval, "60");
  PutText(r, kNoResponseTime, "20");
  PutOneBytePackage(r, kRegistrationPackage, 0x20);
  PutOneBytePackage(r, kHeartbeatPackage, 0x20);
  PutText(r, kUnitBaud, "115200");
  PutByte(r, kUnitDataBits, '8');
  PutByte(r, kUnitStopBits, 1);
  PutByte(r, kUnitParity, 0);
  PutText(r, kCenterPhone1, "10000000000");
  PutText(r, kStandbyAddress, "standby.example.com");
  PutText(r, kStandbyPort, "9997");
  PutText(r, kPacketLength, "1024");
  PutByte(r, kInput3Alarm, 2);
  PutByte(r, kInput4Alarm, 2);
  PutByte(r, kMinInterval, '2');
  PutByte(r, kReconnectTimes, 20);
  PutByte(r, kDebugInfo, 0);
  PutByte(r, kOutput1, 0);
  PutByte(r, kOutput2, 0);
  PutByte(r, kDataMode, 1);
  PutByte(r, kWorkMode, 0);
  PutText(r, kApn, "cmnet");
  PutText(r, kCenterPhone2, "10000000000");
}

void SimUnit::SetRecord(const ConfigImage& record) {
  record_ = record;
  ++version_;
}

void SimUnit::Receive(const std::uint8_t* data, std::size_t length, std::uint64_t nowUs) {
  static_assert(kInputRoom > kConfigWriteLength, "a whole write must fit, with room to spare");
  const std::uint64_t nowNs = nowUs * 1000;
  // Handle leaves less than a whole write behind, so each round takes some bytes.
  while (length > 0 && !unplugged_) {
    const std::size_t kept = inEnd_ - inStart_;
    std::memmove(in_.data(), in_.data() + inStart_, kept);
    inStart_ = 0;
    inEnd_ = kept;
    const std::size_t n = std::min(length, kInputRoom - inEnd_);
    std::memcpy(in_.data() + inEnd_, data, n);
    pieceStart_ = inEnd_;
    pieceBeganNs_ = options_.paced ? std::max(nowNs, inFreeNs_) : nowNs;
    inFreeNs_ = pieceBeganNs_ + n * ByteNs();
    inEnd_ += n;
    data += n;
    length -= n;
    Handle();
  }
}

std::uint64_t SimUnit::ByteNs() const { return options_.paced ? kLineByteNs : 0; }

// When the byte before in_[end] had fully arrived. A request that ended in
// bytes kept from an earlier piece is heard as the newest piece begins.
std::uint64_t SimUnit::ArrivedNs(std::size_t end) const {
  return end > pieceStart_ ? pieceBeganNs_ + (end - pieceStart_) * ByteNs() : pieceBeganNs_;
}

// Takes every whole request off the front of what has arrived; a byte that
// starts no request is noise and dropped.
void SimUnit::Handle() {
  while (inStart_ < inEnd_) {
    const std::uint8_t* data = in_.data() + inStart_;
    const std::size_t length = inEnd_ - inStart_;
    if (StartsWith(data, length, kConfigWritePrefix.data(), kConfigWritePrefix.size())) {
      if (options_.unplugOnWrite) {
        Unplug();
        return;
      }
      if (length < kConfigWriteLength) {
        return;
      }
      if (options_.searchOnly) {
        inStart_ += kConfigWriteLength;
      } else if (data[kConfigWriteLength - 1] == kFrameEnd) {
        if (!options_.ignoreWrites) {
          std::memcpy(record_.bytes.data(), data + kConfigWritePrefix.size(), kConfigImageSize);
          if (options_.garbleWrites) {
            record_.bytes[kGarbledByte] ^= 0x01;
          }
          ++version_;
        }
        Reply(kAck.data(), kAck.size(), ArrivedNs(inStart_ + kConfigWriteLength));
        inStart_ += kConfigWriteLength;
      } else {
        ++inStart_;
      }
      continue;
    }
    const Pattern* matched = nullptr;
    bool partial = CouldBecome(data, length, kConfigWritePrefix.data(), kConfigWritePrefix.size());
    for (const Pattern& pattern : kRequests) {
      if (StartsWith(data, length, pattern.bytes, pattern.length)) {
        matched = &pattern;
        break;
      }
      partial = partial || CouldBecome(data, length, pattern.bytes, pattern.length);
    }
    if (matched == nullptr) {
      if (partial) {
        return;  // the rest may still come
      }
      ++inStart_;
      continue;
    }
    inStart_ += matched->length;
    const std::uint64_t atNs = ArrivedNs(inStart_);
    if (options_.searchOnly && matched->request != Request::Probe) {
      continue;
    }
    switch (matched->request) {
      case Request::Probe:
        for (unsigned i = 0; !options_.noFound && i < options_.foundPerProbe; ++i) {
          const SimBytes& odd = options_.found;
          if (odd.length > 0) {
            Reply(odd.data.data(), odd.length, atNs);
          } else {
            Reply(kFound.data(), kFound.size(), atNs);
          }
          if (!afterFoundSent_ && options_.afterFound.length > 0) {
            afterFoundSent_ = true;
            Reply(options_.afterFound.data.data(), options_.afterFound.length, atNs);
          }
        }
        break;
      case Request::Read:
        ReplyToRead(atNs);
        break;
      case Request::Restart:
        Reply(kAck.data(), kAck.size(), atNs);
        break;
      case Request::FactoryReset:
        FactoryRecord(record_);
        ++version_;
        Reply(kAck.data(), kAck.size(), atNs);
        break;
    }
  }
}

void SimUnit::Reply(const std::uint8_t* data, std::size_t length, std::uint64_t atNs) {
  if (!options_.silent) {
    Queue(data, length, atNs + std::uint64_t{options_.delayMs} * 1000000);
  }
}

void SimUnit::ReplyToRead(std::uint64_t atNs) {
  const std::size_t length = options_.shortRead ? kConfigReplyLength - 1 : kConfigReplyLength;
  if (options_.silent || !Reserve(length, atNs + std::uint64_t{options_.delayMs} * 1000000)) {
    return;
  }
  Put(kReadHeader, sizeof kReadHeader);
  Put(record_.bytes.data(), kConfigImageSize);
  Put(kReadTrailer, length - sizeof kReadHeader - kConfigImageSize);
}

void SimUnit::Send(const std::uint8_t* data, std::size_t length, std::uint64_t dueUs) {
  Queue(data, length, dueUs * 1000);
}

void SimUnit::Queue(const std::uint8_t* data, std::size_t length, std::uint64_t dueNs) {
  if (Reserve(length, dueNs)) {
    Put(data, length);
  }
}

// A full queue loses the newest answer, as a real unit's send buffer would
// overflow; what is already queued goes out whole.
bool SimUnit::Reserve(std::size_t length, std::uint64_t dueNs) {
  if (unplugged_ || length == 0 || queuedCount_ == kMaxQueued || kOutputRoom - outSize_ < length) {
    return false;
  }
  queued_[(queuedHead_ + queuedCount_) % kMaxQueued] = Queued{dueNs, length};
  ++queuedCount_;
  return true;
}

void SimUnit::Put(const std::uint8_t* data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    out_[(outHead_ + outSize_) % kOutputRoom] = data[i];
    ++outSize_;
  }
}

// When the answer's next byte will have fully left: not before the answer
// is due, nor before the byte ahead of it is through.
std::uint64_t SimUnit::LeavesNs(const Queued& answer) const {
  return std::max(answer.dueNs, outFreeNs_) + ByteNs();
}

std::size_t SimUnit::TakeDue(std::uint8_t* buffer, std::size_t maxLength, std::uint64_t nowUs) {
  const std::uint64_t nowNs = nowUs * 1000;
  std::size_t taken = 0;
  while (taken < maxLength && queuedCount_ > 0 && LeavesNs(queued_[queuedHead_]) <= nowNs) {
    Queued& head = queued_[queuedHead_];
    const std::uint64_t firstNs = LeavesNs(head);
    std::size_t n = std::min(head.length, maxLength - taken);
    const std::uint64_t through = options_.paced ? (nowNs - firstNs) / kLineByteNs + 1 : n;
    if (through < n) {
      n = static_cast<std::size_t>(through);
    }
    for (std::size_t i = 0; i < n; ++i) {
      buffer[taken++] = out_[outHead_];
      outHead_ = (outHead_ + 1) % kOutputRoom;
    }
    outFreeNs_ = firstNs + (n - 1) * ByteNs();
    outSize_ -= n;
    head.length -= n;
    if (head.length == 0) {
      queuedHead_ = (queuedHead_ + 1) % kMaxQueued;
      --queuedCount_;
    }
  }
  return taken;
}

std::uint64_t SimUnit::NextDueUs() const {
  return queuedCount_ > 0 ? (LeavesNs(queued_[queuedHead_]) + 999) / 1000 : kNever;
}

// Gone for good: nothing it held is sent, nothing more is heard.
void SimUnit::Unplug() {
  unplugged_ = true;
  inStart_ = inEnd_ = 0;
  outHead_ = outSize_ = 0;
  queuedHead_ = queuedCount_ = 0;
}
