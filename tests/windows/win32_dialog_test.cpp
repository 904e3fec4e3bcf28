// The Win32 window (updater/dialog/win32/) under wine's null graphics driver, in code page 950 as
// on the systems it was made for: the template as built, the suite's scenarios played through
// its buttons, the window during an update, and Cardflash.exe given options. The window runs on a
// thread of its own, modal as in the program; the test sends it what a user's clicks would.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <functional>
#include <thread>

#include "cardflash_dlg.h"
#include "program_run.h"
#include "resource.h"
#include "support/scenario.h"
#include "support/update_fixture.h"

namespace bus = cardsim::bus;
namespace fs = std::filesystem;
using namespace cardflash;
using namespace testsupport;

namespace {

// The build machine's paths as the program sees them: wine's drive Z: is the root folder.
std::string WindowsPath(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return "Z:" + path;
}
const std::string kData = WindowsPath(SAMPLE_DATA_DIR) + "\\";

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
      : dialog_(std::move(environment)), thread_([this] { result_ = dialog_.DoModal(); }) {
    for (int i = 0; i < 2000 && !dialog_.GetSafeHwnd() && result_ == 0; ++i) Sleep(5);
  }
  ~Window() {
    if (dialog_.GetSafeHwnd()) PostMessageW(dialog_.GetSafeHwnd(), WM_COMMAND, IDC_CLOSE, 0);
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
  // The log view's text in code page 950, each line ending in "\n" as the transcripts are written.
  std::string Log() const {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(Item(IDC_LOG))) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(Item(IDC_LOG), text.data(), static_cast<int>(text.size()))));
    std::string big5(text.size() * 2, '\0');
    big5.resize(static_cast<std::size_t>(WideCharToMultiByte(950, 0, text.data(), static_cast<int>(text.size()), big5.data(),
                                                             static_cast<int>(big5.size()), nullptr, nullptr)));
    for (std::size_t at; (at = big5.find("\r\n")) != std::string::npos;) big5.erase(at, 1);
    return big5;
  }
  bool WaitForEnd() const {
    for (int i = 0; i < 400 && Handle(); ++i) Sleep(5);
    return !Handle();
  }

 private:
  CCardflashDlg dialog_;
  std::atomic<INT_PTR> result_{0};
  std::thread thread_;
};

class Win32Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetACP(), 950u) << "wine runs these tests with LC_ALL=zh_TW.UTF-8";
    bus::reset();
  }
  CCardflashDlg::Environment Environment(Clock& clock) {
    return {&clock, {kData}, [this](HWND) { return chosen_; }};
  }
  std::optional<std::wstring> chosen_;
};

// Template 102 as the running window has it: each control's class, caption, style and place,
// read back with GetWindowRect and converted to dialog units.
TEST_F(Win32Dialog, TemplateAsBuilt) {
  VirtualClock clock;
  Window window(Environment(clock));
  const HWND dialog = window.Handle();
  ASSERT_NE(dialog, nullptr);
  wchar_t text[64];
  GetWindowTextW(dialog, text, 64);
  EXPECT_STREQ(text, L"Cardflash");
  const LONG style = GetWindowLongW(dialog, GWL_STYLE);
  EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
            WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME);
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_STREQ(font.lfFaceName, L"MS Shell Dlg");
  EXPECT_EQ(font.lfHeight, -MulDiv(8, 96, 72)) << "8 points";
  EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);

  RECT base{0, 0, 4, 8};  // the pixels of 4 x 8 dialog units
  MapDialogRect(dialog, &base);
  auto units = [&](RECT r) {
    return std::vector<long>{MulDiv(r.left, 4, base.right), MulDiv(r.top, 8, base.bottom),
                             MulDiv(r.right - r.left, 4, base.right), MulDiv(r.bottom - r.top, 8, base.bottom)};
  };
  RECT client;
  GetClientRect(dialog, &client);
  EXPECT_EQ(units(client), (std::vector<long>{0, 0, 415, 245}));
  struct Control {
    int id;
    const wchar_t *kind, *caption;
    std::vector<long> place;
    LONG style;
  };
  const LONG edit = ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP;
  const Control expected[] = {{IDC_LOG, L"Edit", L"", {7, 7, 245, 231}, edit | WS_VISIBLE},
                              {IDC_DEVICE_SCAN, L"Button", L"Device Scan", {276, 18, 125, 31}, WS_TABSTOP | WS_VISIBLE},
                              {IDC_FW_UPDATE, L"Button", L"FW Update", {276, 60, 126, 32}, WS_TABSTOP | WS_VISIBLE},
                              {IDC_TEST, L"Button", L"Test", {276, 108, 50, 14}, WS_TABSTOP},
                              {IDC_CLOSE, L"Button", L"Close", {276, 162, 126, 30}, WS_TABSTOP | WS_VISIBLE}};
  HWND child = GetWindow(dialog, GW_CHILD);
  for (const Control& c : expected) {
    ASSERT_EQ(GetDlgCtrlID(child), c.id) << "the controls in the template's order";
    GetClassNameW(child, text, 64);
    EXPECT_STREQ(text, c.kind);
    GetWindowTextW(child, text, 64);
    EXPECT_STREQ(text, c.caption);
    EXPECT_EQ(GetWindowLongW(child, GWL_STYLE) & (edit | WS_VISIBLE | BS_TYPEMASK), c.style) << c.id;
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    const std::vector<long> place = units(r);
    EXPECT_EQ(place, c.place) << c.id;
    std::printf("control %d: x %ld, y %ld, %ld x %ld dialog units (%ld, %ld, %ld x %ld px)\n", c.id, place[0], place[1],
                place[2], place[3], r.left, r.top, r.right - r.left, r.bottom - r.top);
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr) << "no other control";
  // The template's border of an edit control becomes the sunken edge of a dialog's controls.
  EXPECT_TRUE(GetWindowLongW(window.Item(IDC_LOG), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
  EXPECT_EQ(window.Buttons(), std::make_pair(true, false));
}

// The suite's Cardflash scenarios whose run the window can play: Device Scan, then, for an
// --update, FW Update with the scenario's file. The log ends as the console program's transcript,
// the cards as they end there.
class Win32DialogScenario : public Win32Dialog, public ::testing::WithParamInterface<const char*> {};

TEST_P(Win32DialogScenario, PlayedThroughTheButtons) {
  const Scenario* scenario = nullptr;
  for (const Scenario& s : scenarios())
    if (s.name == GetParam()) scenario = &s;
  ASSERT_NE(scenario, nullptr);
  ASSERT_TRUE(bus::configure(scenario->devices));
  const Placeholders p{kData + "RAM_BSL_00.08.08.39.txt", "",
                       (fs::temp_directory_path() / ("dialog-" + std::to_string(GetCurrentProcessId()))).string()};
  write_files(*scenario, p);
  // The sample files named in Windows form, as a file dialog names them.
  auto windows_data = [](std::string text) {
    for (std::size_t at; (at = text.find("@DATA@/")) != std::string::npos;) text.replace(at, 7, kData);
    return text;
  };
  Step step = scenario->steps.at(0);
  for (std::string& text : step.args) text = windows_data(text);
  for (std::string& text : step.out_has) text = windows_data(text);
  if (step.out) step.out = windows_data(*step.out);
  step.out_ends = windows_data(step.out_ends);

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
    if (step.pauses) {
      EXPECT_EQ(clock.pauses, *step.pauses);
    }
  }
  // The window has no exit status and no standard error.
  step.status = 0;
  step.err.reset();
  step.err_has.clear();
  check_step(step, Outcome{0, window.Log(), ""}, p, [](std::size_t i) -> cardsim::Board& { return bus::board(i); });
}

