// The Cardflash window driven through its buttons: scans, an update by clicks through the file
// dialog, closing refused while the worker runs, the hidden test command and the layout. The card
// sits on the virtual bus; the update's pauses run on virtual time. The engine's log lines are the
// scenario suite's subject: here the transcript is checked once, end to end.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <numeric>
#include <set>

#include "cardflash_dlg.h"
#include "log_text.h"
#include "support/update_fixture.h"
#include "virtual_bus.h"

using namespace cardflash;
namespace bus = cardsim::bus;

// Every context the program opens and closes, counted by standing in front of the library's
// exports that make and release one (the dialog and the engine are linked into this program, so
// their calls land here).
namespace ledger {
std::mutex mutex;
std::set<CardContext*> live;
int opened = 0, closed = 0, closed_twice = 0;  // closed_twice: a Tav_Close of a handle not live
}  // namespace ledger

namespace ledger {
CardContext* opens(CardContext* context) {
  std::lock_guard lock(mutex);
  if (context && live.insert(context).second) ++opened;
  return context;
}
}  // namespace ledger

extern "C" CardContext* Tav_Init(void) {
  static auto real = reinterpret_cast<CardContext* (*)()>(dlsym(RTLD_NEXT, "Tav_Init"));
  return ledger::opens(real());
}

extern "C" CardContext* Tav_InitAtPort(const char* port) {
  static auto real = reinterpret_cast<CardContext* (*)(const char*)>(dlsym(RTLD_NEXT, "Tav_InitAtPort"));
  return ledger::opens(real(port));
}

extern "C" bool Tav_Close(CardContext* context) {
  static auto real = reinterpret_cast<bool (*)(CardContext*)>(dlsym(RTLD_NEXT, "Tav_Close"));
  {
    std::lock_guard lock(ledger::mutex);
    if (!ledger::live.erase(context)) {
      ++ledger::closed_twice;
      return false;
    }
    ++ledger::closed;
  }
  return real(context);
}

namespace {

const std::string kDataDir = SAMPLE_DATA_DIR;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "dialog_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using Lines = std::vector<std::string>;
Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Lines kScanLines = {"Total 1 Msp430 find", "Flash Msp430 Information:", "VID: 0x2933 PID:a2c CardId: 3",
                          "FW Ver =0102,Boot Ver=0005"};
const Lines kUpdateLines = {"Load Msp430 FW", kDataDir + "/firmware_0200.txt", "==Load RAM BSL==",
                            kDataDir + "/stand_in_ram_bsl.txt", "Load RAM_BSL_00.08.08.39.txt Complete",
                            "Load Msp430 FW Complete", "Switch to ISP mode ",
                            "Device 0x2047 0x0200 ISP\xE3\x80\x80mode device found",  // Big5 0xA1 0x40 is U+3000
                            "Device Connected", "Mass Erase", "Download full BSL...", "Wait for BSL",
                            "==========================", "program_file",
                            "Verify Complete: 8 segments, 15696 bytes", "Device Reset  Complete",
                            "VID: 0x2933 PID:a2c CardId: 3", "FW Ver =0200,Boot Ver=0005"};

// A clock that holds the worker in each of the update's long pauses (not in its 10 ms polls for
// the boot loader's replies) until the test lets it go on.
class GatedClock : public testsupport::VirtualClock {
 public:
  void Pause(int milliseconds) override {
    VirtualClock::Pause(milliseconds);
    if (milliseconds < 1000) return;
    std::unique_lock lock(mutex_);
    holding_ = true;
    changed_.wait(lock, [this] { return !holding_; });
  }
  bool Holding() {
    std::lock_guard lock(mutex_);
    return holding_;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    holding_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus::reset();
    bus::run_in_real_time();  // the shipped library's channel sleeps its pauses
    std::lock_guard lock(ledger::mutex);
    ledger::live.clear();
    ledger::opened = ledger::closed = ledger::closed_twice = 0;
  }
  void TearDown() override {
    dialog_.reset();
    std::lock_guard lock(ledger::mutex);
    EXPECT_EQ(ledger::closed_twice, 0) << "a context was closed twice";
    EXPECT_TRUE(ledger::live.empty()) << ledger::live.size() << " context(s) left open";
    EXPECT_EQ(bus::open_handles(), 0);
  }

  // The dialog on virtual time with the sample RAM boot loader; the file chooser answers with
  // `chosen_` unless the real file dialog is asked for.
  CCardflashDlg& Open(Clock* clock = nullptr, bool real_file_dialog = false) {
    CCardflashDlg::Environment environment;
    environment.clock = clock ? clock : &clock_;
    environment.ram_bsl_file = kDataDir + "/stand_in_ram_bsl.txt";  // as --ram-bsl names it
    if (!real_file_dialog) environment.choose_file = [this](QWidget*) { return chosen_; };
    dialog_ = std::make_unique<CCardflashDlg>(std::move(environment));
    dialog_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    return *dialog_;
  }

