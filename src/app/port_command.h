#ifndef DTU_APP_PORT_COMMAND_H
#define DTU_APP_PORT_COMMAND_H

#include "app/app_state.h"

// The OPEN/CLOSE button.
void OnOpenCommand(AppState& app);

#endif
