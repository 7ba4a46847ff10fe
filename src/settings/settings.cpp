#include "settings/settings.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "form/control_ids.h"
#include "settings/ini_text.h"

namespace {

constexpr const char* kNet = "DTU NET";
constexpr const char* kCom = "DTU COM";
constexpr const char* kIo = "DTU IO";

// Placeholders under a reserved domain and outside every mobile number range:
// the units' real server and centre phone are entered by the technician.
constexpr const char* kDefaultServerHost = "dtu.example.com";
constexpr const char* kDefaultCentrePhone = "10000000000";

// How a list is stored: the value at position i stands for selection index i.
// Selections with no value of their own (none, or past the end) are saved as
// the fall-back's value.
struct ListValues {
  const std::string_view* values;
  int count;
  int fallback;
  // An unmatched value leaves the list as it was instead of blanking it.
  bool keepOnMismatch;
};

constexpr std::array<std::string_view, 2> kProtocolValues = {"TCP", "UDP"};
constexpr std::array<std::string_view, 8> kBaudValues = {"1200",  "2400",  "4800",  "9600",
                                                         "19200", "38400", "57600", "115200"};
constexpr std::array<std::string_view, 2> kDataValues = {"7", "8"};
constexpr std::array<std::string_view, 4> kStopValues = {"0.5", "1", "1.5", "2"};
constexpr std::array<std::string_view, 2> kTwoIndices = {"0", "1"};
constexpr std::array<std::string_view, 3> kThreeIndices = {"0", "1", "2"};

constexpr ListValues kProtocol = {kProtocolValues.data(), 2, 0, true};
constexpr ListValues kBaud = {kBaudValues.data(), 8, 7, false};
constexpr ListValues kData = {kDataValues.data(), 2, 1, false};
constexpr ListValues kStop = {kStopValues.data(), 4, 1, false};
// Parity, the alarm inputs, debug level and work mode. Debug level and work
// mode keep their third entry too, so "Detail" and "GPRS Dial-up" survive a
// restart; files holding only "0" and "1" read as they always did.
constexpr ListValues kThreeWay = {kThreeIndices.data(), 3, 0, false};
constexpr ListValues kOutput = {kTwoIndices.data(), 2, 0, false};
constexpr ListValues kDataMode = {kTwoIndices.data(), 2, 1, false};

struct SettingKey {
  const char* section;
  const char* key;
  const char* defaultValue;
  int control;
  // Both include the terminator. saveMax is unused for lists.
  std::size_t readMax;
  std::size_t saveMax;
  const ListValues* list;  // null: an edit box's text
};

// In the order they are loaded.
constexpr std::array<SettingKey, 31> kKeys = {{
    {kNet, "protocol", "TCP", IDC_PROTOCOL, 50, 0, &kProtocol},
    {kNet, "IP", kDefaultServerHost, IDC_MASTER_IP, 50, 30, nullptr},
    {kNet, "PORT", "6000", IDC_MASTER_PORT, 50, 6, nullptr},
    {kNet, "BT", "60", IDC_HEARTBEAT_TIME, 50, 30, nullptr},
    {kNet, "RCT", "60", IDC_RECONNECT_INTERVAL, 50, 30, nullptr},
    {kNet, "NOT", "20", IDC_NO_RESPONSE_TIME, 50, 30, nullptr},
    {kNet, "ID", "20", IDC_REG_PACKAGE, 87, 87, nullptr},
    {kNet, "ACODE", "20", IDC_HEARTBEAT_PACKAGE, 87, 87, nullptr},
    {kCom, "baud", "115200", IDC_BAUD, 50, 0, &kBaud},
    {kCom, "Data", "8", IDC_DATA_BITS, 50, 0, &kData},
    {kCom, "Stop", "1", IDC_STOP_BITS, 50, 0, &kStop},
    {kCom, "Parity", "0", IDC_PARITY, 50, 0, &kThreeWay},
    {kNet, "Snum", kDefaultCentrePhone, IDC_CENTER_PHONE1, 50, 13, nullptr},
    {kNet, "Snum2", kDefaultCentrePhone, IDC_CENTER_PHONE2, 50, 13, nullptr},
    {kNet, "bIP", kDefaultServerHost, IDC_STANDBY_IP, 50, 30, nullptr},
    {kNet, "bPORT", "9997", IDC_STANDBY_PORT, 50, 6, nullptr},
    {kNet, "LEN", "1024", IDC_PACKET_LENGTH, 50, 5, nullptr},
    {kIo, "I3", "0", IDC_INPUT3, 50, 0, &kThreeWay},
    {kIo, "I4", "0", IDC_INPUT4, 50, 0, &kThreeWay},
    {kIo, "O1", "0", IDC_OUTPUT1, 50, 0, &kOutput},
    {kIo, "O2", "0", IDC_OUTPUT2, 50, 0, &kOutput},
    {kNet, "MSTIME", "2", IDC_MIN_INTERVAL, 50, 2, nullptr},
    {kNet, "MTIME", "20", IDC_RECONNECT_TIMES, 50, 4, nullptr},
    {kNet, "Mode", "0", IDC_DEBUG_INFO, 50, 0, &kThreeWay},
    {kNet, "DMode", "1", IDC_DATA_MODE, 50, 0, &kDataMode},
    {kNet, "RMode", "0", IDC_WORK_MODE, 50, 0, &kThreeWay},
    {kNet, "APN", "cmnet", IDC_APN, 50, 30, nullptr},
    {kNet, "GPRSNAME", "", IDC_GPRS_USER, 50, 30, nullptr},
    {kNet, "GPRSCODE", "", IDC_GPRS_PASSWORD, 50, 30, nullptr},
    {kNet, "IDC_SMS_Alarm1", "", IDC_SMS_Alarm1, 50, 30, nullptr},
    {kNet, "IDC_SMS_Alarm2", "", IDC_SMS_Alarm2, 50, 30, nullptr},
}};

// Positions in kKeys, in the order they are saved. A first save lays the file
// out by this order, so the sections come out as NET, COM, IO.
constexpr std::array<unsigned char, 31> kSaveOrder = {0,  1,  2,  3,  4,  5,  6,  7,  // DTU NET
                                                      8,  9,  10, 11,                 // DTU COM
                                                      17, 18, 19, 20,                 // DTU IO
                                                      12, 13, 14, 15, 16, 21, 22, 23,
                                                      24, 25, 26, 27, 28, 29, 30};  // DTU NET

// Positions in kKeys as a first save lays the file out: every "DTU NET" key
// in saving order, then "DTU COM", then "DTU IO".
constexpr std::array<unsigned char, 31> kFileOrder = {0,  1,  2,  3,  4,  5,  6,  7,  12, 13, 14,
                                                      15, 16, 21, 22, 23, 24, 25, 26, 27, 28, 29,
                                                      30, 8,  9,  10, 11, 17, 18, 19, 20};

constexpr std::size_t kLongestValue = 87;

void SelectByValue(Form& form, int control, const ListValues& list, std::string_view value) {
  for (int i = 0; i < list.count; ++i) {
    if (list.values[i] == value) {
      form.SetSelection(control, i);
      return;
    }
  }
  if (!list.keepOnMismatch) {
    form.BlankList(control);
  }
}

std::string_view ValueOfSelection(const ListValues& list, int selection) {
  if (selection >= 0 && selection < list.count) {
    return list.values[selection];
  }
  return list.values[list.fallback];
}

constexpr SettingInfo InfoOf(const SettingKey& key) {
  return SettingInfo{key.section,
                     key.key,
                     key.defaultValue,
                     key.control,
                     key.list != nullptr ? key.list->values : nullptr,
                     key.list != nullptr ? key.list->count : 0};
}

template <std::size_t... I>
constexpr std::array<SettingInfo, sizeof...(I)> FileOrder(std::index_sequence<I...>) {
  return {InfoOf(kKeys[kFileOrder[I]])...};
}

constexpr std::array<SettingInfo, kSettingCount> kInfoInFileOrder =
    FileOrder(std::make_index_sequence<kSettingCount>());

constexpr bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// Every key once, each section in one run: NET, then COM, then IO.
constexpr bool FileOrderIsComplete() {
  bool seen[kSettingCount] = {};
  for (unsigned char position : kFileOrder) {
    if (position >= kSettingCount || seen[position]) {
      return false;
    }
    seen[position] = true;
  }
  const char* order[] = {kNet, kCom, kIo};
  std::size_t section = 0;
  for (const SettingInfo& info : kInfoInFileOrder) {
    while (section < 3 && !SameText(info.section, order[section])) {
      ++section;
    }
    if (section == 3) {
      return false;
    }
  }
  return true;
}
static_assert(FileOrderIsComplete(), "the file order must hold every key, sections in one run");

const SettingKey* KeyOf(const SettingInfo& setting) {
  for (const SettingKey& key : kKeys) {
    if (key.control == setting.control) {
      return &key;
    }
  }
  return nullptr;
}

void BlankLineBreaks(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text == '\r' || *text == '\n') {
      *text = ' ';
    }
  }
}