  QPushButton* Button(const char* name) { return dialog_->findChild<QPushButton*>(QLatin1String(name)); }
  QPlainTextEdit* LogView() { return dialog_->findChild<QPlainTextEdit*>(QStringLiteral("log")); }
  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  // The log as the view shows it, one entry per line; the view must show what the log holds.
  Lines Shown() {
    QString log = dialog_->LogText();
    EXPECT_EQ(LogView()->toPlainText(), log.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    return testsupport::log_lines_of(dialog_->LogText().toStdString());
  }
  void ExpectButtons(bool scan, bool update) {
    EXPECT_EQ(Button("deviceScan")->isEnabled(), scan) << "Device Scan";
    EXPECT_EQ(Button("fwUpdate")->isEnabled(), update) << "FW Update";
    EXPECT_TRUE(Button("close")->isEnabled()) << "Close";
  }
  static cardsim::BoardSettings Card() {
    cardsim::BoardSettings card;
    card.card_id = '3';
    card.usb_product_id = 0x0a2c;
    card.fw_version = "0102";
    card.boot_version = "0005";
    return card;
  }
  std::size_t ScanCard() {
    const std::size_t index = bus::add_card(Card());
    Click("deviceScan");
    EXPECT_EQ(Shown(), kScanLines);
    return index;
  }
  static std::pair<int, int> Ledger() {
    std::lock_guard lock(ledger::mutex);
    return {ledger::opened, ledger::closed};
  }

  testsupport::VirtualClock clock_;
  std::optional<ChosenFile> chosen_ = ChosenFile{QString::fromStdString(kDataDir), QStringLiteral("firmware_0200.txt")};
  std::unique_ptr<CCardflashDlg> dialog_;
};

// 415 x 245 dialog units: the log on the left, the buttons in a column to its right. The units
// follow the font, and resizing moves nothing.
TEST_F(DialogTest, StartStateAndLayoutInDialogUnits) {
  CCardflashDlg& dialog = Open();
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Cardflash"));
  ExpectButtons(true, false);
  for (const auto& [name, text] : {std::pair{"deviceScan", "Device Scan"}, {"fwUpdate", "FW Update"}, {"close", "Close"}})
    EXPECT_EQ(Button(name)->text(), QLatin1String(text));
  EXPECT_FALSE(Button("test")->isVisible());
  EXPECT_TRUE(Shown().empty());
  EXPECT_TRUE(LogView()->isReadOnly());
  EXPECT_EQ(LogView()->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_FALSE(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  const QWidget* log = LogView();
  const std::vector<const QWidget*> column = {Button("deviceScan"), Button("fwUpdate"), Button("test"), Button("close")};
  for (const QWidget* w : column) {
    EXPECT_TRUE(dialog.rect().contains(w->geometry())) << w->objectName().toStdString();
    EXPECT_LT(log->geometry().right(), w->geometry().left());
  }
  for (std::size_t i = 1; i < column.size(); ++i) EXPECT_LT(column[i - 1]->geometry().bottom(), column[i]->geometry().top());
  EXPECT_NEAR(double(log->width()) / dialog.width(), 245.0 / 415, 0.01);
  EXPECT_NEAR(double(log->height()) / dialog.height(), 231.0 / 245, 0.01);

  const QSize size = dialog.size();
  const QRect close = column.back()->geometry(), log_rect = log->geometry();
  dialog.resize(size * 3 / 2);
  QCoreApplication::processEvents();
  EXPECT_EQ(column.back()->geometry(), close);
  EXPECT_EQ(log->geometry(), log_rect);

  const QFont normal = QApplication::font();
  QFont doubled = normal;
  doubled.setPointSizeF(normal.pointSizeF() * 2);
  QApplication::setFont(doubled);
  CCardflashDlg larger;
  QApplication::setFont(normal);
  EXPECT_NEAR(double(larger.width()) / size.width(), 2.0, 0.25);
  EXPECT_NEAR(double(larger.height()) / size.height(), 2.0, 0.25);
  EXPECT_GT(larger.findChild<QPushButton*>(QStringLiteral("close"))->y(), close.y() * 3 / 2);
}

// Each scan starts a new log, and closes the context an earlier scan left open before it opens
// its own: a scan that finds the card but cannot read its identity keeps one.
TEST_F(DialogTest, ScansWithoutACardThenUnreadableThenReadable) {
  CCardflashDlg& dialog = Open();
  Click("deviceScan");
  EXPECT_EQ(Shown(), Lines{"Error Can find Msp430 Device"});
  ExpectButtons(true, false);
  EXPECT_EQ(dialog.HeldContext(), nullptr);

  const std::size_t index = bus::add_card(Card());
  bus::set_write_filter(index, [](cardsim::Mode, const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size).find("a10001") == std::string::npos;
  });  // the version query fails; the card-id query still works
  Click("deviceScan");
  EXPECT_EQ(Shown(), (Lines{"Total 1 Msp430 find", "Fail to Get Flash Device information!!"}));
  ExpectButtons(true, false);
  ASSERT_NE(dialog.HeldContext(), nullptr);

  bus::set_write_filter(index, {});
  Click("deviceScan");
  EXPECT_EQ(Shown(), kScanLines);
  ExpectButtons(false, true);
  EXPECT_EQ(Ledger(), std::make_pair(2, 1));
  std::lock_guard lock(ledger::mutex);
  EXPECT_EQ(ledger::live, std::set<CardContext*>{dialog.HeldContext()});
}

// The file is chosen in Qt's own file dialog, owned by the window: cancelled, nothing starts and
// the scan's context stays; a file chosen in it is the one flashed.
TEST_F(DialogTest, UpdateByClicks) {
  CCardflashDlg& dialog = Open(nullptr, true);
  const std::size_t index = ScanCard();
  CardContext* context = dialog.HeldContext();
  auto answer = [&](bool accept) {
    QTimer::singleShot(0, [&dialog, accept] {
      auto* file_dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(file_dialog, nullptr);
      EXPECT_EQ(file_dialog->windowTitle(), QStringLiteral("Read System Firmware 2 BIN"));
      EXPECT_EQ(file_dialog->nameFilters(), QStringList{QStringLiteral("Firmware TXT (*.txt)")});
      EXPECT_TRUE(file_dialog->testOption(QFileDialog::DontUseNativeDialog));
      EXPECT_EQ(file_dialog->parentWidget(), &dialog);
      if (!accept) return file_dialog->reject();
      file_dialog->setDirectory(QString::fromStdString(kDataDir));
      file_dialog->selectFile(QStringLiteral("firmware_0200.txt"));
      static_cast<QDialog*>(file_dialog)->accept();  // QFileDialog::accept, through the public base
    });
    Click("fwUpdate");
  };
  answer(false);
  const Lines cancelled = kScanLines + Lines{"Fail To Load Msp430 FW"};
  EXPECT_EQ(Shown(), cancelled);
  ExpectButtons(false, true);
  EXPECT_EQ(dialog.HeldContext(), context);
  EXPECT_TRUE(clock_.pauses.empty());

  answer(true);
  EXPECT_EQ(Shown(), cancelled + kUpdateLines);
  // The pauses as designed. The polls for the boot loader's replies in between are the scenarios'
  // to check: here the card lives in real time, beside the real library's channel.
  std::vector<int> long_pauses;
  std::copy_if(clock_.pauses.begin(), clock_.pauses.end(), std::back_inserter(long_pauses), [](int ms) { return ms >= 3000; });
  EXPECT_EQ(long_pauses, (std::vector<int>{10000, 3000, 3000}));
  ASSERT_GE(clock_.pauses.size(), 2u);
  const int erase = std::accumulate(clock_.pauses.begin() + 1,
                                    std::find(clock_.pauses.begin() + 1, clock_.pauses.end(), 3000), 0);
  EXPECT_LE(erase, 1510) << "the erase's 1500 ms, then at most one poll for the unlock";
  // The erase's 1500 ms run on the program's clock, in which the time the update itself takes
  // counts too: from the wrong password to the erased device's, less the moment between reading
  // the clock and the first write.
  std::vector<cardsim::SimTime> passwords;
  for (const bus::WireRecord& w : bus::writes())
    if (w.bytes.size() > 2 && w.bytes[2] == 0x11) passwords.push_back(w.time);
  ASSERT_GE(passwords.size(), 2u);
  EXPECT_GE(passwords[1] - passwords[0], std::chrono::milliseconds(1495));
  ExpectButtons(true, false);
  EXPECT_FALSE(dialog.UpdateRunning());
  EXPECT_EQ(dialog.HeldContext(), nullptr) << "the run took the context over";
  EXPECT_EQ(bus::board(index).application_version(), "0200");
  EXPECT_TRUE(bus::board(index).faults().empty());
  EXPECT_EQ(Ledger(), std::make_pair(2, 2)) << "the scan's context and the run's fresh listing, each closed once";

  Click("fwUpdate");  // disabled: takes no click
  EXPECT_EQ(Shown().size(), cancelled.size() + kUpdateLines.size());
  Click("close");
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(Ledger(), std::make_pair(2, 2));
}

// The window updates the first card, tied to its port: a controller left in its boot loader at
// another port, listed first, is never written to.
TEST_F(DialogTest, UpdateBesideAStuckBootLoader) {
  Open();
  ASSERT_TRUE(bus::configure("bsl port=1-1"));
  const std::size_t index = ScanCard();
  Click("fwUpdate");
  EXPECT_EQ(Shown(), kScanLines + kUpdateLines);
  EXPECT_EQ(bus::board(index).application_version(), "0200");
  EXPECT_TRUE(bus::board(0).bsl_commands().empty());
}

// The worker is held in each of its pauses. Meanwhile the window takes events: the log has
// followed the worker to its last line, both buttons that could start a run are disabled, and
// Close, the close box and Escape are each refused with a line in the log.
TEST_F(DialogTest, WindowDuringAnUpdate) {
  GatedClock clock;
  CCardflashDlg& dialog = Open(&clock);
  const std::size_t index = ScanCard();
  for (int i = 0; i < 40; ++i) dialog.AppendLog("line %d\r\n", i);  // more than the view shows
  const std::string refused(kCloseRefusedLine, std::strlen(kCloseRefusedLine) - 2);

  std::vector<std::string> last_line_at_hold;
  bool seen = false;  // a hold is looked at one tick after it is seen, when the view has scrolled
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (!clock.Holding()) return;
    if (!std::exchange(seen, true)) return;
    seen = false;
    const Lines shown = Shown();
    last_line_at_hold.push_back(shown.back());
    const QScrollBar* bar = LogView()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum()) << "the view follows the log's end";
    ExpectButtons(false, false);
    EXPECT_EQ(dialog.HeldContext(), nullptr) << "the run holds the context";
    if (last_line_at_hold.size() == 1) {
      Click("close");
      dialog.close();
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(&dialog, &escape);
      EXPECT_TRUE(dialog.isVisible());
      EXPECT_EQ(Shown(), shown + Lines(3, refused));
    }
    clock.Release();
  });
  tick.start(5);
  Click("fwUpdate");
  tick.stop();

