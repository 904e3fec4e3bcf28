// Byte comparisons that show both sides in hex when they differ.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& bytes);
Bytes bytes_of(const std::string& text);  // the characters of a text, as bytes
Bytes concat(std::initializer_list<Bytes> parts);

::testing::AssertionResult SameBytes(const char* expected_expr, const char* actual_expr, const Bytes& expected,
                                     const Bytes& actual);

}  // namespace testsupport

#define EXPECT_BYTES(expected, actual) EXPECT_PRED_FORMAT2(::testsupport::SameBytes, expected, actual)
#define ASSERT_BYTES(expected, actual) ASSERT_PRED_FORMAT2(::testsupport::SameBytes, expected, actual)
