#pragma once
#include <string>
#include "gnss/protocol/gnss_ddi.h"
namespace gnss::feed {
std::string FixSentences(const GNSS_FIXDATA& fix);
std::string NoFixSentences();
}
