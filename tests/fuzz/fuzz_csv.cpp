// Any file reads without harm; a refusal says on which line, and whatever
// reads is written back by CsvRow as text that reads as the same rows.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/csv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // At least the lines there are: a CRLF is one line end but counts twice here.
  const auto lineBound = static_cast<std::size_t>(1 + std::count(text.begin(), text.end(), '\n') +
                                                  std::count(text.begin(), text.end(), '\r'));
  CsvTable table;
  std::string error;
  if (!ParseCsv(text, &table, &error)) {
    if (error.compare(0, 5, "line ") != 0 || !table.rows.empty() || !table.lines.empty()) {
      std::abort();
    }
    const std::size_t line = std::strtoul(error.c_str() + 5, nullptr, 10);
    if (line < 1 || line > lineBound) {
      std::abort();
    }
    return 0;
  }
  if (table.lines.size() != table.rows.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < table.rows.size(); ++i) {
    if (table.rows[i].empty() || table.lines[i] < (i == 0 ? 1 : table.lines[i - 1] + 1) ||
        table.lines[i] > lineBound) {
      std::abort();
    }
  }
  std::string written;
  for (const auto& row : table.rows) {
    written += CsvRow(row);
  }
  CsvTable again;
  if (!ParseCsv(written, &again, &error) || again.rows != table.rows) {
    std::abort();
  }
  return 0;
}
