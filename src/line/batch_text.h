// A batch as the store keeps it and as a line takes it: its profile's bytes
// as hex (a form saves its texts in the PC's code page, which need not be
// UTF-8), its --set values, columns and unique keys as CSV rows, and each
// row's cells as one.
#ifndef DTU_LINE_BATCH_TEXT_H
#define DTU_LINE_BATCH_TEXT_H

#include <string>
#include <vector>

#include "cli/units.h"
#include "line/batch_store.h"

// "batch NAME" for messages.
std::string BatchName(const std::string& name);

// The batch create stores: profile is the profile file's bytes, input what
// was made of it, with sets and the rows.
StoredBatch NewBatch(const std::string& name, const std::string& profile,
                     const std::vector<std::string>& sets, const WriteInput& input);

// A stored batch as the stations take it: its profile, --set values and
// rows, each row's record made again by this dtucfg and checked against the
// digest it was stored with. kExitOk; kExitUsage (no such batch, or one this
// dtucfg would write otherwise) or kExitUnit (the database failed), with
// error set.
int LoadBatch(BatchStore& store, const std::string& name, WriteInput* input, std::string* error);
// LoadBatch's making of the records, for a batch already read: all its rows,
// or only some (a unit's origin), in the order given. kExitOk, or kExitUsage
// with error set.
int RebuildBatch(const StoredBatch& batch, WriteInput* input, std::string* error);

#endif
