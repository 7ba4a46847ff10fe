#ifndef DTU_APP_DISPATCH_H
#define DTU_APP_DISPATCH_H

#include "app/app_state.h"

// Runs the command of the control with this identifier; others are ignored.
void OnCommand(AppState& app, int controlId);

#endif