  EXPECT_EQ(last_line_at_hold, (Lines{"Switch to ISP mode ", "Mass Erase", "Download full BSL...", "Device Reset  Complete"}));
  const Lines shown = Shown();
  EXPECT_EQ(std::count(shown.begin(), shown.end(), refused), 3);
  EXPECT_EQ(shown.back(), "FW Ver =0200,Boot Ver=0005");
  EXPECT_EQ(bus::board(index).application_version(), "0200");
  Click("close");
  EXPECT_FALSE(dialog.isVisible()) << "once the update has ended, Close closes";
}

// A run that fails ends with Device Scan enabled and the context closed once.
TEST_F(DialogTest, UnreadableFileShowsWhyInTheLog) {
  CCardflashDlg& dialog = Open();
  ScanCard();
  const std::string file = ::testing::TempDir() + "/damaged-firmware.txt";
  std::ofstream(file) << "@4400\n31 40\n";
  const QFileInfo info(QString::fromStdString(file));
  chosen_ = ChosenFile{info.absolutePath(), info.fileName()};
  Click("fwUpdate");
  const Lines shown = Shown();
  ASSERT_GE(shown.size(), 2u);
  EXPECT_EQ(shown[shown.size() - 2], "open file fail,file maybe is not exist or bad.");
  EXPECT_EQ(shown.back().rfind(info.absoluteFilePath().toStdString() + ": line 3: ", 0), 0u) << shown.back();
  ExpectButtons(true, false);
  EXPECT_EQ(dialog.HeldContext(), nullptr);
  EXPECT_EQ(Ledger(), std::make_pair(1, 1));
  EXPECT_EQ(bus::board(0).mode(), cardsim::Mode::Application);
}

// Hidden: only a programmatic click reaches it. It opens and closes a context of its own and
// shows nothing in the window.
TEST_F(DialogTest, HiddenTestCommand) {
  CCardflashDlg& dialog = Open();
  testing::internal::CaptureStdout();
  Button("test")->click();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Device Init Error\r\n");
  EXPECT_TRUE(Shown().empty());

  ScanCard();
  CardContext* held = dialog.HeldContext();
  testing::internal::CaptureStdout();
  Button("test")->click();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Shown(), kScanLines);
  EXPECT_EQ(Ledger(), std::make_pair(2, 1));
  std::lock_guard lock(ledger::mutex);
  EXPECT_EQ(ledger::live, std::set<CardContext*>{held});
}

TEST(LogText, Big5SeparatorAndUtf8PathsBothReadable) {
  EXPECT_EQ(DecodeLogText("ISP\xA1\x40mode"), QStringLiteral("ISP\u3000mode"));
  EXPECT_EQ(DecodeLogText("/home/b\xC3\xA4r/fw.txt\r\n"), QStringLiteral("/home/b\u00E4r/fw.txt\r\n"));
  EXPECT_EQ(DecodeLogText("\xFF\xFE").size(), 2) << "every byte shows as a character";
}

}  // namespace
