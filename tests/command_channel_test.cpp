// The command channel below the exports, on virtual time: what each outcome of an exchange costs
// in 100 ms pauses, and the session's lock.
// The texts on the wire and the decoded replies are the scenario suite's and the exports' tests'.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "card_session.h"
#include "library_channel.h"
#include "support/virtual_pause.h"
#include "tool_channel.h"
#include "virtual_bus.h"

using namespace cardlink;
using namespace testsupport;
namespace bus = cardsim::bus;

namespace {

// A reply is read only after the first pause and ends the polling; three empty polls give up; a
// failed write waits for nothing, except the serial-number address write, which still waits for
// its acknowledgement; a failed read ends the exchange at once.
TEST(ChannelTest, PausesOfEachOutcome) {
  const std::vector<int> two(2, kPauseMs), four(4, kPauseMs);
  struct Case {
    const char* name;
    bool silent, fail_write, fail_read;
    const ChannelProfile* profile;
    int id;
    const char* write_text;  // a write of this text, or a read when null
    int result;
    std::vector<int> pauses;
  };
  const Case cases[] = {
      {"reply at the first poll", false, false, false, &kLibraryChannel, MCU_CMD_CARD_ID, nullptr, kReportSize, two},
      {"no reply", true, false, false, &kToolChannel, MCU_CMD_FW_VERSION, nullptr, 0, four},
      {"library write fails", false, true, false, &kLibraryChannel, MCU_CMD_CARD_ID, nullptr, -1, {}},
      {"tool write fails", false, true, false, &kToolChannel, MCU_CMD_SWITCH_TO_ISP, "", -1, {}},
      {"address write fails", false, true, false, &kLibraryChannel, MCU_CMD_SET_READ_ADDRESS, "0512c20", 0, four},
      {"read fails", false, false, true, &kToolChannel, MCU_CMD_FW_VERSION, nullptr, -1, {kPauseMs}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bus::reset();
    clear_channel_pauses();
    cardsim::BoardSettings settings;
    settings.silent = c.silent;
    bus::set_faults(bus::add_card(settings), false, c.fail_write, c.fail_read);
    hid_device* d = hid_open_path(bus::path(0).c_str());
    ASSERT_NE(d, nullptr);
    hid_set_nonblocking(d, 1);
    unsigned char reply[kReportSize] = {};
    ::testing::internal::CaptureStdout();  // the tool's complaints are the scenario suite's
    const int result = c.write_text ? mcu_write_command(*c.profile, d, c.id, c.write_text)
                                    : mcu_read_command(*c.profile, d, c.id, reply);
    ::testing::internal::GetCapturedStdout();
    hid_close(d);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(channel_pauses(), c.pauses);
    const auto wire = bus::wire();  // a reply read is one no sooner than the first pause's end
    if (wire.size() == 2) {
      EXPECT_GE(wire[1].time - wire[0].time, std::chrono::milliseconds(kPauseMs));
    }
  }
}

bool held(pthread_mutex_t& lock) {
  if (pthread_mutex_trylock(&lock) != 0) return true;
  pthread_mutex_unlock(&lock);
  return false;
}

// The lock covers the priming read and the exchanges, never the open or the close; whoever owns
// the session last closes the device.
TEST(ChannelTest, SessionHoldsTheLockFromPrimingReadToClose) {
  bus::reset();
  bus::add_card();
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  CardSession outer;
  {
    CardSession session(kLibraryChannel, bus::path(0).c_str(), &lock);
    ASSERT_TRUE(session.is_open());
    EXPECT_FALSE(held(lock));
    EXPECT_TRUE(bus::writes().empty()) << "sent before start()";
    session.start();
    session.start();
    EXPECT_TRUE(held(lock));
    EXPECT_EQ(bus::writes().size(), 1u) << "one priming read";
    outer = std::move(session);
  }
  EXPECT_EQ(bus::open_handles(), 1);
  EXPECT_TRUE(held(lock));
  outer.close();
  EXPECT_FALSE(held(lock));
  EXPECT_EQ(bus::open_handles(), 0);

  // A device that does not open: nothing sent, nothing locked.
  bus::reset();
  bus::set_faults(bus::add_card(), true, false, false);
  CardSession refused(kToolChannel, bus::path(0).c_str(), &lock);
  refused.start();
  EXPECT_FALSE(refused.is_open());
  EXPECT_FALSE(held(lock));
  EXPECT_TRUE(bus::writes().empty());
}

}  // namespace
