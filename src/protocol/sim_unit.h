// The simulated unit: what a unit answers, the record it stores and its
// factory record, and ways to misbehave. One model serves the in-process
// port "sim", the pty unit under tools/ and the tests. Time is whatever
// clock the caller passes in (milliseconds), so it runs on real or virtual time.
#ifndef DTU_PROTOCOL_SIM_UNIT_H
#define DTU_PROTOCOL_SIM_UNIT_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/config_image.h"

struct SimUnitOptions {
  bool silent = false;         // answers nothing
  unsigned delayMs = 0;        // between a request and its answer
  bool shortRead = false;      // answers a read with 608 bytes instead of 609
  bool noFound = false;        // ignores the probe
  bool unplugOnWrite = false;  // vanishes when a configuration write begins
  bool searchOnly = false;     // answers the probe and ignores every command
  bool ignoreWrites = false;   // acknowledges a configuration write but keeps its record
};

class SimUnit {
 public:
  static constexpr std::uint64_t kNever = ~std::uint64_t{0};
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

  // Bytes from the PC, arriving at nowMs. Whole requests are answered, a
  // request split over several calls once its last byte is in; bytes that
  // begin no request are dropped as noise.
  void Receive(const std::uint8_t* data, std::size_t length, std::uint64_t nowMs);
  // Bytes the unit sends unasked, due at dueMs. Like answers, they leave in
  // the order they were queued, never overtaking what waits before them.
  void Send(const std::uint8_t* data, std::size_t length, std::uint64_t dueMs);
  // Moves up to maxLength bytes that are due by nowMs into buffer, in order.
  std::size_t TakeDue(std::uint8_t* buffer, std::size_t maxLength, std::uint64_t nowMs);
  // When the next queued byte falls due, or kNever.
  std::uint64_t NextDueMs() const;

 private:
  // Room for a whole configuration write and the noise around it; a queued
  // request never holds more than a write less its last byte.
  static constexpr std::size_t kInputRoom = 1024;
  static constexpr std::size_t kMaxQueued = 32;

  struct Queued {
    std::uint64_t dueMs;
    std::size_t length;
  };

  void Handle(std::uint64_t nowMs);
  void Reply(const std::uint8_t* data, std::size_t length, std::uint64_t nowMs);
  void ReplyToRead(std::uint64_t nowMs);
  bool Reserve(std::size_t length, std::uint64_t dueMs);
  void Put(const std::uint8_t* data, std::size_t length);
  void Unplug();

  SimUnitOptions options_;
  ConfigImage record_;
  unsigned version_ = 0;
  bool unplugged_ = false;
  // Bytes from the PC not yet taken as a request: in_[inStart_, inEnd_).
  std::array<std::uint8_t, kInputRoom> in_{};
  std::size_t inStart_ = 0;
  std::size_t inEnd_ = 0;
  // Answers in sending order: a byte ring and, per answer, its length and due time.
  std::array<std::uint8_t, kOutputRoom> out_{};
  std::size_t outHead_ = 0;
  std::size_t outSize_ = 0;
  std::array<Queued, kMaxQueued> queued_{};
  std::size_t queuedHead_ = 0;
  std::size_t queuedCount_ = 0;
};

#endif
