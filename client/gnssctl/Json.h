// gnssctl's JSON output: every document goes through one writer, so that
// each is valid JSON and valid UTF-8 whatever the modem put in its texts.
// The schemas are in the README ("gnssctl's JSON").
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>

#include "gnss/protocol/gnss_ddi.h"

namespace gnss::ctl {

// Objects keep their members in the order they were set.
using Json = nlohmann::ordered_json;

// `value` on a line of its own, flushed.  Bytes of a text that are not
// UTF-8 are written as U+FFFD.
void WriteJson(std::ostream& out, const Json& value);
// A number rounded to `decimals` places; null when it is not finite.
Json JsonNumber(double value, int decimals);
// A fix as the object of the README's fix schema (gnssctl fix/track --json).
Json FixObject(const GNSS_FIXDATA& fix);

}  // namespace gnss::ctl
