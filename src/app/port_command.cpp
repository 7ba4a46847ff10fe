#include "app/port_command.h"

#include <cstring>

#include "form/control_ids.h"

namespace {

constexpr std::uint32_t kBaud = 115200;
// Reads return at once with what has arrived; writes may take 20 ms a byte
// plus a second.
constexpr std::uint32_t kReadInterval = 0xFFFFFFFFu;
constexpr std::uint32_t kWriteTotalMultiplier = 20;
constexpr std::uint32_t kWriteTotalConstant = 1000;

// List index n picks "com" n+1; anything else, nothing selected included,
// falls back to "com1".
void PortName(int index, char (&name)[8]) {
  const int number = index >= 1 && index <= 10 ? index + 1 : 1;
  // By hand: a formatted print would bring MinGW's whole printf into the exe.
  char* out = name;
  for (const char* c = "com"; *c != '\0'; ++c) {
    *out++ = *c;
  }
  if (number >= 10) {
    *out++ = static_cast<char>('0' + number / 10);
  }
  *out++ = static_cast<char>('0' + number % 10);
  *out = '\0';
}

void OpenSelectedPort(AppState& app) {
  Form& form = *app.form;
  form.SetText(IDC_OPEN, "CLOSE");
  char name[8];
  PortName(form.GetSelection(IDC_PC_COM), name);
  const bool opened = app.port->Open(name);
  form.SetText(IDC_STATUS, opened ? "COM Opened" : "COM FAIL");
  if (app.port->Configure(kBaud) &&
      app.port->SetTimeouts(kReadInterval, 0, 0, kWriteTotalMultiplier, kWriteTotalConstant)) {
    form.EnableControl(IDC_SEARCH, true);
  }
  app.port->Purge();
}

void CloseHeldPort(AppState& app) {
  Form& form = *app.form;
  const bool closed = app.port->Close();
  form.SetText(IDC_STATUS, closed ? "COM Closed" : "COM FAIL");
  form.SetText(IDC_OPEN, "OPEN");
  form.EnableControl(IDC_SEARCH, false);
}

}  // namespace

void OnOpenCommand(AppState& app) {
  // The caption is the port's state; one press takes exactly one branch.
  char caption[50] = {};
  app.form->GetText(IDC_OPEN, caption, sizeof caption);
  if (std::strcmp(caption, "OPEN") == 0) {
    OpenSelectedPort(app);
  } else if (std::strcmp(caption, "CLOSE") == 0) {
    CloseHeldPort(app);
  }
}
