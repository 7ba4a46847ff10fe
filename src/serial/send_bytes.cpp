#include "serial/send_bytes.h"

#include <cstdio>

namespace {

// Formatting by hand keeps MinGW's printf, some 30 KB, out of the exe.
char* AppendText(char* out, const char* text) {
  while (*text != '\0') {
    *out++ = *text++;
  }
  return out;
}

char* AppendNumber(char* out, std::size_t value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) {
    *out++ = digits[--n];
  }
  return out;
}

}  // namespace

bool SendBytes(SerialPort& port, const std::uint8_t* data, std::size_t length) {
  std::size_t written = 0;
  port.Write(data, length, &written);
  if (written != length) {
    // The probe is text; its length as text is what this diagnostic shows.
    std::size_t textLength = 0;
    while (textLength < length && data[textLength] != 0) {
      ++textLength;
    }
    char line[96];
    char* out = AppendText(line, "WARNING: WriteFile() error.. Bytes Sent: ");
    out = AppendNumber(out, written);
    out = AppendText(out, "; Message Length: ");
    out = AppendNumber(out, textLength);
    out = AppendText(out, "\n");
    *out = '\0';
    std::fputs(line, stdout);
  }
  return true;
}
