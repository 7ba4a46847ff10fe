#include "form/form_win32.h"

#include <commctrl.h>

#include <climits>

std::size_t Win32Form::GetText(int id, char* buffer, std::size_t maxLength) {
  if (maxLength == 0) {
    return 0;
  }
  buffer[0] = '\0';
  const int limit = maxLength > INT_MAX ? INT_MAX : static_cast<int>(maxLength);
  const UINT copied = GetDlgItemTextA(dialog_, id, buffer, limit);
  return copied;
}

void Win32Form::SetText(int id, const char* text) { SetDlgItemTextA(dialog_, id, text); }

int Win32Form::GetSelection(int id) {
  return static_cast<int>(SendDlgItemMessageA(dialog_, id, CB_GETCURSEL, 0, 0));
}

void Win32Form::SetSelection(int id, int index) {
  SendDlgItemMessageA(dialog_, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void Win32Form::BlankList(int id) {
  // -1 removes the selection and empties the edit part of the combo box.
  SendDlgItemMessageA(dialog_, id, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  SetDlgItemTextA(dialog_, id, "");
}

void Win32Form::AppendListEntry(int id, const char* text) {
  // Inserting at -1 keeps the given order; adding would sort by the style.
  SendDlgItemMessageA(dialog_, id, CB_INSERTSTRING, static_cast<WPARAM>(-1),
                      reinterpret_cast<LPARAM>(text));
}

void Win32Form::SetTextLimit(int id, int maxCharacters) {
  SendDlgItemMessageA(dialog_, id, EM_LIMITTEXT, static_cast<WPARAM>(maxCharacters), 0);
}

void Win32Form::EnableControl(int id, bool enabled) {
  EnableWindow(GetDlgItem(dialog_, id), enabled ? TRUE : FALSE);
}

void Win32Form::SetSmallIcon(int iconId) {
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(iconId));
  SendMessageA(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

void Win32Form::End(int result) { EndDialog(dialog_, result); }
