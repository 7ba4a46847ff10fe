#include "cli/csv.h"

#include <utility>

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// How many bytes the line end at text[at] takes: 2 for CRLF, 1 for LF or a lone CR, 0 for none.
std::size_t LineEnd(std::string_view text, std::size_t at) {
  if (at >= text.size()) {
    return 0;
  }
  if (text[at] == '\n') {
    return 1;
  }
  if (text[at] == '\r') {
    return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
  }
  return 0;
}

bool Refuse(std::size_t line, const char* why, CsvTable* table, std::string* error) {
  *table = CsvTable{};
  *error = "line " + std::to_string(line) + ": " + why;
  return false;
}

}  // namespace

bool ParseCsv(std::string_view text, CsvTable* table, std::string* error) {
  if (text.substr(0, kBom.size()) == kBom) {
    text.remove_prefix(kBom.size());
  }
  CsvTable parsed;
  std::size_t line = 1;
  std::size_t at = 0;
  const std::size_t size = text.size();
  while (at < size) {
    if (const std::size_t end = LineEnd(text, at)) {
      at += end;  // an empty line
      ++line;
      continue;
    }
    parsed.lines.push_back(line);
    std::vector<std::string> row;
    bool another = true;
    while (another) {
      std::string field;
      if (at < size && text[at] == '"') {
        const std::size_t opened = line;
        ++at;
        for (;;) {
          if (at >= size) {
            return Refuse(opened, "quoted field not closed", table, error);
          }
          if (text[at] == '"') {
            if (at + 1 < size && text[at + 1] == '"') {
              field += '"';
              at += 2;
              continue;
            }
            ++at;
            break;
          }
          if (text[at] == '\0') {
            return Refuse(line, "NUL byte", table, error);
          }
          // Line ends inside quotes are kept as written, but still count as lines.
          if (const std::size_t end = LineEnd(text, at)) {
            field.append(text.substr(at, end));
            at += end;
            ++line;
            continue;
          }
          field += text[at++];
        }
        if (at < size && text[at] != ',' && LineEnd(text, at) == 0) {
          return Refuse(line, "text after a closing quote", table, error);
        }
      } else {
        while (at < size && text[at] != ',' && LineEnd(text, at) == 0) {
          if (text[at] == '"') {
            return Refuse(line, "quote inside an unquoted field", table, error);
          }
          if (text[at] == '\0') {
            return Refuse(line, "NUL byte", table, error);
          }
          field += text[at++];
        }
      }
      row.push_back(std::move(field));
      another = at < size && text[at] == ',';
      if (another) {
        ++at;
      }
    }
    if (const std::size_t end = LineEnd(text, at)) {
      at += end;
      ++line;
    }
    parsed.rows.push_back(std::move(row));
  }
  *table = std::move(parsed);
  return true;
}

std::string CsvField(std::string_view value) {
  // Spaces at either end are quoted because many readers trim unquoted ones.
  const bool quoted = value.find_first_of(",\"\r\n") != std::string_view::npos ||
                      (!value.empty() && (value.front() == ' ' || value.back() == ' ')) ||
                      value.substr(0, kBom.size()) == kBom;
  if (!quoted) {
    return std::string(value);
  }
  std::string out = "\"";
  for (const char c : value) {
    if (c == '"') {
      out += '"';
    }
    out += c;
  }
  out += '"';
  return out;
}

std::string CsvRow(const std::vector<std::string>& fields) {
  if (fields.size() == 1 && fields[0].empty()) {
    return "\"\"\r\n";
  }
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    out += CsvField(fields[i]);
  }
  out += "\r\n";
  return out;
}
