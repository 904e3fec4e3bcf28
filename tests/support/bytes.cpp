#include "bytes.h"

#include <cstdio>

namespace testsupport {

std::string hex(const Bytes& bytes) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, "%02X", bytes[i]);
    if (i) out += (i % 16) ? " " : "\n    ";
    out += b;
  }
  return out;
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

::testing::AssertionResult SameBytes(const char* expected_expr, const char* actual_expr, const Bytes& expected,
                                     const Bytes& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  std::size_t first = 0;
  while (first < expected.size() && first < actual.size() && expected[first] == actual[first]) ++first;
  return ::testing::AssertionFailure() << actual_expr << " differs from " << expected_expr << " at byte " << first
                                       << "\n  expected (" << expected.size() << " bytes):\n    " << hex(expected)
                                       << "\n  received (" << actual.size() << " bytes):\n    " << hex(actual);
}

}  // namespace testsupport