// What SaveSettings writes for one key; value holds at least kLongestValue + 1.
void ValueToSave(Form& form, const SettingKey& key, char* value) {
  if (key.list != nullptr) {
    // The value tables are literals, so their views are terminated.
    const std::string_view text = ValueOfSelection(*key.list, form.GetSelection(key.control));
    std::memcpy(value, text.data(), text.size() + 1);
    return;
  }
  form.GetText(key.control, value, key.saveMax);
  BlankLineBreaks(value);
}

}  // namespace

void LoadSettings(Form& form, SettingsStore& settings) {
  for (const SettingKey& key : kKeys) {
    std::array<char, kLongestValue + 1> value{};
    settings.Read(key.section, key.key, key.defaultValue, value.data(), key.readMax);
    if (key.list != nullptr) {
      SelectByValue(form, key.control, *key.list, value.data());
    } else {
      form.SetText(key.control, value.data());
    }
  }
}

void SaveSettings(Form& form, SettingsStore& settings) {
  for (const unsigned char position : kSaveOrder) {
    const SettingKey& key = kKeys[position];
    std::array<char, kLongestValue + 1> value{};
    ValueToSave(form, key, value.data());
    settings.Write(key.section, key.key, value.data());
  }
  form.End(0);
}

const SettingInfo& SettingInFileOrder(std::size_t position) { return kInfoInFileOrder[position]; }

const SettingInfo* SettingOfControl(int control) {
  for (const SettingInfo& setting : kInfoInFileOrder) {
    if (setting.control == control) {
      return &setting;
    }
  }
  return nullptr;
}

const SettingInfo* FindSetting(std::string_view key) {
  for (const SettingInfo& setting : kInfoInFileOrder) {
    if (SameSettingName(setting.key, key)) {
      return &setting;
    }
  }
  return nullptr;
}

int ListIndexOfValue(const SettingInfo& setting, std::string_view value) {
  for (int i = 0; i < setting.listCount; ++i) {
    if (setting.listValues[i] == value) {
      return i;
    }
  }
  return -1;
}

void SettingValue(Form& form, const SettingInfo& setting, char* buffer, std::size_t size) {
  std::array<char, kLongestValue + 1> value{};
  const SettingKey* key = KeyOf(setting);
  if (key != nullptr) {
    ValueToSave(form, *key, value.data());
  }
  if (size == 0) {
    return;
  }
  std::size_t n = 0;
  while (n + 1 < size && value[n] != '\0') {
    buffer[n] = value[n];
    ++n;
  }
  buffer[n] = '\0';
}
