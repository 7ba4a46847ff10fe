// Ctrl-C as the lines see it: the platform's handler raises the flag, and
// every wait on a line ends with Link::Result::Interrupted once it is up.
#ifndef DTU_SERIAL_INTERRUPT_H
#define DTU_SERIAL_INTERRUPT_H

// Safe to call from a signal handler or a console control handler.
void RequestInterrupt();
bool InterruptRequested();
// For tests, and for a tool that goes on after an interrupt was handled.
void ClearInterrupt();

#endif
