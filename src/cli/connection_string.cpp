#include "cli/connection_string.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <vector>

namespace {

struct Attribute {
  std::string key;         // as written, spaces trimmed
  std::size_t valueBegin;  // the value, braces included
  std::size_t valueEnd;
};

// Where the value that starts at begin ends: after its closing brace, or
// before the next ';' less trailing spaces.
std::size_t ValueEnd(const std::string& s, std::size_t begin) {
  if (begin < s.size() && s[begin] == '{') {
    std::size_t end = begin + 1;
    while (end < s.size() && !(s[end] == '}' && (end + 1 == s.size() || s[end + 1] != '}'))) {
      end += s[end] == '}' ? 2 : 1;
    }
    return std::min(end + 1, s.size());
  }
  std::size_t end = std::min(s.find(';', begin), s.size());
  while (end > begin && s[end - 1] == ' ') {
    --end;
  }
  return end;
}

// The key=value pairs of a connection string: ';' separates them, a value in
// braces holds anything, with "}}" for one '}'.
std::vector<Attribute> Attributes(const std::string& s) {
  std::vector<Attribute> found;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t equals = s.find_first_of("=;", i);
    if (equals == std::string::npos || s[equals] == ';') {
      i = equals == std::string::npos ? s.size() : equals + 1;
      continue;
    }
    const std::size_t keyBegin = s.find_first_not_of(' ', i);
    const std::size_t keyEnd = s.find_last_not_of(' ', equals - 1);
    std::string key = keyBegin < equals ? s.substr(keyBegin, keyEnd + 1 - keyBegin) : std::string();
    const std::size_t begin = std::min(s.find_first_not_of(' ', equals + 1), s.size());
    const std::size_t end = ValueEnd(s, begin);
    found.push_back({key, begin, end});
    const std::size_t next = s.find(';', end);
    i = next == std::string::npos ? s.size() : next + 1;
  }
  return found;
}

bool IsPasswordKey(std::string key) {
  for (char& c : key) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key.find("pwd") != std::string::npos || key.find("password") != std::string::npos;
}

// Each occurrence of secret in text as ***.
void Hide(std::string* text, const std::string& secret) {
  for (std::size_t at = text->find(secret); !secret.empty() && at != std::string::npos;
       at = text->find(secret, at + 3)) {
    text->replace(at, secret.size(), "***");
  }
}

// The passwords a connection string holds, braces and escapes removed.
std::vector<std::string> Passwords(const std::string& connectionString) {
  std::vector<std::string> passwords;
  for (const Attribute& a : Attributes(connectionString)) {
    std::string value = connectionString.substr(a.valueBegin, a.valueEnd - a.valueBegin);
    if (!IsPasswordKey(a.key) || value.empty()) {
      continue;
    }
    if (value.front() == '{') {
      value = value.substr(
          1, value.size() >= 2 && value.back() == '}' ? value.size() - 2 : std::string::npos);
      for (std::size_t at = value.find("}}"); at != std::string::npos;
           at = value.find("}}", at + 1)) {
        value.erase(at, 1);
      }
    }
    passwords.push_back(value);
  }
  return passwords;
}

}  // namespace

std::string MaskPassword(const std::string& connectionString) {
  std::string out;
  std::size_t copied = 0;
  for (const Attribute& a : Attributes(connectionString)) {
    if (IsPasswordKey(a.key)) {
      out.append(connectionString, copied, a.valueBegin - copied);
      out += "***";
      copied = a.valueEnd;
    }
  }
  out.append(connectionString, copied, std::string::npos);
  return out;
}

std::string MaskMessage(std::string message, const std::string& connectionString) {
  for (const std::string& password : Passwords(connectionString)) {
    if (password.size() >= 3) {  // masking "ab" would mangle words, and says little anyway
      Hide(&message, password);
    }
  }
  return MaskPassword(message);
}

std::vector<std::string> ArgumentSecrets(int argc, const char* const* argv) {
  std::vector<std::string> secrets;
  bool open = false;  // within a braced password that the shell split
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (open) {
      secrets.push_back(argument);  // however short: it is printed whole
      open = argument.find('}') == std::string::npos;
      continue;
    }
    for (const Attribute& a : Attributes(argument)) {
      if (!IsPasswordKey(a.key)) {
        continue;
      }
      const std::string value = argument.substr(a.valueBegin, a.valueEnd - a.valueBegin);
      if (value.size() >= 3) {
        secrets.push_back(value);
      }
      open = a.valueEnd == argument.size() && !value.empty() && value.front() == '{' &&
             (value.size() < 2 || value.back() != '}');
    }
  }
  return secrets;
}

std::string MaskSecrets(std::string text, const std::vector<std::string>& secrets) {
  for (const std::string& secret : secrets) {
    Hide(&text, secret);
  }
  return MaskPassword(text);
}
