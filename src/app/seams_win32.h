#ifndef DTU_APP_SEAMS_WIN32_H
#define DTU_APP_SEAMS_WIN32_H

#include <windows.h>

#include "form/seams.h"

class Win32MessageBoxes final : public MessageBoxes {
 public:
  void Attach(HWND form) { form_ = form; }
  void Show(const char* text, const char* caption, BoxOwner owner, unsigned codePage) override;

 private:
  HWND form_ = nullptr;
};

class Win32Sleeper final : public Sleeper {
 public:
  void Sleep(unsigned milliseconds) override;
};

#endif