INSTANTIATE_TEST_SUITE_P(Suite, Win32DialogScenario,
                         ::testing::Values("flash update without card", "flash scan", "flash update",
                                           "flash file without q", "flash unreadable file"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

// The worker is held in each long pause while the window takes messages: the log has followed
// it, both buttons that could start a run are disabled, and Close, the close box and Escape are
// each refused with a line in the log. A cancelled file dialog starts nothing.
TEST_F(Win32Dialog, WindowDuringAnUpdate) {
  ASSERT_TRUE(bus::configure("card id=1 fw=0102 boot=0005"));
  HookClock clock;
  Window window(Environment(clock));
  window.Click(IDC_DEVICE_SCAN);
  const std::string scan = "Total 1 Msp430 find\nFlash Msp430 Information:\nVID: 0x2933 PID:1 CardId: 1\nFW Ver =0102,Boot Ver=0005\n";
  window.Click(IDC_FW_UPDATE);
  EXPECT_EQ(window.Log(), scan + "Fail To Load Msp430 FW\n");
  EXPECT_EQ(window.Buttons(), std::make_pair(false, true));

  chosen_ = std::wstring(kData.begin(), kData.end()) + L"firmware_0200.txt";
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
  EXPECT_TRUE(window.WaitForEnd()) << "once the update has ended, Close closes";
}

// Options are the console program's: Cardflash.exe says so and touches no card (the virtual bus
// beside it does not even start).
TEST_F(Win32Dialog, ProgramWithOptionsPointsToTheConsoleProgram) {
  const fs::path folder = fs::path(WindowsPath(TEST_FOLDER)) / "window-program";
  fs::remove_all(folder);
  fs::create_directories(folder);
  for (const char* file : {CARDFLASH_EXE, CARDLINK_DLL, SIMBUS_HIDAPI_DLL})
    fs::copy_file(WindowsPath(file), folder / fs::path(file).filename());
  const fs::path wire = folder / "wire.log";
  std::atomic<DWORD> pid{0};
  cardsim::ProgramOptions options{{{"CARDSIM_DEVICES", "card id=1"}, {"CARDSIM_WIRE_LOG", wire.string()}}};
  options.started = [&](pid_t id) { pid = static_cast<DWORD>(id); };
  cardsim::ProgramRun run;
  std::thread program([&] { run = cardsim::run_program((folder / "Cardflash.exe").string(), {"--scan"}, options); });
  struct Search {
    DWORD pid;
    HWND box;
  } search{0, nullptr};
  for (int i = 0; i < 1000 && !search.box; ++i, Sleep(10)) {
    search.pid = pid;
    EnumWindows(
        [](HWND w, LPARAM l) {
          auto* s = reinterpret_cast<Search*>(l);
          DWORD owner = 0;
          GetWindowThreadProcessId(w, &owner);
          if (s->pid && owner == s->pid && IsWindowVisible(w)) s->box = w;
          return s->box ? FALSE : TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
  }
  wchar_t text[512] = L"";
  if (search.box) {
    GetDlgItemTextW(search.box, 0xFFFF, text, 512);  // the message box's text
    PostMessageW(search.box, WM_COMMAND, IDOK, 0);
  }
  program.join();
  ASSERT_NE(search.box, nullptr) << "no message box";
  EXPECT_NE(std::wstring(text).find(L"For --scan, --update FILE, --recover FILE and --help run Cardflash.com"),
            std::wstring::npos);
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_FALSE(fs::exists(wire));
}

}  // namespace
