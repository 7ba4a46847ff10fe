// The device commands and the 10 ms poll timer that serves their replies.
#ifndef DTU_APP_DEVICE_OPS_H
#define DTU_APP_DEVICE_OPS_H

#include "app/app_state.h"

void OnSearch(AppState& app);
void OnRead(AppState& app);
void OnSet(AppState& app);
void OnRestart(AppState& app);
void OnFactoryReset(AppState& app);
void OnPollTimer(AppState& app);

#endif
