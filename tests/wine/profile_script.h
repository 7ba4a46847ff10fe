// A script of profile reads and writes, run the same way through the real
// private-profile functions and through the portable INI store so their
// results can be compared.
//
// One operation per line, fields separated by tabs; '#' starts a comment line.
//   read  SECTION KEY DEFAULT MAX
//   write SECTION KEY VALUE
// Fields may use \t \r \n \s (blank) \\ and \xHH. Each read prints one line:
//   SECTION|KEY => "VALUE" LENGTH
#ifndef DTU_TESTS_WINE_PROFILE_SCRIPT_H
#define DTU_TESTS_WINE_PROFILE_SCRIPT_H

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace profile_script {

inline std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char c = field[++i];
    switch (c) {
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case 's':
        out += ' ';
        break;
      case 'x':
        out += static_cast<char>(std::strtol(field.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

inline std::string Escape(const std::string& value) {
  std::string out;
  for (const char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

inline std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

using ReadFn =
    std::function<std::size_t(const char* section, const char* key, const char* defaultValue,
                              char* buffer, std::size_t maxLength)>;
using WriteFn = std::function<void(const char* section, const char* key, const char* value)>;

// Runs every line of script, appending what the reads print to *output.
// Stops with false at the first malformed line.
inline bool Run(const std::string& script, const ReadFn& read, const WriteFn& write,
                std::string* output) {
  std::size_t start = 0;
  while (start < script.size()) {
    std::size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> f = SplitTabs(line);
    if (f[0] == "read" && f.size() == 5) {
      const std::string section = Unescape(f[1]), key = Unescape(f[2]), def = Unescape(f[3]);
      const std::size_t max = std::strtoul(f[4].c_str(), nullptr, 10);
      std::vector<char> buffer(max + 16, '#');
      const std::size_t length =
          read(section.c_str(), key.c_str(), def.c_str(), buffer.data(), max);
      // Only what the caller may rely on: the terminated text and the count.
      const std::string value = max > 0 ? std::string(buffer.data()) : std::string();
      *output +=
          f[1] + "|" + f[2] + " => \"" + Escape(value) + "\" " + std::to_string(length) + "\n";
    } else if (f[0] == "write" && f.size() == 4) {
      write(Unescape(f[1]).c_str(), Unescape(f[2]).c_str(), Unescape(f[3]).c_str());
    } else {
      *output += "bad line: " + line + "\n";
      return false;
    }
  }
  return true;
}

inline bool ReadWholeFile(const char* path, std::string* text) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, n);
  std::fclose(file);
  return true;
}

}  // namespace profile_script

#endif
