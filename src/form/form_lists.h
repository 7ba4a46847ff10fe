// Contents of the drop-down lists, the form's set-up and Clear. A list
// entry's position here is its selection index everywhere else.
#ifndef DTU_FORM_FORM_LISTS_H
#define DTU_FORM_FORM_LISTS_H

#include <array>
#include <cstddef>
#include <string_view>

#include "form/form.h"

struct ListContents {
  int id;
  const std::string_view* entries;
  int count;
  int initialSelection;
};

inline constexpr std::array<std::string_view, 11> kPcComEntries = {
    "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9", "COM10", "COM11"};
inline constexpr std::array<std::string_view, 8> kBaudEntries = {
    "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};
inline constexpr std::array<std::string_view, 2> kDataBitsEntries = {"7", "8"};
inline constexpr std::array<std::string_view, 4> kStopBitsEntries = {"0.5", "1", "1.5", "2"};
inline constexpr std::array<std::string_view, 3> kParityEntries = {"None", "Odd", "Even"};
inline constexpr std::array<std::string_view, 2> kProtocolEntries = {"TCP", "UDP"};
inline constexpr std::array<std::string_view, 3> kAlarmEntries = {"No Alarm", "High Alarm",
                                                                  "Low Alarm"};
inline constexpr std::array<std::string_view, 3> kDebugInfoEntries = {"No", "Yes", "Detail"};
inline constexpr std::array<std::string_view, 2> kDataModeEntries = {"Transparent", "Protocol"};
inline constexpr std::array<std::string_view, 2> kOutputEntries = {"Low Level", "High Level"};
inline constexpr std::array<std::string_view, 3> kWorkModeEntries = {"Always-on", "Avaken",
                                                                     "GPRS Dial-up"};

// In the order the form is filled when it is created.
extern const std::array<ListContents, 13> kFormLists;

// Edit boxes whose typing is limited, with their limits.
struct TextLimit {
  int id;
  int maxCharacters;
};
extern const std::array<TextLimit, 3> kTextLimits;

// Edit boxes emptied by Clear, in order, and the lists it blanks, in order.
extern const std::array<int, 19> kClearedEdits;
extern const std::array<int, 12> kClearedLists;

void SetUpForm(Form& form);
void ClearForm(Form& form);

#endif
