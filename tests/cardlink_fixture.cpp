#include "cardlink_fixture.h"

#include <cstdio>

namespace cardlink_test {

Bytes request(const std::string& text) {
  return testsupport::concat({{0x3F, static_cast<std::uint8_t>(text.size())}, testsupport::bytes_of(text)});
}

std::vector<Bytes> writes_to(const std::string& path) {
  std::vector<Bytes> out;
  for (const bus::WireRecord& r : bus::writes())
    if (r.path == path) out.push_back(r.bytes);
  return out;
}

std::string stdout_of(const std::function<void()>& body) {
  bool failed_before = ::testing::Test::HasFailure();
  ::testing::internal::CaptureStdout();
  body();
  std::string out = ::testing::internal::GetCapturedStdout();
  // gtest reports failures on standard output: show those the capture swallowed.
  if (!failed_before && ::testing::Test::HasFailure()) std::fprintf(stderr, "%s", out.c_str());
  return out;
}

Context CardlinkTest::init(const std::string& devices) {
  std::string error;
  EXPECT_TRUE(bus::configure(devices, &error)) << error;
  Context context;
  EXPECT_EQ(stdout_of([&] { context.reset(Tav_Init()); }), "");
  EXPECT_HANDLES(0);
  return context;
}

}  // namespace cardlink_test
