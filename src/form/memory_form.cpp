#include "form/memory_form.h"

#include <cstring>

#include "form/control_ids.h"

namespace {

struct Initial {
  int id;
  MemoryForm::Kind kind;
  const char* caption;
  bool enabled;
};

using K = MemoryForm::Kind;
// The dialog template's controls in template order, labels and boxes left out.
constexpr Initial kTemplate[] = {
    {IDC_SEARCH, K::Button, "SEARCH", false},
    {IDC_PC_COM, K::List, "", true},
    {IDC_STATUS, K::Edit, "", true},
    {IDC_OPEN, K::Button, "OPEN", true},
    {IDC_READ, K::Button, "Read", false},
    {IDC_SET, K::Button, "Set", false},
    {IDC_BAUD, K::List, "", true},
    {IDC_DATA_BITS, K::List, "", true},
    {IDC_STOP_BITS, K::List, "", true},
    {IDC_PARITY, K::List, "", true},
    {IDC_REG_PACKAGE, K::Edit, "", true},
    {IDC_HEARTBEAT_TIME, K::Edit, "", true},
    {IDC_MASTER_IP, K::Edit, "", true},
    {IDC_HEARTBEAT_PACKAGE, K::Edit, "", true},
    {IDC_RECONNECT_INTERVAL, K::Edit, "", true},
    {IDC_NO_RESPONSE_TIME, K::Edit, "", true},
    {IDC_MASTER_PORT, K::Edit, "", true},
    {IDC_PROTOCOL, K::List, "", true},
    {IDC_STANDBY_IP, K::Edit, "", true},
    {IDC_STANDBY_PORT, K::Edit, "", true},
    {IDC_RESTART, K::Button, "Restart", false},
    {IDC_CLEAR, K::Button, "Clear", true},
    {IDC_CENTER_PHONE1, K::Edit, "", true},
    {IDC_PACKET_LENGTH, K::Edit, "", true},
    {IDC_DEBUG_INFO, K::List, "", true},
    {IDC_MIN_INTERVAL, K::Edit, "", true},
    {IDC_RECONNECT_TIMES, K::Edit, "", true},
    {IDC_INPUT3, K::List, "", true},
    {IDC_INPUT4, K::List, "", true},
    {IDC_DATA_MODE, K::List, "", true},
    {IDC_APN, K::Edit, "", true},
    {IDC_GPRS_USER, K::Edit, "", true},
    {IDC_GPRS_PASSWORD, K::Edit, "", true},
    {IDC_OUTPUT1, K::List, "", true},
    {IDC_OUTPUT2, K::List, "", true},
    {IDC_WORK_MODE, K::List, "", true},
    {IDC_FACTORY_RESET, K::Button, "Factory Reset", false},
    {IDC_CENTER_PHONE2, K::Edit, "", true},
    {IDC_SMS_Alarm1, K::Edit, "", true},
    {IDC_SMS_Alarm2, K::Edit, "", true},
};
static_assert(sizeof kTemplate / sizeof kTemplate[0] == MemoryForm::kControlCount,
              "one slot per control of the template");

}  // namespace

MemoryForm::MemoryForm() : controls_{} {
  for (int i = 0; i < kControlCount; ++i) {
    Control& control = controls_[i];
    control.id = kTemplate[i].id;
    control.kind = kTemplate[i].kind;
    CopyText(control, kTemplate[i].caption);
    control.selection = -1;
    control.enabled = kTemplate[i].enabled;
  }
}

MemoryForm::Control* MemoryForm::Find(int id) {
  for (Control& control : controls_) {
    if (control.id == id) {
      return &control;
    }
  }
  return nullptr;
}

const MemoryForm::Control* MemoryForm::Find(int id) const {
  return const_cast<MemoryForm*>(this)->Find(id);
}

void MemoryForm::CopyText(Control& control, const char* text) {
  std::size_t n = 0;
  while (n + 1 < kTextCapacity && text[n] != '\0') {
    control.text[n] = text[n];
    ++n;
  }
  control.text[n] = '\0';
}

std::size_t MemoryForm::GetText(int id, char* buffer, std::size_t maxLength) {
  if (maxLength == 0) {
    return 0;
  }
  const char* text = TextOf(id);
  std::size_t n = 0;
  while (n + 1 < maxLength && text[n] != '\0') {
    buffer[n] = text[n];
    ++n;
  }
  buffer[n] = '\0';
  return n;
}

void MemoryForm::SetText(int id, const char* text) {
  if (Control* control = Find(id)) {
    CopyText(*control, text);
  }
}

int MemoryForm::GetSelection(int id) { return SelectionOf(id); }

void MemoryForm::SetSelection(int id, int index) {
  Control* control = Find(id);
  if (control == nullptr || control->kind != Kind::List) {
    return;
  }
  // Like the combo box: an index outside the list leaves nothing selected.
  if (index >= 0 && index < control->entryCount) {
    control->selection = index;
    CopyText(*control, control->entries[index]);
  } else {
    control->selection = -1;
    control->text[0] = '\0';
  }
}

void MemoryForm::BlankList(int id) {
  if (Control* control = Find(id)) {
    control->selection = -1;
    control->text[0] = '\0';
  }
}

void MemoryForm::AppendListEntry(int id, const char* text) {
  Control* control = Find(id);
  if (control != nullptr && control->entryCount < kMaxEntries) {
    control->entries[control->entryCount++] = text;
  }
}

void MemoryForm::SetTextLimit(int id, int maxCharacters) {
  if (Control* control = Find(id)) {
    control->limit = maxCharacters;
  }
}

void MemoryForm::EnableControl(int id, bool enabled) {
  if (Control* control = Find(id)) {
    control->enabled = enabled;
  }
}

void MemoryForm::SetSmallIcon(int iconId) { smallIcon_ = iconId; }

void MemoryForm::End(int result) {
  ended_ = true;
  endResult_ = result;
}

MemoryForm::Kind MemoryForm::KindOf(int id) const {
  const Control* control = Find(id);
  return control != nullptr ? control->kind : Kind::Edit;
}

const char* MemoryForm::TextOf(int id) const {
  const Control* control = Find(id);
  return control != nullptr ? control->text : "";
}

int MemoryForm::SelectionOf(int id) const {
  const Control* control = Find(id);
  return control != nullptr ? control->selection : -1;
}

bool MemoryForm::EnabledOf(int id) const {
  const Control* control = Find(id);
  return control != nullptr && control->enabled;
}

int MemoryForm::LimitOf(int id) const {
  const Control* control = Find(id);
  return control != nullptr ? control->limit : 0;
}

int MemoryForm::EntryCount(int id) const {
  const Control* control = Find(id);
  return control != nullptr ? control->entryCount : 0;
}

const char* MemoryForm::Entry(int id, int index) const {
  const Control* control = Find(id);
  if (control == nullptr || index < 0 || index >= control->entryCount) {
    return "";
  }
  return control->entries[index];
}
