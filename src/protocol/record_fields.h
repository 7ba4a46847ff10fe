// The fields of the configuration record that the form shows, each with its
// control, and how two records are compared field by field: zero areas are
// left out, a text counts up to its terminator, a package up to its count.
#ifndef DTU_PROTOCOL_RECORD_FIELDS_H
#define DTU_PROTOCOL_RECORD_FIELDS_H

#include <cstddef>

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
bool SameField(const ConfigImage& a, const ConfigImage& b, const RecordField& field);

#endif
