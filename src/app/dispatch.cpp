#include "app/dispatch.h"

#include "app/device_ops.h"
#include "app/port_command.h"
#include "form/control_ids.h"
#include "form/form_lists.h"

void OnCommand(AppState& app, int controlId) {
  switch (controlId) {
    case IDC_SEARCH:
      OnSearch(app);
      break;
    case IDC_OPEN:
      OnOpenCommand(app);
      break;
    case IDC_READ:
      OnRead(app);
      break;
    case IDC_SET:
      OnSet(app);
      break;
    case IDC_RESTART:
      OnRestart(app);
      break;
    case IDC_CLEAR:
      ClearForm(*app.form);
      break;
    case IDC_FACTORY_RESET:
      OnFactoryReset(app);
      break;
    default:
      // Enter and Esc arrive as IDOK and IDCANCEL and must do nothing.
      break;
  }
}
