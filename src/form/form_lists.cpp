#include "form/form_lists.h"

#include "form/control_ids.h"

namespace {

template <std::size_t N>
constexpr ListContents List(int id, const std::array<std::string_view, N>& entries,
                            int initialSelection) {
  return ListContents{id, entries.data(), static_cast<int>(N), initialSelection};
}

}  // namespace

const std::array<ListContents, 13> kFormLists = {
    List(IDC_PC_COM, kPcComEntries, 0),         List(IDC_BAUD, kBaudEntries, 7),
    List(IDC_DATA_BITS, kDataBitsEntries, 0),   List(IDC_STOP_BITS, kStopBitsEntries, 1),
    List(IDC_PARITY, kParityEntries, 0),        List(IDC_PROTOCOL, kProtocolEntries, 0),
    List(IDC_INPUT3, kAlarmEntries, 0),         List(IDC_INPUT4, kAlarmEntries, 0),
    List(IDC_DEBUG_INFO, kDebugInfoEntries, 0), List(IDC_DATA_MODE, kDataModeEntries, 0),
    List(IDC_OUTPUT1, kOutputEntries, 0),       List(IDC_OUTPUT2, kOutputEntries, 0),
    List(IDC_WORK_MODE, kWorkModeEntries, 0),
};

// 29 package bytes, each two hex digits and a blank; an 11-digit phone number.
const std::array<TextLimit, 3> kTextLimits = {{
    {IDC_REG_PACKAGE, 87},
    {IDC_HEARTBEAT_PACKAGE, 87},
    {IDC_CENTER_PHONE1, 11},
}};

const std::array<int, 19> kClearedEdits = {
    IDC_MASTER_IP,          IDC_MASTER_PORT,       IDC_HEARTBEAT_TIME,
    IDC_RECONNECT_INTERVAL, IDC_RECONNECT_TIMES,   IDC_NO_RESPONSE_TIME,
    IDC_REG_PACKAGE,        IDC_HEARTBEAT_PACKAGE, IDC_MIN_INTERVAL,
    IDC_PACKET_LENGTH,      IDC_CENTER_PHONE1,     IDC_CENTER_PHONE2,
    IDC_STANDBY_IP,         IDC_STANDBY_PORT,      IDC_APN,
    IDC_GPRS_USER,          IDC_GPRS_PASSWORD,     IDC_SMS_Alarm1,
    IDC_SMS_Alarm2,
};

const std::array<int, 12> kClearedLists = {
    IDC_BAUD,       IDC_DATA_BITS, IDC_STOP_BITS, IDC_PARITY,  IDC_PROTOCOL, IDC_INPUT3,
    IDC_DEBUG_INFO, IDC_INPUT4,    IDC_DATA_MODE, IDC_OUTPUT1, IDC_OUTPUT2,  IDC_WORK_MODE,
};

void SetUpForm(Form& form) {
  for (const TextLimit& limit : kTextLimits) {
    form.SetTextLimit(limit.id, limit.maxCharacters);
  }
  form.SetSmallIcon(IDI_MAIN);
  for (const ListContents& list : kFormLists) {
    for (int i = 0; i < list.count; ++i) {
      // Every entry views a whole literal, so data() is terminated.
      form.AppendListEntry(list.id, list.entries[i].data());
    }
    form.SetSelection(list.id, list.initialSelection);
  }
}

void ClearForm(Form& form) {
  for (int id : kClearedEdits) {
    form.SetText(id, "");
  }
  for (int id : kClearedLists) {
    form.BlankList(id);
  }
}
