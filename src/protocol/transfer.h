// Conversion between the main form and the configuration record.
#ifndef DTU_PROTOCOL_TRANSFER_H
#define DTU_PROTOCOL_TRANSFER_H

#include <cstddef>
#include <cstdint>

#include "form/form.h"
#include "form/seams.h"
#include "protocol/config_image.h"

// GBK (code page 936) texts: "data bits are 7, parity must be on" and
// "wrong number of digits in the maximum packet length".
inline constexpr char kDataBitsMessage[] =
    "\xCA\xFD\xBE\xDD\xCE\xBB\xCE\xAA\x37\xCE\xBB\x2C\xB1\xD8\xD0\xEB\xBF\xAA\xC6\xF4\xC6\xE6\xC5"
    "\xBC\xD0\xA3\xD1\xE9\xCE\xBB\x21";
inline constexpr char kPacketLengthMessage[] =
    "\xD7\xEE\xB4\xF3\xB0\xFC\xB3\xA4\xCE\xBB\xCA\xFD\xB4\xED\xCE\xF3";

// Fills image from the form. Returns false, after telling the user why, when
// the input is refused; then nothing may be sent.
bool EncodeForm(Form& form, MessageBoxes& boxes, ConfigImage& image);
// Shows a received record in the form. May cut over-long package counts in
// image to what the form can show.
void DecodeImage(ConfigImage& image, Form& form);

// 0-15 for a hexadecimal digit of either case, -1 for anything else.
int HexDigitValue(char c);
// Fills a 30-byte package slot from pairs of hex digits (blanks between
// pairs are skipped) and returns the byte count, also stored in the slot.
std::size_t HexTextToPackage(const char* text, std::uint8_t* slot);
// Largest display text of a package: 29 times "XX ", and the terminator.
inline constexpr std::size_t kPackageTextSize = 29 * 3 + 1;
// Each byte as two upper-case hex digits and a blank. A count the slot
// cannot hold is cut to 29 and written back into the slot.
void PackageToHexText(std::uint8_t* slot, char (&text)[kPackageTextSize]);

#endif
