#include "support/ini_store.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

// Ctrl-Z counts as a blank too, a left-over of old end-of-file marks.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1a';
}

std::string TrimLeft(const std::string& s) {
  std::size_t b = 0;
  while (b < s.size() && IsBlank(s[b])) ++b;
  return s.substr(b);
}

std::string TrimRight(const std::string& s) {
  std::size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string Trim(const std::string& s) { return TrimRight(TrimLeft(s)); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// A missing or unreadable file (a folder, say) reads as an empty one.
void Load(const std::string& path, std::string* text) {
  text->clear();
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, n);
  std::fclose(file);
}

IniStore::Section* FindSection(std::vector<IniStore::Section>& sections, const std::string& name) {
  const std::string wanted = Trim(name);
  for (IniStore::Section& section : sections) {
    if (SameName(section.name, wanted)) return &section;
  }
  return nullptr;
}

IniStore::Entry* FindEntry(IniStore::Section& section, const std::string& name) {
  const std::string wanted = Trim(name);
  for (IniStore::Entry& entry : section.entries) {
    if (SameName(entry.name, wanted)) return &entry;
  }
  return nullptr;
}

// Copies at most maxLength - 1 bytes. A value quoted with matching ' or "
// loses its quotes; when the buffer is too short for the closing quote, the
// last byte that fits goes instead, as the profile functions do.
std::size_t CopyValue(const std::string& value, bool stripQuotes, char* buffer,
                      std::size_t maxLength) {
  std::string source = value;
  bool quoted = false;
  if (stripQuotes && source.size() >= 2 && (source[0] == '\'' || source[0] == '"') &&
      source.back() == source[0]) {
    quoted = true;
    source.erase(0, 1);
  }
  std::string copy = source.substr(0, maxLength - 1);
  if (quoted && maxLength >= source.size() && !copy.empty()) copy.pop_back();
  std::memcpy(buffer, copy.data(), copy.size());
  buffer[copy.size()] = '\0';
  return copy.size();
}

}  // namespace

std::vector<IniStore::Section> IniStore::Parse(const std::string& text) {
  std::vector<Section> sections(1);
  bool previousUnnamed = false;
  bool anyPrevious = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // A line ends at the next LF or, when there is none left, at the next CR.
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.find('\r', pos);
    end = (end == std::string::npos) ? text.size() : end + 1;
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end;
    if (line.empty()) continue;
    if (line[0] == '[') {
      const std::size_t close = line.rfind(']');
      if (close != std::string::npos && close > 0) {
        sections.push_back(Section{Trim(line.substr(1, close - 1)), {}});
        anyPrevious = false;
        continue;
      }
    }
    Entry entry;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      entry.name = line;
    } else {
      entry.name = TrimRight(line.substr(0, equals));
      entry.hasValue = true;
      entry.value = TrimLeft(line.substr(equals + 1));
    }
    // A nameless line right after another nameless one is dropped.
    if (entry.name.empty() && anyPrevious && previousUnnamed) continue;
    anyPrevious = true;
    previousUnnamed = entry.name.empty();
    sections.back().entries.push_back(entry);
  }
  return sections;
}

std::string IniStore::Format(const std::vector<Section>& sections) {
  std::string text;
  for (const Section& section : sections) {
    if (!section.name.empty()) text += "[" + section.name + "]\r\n";
    for (const Entry& entry : section.entries) {
      text += entry.name;
      if (entry.hasValue) text += "=" + entry.value;
      text += "\r\n";
    }
  }
  return text;
}

std::size_t IniStore::Read(const char* section, const char* key, const char* defaultValue,
                           char* buffer, std::size_t maxLength) {
  if (maxLength == 0) return 0;
  // Trailing blanks (only ' ') leave the default, but never its first byte.
  std::string fallback = defaultValue != nullptr ? defaultValue : "";
  while (fallback.size() > 1 && fallback.back() == ' ') fallback.pop_back();

  std::string text;
  Load(path_, &text);
  std::vector<Section> sections = Parse(text);
  Section* found = FindSection(sections, section);
  const Entry* entry = found != nullptr ? FindEntry(*found, key) : nullptr;
  if (entry != nullptr && entry->hasValue) return CopyValue(entry->value, true, buffer, maxLength);
  return CopyValue(fallback, true, buffer, maxLength);
}

void IniStore::Write(const char* section, const char* key, const char* value) {
  // Deleting keys and sections is not part of the store.
  if (section == nullptr || key == nullptr || value == nullptr) return;
  std::string text;
  Load(path_, &text);
  std::vector<Section> sections = Parse(text);
  Section* target = FindSection(sections, section);
  if (target == nullptr) {
    sections.push_back(Section{TrimLeft(section), {}});
    target = &sections.back();
  }
  Entry* entry = FindEntry(*target, key);
  if (entry == nullptr) {
    target->entries.push_back(Entry{TrimLeft(key), false, {}});
    entry = &target->entries.back();
  }
  const std::string newValue = TrimLeft(value);
  // An unchanged value leaves the file untouched, line ends and all.
  if (entry->hasValue && entry->value == newValue) return;
  entry->hasValue = true;
  entry->value = newValue;
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  if (!out) return;
  const std::string formatted = Format(sections);
  out.write(formatted.data(), static_cast<std::streamsize>(formatted.size()));
}
