#include "settings/settings.h"

void LoadSettings(AppState& /*app*/) {}

void SaveSettings(AppState& app) { app.form->End(0); }
