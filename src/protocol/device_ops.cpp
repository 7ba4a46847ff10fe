#include "protocol/device_ops.h"

// The device commands arrive with the serial link; until then the buttons
// that reach them stay disabled.
void OnSearch(AppState& /*app*/) {}
void OnRead(AppState& /*app*/) {}
void OnSet(AppState& /*app*/) {}
void OnRestart(AppState& /*app*/) {}
void OnFactoryReset(AppState& /*app*/) {}
void OnPollTimer(AppState& /*app*/) {}
