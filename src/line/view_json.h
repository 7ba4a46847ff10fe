// A batch as the reporting views show it, as JSON: what batch status --json
// prints, and what batch serve's page is drawn from, so that the two never
// disagree.
#ifndef DTU_LINE_VIEW_JSON_H
#define DTU_LINE_VIEW_JSON_H

#include <nlohmann/json.hpp>

#include "line/batch_store.h"

nlohmann::ordered_json BatchJson(const LineView& view, const BatchProgress& batch);

#endif
