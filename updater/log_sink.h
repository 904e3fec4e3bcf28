// Where the updater's log lines go: the dialog's log view, or standard output when headless.
#pragma once

#include <cstdarg>
#include <string>

#include "printf_format.h"

namespace cardflash {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // One formatted piece of 8-bit text, exactly as formatted (the caller supplies "\r\n").
  virtual void Append(const std::string& text) = 0;
};

// printf-style formatting into a string, and into a sink.
std::string FormatLogV(const char* format, va_list args);
void AppendLog(LogSink& sink, const char* format, ...) CARDLINK_PRINTF_FORMAT(2, 3);

}  // namespace cardflash
