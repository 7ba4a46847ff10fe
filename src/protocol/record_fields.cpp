#include "protocol/record_fields.h"

#include <cstring>

#include "form/control_ids.h"

namespace {

using namespace image;

std::size_t TextLength(const ConfigImage& record, Field field) {
  const std::uint8_t* start = record.bytes.data() + field.offset;
  std::size_t n = 0;
  while (n < field.size && start[n] != 0) {
    ++n;
  }
  return n;
}

}  // namespace

const RecordField kRecordFields[kRecordFieldCount] = {
    {IDC_PROTOCOL, kProtocol, FieldKind::Text},
    {IDC_MASTER_IP, kMasterAddress, FieldKind::Text},
    {IDC_MASTER_PORT, kMasterPort, FieldKind::Text},
    {IDC_HEARTBEAT_TIME, kHeartbeatTime, FieldKind::Text},
    {IDC_RECONNECT_INTERVAL, kReconnectInterval, FieldKind::Text},
    {IDC_NO_RESPONSE_TIME, kNoResponseTime, FieldKind::Text},
    {IDC_REG_PACKAGE, kRegistrationPackage, FieldKind::Package},
    {IDC_HEARTBEAT_PACKAGE, kHeartbeatPackage, FieldKind::Package},
    {IDC_BAUD, kUnitBaud, FieldKind::Text},
    {IDC_DATA_BITS, kUnitDataBits, FieldKind::Byte},
    {IDC_STOP_BITS, kUnitStopBits, FieldKind::Byte},
    {IDC_PARITY, kUnitParity, FieldKind::Byte},
    {IDC_CENTER_PHONE1, kCenterPhone1, FieldKind::Text},
    {IDC_STANDBY_IP, kStandbyAddress, FieldKind::Text},
    {IDC_STANDBY_PORT, kStandbyPort, FieldKind::Text},
    {IDC_PACKET_LENGTH, kPacketLength, FieldKind::Text},
    {IDC_INPUT3, kInput3Alarm, FieldKind::Byte},
    {IDC_INPUT4, kInput4Alarm, FieldKind::Byte},
    {IDC_MIN_INTERVAL, kMinInterval, FieldKind::Byte},
    {IDC_RECONNECT_TIMES, kReconnectTimes, FieldKind::Byte},
    {IDC_DEBUG_INFO, kDebugInfo, FieldKind::Byte},
    {IDC_OUTPUT1, kOutput1, FieldKind::Byte},
    {IDC_OUTPUT2, kOutput2, FieldKind::Byte},
    {IDC_DATA_MODE, kDataMode, FieldKind::Byte},
    {IDC_WORK_MODE, kWorkMode, FieldKind::Byte},
    {IDC_APN, kApn, FieldKind::Text},
    {IDC_GPRS_USER, kGprsUser, FieldKind::Text},
    {IDC_GPRS_PASSWORD, kGprsPassword, FieldKind::Text},
    {IDC_CENTER_PHONE2, kCenterPhone2, FieldKind::Text},
    {IDC_SMS_Alarm1, kSmsInput3, FieldKind::Text},
    {IDC_SMS_Alarm2, kSmsInput4, FieldKind::Text},
};

const RecordField* RecordFieldOf(int control) {
  for (const RecordField& field : kRecordFields) {
    if (field.control == control) {
      return &field;
    }
  }
  return nullptr;
}

bool SameField(const ConfigImage& a, const ConfigImage& b, const RecordField& field) {
  const std::uint8_t* x = a.bytes.data() + field.field.offset;
  const std::uint8_t* y = b.bytes.data() + field.field.offset;
  switch (field.kind) {
    case FieldKind::Byte:
      return *x == *y;
    case FieldKind::Text: {
      const std::size_t n = TextLength(a, field.field);
      return n == TextLength(b, field.field) && std::memcmp(x, y, n) == 0;
    }
    case FieldKind::Package: {
      // The count is compared as it stands; its bytes as far as the slot holds them.
      const std::uint8_t count = x[kPackageCountIndex];
      const std::size_t n = count < kPackageMaxBytes ? count : kPackageMaxBytes;
      return count == y[kPackageCountIndex] && std::memcmp(x, y, n) == 0;
    }
  }
  return false;
}
