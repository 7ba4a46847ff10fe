// The one way every subsystem reads and writes the main form. Lists are read
// and written by selection index only (-1: nothing selected).
#ifndef DTU_FORM_FORM_H
#define DTU_FORM_FORM_H

#include <cstddef>

class Form {
 public:
  virtual ~Form() = default;

  // Copies at most maxLength - 1 bytes of the control's text (an edit's
  // text, a list's visible text or a button's caption) into buffer and
  // always terminates it when maxLength > 0. Returns the bytes copied.
  virtual std::size_t GetText(int id, char* buffer, std::size_t maxLength) = 0;
  // Text put in by the program is not cut by the control's typing limit.
  virtual void SetText(int id, const char* text) = 0;
  virtual int GetSelection(int id) = 0;
  virtual void SetSelection(int id, int index) = 0;
  // Empty visible text and no selection: how a value that matches no entry
  // is shown.
  virtual void BlankList(int id) = 0;
  // Appends at the end whatever the list's sorted style says.
  virtual void AppendListEntry(int id, const char* text) = 0;
  // Limits what the user can type or paste, nothing else.
  virtual void SetTextLimit(int id, int maxCharacters) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;
  virtual void SetSmallIcon(int iconId) = 0;
  // Ends the modal form with the given result.
  virtual void End(int result) = 0;

 protected:
  Form() = default;
  Form(const Form&) = default;
  Form& operator=(const Form&) = default;
};

#endif
