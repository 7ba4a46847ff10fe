#include "settings/ini_text.h"

#include <cstring>

namespace {

// Ctrl-Z counts as a blank too, a left-over of old end-of-file marks.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1a';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) {
    s.remove_prefix(1);
  }
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

// A view's own slicing checks the range and would bring exception handling
// into the form's exe.
std::string_view Slice(std::string_view s, std::size_t pos, std::size_t n) {
  return std::string_view(s.data() + pos, n);
}

bool SameName(std::string_view a, std::string_view b) { return SameSettingName(a, b); }

// Walks the text line by line as the profile functions split it.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {}

  // False at the end. Blank lines are skipped, and a nameless entry right
  // after another nameless one in the same section is dropped.
  bool Next(IniText::Line* line) {
    while (pos_ < text_.size()) {
      // A line ends at the next LF or, when there is none left, at the next CR.
      std::size_t end = text_.find('\n', pos_);
      if (end == std::string_view::npos) {
        end = text_.find('\r', pos_);
      }
      end = end == std::string_view::npos ? text_.size() : end + 1;
      const std::string_view raw = Trim(Slice(text_, pos_, end - pos_));
      pos_ = end;
      if (raw.empty()) {
        continue;
      }
      if (raw[0] == '[') {
        const std::size_t close = raw.rfind(']');
        if (close != std::string_view::npos && close > 0) {
          section_ = Trim(Slice(raw, 1, close - 1));
          anyEntry_ = false;
          *line = IniText::Line{true, section_, section_, {}, false};
          return true;
        }
      }
      IniText::Line entry{false, section_, raw, {}, false};
      const std::size_t equals = raw.find('=');
      if (equals != std::string_view::npos) {
        entry.name = TrimRight(Slice(raw, 0, equals));
        entry.value = TrimLeft(Slice(raw, equals + 1, raw.size() - equals - 1));
        entry.hasValue = true;
      }
      if (entry.name.empty() && anyEntry_ && previousNameless_) {
        continue;
      }
      anyEntry_ = true;
      previousNameless_ = entry.name.empty();
      *line = entry;
      return true;
    }
    return false;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::string_view section_;
  bool anyEntry_ = false;
  bool previousNameless_ = false;
};

// Where a key stands: the first section of that name, the first entry of
// that name in it.
struct Found {
  bool section = false;  // the unnamed section before the first header counts
  bool entry = false;
  IniText::Line line{};
};

Found Find(std::string_view text, std::string_view section, std::string_view key) {
  Found found;
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  // Lines before the first header form a section of their own, named "".
  bool inTarget = wantedSection.empty();
  found.section = inTarget;
  Lines lines(text);
  IniText::Line line{};
  while (lines.Next(&line)) {
    if (line.isSection) {
      if (found.section && inTarget) {
        return found;  // the first such section has ended
      }
      inTarget = !found.section && SameName(line.name, wantedSection);
      found.section = found.section || inTarget;
    } else if (inTarget && SameName(line.name, wantedKey)) {
      found.entry = true;
      found.line = line;
      return found;
    }
  }
  return found;
}

// Copies at most maxLength - 1 bytes. A value quoted with matching ' or "
// loses its quotes; when the buffer is too short for the closing quote, the
// last byte that fits goes instead, as the profile functions do.
std::size_t CopyValue(std::string_view value, char* buffer, std::size_t maxLength) {
  bool quoted = false;
  if (value.size() >= 2 && (value[0] == '\'' || value[0] == '"') && value.back() == value[0]) {
    quoted = true;
    value.remove_prefix(1);
  }
  std::size_t n = value.size() < maxLength - 1 ? value.size() : maxLength - 1;
  if (quoted && maxLength >= value.size() && n > 0) {
    --n;
  }
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}

// Appends to a fixed buffer; remembers when something did not fit.
class Out {
 public:
  Out(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void Put(std::string_view s) {
    if (s.size() > capacity_ - size_) {
      full_ = true;
      return;
    }
    std::memcpy(buffer_ + size_, s.data(), s.size());
    size_ += s.size();
  }
  void Entry(std::string_view name, std::string_view value) {
    Put(name);
    Put("=");
    Put(value);
    Put("\r\n");
  }
  std::size_t size() const { return size_; }
  bool full() const { return full_; }

 private:
  char* buffer_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool full_ = false;
};

}  // namespace

bool SameSettingName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

std::size_t IniText::Read(const char* section, const char* key, const char* defaultValue,
                          char* buffer, std::size_t maxLength) {
  if (maxLength == 0) {
    return 0;
  }
  const Found found = Find(std::string_view(text_, size_), section != nullptr ? section : "",
                           key != nullptr ? key : "");
  if (found.entry && found.line.hasValue) {
    return CopyValue(found.line.value, buffer, maxLength);
  }
  // Trailing blanks (only ' ') leave the default, but never its first byte.
  std::string_view fallback = defaultValue != nullptr ? defaultValue : "";
  while (fallback.size() > 1 && fallback.back() == ' ') {
    fallback.remove_suffix(1);
  }
  return CopyValue(fallback, buffer, maxLength);
}

void IniText::Write(const char* section, const char* key, const char* value) {
  // Deleting keys and sections is not part of the store.
  if (section == nullptr || key == nullptr || value == nullptr) {
    return;
  }
  const std::string_view text(text_, size_);
  const Found found = Find(text, section, key);
  const std::string_view newValue = TrimLeft(value);
  // An unchanged value leaves the text untouched, line ends and all.
  if (found.entry && found.line.hasValue && found.line.value == newValue) {
    return;
  }
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);

  // The rewritten text goes into the free room first, then over the old one.
  Out out(text_ + size_, capacity_ - size_);
  bool inTarget = wantedSection.empty();
  bool sectionSeen = inTarget;
  bool written = false;
  Lines lines(text);
  Line line{};
  while (lines.Next(&line)) {
    if (line.isSection) {
      if (inTarget && !written) {
        out.Entry(TrimLeft(key), newValue);
        written = true;
      }
      inTarget = !sectionSeen && SameName(line.name, wantedSection);
      sectionSeen = sectionSeen || inTarget;
      if (!line.name.empty()) {
        out.Put("[");
        out.Put(line.name);
        out.Put("]\r\n");
      }
      continue;
    }
    if (inTarget && !written && SameName(line.name, wantedKey)) {
      out.Entry(line.name, newValue);
      written = true;
      continue;
    }
    out.Put(line.name);
    if (line.hasValue) {
      out.Put("=");
      out.Put(line.value);
    }
    out.Put("\r\n");
  }
  if (!written) {
    if (!sectionSeen && !TrimLeft(section).empty()) {
      out.Put("[");
      out.Put(TrimLeft(section));
      out.Put("]\r\n");
    }
    out.Entry(TrimLeft(key), newValue);
  }
  if (out.full()) {
    overflowed_ = true;
    return;
  }
  std::memmove(text_, text_ + size_, out.size());
  size_ = out.size();
}

void IniText::ForEachLine(std::string_view text, LineVisitor visit, void* context) {
  Lines lines(text);
  Line line{};
  while (lines.Next(&line)) {
    visit(context, line);
  }
}
