#include "serial/port_command.h"

void OnOpenCommand(AppState& /*app*/) {}
