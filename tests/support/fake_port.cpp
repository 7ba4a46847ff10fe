#include "support/fake_port.h"

bool FakePort::Open(const char* name) {
  open = false;
  calls.push_back(std::string("Open ") + name);
  if (failOpen) {
    return false;
  }
  open = true;
  return true;
}

bool FakePort::Configure(std::uint32_t baud) {
  calls.push_back("Configure " + std::to_string(baud));
  return open && !failConfigure;
}

bool FakePort::SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                           std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                           std::uint32_t writeTotalConstant) {
  calls.push_back("SetTimeouts");
  if (!open || failTimeouts) {
    return false;
  }
  const std::uint32_t values[5] = {readInterval, readTotalMultiplier, readTotalConstant,
                                   writeTotalMultiplier, writeTotalConstant};
  for (int i = 0; i < 5; ++i) {
    timeouts[i] = values[i];
  }
  return true;
}

bool FakePort::Write(const std::uint8_t* data, std::size_t length, std::size_t* written) {
  *written = 0;
  if (!open) {
    calls.push_back("Write failed");
    return false;
  }
  std::size_t n = length;
  if (writeLimit >= 0 && n > static_cast<std::size_t>(writeLimit)) {
    n = static_cast<std::size_t>(writeLimit);
  }
  Bytes bytes(data, data + n);
  writes.push_back(bytes);
  *written = n;
  if (unit) {
    unit(bytes);
  }
  return true;
}

bool FakePort::Read(std::uint8_t* buffer, std::size_t maxLength, std::size_t* received) {
  readSizes.push_back(maxLength);
  *received = 0;
  if (!open) {
    return false;
  }
  while (*received < maxLength && !input.empty()) {
    buffer[(*received)++] = input.front();
    input.pop_front();
  }
  return true;
}

bool FakePort::Close() {
  calls.push_back("Close");
  if (!open || failClose) {
    return false;
  }
  open = false;
  return true;
}

bool FakePort::Purge() {
  calls.push_back("Purge");
  if (!open) {
    return false;
  }
  input.clear();
  return true;
}

void FakePort::Queue(const Bytes& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }

void FakePort::Queue(const std::string& bytes) {
  input.insert(input.end(), bytes.begin(), bytes.end());
}

FakePort::Bytes FakePort::Written() const {
  Bytes all;
  for (const Bytes& w : writes) {
    all.insert(all.end(), w.begin(), w.end());
  }
  return all;
}
