// Process entry and the dialog procedure of the main form.
#include <windows.h>

// After windows.h, which it needs.
#include <commctrl.h>

#include "app/app_state.h"
#include "app/device_ops.h"
#include "app/dispatch.h"
#include "app/seams_win32.h"
#include "form/control_ids.h"
#include "form/form_lists.h"
#include "form/form_win32.h"
#include "serial/serial_port_win32.h"
#include "settings/settings.h"
#include "settings/settings_store_win32.h"

namespace {

constexpr UINT_PTR kPollTimerId = 1;
constexpr UINT kPollPeriodMs = 10;

// Zero at start; lives as long as the process.
AppState g_app;
Win32Form g_form;
Win32MessageBoxes g_boxes;
Win32Sleeper g_sleeper;
Win32SerialPort g_port;
Win32SettingsStore g_settingsStore;

void CALLBACK PollTimerProc(HWND /*window*/, UINT /*message*/, UINT_PTR /*id*/, DWORD /*time*/) {
  OnPollTimer(g_app);
}

}  // namespace

BOOL InitMainDialog(HWND window) {
  g_form.Attach(window);
  g_boxes.Attach(window);
  SetUpForm(g_form);
  LoadSettings(g_form, g_settingsStore);
  SetTimer(window, kPollTimerId, kPollPeriodMs, PollTimerProc);
  return TRUE;
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return InitMainDialog(window);
    case WM_COMMAND:
      OnCommand(g_app, LOWORD(wParam));
      return FALSE;
    case WM_CLOSE:
      SaveSettings(g_form, g_settingsStore);
      return FALSE;
    default:
      return FALSE;
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  g_app.form = &g_form;
  g_app.boxes = &g_boxes;
  g_app.sleeper = &g_sleeper;
  g_app.port = &g_port;
  InitCommonControls();
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
  return 0;
}
