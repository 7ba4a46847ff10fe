#include "app/seams_win32.h"

namespace {

// Longest box text or caption the tool shows, in UTF-16 units, with room.
constexpr int kMaxWideText = 256;

bool ToWide(const char* text, unsigned codePage, wchar_t (&wide)[kMaxWideText]) {
  const int n = MultiByteToWideChar(codePage, 0, text, -1, wide, kMaxWideText);
  return n > 0;
}

}  // namespace

void Win32MessageBoxes::Show(const char* text, const char* caption, BoxOwner owner,
                             unsigned codePage) {
  HWND ownerWindow = owner == BoxOwner::Form ? form_ : nullptr;
  if (codePage == kAnsiCodePage) {
    MessageBoxA(ownerWindow, text, caption, MB_OK);
    return;
  }
  // Converted here so that the text reads right whatever the PC's own code
  // page is.
  wchar_t wideText[kMaxWideText];
  wchar_t wideCaption[kMaxWideText];
  if (!ToWide(text, codePage, wideText)) {
    MessageBoxA(ownerWindow, text, caption, MB_OK);
    return;
  }
  const bool hasCaption = caption != nullptr && ToWide(caption, codePage, wideCaption);
  MessageBoxW(ownerWindow, wideText, hasCaption ? wideCaption : nullptr, MB_OK);
}

void Win32Sleeper::Sleep(unsigned milliseconds) { ::Sleep(milliseconds); }
