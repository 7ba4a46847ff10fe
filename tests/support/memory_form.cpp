#include "support/memory_form.h"

#include <cstring>
#include <stdexcept>

#include "form/control_ids.h"

namespace {

struct Initial {
  int id;
  MemoryForm::Kind kind;
  const char* caption;
  bool enabled;
};

using K = MemoryForm::Kind;
const Initial kTemplate[] = {
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

}  // namespace

MemoryForm::MemoryForm() {
  for (const Initial& c : kTemplate) {
    Control control;
    control.kind = c.kind;
    control.text = c.caption;
    control.enabled = c.enabled;
    controls_[c.id] = control;
  }
}

MemoryForm::Control& MemoryForm::Get(int id) {
  auto it = controls_.find(id);
  if (it == controls_.end()) {
    throw std::out_of_range("no control " + std::to_string(id));
  }
  return it->second;
}

const MemoryForm::Control& MemoryForm::At(int id) const { return controls_.at(id); }

std::size_t MemoryForm::GetText(int id, char* buffer, std::size_t maxLength) {
  if (maxLength == 0) {
    return 0;
  }
  const std::string& text = Get(id).text;
  const std::size_t n = std::min(text.size(), maxLength - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

void MemoryForm::SetText(int id, const char* text) {
  Get(id).text = text;
  log.push_back("SetText " + std::to_string(id) + " " + text);
}

int MemoryForm::GetSelection(int id) {
  Control& c = Get(id);
  if (c.kind != Kind::List) {
    throw std::logic_error("selection of a control that is no list: " + std::to_string(id));
  }
  return c.selection;
}

void MemoryForm::SetSelection(int id, int index) {
  Control& c = Get(id);
  if (c.kind != Kind::List) {
    throw std::logic_error("selection of a control that is no list: " + std::to_string(id));
  }
  // Like the combo box: an index outside the list leaves nothing selected.
  if (index >= 0 && index < static_cast<int>(c.entries.size())) {
    c.selection = index;
    c.text = c.entries[static_cast<std::size_t>(index)];
  } else {
    c.selection = -1;
    c.text.clear();
  }
  log.push_back("SetSelection " + std::to_string(id) + " " + std::to_string(index));
}

void MemoryForm::BlankList(int id) {
  Control& c = Get(id);
  c.selection = -1;
  c.text.clear();
  log.push_back("BlankList " + std::to_string(id));
}

void MemoryForm::AppendListEntry(int id, const char* text) {
  Get(id).entries.emplace_back(text);
  log.push_back("AppendListEntry " + std::to_string(id) + " " + text);
}

void MemoryForm::SetTextLimit(int id, int maxCharacters) {
  Get(id).limit = maxCharacters;
  log.push_back("SetTextLimit " + std::to_string(id) + " " + std::to_string(maxCharacters));
}

void MemoryForm::EnableControl(int id, bool enabled) {
  Get(id).enabled = enabled;
  log.push_back(std::string(enabled ? "Enable " : "Disable ") + std::to_string(id));
}

void MemoryForm::SetSmallIcon(int iconId) {
  smallIcon = iconId;
  log.push_back("SetSmallIcon " + std::to_string(iconId));
}

void MemoryForm::End(int result) {
  ended = true;
  endResult = result;
  log.push_back("End " + std::to_string(result));
}

void MemoryForm::Type(int id, const std::string& text) {
  Control& c = Get(id);
  std::string typed = text;
  if (c.limit > 0 && typed.size() > static_cast<std::size_t>(c.limit)) {
    typed.resize(static_cast<std::size_t>(c.limit));
  }
  c.text = typed;
  // Typing into a combo box's edit part drops its selection.
  if (c.kind == Kind::List) {
    c.selection = -1;
  }
}

std::string MemoryForm::Text(int id) const { return controls_.at(id).text; }

bool MemoryForm::Enabled(int id) const { return controls_.at(id).enabled; }
