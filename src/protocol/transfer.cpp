#include "protocol/transfer.h"

#include <cstring>
#include <string_view>

#include "form/control_ids.h"
#include "form/form_lists.h"

namespace {

using namespace image;

struct TextField {
  int id;
  Field field;
  std::size_t readMax;  // includes the terminator
};

// The lists stored as one code byte; position in codes is the list index,
// fallback is written when nothing (or an unknown index) is selected.
struct CodeList {
  int id;
  Field field;
  std::uint8_t codes[4];
  std::uint8_t count;
  std::uint8_t fallback;
};

constexpr TextField kHeadTexts[] = {
    {IDC_MASTER_IP, kMasterAddress, 30},         {IDC_MASTER_PORT, kMasterPort, 6},
    {IDC_HEARTBEAT_TIME, kHeartbeatTime, 30},    {IDC_RECONNECT_INTERVAL, kReconnectInterval, 30},
    {IDC_NO_RESPONSE_TIME, kNoResponseTime, 30},
};
constexpr TextField kPhoneAndStandbyTexts[] = {
    {IDC_CENTER_PHONE1, kCenterPhone1, 13},
    {IDC_CENTER_PHONE2, kCenterPhone2, 13},
    {IDC_STANDBY_IP, kStandbyAddress, 30},
    {IDC_STANDBY_PORT, kStandbyPort, 6},
};
constexpr TextField kTailTexts[] = {
    {IDC_APN, kApn, 30},
    {IDC_GPRS_USER, kGprsUser, 30},
    {IDC_GPRS_PASSWORD, kGprsPassword, 30},
    {IDC_SMS_Alarm1, kSmsInput3, 29},
    {IDC_SMS_Alarm2, kSmsInput4, 29},
};

constexpr CodeList kSerialCodes[] = {
    {IDC_DATA_BITS, kUnitDataBits, {'7', '8'}, 2, '8'},
    {IDC_STOP_BITS, kUnitStopBits, {0, 1, 2, 3}, 4, 1},
    {IDC_PARITY, kUnitParity, {0, 1, 2}, 3, 0},
};
// "No Alarm" is code 2 and "Low Alarm" code 0: the list runs the other way.
constexpr CodeList kIoCodes[] = {
    {IDC_INPUT3, kInput3Alarm, {2, 1, 0}, 3, 2},
    {IDC_INPUT4, kInput4Alarm, {2, 1, 0}, 3, 2},
    {IDC_OUTPUT1, kOutput1, {0, 1}, 2, 2},
    {IDC_OUTPUT2, kOutput2, {0, 1}, 2, 2},
};
constexpr CodeList kModeCodes[] = {
    {IDC_DEBUG_INFO, kDebugInfo, {0, 1, 2}, 3, 0},
    {IDC_DATA_MODE, kDataMode, {0, 1}, 2, 0},
    {IDC_WORK_MODE, kWorkMode, {0, 1, 2}, 3, 0},
};

constexpr std::size_t kPackageReadMax = 120;
constexpr std::size_t kMaxPacketLengthDigits = 4;

std::uint8_t* At(ConfigImage& image, Field field) { return image.bytes.data() + field.offset; }

// string_view::copy would bring the library's exception paths into the exe.
void PutText(ConfigImage& image, Field field, std::string_view text) {
  const std::size_t n = text.size() < field.size ? text.size() : field.size - 1;
  std::memcpy(At(image, field), text.data(), n);
}

void EncodeText(Form& form, ConfigImage& image, const TextField& text) {
  // Every read maximum leaves the terminator inside the field.
  char buffer[kSlotSize] = {};
  form.GetText(text.id, buffer, text.readMax);
  std::memcpy(At(image, text.field), buffer, std::strlen(buffer));
}

template <std::size_t N>
void EncodeTexts(Form& form, ConfigImage& image, const TextField (&texts)[N]) {
  for (const TextField& text : texts) {
    EncodeText(form, image, text);
  }
}

std::uint8_t CodeFor(const CodeList& list, int index) {
  return index >= 0 && index < list.count ? list.codes[index] : list.fallback;
}

template <std::size_t N>
void EncodeCodes(Form& form, ConfigImage& image, const CodeList (&lists)[N]) {
  for (const CodeList& list : lists) {
    *At(image, list.field) = CodeFor(list, form.GetSelection(list.id));
  }
}

// atoi's reading: blanks, a sign, digits up to the first other character.
int LeadingInteger(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
    ++text;
  }
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  int value = 0;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + (*text - '0');
    ++text;
  }
  return negative ? -value : value;
}

