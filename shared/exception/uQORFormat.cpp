#include "uQORFormat.h"

#include <cstdarg>
#include <cstdio>

namespace qor {

std::string Format(const char* AFormat, ...) {
  // Almost every line fits the buffer: one formatting pass, one allocation.
  char buffer[256];
  va_list args;
  va_start(args, AFormat);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(buffer, sizeof buffer, AFormat, args);
  va_end(args);
  std::string text;
  if (n > 0 && static_cast<size_t>(n) < sizeof buffer) {
    text.assign(buffer, static_cast<size_t>(n));
  } else if (n > 0) {
    text.resize(static_cast<size_t>(n));
    std::vsnprintf(text.data(), text.size() + 1, AFormat, again);
  }
  va_end(again);
  return text;
}

}  // namespace qor
