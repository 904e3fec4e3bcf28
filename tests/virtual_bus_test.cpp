// The virtual bus's own behaviour on both of its personalities, whatever it is built for: what
// hidapi's linux/hid.c and windows/hid.c hand a program in each case (sim/bus/README.md gives
// each rule its source). The product's runs reach the rest.
#include <gtest/gtest.h>

#include <hidapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "support/bytes.h"
#include "virtual_bus.h"

using namespace cardsim;
using namespace testsupport;
using bus::Personality;

namespace {

const Bytes kCardIdRequest = concat({{0x3F, 10}, bytes_of("a102010004")});

std::string error_of(hid_device* h) {
  const wchar_t* e = hid_error(h);
  return std::string(e, e + std::wcslen(e));
}

// "path interface-number" of everything listed, in hidapi's order.
std::vector<std::string> listing() {
  std::vector<std::string> out;
  hid_device_info* list = hid_enumerate(0, 0);
  for (hid_device_info* i = list; i; i = i->next) out.push_back(std::string(i->path) + " " + std::to_string(i->interface_number));
  hid_free_enumeration(list);
  return out;
}

Bytes read_from(hid_device* h, std::size_t length = 64, int milliseconds = 0) {
  Bytes b(length);
  const int n = hid_read_timeout(h, b.data(), b.size(), milliseconds);
  b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return b;
}

std::string windows_path(const std::string& ids, const std::string& instance) {
  return "\\\\?\\hid#" + ids + "#7&" + instance + "&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

class BothPersonalities : public ::testing::TestWithParam<Personality> {
 protected:
  void SetUp() override { bus::reset(GetParam()); }
  bool windows() const { return GetParam() == Personality::Windows; }
  std::string either(const std::string& on_linux, const std::string& on_windows) const {
    return windows() ? on_windows : on_linux;
  }
};

// Linux: the nodes in port order, the mouse once per top-level usage. Windows: one path per collection, sorted; the same ids on
// another port give another instance id, a composite device's interfaces carry &mi_NN.
TEST_P(BothPersonalities, PathsAndTheirOrder) {
  ASSERT_TRUE(bus::configure("hid; bsl; card interfaces=2; card"));
  const std::vector<std::string> expected =
      windows() ? std::vector<std::string>{windows_path("vid_046d&pid_c52b", "eb421bf2") + " -1",
                                           windows_path("vid_2047&pid_0200", "281e0ec3") + " -1",
                                           windows_path("vid_2933&pid_0001", "a620f805") + " -1",
                                           windows_path("vid_2933&pid_0001&mi_00", "c141a9dc") + " 0",
                                           windows_path("vid_2933&pid_0001&mi_01", "c241ab6f") + " 1"}
                : std::vector<std::string>{"/dev/hidraw0 0", "/dev/hidraw0 0", "/dev/hidraw1 0", "/dev/hidraw2 0",
                                           "/dev/hidraw3 1", "/dev/hidraw4 0"};
  EXPECT_EQ(listing(), expected);
}

// What reaches the board and what comes back: Windows pads a write to the output report length,
// counts it without its report id and takes no other length or report id; a read gives the input
// report length, without a report id 0, and a report shorter than that never arrives.
TEST_P(BothPersonalities, WritesAndReads) {
  BoardSettings echo;
  echo.reply_source = [](SimTime) { return std::optional<Report>(concat({{0x00, 0x11, 0x22}, Bytes(61, 0)})); };
  ASSERT_TRUE(bus::configure("card short=12"));
  bus::add_card(echo);
  hid_device* card = hid_open_path(bus::path(0).c_str());
  hid_device* other = hid_open_path(bus::path(1).c_str());
  ASSERT_TRUE(card && other);
  EXPECT_EQ(hid_write(card, kCardIdRequest.data(), kCardIdRequest.size()), windows() ? 63 : 12);
  EXPECT_EQ(bus::writes().back().bytes.size(), windows() ? 64u : 12u);
  EXPECT_EQ(bus::board(0).commands(), std::vector<std::string>{"a102010004"});
  bus::advance(std::chrono::milliseconds(5));
  EXPECT_EQ(read_from(card).size(), windows() ? 0u : 12u) << "a reply cut to 12 bytes";
  const Bytes echoed = windows() ? concat({{0x11, 0x22}, Bytes(61, 0)}) : concat({{0x00, 0x11, 0x22}, Bytes(61, 0)});
  EXPECT_BYTES(echoed, read_from(other));

  const Bytes long_report(65, 0x3F), id_zero = concat({{0x00, 10}, bytes_of("a102010004")});
  EXPECT_EQ(hid_write(card, long_report.data(), long_report.size()), windows() ? -1 : 65);
  EXPECT_EQ(error_of(card), either("Success", "WriteFile: (0x000006F8) The supplied user buffer is not valid for the "
                                              "requested operation."));
  EXPECT_EQ(hid_write(card, id_zero.data(), id_zero.size()), windows() ? -1 : 12);
  EXPECT_EQ(error_of(card), either("Success", "WriteFile: (0x00000057) The parameter is incorrect."));
  hid_close(card);
  hid_close(other);
}

// A board that has hung takes no report: the write fails after the time-out (usbhid's 5 s,
// hid_write's own wait of 1 s on Windows), on the bus's clock.
TEST_P(BothPersonalities, WriteToAHungBoardTimesOut) {
  ASSERT_TRUE(bus::configure("bsl mode=hung"));
  hid_device* h = hid_open_path(bus::path(0).c_str());
  ASSERT_NE(h, nullptr);
  const Bytes version = concat({{0x3F, 1, 0x19}, Bytes(61, 0)});
  const SimTime before = bus::now();
  EXPECT_EQ(hid_write(h, version.data(), version.size()), -1);
  EXPECT_EQ(bus::now() - before, windows() ? SimTime(std::chrono::seconds(1)) : SimTime(std::chrono::seconds(5)));
  EXPECT_EQ(error_of(h), either("Connection timed out",
                                "hid_write/WaitForSingleObject: (0x000003E5) Overlapped I/O operation is in progress."));
  EXPECT_FALSE(bus::writes().back().delivered);
  EXPECT_TRUE(read_from(h).empty());
  hid_close(h);
}

// A handle whose device has left: Linux's poll sees the hang-up before any report still queued,
// a read that may wait for ever gets the queue first; Windows fails the read that was pending,
// then every new one. The device comes back: on Linux on a node that the handle does not hold,
// on Windows on the path of its port and ids, the card's own again.
TEST_P(BothPersonalities, ReEnumerationUnderAnOpenHandle) {
  ASSERT_TRUE(bus::configure("card"));
  const std::string card = bus::path(0);
  hid_device* h = hid_open_path(card.c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(read_from(h).empty());
  ASSERT_GT(hid_write(h, kCardIdRequest.data(), kCardIdRequest.size()), 0);
  bus::advance(std::chrono::milliseconds(5));
  ASSERT_GT(hid_write(h, kCardIdRequest.data(), kCardIdRequest.size()), 0);  // the first reply is queued now
  bus::board(0).restart(Mode::UsbBootLoader, bus::now(), std::chrono::seconds(1));
  EXPECT_TRUE(read_from(h).empty());
  EXPECT_EQ(error_of(h), either("hid_read_timeout: unexpected poll error (device disconnected)",
                                "hid_read_timeout/GetOverlappedResult: (0x0000048F) The device is not connected."));
  EXPECT_EQ(read_from(h, 64, -1).size(), windows() ? 0u : 64u);
  EXPECT_TRUE(read_from(h, 64, -1).empty());
  EXPECT_EQ(error_of(h), either("Input/output error", "ReadFile: (0x0000048F) The device is not connected."));
  EXPECT_EQ(hid_write(h, kCardIdRequest.data(), kCardIdRequest.size()), -1);
  EXPECT_EQ(error_of(h), either("No such device", "WriteFile: (0x0000048F) The device is not connected."));
  EXPECT_EQ(hid_open_path(card.c_str()), nullptr);
  bus::advance(std::chrono::seconds(2));
  EXPECT_EQ(bus::path(0), either("/dev/hidraw1", windows_path("vid_2047&pid_0200", "eb421bf2")));
  bus::board(0).restart(Mode::Application, bus::now(), std::chrono::seconds(1));
  bus::advance(std::chrono::seconds(2));
  EXPECT_EQ(bus::path(0), either("/dev/hidraw1", card));
  EXPECT_EQ(hid_write(h, kCardIdRequest.data(), kCardIdRequest.size()), -1);
  hid_close(h);
}

// A device that may not be opened for reading and writing: Linux refuses the open; Windows'
// hidapi opens it without access (always so for a keyboard or mouse, which the system holds), and
// its reads and writes fail.
TEST_P(BothPersonalities, OpenWithoutAccess) {
  ASSERT_TRUE(bus::configure("card fault=open; hid"));
  hid_device* card = hid_open_path(bus::path(0).c_str());
  EXPECT_EQ(card != nullptr, windows());
  EXPECT_EQ(error_of(nullptr), either("Failed to open a device with path '/dev/hidraw0': Permission denied", "Success"));
  hid_device* mouse = hid_open_path(bus::path(1).c_str());
  ASSERT_NE(mouse, nullptr);
  for (hid_device* h : {card, mouse}) {
    if (!h) continue;
    EXPECT_EQ(hid_write(h, kCardIdRequest.data(), kCardIdRequest.size()), windows() ? -1 : 12);
    EXPECT_EQ(error_of(h), either("Success", "WriteFile: (0x00000005) Access is denied."));
    hid_close(h);
  }
  EXPECT_TRUE(bus::board(0).commands().empty());
  EXPECT_EQ(bus::board(1).faults().size(), 1u) << "the write to the mouse is a fault on both";
}

// Devices that re-enumerate at once on one USB bus take address 0 one after the other (the
// kernel's address0_mutex per controller; Windows' hub driver alike): the first lists itself
// after its own delay, as alone, each next one a hold later: 230 ms on root-hub ports, 130 ms
// behind a hub. Another bus does not wait. Cards are switched with "ISPE" (isp_delay 1500 ms);
// `replug=500` cards come back restart_delay (1000 ms) after they were pulled.
TEST_P(BothPersonalities, ReEnumerationsQueueForAddressZero) {
  const Bytes kSwitch = concat({{0x3F, 15}, bytes_of("2102040004ISPE\n")});
  struct Case {
    std::string devices;
    std::vector<int> listed_ms;  // when each device lists itself again
  };
  const std::vector<Case> cases = {
      {"card port=1-1", {1500}},
      {"card port=2-1; card port=2-2", {1500, 1730}},
      {"card port=3-1.1; card port=3-1.2; card port=3-1.3; card port=3-1.4", {1500, 1630, 1760, 1890}},
      {"card port=1-1; card port=2-1", {1500, 1500}},
      {"card port=4-1; card port=4-2.1", {1500, 1630}},
      {"card replug=500 port=5-1; hid replug=500 port=5-2", {1500, 1730}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.devices);
    bus::reset(GetParam());
    ASSERT_TRUE(bus::configure(c.devices));
    const std::size_t n = c.listed_ms.size();
    for (std::size_t i = 0; i < n && c.devices.find("replug") == std::string::npos; ++i) {
      hid_device* h = hid_open_path(bus::path(i).c_str());
      ASSERT_NE(h, nullptr);
      ASSERT_GT(hid_write(h, kSwitch.data(), kSwitch.size()), 0);
      hid_close(h);
    }
    EXPECT_EQ(bus::now(), SimTime{0}) << "every switch at the same time";
    // When each device came back: on the bus's listing, and as the board's next change says
    // once it has left (which the bus replays changes by).
    std::vector<int> listed(n, -1);
    std::vector<bool> gone(n, false);
    for (int ms = 0; ms <= 2000; ms += 10) {
      for (std::size_t i = 0; i < n; ++i) {
        const bool there = !bus::path(i).empty();
        if (!there && !gone[i]) {
          gone[i] = true;
          ASSERT_TRUE(bus::board(i).next_change().has_value());
          EXPECT_EQ(*bus::board(i).next_change(), SimTime(std::chrono::milliseconds(c.listed_ms[i]))) << i;
        }
        if (there && gone[i] && listed[i] < 0) listed[i] = ms;
      }
      bus::advance(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(listed, c.listed_ms);
    for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(bus::board(i).faults().empty()) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Bus, BothPersonalities, ::testing::Values(Personality::Linux, Personality::Windows),
                         [](const auto& info) { return info.param == Personality::Windows ? "Windows" : "Linux"; });

// A vanished node cannot be opened, or opens the device that took its minor since, as the hidraw
// driver hands out the lowest free minor.
TEST(LinuxPersonality, AVanishedNodeOpensWhatTookItsMinor) {
  bus::reset(Personality::Linux);
  ASSERT_TRUE(bus::configure("hid; bsl; hid pid=c52c at=5000"));
  EXPECT_EQ(listing(), (std::vector<std::string>{"/dev/hidraw0 0", "/dev/hidraw0 0", "/dev/hidraw1 0"}));
  bus::board(1).restart(Mode::UsbBootLoader, bus::now(), std::chrono::milliseconds(10000));
  EXPECT_EQ(hid_open_path("/dev/hidraw1"), nullptr);
  bus::advance(std::chrono::milliseconds(5000));
  EXPECT_EQ(bus::path(2), "/dev/hidraw1") << "the late device takes the free minor";
  hid_device* other = hid_open_path("/dev/hidraw1");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(hid_write(other, kCardIdRequest.data(), kCardIdRequest.size()), 12);
  EXPECT_EQ(bus::board(2).faults().size(), 1u) << "a write to an unrelated device is a fault";
  hid_close(other);
  bus::advance(std::chrono::milliseconds(6000));
  EXPECT_EQ(bus::path(1), "/dev/hidraw2");
  EXPECT_EQ(bus::open_handles(), 0);
}

}  // namespace