void ShowFieldText(Form& form, int id, const ConfigImage& image, Field field) {
  char text[kSlotSize + 1] = {};
  const std::string_view view = FieldText(image, field);
  std::memcpy(text, view.data(), view.size());
  form.SetText(id, text);
}

template <std::size_t N>
void DecodeTexts(Form& form, const ConfigImage& image, const TextField (&texts)[N]) {
  for (const TextField& text : texts) {
    ShowFieldText(form, text.id, image, text.field);
  }
}

void DecodeCode(Form& form, const ConfigImage& image, const CodeList& list) {
  const std::uint8_t value = image.bytes[list.field.offset];
  for (int index = 0; index < list.count; ++index) {
    if (CodeFor(list, index) == value) {
      form.SetSelection(list.id, index);
      return;
    }
  }
  form.BlankList(list.id);
}

template <std::size_t N>
void DecodeCodes(Form& form, const ConfigImage& image, const CodeList (&lists)[N]) {
  for (const CodeList& list : lists) {
    DecodeCode(form, image, list);
  }
}

void DecodePackage(Form& form, ConfigImage& image, int id, Field field) {
  char text[kPackageTextSize];
  PackageToHexText(At(image, field), text);
  form.SetText(id, text);
}

void ShowSignedByte(Form& form, int id, std::uint8_t byte) {
  int value = byte < 128 ? byte : byte - 256;
  char text[8];
  char* out = text;
  if (value < 0) {
    *out++ = '-';
    value = -value;
  }
  if (value >= 100) {
    *out++ = static_cast<char>('0' + value / 100);
  }
  if (value >= 10) {
    *out++ = static_cast<char>('0' + value / 10 % 10);
  }
  *out++ = static_cast<char>('0' + value % 10);
  *out = '\0';
  form.SetText(id, text);
}

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

std::size_t HexTextToPackage(const char* text, std::uint8_t* slot) {
  std::size_t count = 0;
  slot[kPackageCountIndex] = 0;
  const std::size_t length = std::strlen(text);
  std::size_t i = 0;
  while (i < length && count < kPackageMaxBytes) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    if (i + 1 >= length) {
      break;  // a lone last digit is ignored
    }
    const int high = HexDigitValue(text[i]);
    const int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) {
      break;
    }
    slot[count++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  slot[kPackageCountIndex] = static_cast<std::uint8_t>(count);
  return count;
}

void PackageToHexText(std::uint8_t* slot, char (&text)[kPackageTextSize]) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::size_t count = slot[kPackageCountIndex];
  if (count > kPackageMaxBytes) {
    count = kPackageMaxBytes;
    slot[kPackageCountIndex] = static_cast<std::uint8_t>(count);
  }
  char* out = text;
  for (std::size_t i = 0; i < count; ++i) {
    *out++ = kDigits[slot[i] >> 4];
    *out++ = kDigits[slot[i] & 0x0F];
    *out++ = ' ';
  }
  *out = '\0';
}

