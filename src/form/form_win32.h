// The form over the real dialog window.
#ifndef DTU_FORM_FORM_WIN32_H
#define DTU_FORM_FORM_WIN32_H

#include <windows.h>

#include "form/form.h"

class Win32Form final : public Form {
 public:
  void Attach(HWND dialog) { dialog_ = dialog; }
  HWND Window() const { return dialog_; }

  std::size_t GetText(int id, char* buffer, std::size_t maxLength) override;
  void SetText(int id, const char* text) override;
  int GetSelection(int id) override;
  void SetSelection(int id, int index) override;
  void BlankList(int id) override;
  void AppendListEntry(int id, const char* text) override;
  void SetTextLimit(int id, int maxCharacters) override;
  void EnableControl(int id, bool enabled) override;
  void SetSmallIcon(int iconId) override;
  void End(int result) override;

 private:
  HWND dialog_ = nullptr;
};

#endif
