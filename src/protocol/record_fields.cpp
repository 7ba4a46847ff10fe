#include "protocol/record_fields.h"

#include <cstring>

#include "form/control_ids.h"

namespace {

using namespace image;

}  // namespace

const RecordField kRecordFields[kRecordFieldCount] = {
    {kProtocol, IDC_PROTOCOL, FieldKind::Text},
    {kMasterAddress, IDC_MASTER_IP, FieldKind::Text},
    {kMasterPort, IDC_MASTER_PORT, FieldKind::Text},
    {kHeartbeatTime, IDC_HEARTBEAT_TIME, FieldKind::Text},
    {kReconnectInterval, IDC_RECONNECT_INTERVAL, FieldKind::Text},
    {kNoResponseTime, IDC_NO_RESPONSE_TIME, FieldKind::Text},
    {kRegistrationPackage, IDC_REG_PACKAGE, FieldKind::Package},
    {kHeartbeatPackage, IDC_HEARTBEAT_PACKAGE, FieldKind::Package},
    {kUnitBaud, IDC_BAUD, FieldKind::Text},
    {kUnitDataBits, IDC_DATA_BITS, FieldKind::Byte},
    {kUnitStopBits, IDC_STOP_BITS, FieldKind::Byte},
    {kUnitParity, IDC_PARITY, FieldKind::Byte},
    {kCenterPhone1, IDC_CENTER_PHONE1, FieldKind::Text},
    {kStandbyAddress, IDC_STANDBY_IP, FieldKind::Text},
    {kStandbyPort, IDC_STANDBY_PORT, FieldKind::Text},
    {kPacketLength, IDC_PACKET_LENGTH, FieldKind::Text},
    {kInput3Alarm, IDC_INPUT3, FieldKind::Byte},
    {kInput4Alarm, IDC_INPUT4, FieldKind::Byte},
    {kMinInterval, IDC_MIN_INTERVAL, FieldKind::Byte},
    {kReconnectTimes, IDC_RECONNECT_TIMES, FieldKind::Byte},
    {kDebugInfo, IDC_DEBUG_INFO, FieldKind::Byte},
    {kOutput1, IDC_OUTPUT1, FieldKind::Byte},
    {kOutput2, IDC_OUTPUT2, FieldKind::Byte},
    {kDataMode, IDC_DATA_MODE, FieldKind::Byte},
    {kWorkMode, IDC_WORK_MODE, FieldKind::Byte},
    {kApn, IDC_APN, FieldKind::Text},
    {kGprsUser, IDC_GPRS_USER, FieldKind::Text},
    {kGprsPassword, IDC_GPRS_PASSWORD, FieldKind::Text},
    {kCenterPhone2, IDC_CENTER_PHONE2, FieldKind::Text},
    {kSmsInput3, IDC_SMS_Alarm1, FieldKind::Text},
    {kSmsInput4, IDC_SMS_Alarm2, FieldKind::Text},
};

const RecordField* RecordFieldOf(int control) {
  for (const RecordField& field : kRecordFields) {
    if (field.control == control) {
      return &field;
    }
  }
  return nullptr;
}

std::size_t FieldValue(const ConfigImage& record, const RecordField& field,
                       std::uint8_t (&value)[kFieldValueMax]) {
  const std::uint8_t* x = record.bytes.data() + field.field.offset;
  switch (field.kind) {
    case FieldKind::Byte:
      value[0] = *x;
      return 1;
    case FieldKind::Text: {
      const std::string_view text = FieldText(record, field.field);
      const std::size_t n = text.size() < kFieldValueMax ? text.size() : kFieldValueMax;
      std::memcpy(value, text.data(), n);
      return n;
    }
    case FieldKind::Package: {
      // The count as it stands; its bytes as far as the slot holds them.
      const std::uint8_t count = x[kPackageCountIndex];
      const std::size_t n = count < kPackageMaxBytes ? count : kPackageMaxBytes;
      value[0] = count;
      std::memcpy(value + 1, x, n);
      return n + 1;
    }
  }
  return 0;
}

bool SameField(const ConfigImage& a, const ConfigImage& b, const RecordField& field) {
  std::uint8_t x[kFieldValueMax];
  std::uint8_t y[kFieldValueMax];
  const std::size_t n = FieldValue(a, field, x);
  return n == FieldValue(b, field, y) && std::memcmp(x, y, n) == 0;
}
