// The Win32 window (updater/dialog/win32/) under wine's null graphics driver, in code page 950 as
// on the systems it was made for: the template as built, the suite's scenarios played through
// its buttons, and the window during an update. The window runs on a thread of its own, modal as
// in the program; the test sends it what a user's clicks would.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "cardflash_dlg.h"
#include "resource.h"
#include "support/scenario.h"
#include "support/update_fixture.h"

namespace bus = cardsim::bus;
namespace fs = std::filesystem;
using namespace cardflash;
using namespace testsupport;

namespace {


// A clock whose long pauses (not the 10 ms polls) call `on_pause` on the worker while it waits.
struct HookClock : VirtualClock {
  std::function<void()> on_pause;
  void Pause(int ms) override {
    VirtualClock::Pause(ms);
    if (ms >= 1000 && on_pause) on_pause();
  }
};

// The window on a thread of its own, as the program shows it.
class Window {
 public:
  explicit Window(CCardflashDlg::Environment environment)
      : dialog_(std::move(environment)), thread_([this] { shown_ = dialog_.DoModal(); }) {
    for (int i = 0; i < 2000 && !Handle() && shown_ == 0; ++i) Sleep(5);
  }
  ~Window() {
    if (Handle()) PostMessageW(Handle(), WM_COMMAND, IDC_CLOSE, 0);
    thread_.join();
  }
  HWND Handle() const { return dialog_.GetSafeHwnd(); }
  HWND Item(int id) const { return GetDlgItem(Handle(), id); }
  // A user's click reaches only an enabled button; sent, it returns once its handler has.
  void Click(int id) {
    ASSERT_TRUE(IsWindowEnabled(Item(id))) << "button " << id;
    SendMessageW(Item(id), BM_CLICK, 0, 0);
  }
  std::pair<bool, bool> Buttons() const { return {IsWindowEnabled(Item(IDC_DEVICE_SCAN)), IsWindowEnabled(Item(IDC_FW_UPDATE))}; }
  // The log view's text in the ANSI code page (950), its lines ending in "\n" as the transcripts
  // are written.
  std::string Log() const {
    std::string text(65536, '\0');
    text.resize(static_cast<std::size_t>(GetWindowTextA(Item(IDC_LOG), text.data(), 65536)));
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  }

 private:
  CCardflashDlg dialog_;
  std::atomic<INT_PTR> shown_{0};  // DoModal's result once it has returned
  std::thread thread_;
};

class Win32Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetACP(), 950u) << "wine runs these tests with LC_ALL=zh_TW.UTF-8";
    bus::reset();
  }
  CCardflashDlg::Environment Environment(Clock& clock) {
    // As --ram-bsl names it; wine's drive Z: is "/".
    return {&clock, {}, [this](HWND) { return chosen_; }, SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt"};
  }
  std::optional<std::wstring> chosen_;  // what the file dialog answers
};

