#include "support/memory_form.h"

#include <stdexcept>

void TestForm::Check(int id) const {
  if (!form_.Has(id)) {
    throw std::out_of_range("no control " + std::to_string(id));
  }
}

void TestForm::CheckList(int id) const {
  Check(id);
  if (form_.KindOf(id) != MemoryForm::Kind::List) {
    throw std::logic_error("selection of a control that is no list: " + std::to_string(id));
  }
}

std::size_t TestForm::GetText(int id, char* buffer, std::size_t maxLength) {
  Check(id);
  return form_.GetText(id, buffer, maxLength);
}

void TestForm::SetText(int id, const char* text) {
  Check(id);
  form_.SetText(id, text);
  log.push_back("SetText " + std::to_string(id) + " " + text);
}

int TestForm::GetSelection(int id) {
  CheckList(id);
  return form_.GetSelection(id);
}

void TestForm::SetSelection(int id, int index) {
  CheckList(id);
  form_.SetSelection(id, index);
  log.push_back("SetSelection " + std::to_string(id) + " " + std::to_string(index));
}

void TestForm::BlankList(int id) {
  Check(id);
  form_.BlankList(id);
  log.push_back("BlankList " + std::to_string(id));
}

void TestForm::AppendListEntry(int id, const char* text) {
  Check(id);
  form_.AppendListEntry(id, text);
  log.push_back("AppendListEntry " + std::to_string(id) + " " + text);
}

void TestForm::SetTextLimit(int id, int maxCharacters) {
  Check(id);
  form_.SetTextLimit(id, maxCharacters);
  log.push_back("SetTextLimit " + std::to_string(id) + " " + std::to_string(maxCharacters));
}

void TestForm::EnableControl(int id, bool enabled) {
  Check(id);
  form_.EnableControl(id, enabled);
  log.push_back(std::string(enabled ? "Enable " : "Disable ") + std::to_string(id));
}

void TestForm::SetSmallIcon(int iconId) {
  form_.SetSmallIcon(iconId);
  log.push_back("SetSmallIcon " + std::to_string(iconId));
}

void TestForm::End(int result) {
  form_.End(result);
  log.push_back("End " + std::to_string(result));
}

void TestForm::Type(int id, const std::string& text) {
  Check(id);
  std::string typed = text;
  const int limit = form_.LimitOf(id);
  if (limit > 0 && typed.size() > static_cast<std::size_t>(limit)) {
    typed.resize(static_cast<std::size_t>(limit));
  }
  // Typing into a combo box's edit part drops its selection.
  if (form_.KindOf(id) == MemoryForm::Kind::List) {
    form_.BlankList(id);
  }
  form_.SetText(id, typed.c_str());
}

std::string TestForm::Text(int id) const {
  Check(id);
  return form_.TextOf(id);
}

bool TestForm::Enabled(int id) const {
  Check(id);
  return form_.EnabledOf(id);
}

std::vector<std::string> TestForm::Entries(int id) const {
  std::vector<std::string> entries;
  entries.reserve(static_cast<std::size_t>(form_.EntryCount(id)));
  for (int i = 0; i < form_.EntryCount(id); ++i) {
    entries.emplace_back(form_.Entry(id, i));
  }
  return entries;
}
