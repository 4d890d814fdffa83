// gnssfeed's log: one line "gnssfeed: TEXT" on standard error per event,
// written with one write so that lines of several threads never mix.
#pragma once

#include <string>

namespace gnss::feed {

void Say(const std::string& text);

// "strerror(errno)" of `error`.
std::string ErrorText(int error);

}  // namespace gnss::feed