// Template 102 as the running window has it: caption, style, font, and each control's class,
// caption and place, read back with GetWindowRect and converted to dialog units.
TEST_F(Win32Dialog, TemplateAsBuilt) {
  VirtualClock clock;
  Window window(Environment(clock));
  const HWND dialog = window.Handle();
  ASSERT_NE(dialog, nullptr);
  char text[64];
  GetWindowTextA(dialog, text, 64);
  EXPECT_STREQ(text, "Cardflash");
  EXPECT_EQ(GetWindowLongW(dialog, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
            WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME);
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_STREQ(font.lfFaceName, L"MS Shell Dlg");
  EXPECT_EQ(font.lfHeight, -MulDiv(8, 96, 72)) << "8 points";
  EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);

  RECT base{0, 0, 4, 8};  // the pixels of 4 x 8 dialog units
  MapDialogRect(dialog, &base);
  auto units = [&](const RECT& r) {
    char place[64];
    std::snprintf(place, sizeof place, "%d,%d %dx%d", MulDiv(r.left, 4, base.right), MulDiv(r.top, 8, base.bottom),
                  MulDiv(r.right - r.left, 4, base.right), MulDiv(r.bottom - r.top, 8, base.bottom));
    return std::string(place);
  };
  RECT client;
  GetClientRect(dialog, &client);
  EXPECT_EQ(units(client), "0,0 415x245");
  std::vector<std::string> controls;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    char kind[16], caption[32];
    GetClassNameA(child, kind, sizeof kind);
    GetWindowTextA(child, caption, sizeof caption);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    const bool push = std::string(kind) == "Button" && (style & BS_TYPEMASK) == BS_PUSHBUTTON;
    controls.push_back(std::to_string(GetDlgCtrlID(child)) + " " + kind + " \"" + caption + "\" " + units(r) +
                       (push ? " push" : "") + (style & WS_VISIBLE ? "" : " hidden") + (style & WS_TABSTOP ? " tabstop" : ""));
    std::printf("%s (%ld,%ld %ldx%ld px)\n", controls.back().c_str(), r.left, r.top, r.right - r.left, r.bottom - r.top);
  }
  EXPECT_EQ(controls, (std::vector<std::string>{"1000 Edit \"\" 7,7 245x231 tabstop",
                                                "1003 Button \"Device Scan\" 276,18 125x31 push tabstop",
                                                "1004 Button \"FW Update\" 276,60 126x32 push tabstop",
                                                "1006 Button \"Test\" 276,108 50x14 push hidden tabstop",
                                                "1005 Button \"Close\" 276,162 126x30 push tabstop"}));
  // The log: read-only, no word wrap, its own scroll bar; the template's border becomes the
  // sunken edge that a dialog gives its edit controls.
  const LONG log = ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL;
  EXPECT_EQ(GetWindowLongW(window.Item(IDC_LOG), GWL_STYLE) & log, log);
  EXPECT_TRUE(GetWindowLongW(window.Item(IDC_LOG), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
  EXPECT_EQ(window.Buttons(), std::make_pair(true, false));
}

// The suite's Cardflash scenarios whose run the window can play: Device Scan, then, for an
// --update, FW Update with the scenario's file. The log ends as the console program's transcript,
// the cards as they end there.
class Win32DialogScenario : public Win32Dialog, public ::testing::WithParamInterface<const char*> {};

TEST_P(Win32DialogScenario, PlayedThroughTheButtons) {
  const Scenario* scenario = nullptr;
  for (const Scenario& s : scenarios(cardsim::bus::Personality::Windows)) scenario = s.name == GetParam() ? &s : scenario;
  ASSERT_NE(scenario, nullptr);
  ASSERT_TRUE(bus::configure(scenario->devices));
  const Placeholders p{SAMPLE_DATA_DIR "/stand_in_ram_bsl.txt", "",
                       (fs::temp_directory_path() / ("dialog-" + std::to_string(GetCurrentProcessId()))).string()};
  write_files(*scenario, p);
  Step step = scenario->steps.at(0);

  VirtualClock clock;
  Window window(Environment(clock));
  window.Click(IDC_DEVICE_SCAN);
  const bool found = window.Log().find("Flash Msp430 Information:\n") != std::string::npos;
  EXPECT_EQ(window.Buttons(), std::make_pair(!found, found));
  if (step.args[0] == "--update" && found) {
    const std::string file = p(step.args[1]);
    chosen_ = std::wstring(file.begin(), file.end());
    window.Click(IDC_FW_UPDATE);
    EXPECT_EQ(window.Buttons(), std::make_pair(true, false));
    EXPECT_EQ(clock.pauses, step.pauses.value_or(clock.pauses));
  }
  // The window has no exit status and no standard error.
  step.status = 0;
  step.err.reset();
  step.err_has.clear();
  check_step(step, Outcome{0, window.Log(), ""}, p, [](std::size_t i) -> cardsim::Board& { return bus::board(i); });
}

INSTANTIATE_TEST_SUITE_P(Suite, Win32DialogScenario,
                         ::testing::Values("flash update without card", "flash scan", "flash update",
                                           "flash file without q", "flash unreadable file"));

// The worker is held in each long pause while the window takes messages: the log has followed
// it, both buttons that could start a run are disabled, and Close, the close box and Escape are
// each refused with a line in the log. A cancelled file dialog starts nothing.
TEST_F(Win32Dialog, WindowDuringAnUpdate) {
  ASSERT_TRUE(bus::configure("card id=1 fw=0102 boot=0005"));
  HookClock clock;
  Window window(Environment(clock));
  window.Click(IDC_DEVICE_SCAN);
  window.Click(IDC_FW_UPDATE);
  EXPECT_EQ(window.Log(), "Total 1 Msp430 find\nFlash Msp430 Information:\nVID: 0x2933 PID:1 CardId: 1\n"
                          "FW Ver =0102,Boot Ver=0005\nFail To Load Msp430 FW\n");
  EXPECT_EQ(window.Buttons(), std::make_pair(false, true));

  chosen_ = L"" SAMPLE_DATA_DIR "/firmware_0200.txt";
  const std::string refused = "Update running: Close is refused until it has ended\n";
  std::vector<std::string> last_lines;
  clock.on_pause = [&] {
    const std::string log = window.Log();
    last_lines.push_back(log.substr(log.rfind('\n', log.size() - 2) + 1));
    EXPECT_EQ(window.Buttons(), std::make_pair(false, false));
    EXPECT_TRUE(IsWindowEnabled(window.Item(IDC_CLOSE)));
    if (last_lines.size() > 1) return;
    SendMessageW(window.Item(IDC_CLOSE), BM_CLICK, 0, 0);
    SendMessageW(window.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
    SendMessageW(window.Handle(), WM_COMMAND, IDCANCEL, 0);     // Escape
    EXPECT_EQ(window.Log(), log + refused + refused + refused);
  };
  window.Click(IDC_FW_UPDATE);
  EXPECT_EQ(last_lines, (std::vector<std::string>{"Switch to ISP mode \n", "Mass Erase\n", "Download full BSL...\n",
                                                  "Device Reset  Complete\n"}));
  const std::string log = window.Log();
  EXPECT_EQ(log.substr(log.size() - 27), "FW Ver =0200,Boot Ver=0005\n");
  EXPECT_EQ(bus::board(0).application_version(), "0200");
  window.Click(IDC_CLOSE);
  for (int i = 0; i < 400 && window.Handle(); ++i) Sleep(5);
  EXPECT_EQ(window.Handle(), nullptr) << "once the update has ended, Close closes";
}

}  // namespace
