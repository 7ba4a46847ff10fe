// Text as a database API takes it: UTF-16, the one encoding that unixODBC,
// Windows and Wine's odbc32 all pass through unchanged. dtucfg itself speaks
// UTF-8.
#ifndef DTU_LINE_UTF16_H
#define DTU_LINE_UTF16_H

#include <cstddef>
#include <string>

// False on bytes that are not UTF-8; out is then incomplete.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);
// A lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, std::size_t size);
// Whether text is UTF-8, as every text given to the database must be.
bool IsUtf8(const std::string& text);

#endif
