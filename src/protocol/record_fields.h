// The fields of the configuration record that the form shows, each with its
// control, and how two records are compared field by field: zero areas are
// left out, a text counts up to its terminator, a package up to its count.
#ifndef DTU_PROTOCOL_RECORD_FIELDS_H
#define DTU_PROTOCOL_RECORD_FIELDS_H

#include <cstddef>
#include <cstdint>

#include "protocol/config_image.h"

enum class FieldKind { Text, Package, Byte };

struct RecordField {
  Field field;
  int control;
  FieldKind kind;
};

inline constexpr std::size_t kRecordFieldCount = 31;
// In record order.
extern const RecordField kRecordFields[kRecordFieldCount];

// Null when no field of the record belongs to the control.
const RecordField* RecordFieldOf(int control);
// The bytes that make a field's value, as SameField compares them: a byte,
// a text up to its terminator, a package's count and then its bytes.
inline constexpr std::size_t kFieldValueMax = 64;
std::size_t FieldValue(const ConfigImage& record, const RecordField& field,
                       std::uint8_t (&value)[kFieldValueMax]);
bool SameField(const ConfigImage& a, const ConfigImage& b, const RecordField& field);

#endif
