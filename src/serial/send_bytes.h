#ifndef DTU_SERIAL_SEND_BYTES_H
#define DTU_SERIAL_SEND_BYTES_H

#include <cstddef>
#include <cstdint>

#include "serial/serial_port.h"

// Writes the search probe. A short write is only reported on standard output,
// which the windowed program does not show; always returns true.
bool SendBytes(SerialPort& port, const std::uint8_t* data, std::size_t length);

#endif
