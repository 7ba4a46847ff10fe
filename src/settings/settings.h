// The form's contents kept between runs in the settings file.
#ifndef DTU_SETTINGS_SETTINGS_H
#define DTU_SETTINGS_SETTINGS_H

#include "app/app_state.h"

void LoadSettings(AppState& app);
// Saves the form and ends it with result 0.
void SaveSettings(AppState& app);

#endif
