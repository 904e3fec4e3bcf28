#include "log_sink.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace cardflash {

std::string FormatLogV(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    text.assign(buffer.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
  return text;
}

void AppendLog(LogSink& sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatLogV(format, args);
  va_end(args);
  sink.Append(text);
}

}  // namespace cardflash
