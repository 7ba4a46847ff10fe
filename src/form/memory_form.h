// The main form held in memory: every control of the dialog template with
// its caption and initial state, and nothing drawn. The command-line tool
// runs the form's own rules over it (settings file to form to record and
// back). It models what those rules rely on: lists read by index, -1 after
// blanking, text put in by the program not cut by the typing limit.
#ifndef DTU_FORM_MEMORY_FORM_H
#define DTU_FORM_MEMORY_FORM_H

#include <cstddef>

#include "form/form.h"

class MemoryForm final : public Form {
 public:
  enum class Kind { Button, Edit, List };
  // Longest text a control keeps, terminator included. The rules never put
  // in more than a package's 87 characters; longer texts are cut.
  static constexpr std::size_t kTextCapacity = 128;
  static constexpr int kMaxEntries = 12;
  static constexpr int kControlCount = 40;

  MemoryForm();
  MemoryForm(const MemoryForm&) = default;
  MemoryForm& operator=(const MemoryForm&) = default;
  ~MemoryForm() override = default;

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

  bool Has(int id) const { return Find(id) != nullptr; }
  Kind KindOf(int id) const;
  // Empty for an unknown control.
  const char* TextOf(int id) const;
  int SelectionOf(int id) const;
  bool EnabledOf(int id) const;
  int LimitOf(int id) const;
  int EntryCount(int id) const;
  const char* Entry(int id, int index) const;
  int SmallIcon() const { return smallIcon_; }
  bool Ended() const { return ended_; }
  int EndResult() const { return endResult_; }

 private:
  struct Control {
    int id;
    Kind kind;
    char text[kTextCapacity];
    // List entries point at the lists' literals, which live as long as the program.
    const char* entries[kMaxEntries];
    int entryCount;
    int selection;
    int limit;  // 0: no typing limit of its own
    bool enabled;
  };
  Control* Find(int id);
  const Control* Find(int id) const;
  static void CopyText(Control& control, const char* text);

  Control controls_[kControlCount];
  int smallIcon_ = 0;
  bool ended_ = false;
  int endResult_ = -1;
};

#endif
