// printf-style formatting into a std::string, for log lines and error texts.
#pragma once

#include <string>

namespace qor {

std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qor
