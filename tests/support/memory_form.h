// The in-memory form for native tests: every change is logged, unknown
// controls throw, and typing honours the typing limit as the dialog does.
#ifndef DTU_TESTS_SUPPORT_MEMORY_FORM_H
#define DTU_TESTS_SUPPORT_MEMORY_FORM_H

#include <string>
#include <vector>

#include "form/memory_form.h"

class TestForm final : public Form {
 public:
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

  // What the user does and sees.
  void Type(int id, const std::string& text);
  std::string Text(int id) const;
  bool Enabled(int id) const;
  std::vector<std::string> Entries(int id) const;
  int LimitOf(int id) const { return form_.LimitOf(id); }
  bool Ended() const { return form_.Ended(); }
  int EndResult() const { return form_.EndResult(); }
  const MemoryForm& Inner() const { return form_; }

  // Every call that changed the form, in order, e.g. "SetText 1034 abc".
  std::vector<std::string> log;

 private:
  void Check(int id) const;
  void CheckList(int id) const;
  MemoryForm form_;
};

#endif
