// An in-memory main form for native tests. It models what the tool relies
// on: lists read by index, -1 after blanking, program-set text not cut by the
// typing limit, typed text cut by it.
#ifndef DTU_TESTS_SUPPORT_MEMORY_FORM_H
#define DTU_TESTS_SUPPORT_MEMORY_FORM_H

#include <map>
#include <string>
#include <vector>

#include "form/form.h"

class MemoryForm final : public Form {
 public:
  enum class Kind { Button, Edit, List };

  struct Control {
    Kind kind = Kind::Edit;
    std::string text;
    std::vector<std::string> entries;
    int selection = -1;
    int limit = 0;  // 0: no typing limit of its own
    bool enabled = true;
  };

  // Every control of the dialog template, with its caption and initial state.
  MemoryForm();

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
  const Control& At(int id) const;
  bool Has(int id) const { return controls_.count(id) != 0; }

  int smallIcon = 0;
  bool ended = false;
  int endResult = -1;
  // Every call that changed the form, in order, e.g. "SetText 1034 abc".
  std::vector<std::string> log;

 private:
  Control& Get(int id);
  std::map<int, Control> controls_;
};

#endif
