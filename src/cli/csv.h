// CSV as RFC 4180 has it: the per-unit values integrators hand to
// dtucfg, and the report the production line writes and reads back.
#ifndef DTU_CLI_CSV_H
#define DTU_CLI_CSV_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One parsed CSV file: its records, each a list of fields, and the line each record starts on.
struct CsvTable {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::size_t> lines;  // 1-based line number where rows[i] starts
};

// RFC 4180: fields separated by commas; a field may be quoted with '"', and then holds commas,
// CR, LF and doubled quotes ("" for one "). Records end with CRLF or LF (a lone CR too).
// A UTF-8 byte-order mark at the very start is dropped. A last record without a line end
// counts. Lines that are entirely empty (no characters at all) are skipped, not records.
// Refused, with "line N: why" in *error and false returned: an unterminated quoted field
// (N is the line its quote opens on), a quote inside an unquoted field, anything but a comma
// or line end after a closing quote, and NUL bytes. Bytes are kept as they are otherwise
// (no UTF-8 validation here, no trimming of spaces). A refused file leaves *table empty.
bool ParseCsv(std::string_view text, CsvTable* table, std::string* error);

// A field as CSV: quoted (with quotes doubled) when it holds a comma, quote, CR or LF, or
// starts or ends with a space; otherwise unchanged. A field starting with a UTF-8 byte-order
// mark is quoted too, or it would be dropped when the field opens a file.
std::string CsvField(std::string_view value);

// The fields joined by commas, ended with CRLF. A row of one empty field is written as "",
// since an empty line reads back as no record at all. So every row ParseCsv gives is read
// back the same; a row of no fields (a bare CRLF) and NUL bytes in a field are not.
std::string CsvRow(const std::vector<std::string>& fields);

#endif
