// The process-wide state shared by the commands and the poll timer.
#ifndef DTU_APP_APP_STATE_H
#define DTU_APP_APP_STATE_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "form/form.h"
#include "form/seams.h"
#include "protocol/config_image.h"
#include "serial/serial_port.h"

inline constexpr std::size_t kReceiveBufferSize = 650;

struct AppState {
  // Platform services, wired once at start-up (fakes in tests).
  Form* form;
  SerialPort* port;
  Sleeper* sleeper;
  MessageBoxes* boxes;

  bool searchActive;
  bool awaitingAck;
  bool awaitingReboot;
  // Every serial read lands at its start.
  std::array<std::uint8_t, kReceiveBufferSize> ReceiveBuffer;
  ConfigImage image;
};

#endif