bool EncodeForm(Form& form, MessageBoxes& boxes, ConfigImage& image) {
  image.bytes.fill(0);

  const int protocol = form.GetSelection(IDC_PROTOCOL);
  if (protocol >= 0 && protocol < static_cast<int>(kProtocolEntries.size())) {
    PutText(image, kProtocol, kProtocolEntries[static_cast<std::size_t>(protocol)]);
  }
  EncodeTexts(form, image, kHeadTexts);

  char package[kPackageReadMax];
  form.GetText(IDC_REG_PACKAGE, package, sizeof package);
  HexTextToPackage(package, At(image, kRegistrationPackage));
  form.GetText(IDC_HEARTBEAT_PACKAGE, package, sizeof package);
  HexTextToPackage(package, At(image, kHeartbeatPackage));

  const int baud = form.GetSelection(IDC_BAUD);
  if (baud >= 0 && baud < static_cast<int>(kBaudEntries.size())) {
    PutText(image, kUnitBaud, kBaudEntries[static_cast<std::size_t>(baud)]);
  }
  EncodeCodes(form, image, kSerialCodes);
  if (*At(image, kUnitDataBits) == '7' && *At(image, kUnitParity) == 0) {
    boxes.Show(kDataBitsMessage, "OK", BoxOwner::None, kGbkCodePage);
    return false;
  }

  EncodeTexts(form, image, kPhoneAndStandbyTexts);
  // One byte more than allowed is enough to tell a too-long length.
  char length[kMaxPacketLengthDigits + 2] = {};
  if (form.GetText(IDC_PACKET_LENGTH, length, sizeof length) > kMaxPacketLengthDigits) {
    boxes.Show(kPacketLengthMessage, nullptr, BoxOwner::Form, kGbkCodePage);
    return false;
  }
  std::memcpy(At(image, kPacketLength), length, std::strlen(length));

  EncodeCodes(form, image, kIoCodes);

  char interval[2] = {};
  form.GetText(IDC_MIN_INTERVAL, interval, sizeof interval);
  *At(image, kMinInterval) = interval[0] >= '2' && interval[0] <= '9' ? interval[0] : '2';

  char times[4] = {};
  form.GetText(IDC_RECONNECT_TIMES, times, sizeof times);
  *At(image, kReconnectTimes) = static_cast<std::uint8_t>(LeadingInteger(times) & 0x7F);

  EncodeCodes(form, image, kModeCodes);
  EncodeTexts(form, image, kTailTexts);
  image.bytes[LastByte(kSmsInput3)] = 0;
  image.bytes[LastByte(kSmsInput4)] = 0;
  return true;
}

void DecodeImage(ConfigImage& image, Form& form) {
  const std::string_view protocol = FieldText(image, kProtocol);
  for (std::size_t i = 0; i < kProtocolEntries.size(); ++i) {
    if (protocol == kProtocolEntries[i]) {
      form.SetSelection(IDC_PROTOCOL, static_cast<int>(i));
    }
  }
  DecodeTexts(form, image, kHeadTexts);
  DecodePackage(form, image, IDC_REG_PACKAGE, kRegistrationPackage);
  DecodePackage(form, image, IDC_HEARTBEAT_PACKAGE, kHeartbeatPackage);

  const std::string_view baud = FieldText(image, kUnitBaud);
  int baudIndex = -1;
  for (std::size_t i = 0; i < kBaudEntries.size() && baudIndex < 0; ++i) {
    if (baud == kBaudEntries[i]) {
      baudIndex = static_cast<int>(i);
    }
  }
  if (baudIndex >= 0) {
    form.SetSelection(IDC_BAUD, baudIndex);
  } else {
    form.BlankList(IDC_BAUD);
  }
  DecodeCodes(form, image, kSerialCodes);

  ShowFieldText(form, IDC_CENTER_PHONE1, image, kCenterPhone1);
  ShowFieldText(form, IDC_CENTER_PHONE2, image, kCenterPhone2);
  ShowFieldText(form, IDC_STANDBY_IP, image, kStandbyAddress);
  ShowFieldText(form, IDC_STANDBY_PORT, image, kStandbyPort);
  ShowFieldText(form, IDC_PACKET_LENGTH, image, kPacketLength);

  DecodeCode(form, image, kIoCodes[0]);
  DecodeCode(form, image, kIoCodes[1]);
  ShowFieldText(form, IDC_MIN_INTERVAL, image, kMinInterval);
  ShowSignedByte(form, IDC_RECONNECT_TIMES, image.bytes[kReconnectTimes.offset]);
  DecodeCode(form, image, kModeCodes[0]);
  DecodeCode(form, image, kIoCodes[2]);
  DecodeCode(form, image, kIoCodes[3]);
  DecodeCode(form, image, kModeCodes[1]);
  DecodeCode(form, image, kModeCodes[2]);
  DecodeTexts(form, image, kTailTexts);
}
