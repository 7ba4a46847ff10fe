// The simulated unit: what a unit answers, the record it stores and its
// factory record, and ways to misbehave. One model serves the in-process
// port "sim", the pty unit under tools/ and the tests. Time is whatever
// clock the caller passes in (microseconds), so it runs on real or virtual time.
#ifndef DTU_PROTOCOL_SIM_UNIT_H
#define DTU_PROTOCOL_SIM_UNIT_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/config_image.h"

// A few bytes a unit sends in place of a frame, or behind one.
struct SimBytes {
  std::array<std::uint8_t, 16> data{};
  std::size_t length = 0;
};

struct SimUnitOptions {
  bool silent = false;         // answers nothing
  unsigned delayMs = 0;        // between a request and its answer
  bool shortRead = false;      // answers a read with 608 bytes instead of 609
  bool noFound = false;        // ignores the probe
  bool unplugOnWrite = false;  // vanishes when a configuration write begins
  bool searchOnly = false;     // answers the probe and ignores every command
  bool ignoreWrites = false;   // acknowledges a configuration write but keeps its record
  bool garbleWrites = false;   // keeps a written record with one byte of its APN changed
  // Bytes move no faster than a real line at 115200 baud 8N1, both ways: a
  // request counts from the arrival of its last byte, and an answer's bytes
  // come one after the other. Off, every byte moves at once.
  bool paced = false;
  unsigned foundPerProbe = 1;  // found frames answering each probe, queued at once
  // Sent in place of each found frame; none: the found frame.
  SimBytes found{};
  // Sent once, right behind the first answer to a probe: a stale
  // acknowledgement, say, or stray bytes.
  SimBytes afterFound{};
};

class SimUnit {
 public:
  static constexpr std::uint64_t kNever = ~std::uint64_t{0};
  // The byte garbleWrites changes: the APN's first, far from the unit's ID.
  static constexpr std::size_t kGarbledByte = 390;
  // What the unit holds of answers not yet sent: six read replies.
  static constexpr std::size_t kOutputRoom = 4096;

  explicit SimUnit(const SimUnitOptions& options = SimUnitOptions{});

  // The record a new unit, or one after a factory reset, holds.
  static void FactoryRecord(ConfigImage& record);

  SimUnitOptions& Options() { return options_; }
  const ConfigImage& Record() const { return record_; }
  void SetRecord(const ConfigImage& record);
  // Goes up whenever the stored record changes (a write or a factory reset).
  unsigned RecordVersion() const { return version_; }
  // True once unplugOnWrite has fired: the unit is gone.
  bool Unplugged() const { return unplugged_; }

  // Bytes from the PC, handed over at nowUs. Whole requests are answered, a
  // request split over several calls once its last byte is in; bytes that
  // begin no request are dropped as noise.
  void Receive(const std::uint8_t* data, std::size_t length, std::uint64_t nowUs);
  // Bytes the unit sends unasked, due at dueUs. Like answers, they leave in
  // the order they were queued, never overtaking what waits before them.
  void Send(const std::uint8_t* data, std::size_t length, std::uint64_t dueUs);
  // Moves up to maxLength bytes that are due by nowUs into buffer, in order.
  std::size_t TakeDue(std::uint8_t* buffer, std::size_t maxLength, std::uint64_t nowUs);
  // When the next queued byte falls due, or kNever.
  std::uint64_t NextDueUs() const;

 private:
  // Room for a whole configuration write and the noise around it; a queued
  // request never holds more than a write less its last byte.
  static constexpr std::size_t kInputRoom = 1024;
  // A slow unit answers every probe of a search that waited for it: two
  // seconds of them, and still room for the request after them.
  static constexpr std::size_t kMaxQueued = 256;

  // Times inside are in nanoseconds, fine enough for one byte on the line.
  struct Queued {
    std::uint64_t dueNs;
    std::size_t length;
  };

  std::uint64_t ByteNs() const;
  std::uint64_t ArrivedNs(std::size_t end) const;
  std::uint64_t LeavesNs(const Queued& answer) const;
  void Handle();
  void Reply(const std::uint8_t* data, std::size_t length, std::uint64_t atNs);
  void ReplyToRead(std::uint64_t atNs);
  void Queue(const std::uint8_t* data, std::size_t length, std::uint64_t dueNs);
  bool Reserve(std::size_t length, std::uint64_t dueNs);
  void Put(const std::uint8_t* data, std::size_t length);
  void Unplug();

  SimUnitOptions options_;
  ConfigImage record_;
  unsigned version_ = 0;
  bool unplugged_ = false;
  bool afterFoundSent_ = false;
  // Bytes from the PC not yet taken as a request: in_[inStart_, inEnd_).
  std::array<std::uint8_t, kInputRoom> in_{};
  std::size_t inStart_ = 0;
  std::size_t inEnd_ = 0;
  // The newest bytes, in_[pieceStart_, inEnd_), began to arrive at
  // pieceBeganNs_; the line in is free again at inFreeNs_.
  std::size_t pieceStart_ = 0;
  std::uint64_t pieceBeganNs_ = 0;
  std::uint64_t inFreeNs_ = 0;
  // When the last byte taken had fully left.
  std::uint64_t outFreeNs_ = 0;
  // Answers in sending order: a byte ring and, per answer, its length and due time.
  std::array<std::uint8_t, kOutputRoom> out_{};
  std::size_t outHead_ = 0;
  std::size_t outSize_ = 0;
  std::array<Queued, kMaxQueued> queued_{};
  std::size_t queuedHead_ = 0;
  std::size_t queuedCount_ = 0;
};

#endif
