// The Cardflash window driven through its buttons: start state and layout, Device Scan, the file
// choice, whole updates with their log transcripts, closing, and a window that stays live while
// the worker runs. The card sits on the virtual bus; the update's pauses run on virtual time.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "cardflash_dlg.h"
#include "log_text.h"
#include "support/update_fixture.h"
#include "virtual_bus.h"

using namespace cardflash;
namespace bus = cardsim::bus;

// ---------------------------------------------------------------------------------------------
// Every context the program opens and closes, counted by standing in front of the library's two
// exports (the dialog and the engine are linked into this program, so their calls land here).
namespace ledger {
std::mutex mutex;
std::set<CardContext*> live;
int opened = 0;
int closed = 0;
int closed_twice = 0;  // a Tav_Close of a handle that is not live: never passed on
void Reset() {
  std::lock_guard lock(mutex);
  live.clear();
  opened = closed = closed_twice = 0;
}
}  // namespace ledger

extern "C" CardContext* Tav_Init(void) {
  static auto real = reinterpret_cast<CardContext* (*)()>(dlsym(RTLD_NEXT, "Tav_Init"));
  CardContext* context = real();
  std::lock_guard lock(ledger::mutex);
  if (context) {
    ledger::live.insert(context);
    ++ledger::opened;
  }
  return context;
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
const char kFullWidthSpaceUtf8[] = "\xE3\x80\x80";  // U+3000, what the Big5 bytes 0xA1 0x40 are

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

std::vector<std::string> LinesOf(const QString& log) { return testsupport::log_lines_of(log.toStdString()); }

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The scan's lines for a card made with ScannedCard().
const std::vector<std::string> kScanLines = {"Total 1 Msp430 find", "Flash Msp430 Information:",
                                             "VID: 0x2933 PID:a2c CardId: 3", "FW Ver =0102,Boot Ver=0005"};

cardsim::BoardSettings ScannedCard() {
  cardsim::BoardSettings card;
  card.card_id = '3';
  card.usb_product_id = 0x0a2c;
  card.fw_version = "0102";
  card.boot_version = "0005";
  return card;
}

// The worker's lines from the RAM boot loader up to the switch, for the sample data.
std::vector<std::string> WorkerLinesUpToSwitch() {
  return {"==Load RAM BSL==", kDataDir + "/RAM_BSL_00.08.08.39.txt", "Load RAM_BSL_00.08.08.39.txt Complete",
          "Load Msp430 FW Complete"};
}

std::vector<std::string> WorkerLinesAfterSwitch() {
  return {"Switch to ISP mode ",
          std::string("Device 0x2047 0x0200 ISP") + kFullWidthSpaceUtf8 + "mode device found",
          "Device Connected",
          "Mass Erase",
          "Download full BSL...",
          "Wait for BSL",
          "==========================",
          "program_file",
          "Device Reset  Complete",
          "VID: 0x2933 PID:a2c CardId: 3",
          "FW Ver =0200,Boot Ver=0005"};
}

// A clock that holds the worker in its first pause until the test lets it go on.
class GatedClock : public testsupport::VirtualClock {
 public:
  void Pause(int milliseconds) override {
    VirtualClock::Pause(milliseconds);
    std::unique_lock lock(mutex_);
    if (held_once_) return;
    held_once_ = true;
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
  bool held_once_ = false;
  bool holding_ = false;
};

// Virtual time for the card, plus a stretch of real time in every pause, so that the update
// lasts long enough to watch the window during it.
class SlowClock : public testsupport::VirtualClock {
 public:
  void Pause(int milliseconds) override {
    VirtualClock::Pause(milliseconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus::reset();
    ledger::Reset();
  }
  void TearDown() override {
    dialog_.reset();
    std::lock_guard lock(ledger::mutex);
    EXPECT_EQ(ledger::closed_twice, 0) << "a context was closed twice";
    EXPECT_TRUE(ledger::live.empty()) << ledger::live.size() << " context(s) left open";
    EXPECT_EQ(bus::open_handles(), 0);
  }

  // The dialog on virtual time and the sample RAM boot loader; the file chooser answers with
  // `chosen_` unless `real_file_dialog` is set.
  CCardflashDlg& Open(cardflash::Clock* clock = nullptr, bool real_file_dialog = false) {
    CCardflashDlg::Environment environment;
    environment.clock = clock ? clock : &clock_;
    environment.ram_bsl_folders = {kDataDir};
    if (!real_file_dialog) {
      environment.choose_file = [this](QWidget* parent) {
        chooser_parent_ = parent;
        ++chooser_calls_;
        return chosen_;
      };
    }
    dialog_ = std::make_unique<CCardflashDlg>(std::move(environment));
    dialog_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    return *dialog_;
  }

  QPushButton* Button(const char* name) { return dialog_->findChild<QPushButton*>(QLatin1String(name)); }
  QPlainTextEdit* LogView() { return dialog_->findChild<QPlainTextEdit*>(QStringLiteral("log")); }
  void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }
  std::vector<std::string> LogLines() { return LinesOf(dialog_->LogText()); }
  // What the log view shows: the log with one line per line.
  QString Shown() { return LogView()->toPlainText(); }
  static QString AsShown(QString log) { return log.replace(QStringLiteral("\r\n"), QStringLiteral("\n")); }

  void ExpectButtons(bool scan, bool update) {
    EXPECT_EQ(Button("deviceScan")->isEnabled(), scan) << "Device Scan";
    EXPECT_EQ(Button("fwUpdate")->isEnabled(), update) << "FW Update";
    EXPECT_TRUE(Button("close")->isEnabled()) << "Close";
  }

  std::size_t ScanCard() {
    std::size_t index = bus::add_card(ScannedCard());
    Click("deviceScan");
    EXPECT_EQ(LogLines(), kScanLines);
    return index;
  }

  std::vector<std::string> FileLines() { return {"Load Msp430 FW", kDataDir + "/firmware_0200.txt"}; }

  testsupport::VirtualClock clock_;
  std::optional<ChosenFile> chosen_ = ChosenFile{QString::fromStdString(kDataDir), QStringLiteral("firmware_0200.txt")};
  QWidget* chooser_parent_ = nullptr;
  int chooser_calls_ = 0;
  std::unique_ptr<CCardflashDlg> dialog_;
};

// --- The window ------------------------------------------------------------------------------

TEST_F(DialogTest, StartsWithOnlyScanAndCloseEnabledAndAnEmptyLog) {
  CCardflashDlg& dialog = Open();
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Cardflash"));
  ExpectButtons(true, false);
  EXPECT_EQ(Button("deviceScan")->text(), QStringLiteral("Device Scan"));
  EXPECT_EQ(Button("fwUpdate")->text(), QStringLiteral("FW Update"));
  EXPECT_EQ(Button("close")->text(), QStringLiteral("Close"));
  EXPECT_EQ(Button("test")->text(), QStringLiteral("Test"));
  EXPECT_FALSE(Button("test")->isVisible());
  EXPECT_TRUE(dialog.LogText().isEmpty());
  EXPECT_TRUE(Shown().isEmpty());
  EXPECT_EQ(dialog.HeldContext(), nullptr);

  QPlainTextEdit* log = LogView();
  EXPECT_TRUE(log->isReadOnly());
  EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(DialogTest, LayoutFollowsTheFontAndStaysPutWhenResized) {
  CCardflashDlg& dialog = Open();
  const QWidget* log = LogView();
  const QPushButton* scan = Button("deviceScan");
  const QPushButton* update = Button("fwUpdate");
  const QPushButton* close = Button("close");

  // The log on the left, the buttons in a column to its right, all inside the window.
  const QRect client = dialog.rect();
  for (const QWidget* w : {log, static_cast<const QWidget*>(scan), static_cast<const QWidget*>(update),
                           static_cast<const QWidget*>(close)})
    EXPECT_TRUE(client.contains(w->geometry())) << w->objectName().toStdString();
  EXPECT_LT(log->geometry().right(), scan->geometry().left());
  EXPECT_LT(scan->geometry().bottom(), update->geometry().top());
  EXPECT_LT(update->geometry().bottom(), Button("test")->geometry().top());
  EXPECT_LT(Button("test")->geometry().bottom(), close->geometry().top());
  // 415 x 245 units: the log is 245 / 415 of the width and 231 / 245 of the height.
  EXPECT_NEAR(double(log->width()) / dialog.width(), 245.0 / 415, 0.01);
  EXPECT_NEAR(double(log->height()) / dialog.height(), 231.0 / 245, 0.01);

  // Resizing moves and sizes nothing.
  const QSize small = dialog.size();
  const QRect before = close->geometry();
  const QRect log_before = log->geometry();
  dialog.resize(dialog.width() * 3 / 2, dialog.height() * 3 / 2);
  QCoreApplication::processEvents();
  EXPECT_EQ(close->geometry(), before);
  EXPECT_EQ(log->geometry(), log_before);

  // A font twice the size gives a window about twice the size.
  const QFont normal = QApplication::font();
  QFont doubled = normal;
  doubled.setPointSizeF(normal.pointSizeF() * 2);
  QApplication::setFont(doubled);
  CCardflashDlg larger;
  QApplication::setFont(normal);
  EXPECT_NEAR(double(larger.width()) / small.width(), 2.0, 0.25);
  EXPECT_NEAR(double(larger.height()) / small.height(), 2.0, 0.25);
  EXPECT_GT(larger.findChild<QPushButton*>(QStringLiteral("close"))->y(), before.y() * 3 / 2);
}

// --- Device Scan -----------------------------------------------------------------------------

TEST_F(DialogTest, ScanWithoutACardSaysSoAndChangesNoButton) {
  CCardflashDlg& dialog = Open();
  Click("deviceScan");
  EXPECT_EQ(dialog.LogText(), QStringLiteral("Error Can find Msp430 Device\r\n"));
  EXPECT_EQ(Shown(), QStringLiteral("Error Can find Msp430 Device\n"));
  ExpectButtons(true, false);
  EXPECT_EQ(dialog.HeldContext(), nullptr);
}

TEST_F(DialogTest, ScanWithACardShowsItsIdentityAndEnablesTheUpdate) {
  CCardflashDlg& dialog = Open();
  bus::add_card(ScannedCard());
  Click("deviceScan");
  EXPECT_EQ(dialog.LogText(), QStringLiteral("Total 1 Msp430 find\r\n"
                                             "Flash Msp430 Information:\r\n"
                                             "VID: 0x2933 PID:a2c CardId: 3\r\n"
                                             "FW Ver =0102,Boot Ver=0005\r\n"));
  EXPECT_EQ(Shown(), AsShown(dialog.LogText()));
  ExpectButtons(false, true);
  EXPECT_NE(dialog.HeldContext(), nullptr);
}

TEST_F(DialogTest, SecondScanClearsTheLogFirst) {
  CCardflashDlg& dialog = Open();
  Click("deviceScan");
  ASSERT_EQ(LogLines(), std::vector<std::string>{"Error Can find Msp430 Device"});
  bus::add_card(ScannedCard());
  Click("deviceScan");
  EXPECT_EQ(LogLines(), kScanLines);
  EXPECT_EQ(Shown(), AsShown(dialog.LogText()));
}

TEST_F(DialogTest, ScanThatReadsNoIdentityKeepsItsContextAndTheNextScanClosesIt) {
  CCardflashDlg& dialog = Open();
  std::size_t index = bus::add_card(ScannedCard());
  // The version query ("a100...") fails; the card-id query of Tav_Init still works.
  bus::set_write_filter(index, [](cardsim::Mode, const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size).find("a10001") == std::string::npos;
  });
  Click("deviceScan");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Total 1 Msp430 find", "Fail to Get Flash Device information!!"}));
  ExpectButtons(true, false);
  CardContext* first = dialog.HeldContext();
  ASSERT_NE(first, nullptr);

  bus::set_write_filter(index, {});
  Click("deviceScan");
  EXPECT_EQ(LogLines(), kScanLines);
  ExpectButtons(false, true);
  std::lock_guard lock(ledger::mutex);
  EXPECT_EQ(ledger::opened, 2);
  EXPECT_EQ(ledger::closed, 1) << "the first scan's context is closed before the second opens";
  EXPECT_EQ(ledger::live, std::set<CardContext*>{dialog.HeldContext()});
}

// --- The file choice -------------------------------------------------------------------------

TEST_F(DialogTest, UpdateCancelledInTheFileDialogStartsNothing) {
  CCardflashDlg& dialog = Open();
  ScanCard();
  CardContext* context = dialog.HeldContext();
  chosen_.reset();
  Click("fwUpdate");
  EXPECT_EQ(chooser_calls_, 1);
  EXPECT_EQ(chooser_parent_, &dialog);
  EXPECT_EQ(LogLines(), Concat(kScanLines, {"Fail To Load Msp430 FW"}));
  ExpectButtons(false, true);
  EXPECT_EQ(dialog.HeldContext(), context);
  EXPECT_TRUE(clock_.pauses.empty());
  EXPECT_EQ(bus::board(0).mode(), cardsim::Mode::Application);
}

TEST_F(DialogTest, TheRealFileDialogAsksForTxtFirmwareAndCancelLogsTheFailure) {
  CCardflashDlg& dialog = Open(nullptr, true);
  ScanCard();
  QString title;
  QStringList filters;
  bool non_native = false;
  QWidget* owner = nullptr;
  QTimer::singleShot(0, [&] {
    auto* file_dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(file_dialog, nullptr);
    title = file_dialog->windowTitle();
    filters = file_dialog->nameFilters();
    non_native = file_dialog->testOption(QFileDialog::DontUseNativeDialog);
    owner = file_dialog->parentWidget();
    file_dialog->reject();
  });
  Click("fwUpdate");
  EXPECT_EQ(title, QStringLiteral("Read System Firmware 2 BIN"));
  EXPECT_EQ(filters, QStringList{QStringLiteral("Firmware TXT (*.txt)")});
  EXPECT_TRUE(non_native);
  EXPECT_EQ(owner, &dialog);
  EXPECT_EQ(LogLines(), Concat(kScanLines, {"Fail To Load Msp430 FW"}));
  ExpectButtons(false, true);
}

TEST_F(DialogTest, AFileChosenInTheRealFileDialogIsFlashed) {
  CCardflashDlg& dialog = Open(nullptr, true);
  std::size_t index = ScanCard();
  QTimer::singleShot(0, [&] {
    auto* file_dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(file_dialog, nullptr);
    file_dialog->setDirectory(QString::fromStdString(kDataDir));
    file_dialog->selectFile(QStringLiteral("firmware_0200.txt"));
    static_cast<QDialog*>(file_dialog)->accept();  // QFileDialog::accept, through the public base
  });
  Click("fwUpdate");
  EXPECT_EQ(LogLines(), Concat(Concat(Concat(kScanLines, FileLines()), WorkerLinesUpToSwitch()),
                               WorkerLinesAfterSwitch()));
  EXPECT_EQ(bus::board(index).application_version(), "0200");
  EXPECT_EQ(dialog.HeldContext(), nullptr);
}

// --- Updates ---------------------------------------------------------------------------------

TEST_F(DialogTest, FullUpdateByClicksLogsEveryStepAndLeavesOnlyScanEnabled) {
  CCardflashDlg& dialog = Open();
  std::size_t index = ScanCard();
  Click("fwUpdate");

  EXPECT_EQ(LogLines(), Concat(Concat(Concat(kScanLines, FileLines()), WorkerLinesUpToSwitch()),
                               WorkerLinesAfterSwitch()));
  EXPECT_EQ(clock_.pauses, (std::vector<int>{10000, 1500, 3000, 3000}));
  ExpectButtons(true, false);
  EXPECT_FALSE(dialog.UpdateRunning());
  EXPECT_EQ(dialog.HeldContext(), nullptr) << "the worker closes the context and clears the handle";
  EXPECT_EQ(bus::board(index).application_version(), "0200");
  EXPECT_TRUE(bus::board(index).faults().empty());

  // The view shows the same text, the Big5 separator as a full-width space.
  EXPECT_EQ(Shown(), AsShown(dialog.LogText()));
  EXPECT_TRUE(Shown().contains(QStringLiteral("ISP\u3000mode device found\n")));

  // A disabled "FW Update" takes no click; a new scan is needed, and it starts a new log.
  Click("fwUpdate");
  EXPECT_EQ(chooser_calls_, 1);
  Click("deviceScan");
  EXPECT_EQ(LinesOf(dialog.LogText()),
            (std::vector<std::string>{"Total 1 Msp430 find", "Flash Msp430 Information:",
                                      "VID: 0x2933 PID:a2c CardId: 3", "FW Ver =0200,Boot Ver=0005"}));
  ExpectButtons(false, true);
}

TEST_F(DialogTest, FailedUpdateEndsWithScanEnabledAndTheContextClosed) {
  CCardflashDlg& dialog = Open();
  std::size_t index = ScanCard();
  bus::set_faults(index, true, false, false);  // the card can no longer be opened: the switch fails
  Click("fwUpdate");
  EXPECT_EQ(LogLines(), Concat(Concat(Concat(kScanLines, FileLines()), WorkerLinesUpToSwitch()),
                               {"Switch to ISP mode fail"}));
  EXPECT_TRUE(clock_.pauses.empty());
  ExpectButtons(true, false);
  EXPECT_EQ(dialog.HeldContext(), nullptr);
  std::lock_guard lock(ledger::mutex);
  EXPECT_EQ(ledger::closed, 1);
}

TEST_F(DialogTest, UpdateWithAnUnreadableFileShowsWhyInTheLog) {
  CCardflashDlg& dialog = Open();
  ScanCard();
  const std::string file = ::testing::TempDir() + "/damaged-firmware.txt";
  std::ofstream(file) << "@4400\n31 40\n";
  const QFileInfo info(QString::fromStdString(file));
  chosen_ = ChosenFile{info.absolutePath(), info.fileName()};
  Click("fwUpdate");
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "open file fail,file maybe is not exist or bad.");
  EXPECT_EQ(lines.back().rfind(info.absoluteFilePath().toStdString() + ": line 3: ", 0), 0u) << lines.back();
  EXPECT_TRUE(Shown().contains(QString::fromStdString(lines.back()))) << "the reason is in the log view";
  ExpectButtons(true, false);
  EXPECT_EQ(dialog.HeldContext(), nullptr);
  EXPECT_EQ(bus::board(0).mode(), cardsim::Mode::Application);
}

// --- Closing ---------------------------------------------------------------------------------

TEST_F(DialogTest, CloseAfterAnUpdateClosesNoContextAgain) {
  CCardflashDlg& dialog = Open();
  ScanCard();
  Click("fwUpdate");
  ASSERT_EQ(dialog.HeldContext(), nullptr);
  Click("close");
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
  dialog_.reset();
  std::lock_guard lock(ledger::mutex);
  EXPECT_EQ(ledger::opened, 2) << "the scan's context and the fresh listing after the reset";
  EXPECT_EQ(ledger::closed, 2);
  EXPECT_EQ(ledger::closed_twice, 0);
}

TEST_F(DialogTest, CloseAfterAScanClosesTheHeldContext) {
  CCardflashDlg& dialog = Open();
  ScanCard();
  Click("close");
  EXPECT_FALSE(dialog.isVisible());
  {
    std::lock_guard lock(ledger::mutex);
    EXPECT_EQ(ledger::closed, 0) << "closing hides the window; the teardown closes the context";
  }
  dialog_.reset();
  std::lock_guard lock(ledger::mutex);
  EXPECT_EQ(ledger::closed, 1);
}

TEST_F(DialogTest, CloseDuringAnUpdateIsRefusedAndSaidInTheLog) {
  GatedClock clock;
  CCardflashDlg& dialog = Open(&clock);
  std::size_t index = ScanCard();
  bool attempted = false;
  bool visible_after = false;
  CardContext* held_during = nullptr;
  std::size_t live_during = 0;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (attempted || !clock.Holding()) return;
    attempted = true;
    held_during = dialog.HeldContext();
    {
      std::lock_guard lock(ledger::mutex);
      live_during = ledger::live.size();
    }
    Click("close");                   // the button
    dialog.close();                   // the window's close box
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &escape);
    visible_after = dialog.isVisible();
    clock.Release();
  });
  poll.start(5);
  Click("fwUpdate");
  poll.stop();

  ASSERT_TRUE(attempted);
  EXPECT_TRUE(visible_after);
  EXPECT_EQ(held_during, nullptr) << "the dialog handed its context to the run";
  EXPECT_EQ(live_during, 1u) << "the run's context stays open while it runs";
  const std::string refused = std::string(kCloseRefusedLine).substr(0, std::strlen(kCloseRefusedLine) - 2);
  std::vector<std::string> expected = Concat(Concat(kScanLines, FileLines()), WorkerLinesUpToSwitch());
  std::vector<std::string> rest = WorkerLinesAfterSwitch();
  expected.push_back(rest.front());  // the worker is held in the pause after the switch line
  expected.insert(expected.end(), 3, refused);
  expected.insert(expected.end(), rest.begin() + 1, rest.end());
  EXPECT_EQ(LogLines(), expected);
  EXPECT_EQ(bus::board(index).application_version(), "0200");

  // Once the update has ended, Close closes.
  Click("close");
  EXPECT_FALSE(dialog.isVisible());
}

// --- The window during an update -------------------------------------------------------------

TEST_F(DialogTest, LogGrowsAndTheWindowStaysLiveWhileTheWorkerRuns) {
  SlowClock clock;
  CCardflashDlg& dialog = Open(&clock);
  ScanCard();
  // More lines than the view can show, so that following the end means scrolling.
  for (int i = 0; i < 40; ++i) dialog.AppendLog("line %d\r\n", i);

  QElapsedTimer since_tick;
  qint64 longest_gap_ms = 0;
  int ticks = 0;
  std::set<qsizetype> shown_lengths;  // lengths of the view's text seen while the worker ran
  qsizetype last_length = -1;
  int stale_scroll = 0;  // ticks that found a text already seen, yet not scrolled to its end
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    longest_gap_ms = std::max(longest_gap_ms, since_tick.restart());
    ++ticks;
    if (!dialog.UpdateRunning()) return;
    const qsizetype length = Shown().size();
    shown_lengths.insert(length);
    // The scroll to the end is posted with each new text; by the next tick it has happened.
    const QScrollBar* bar = LogView()->verticalScrollBar();
    if (length == last_length && bar->value() != bar->maximum()) ++stale_scroll;
    last_length = length;
  });
  QElapsedTimer elapsed;
  elapsed.start();
  since_tick.start();
  tick.start(10);
  Click("fwUpdate");
  tick.stop();
  const qint64 elapsed_ms = elapsed.elapsed();

  ASSERT_EQ(LogLines().size(), kScanLines.size() + 40 + FileLines().size() + WorkerLinesUpToSwitch().size() +
                                   WorkerLinesAfterSwitch().size());
  EXPECT_GE(elapsed_ms, 4 * 150) << "four pauses of 150 ms real time each";
  // The log view grew step by step while the worker ran: at least one new length per pause.
  EXPECT_GE(shown_lengths.size(), 4u);
  EXPECT_EQ(stale_scroll, 0);
  QCoreApplication::processEvents();
  const QScrollBar* bar = LogView()->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum()) << "the view ends on the last line";
  // A 10 ms timer kept firing: at least a third of the ticks that fit, no gap above 250 ms
  // (a loaded machine stretches the 10 ms steps; a blocked window would stop them).
  EXPECT_GE(ticks, elapsed_ms / 10 / 3) << elapsed_ms << " ms";
  EXPECT_LT(longest_gap_ms, 250);
}

// --- The log text ----------------------------------------------------------------------------

TEST_F(DialogTest, PiecesWithoutALineEndRunOnIntoTheNext) {
  CCardflashDlg& dialog = Open();
  dialog.AppendLog("Total %d", 2);
  dialog.AppendLog(" Msp430 %s\r\n", "find");
  dialog.AppendLog("VID: 0x%04x PID:%x\r\n", 0x2933u, 0x200u);
  EXPECT_EQ(dialog.LogText(), QStringLiteral("Total 2 Msp430 find\r\nVID: 0x2933 PID:200\r\n"));
  EXPECT_EQ(Shown(), QStringLiteral("Total 2 Msp430 find\nVID: 0x2933 PID:200\n"));
}

TEST(LogTextTest, Big5SeparatorAndUtf8PathsBothReadable) {
  EXPECT_EQ(DecodeLogText("Mass Erase\r\n"), QStringLiteral("Mass Erase\r\n"));
  EXPECT_EQ(DecodeLogText("ISP\xA1\x40mode"), QStringLiteral("ISP\u3000mode"));
  EXPECT_EQ(DecodeLogText("/home/b\xC3\xA4r/fw.txt\r\n"), QStringLiteral("/home/b\u00E4r/fw.txt\r\n"));
  // Bytes that are neither: every byte still shows as a character.
  EXPECT_EQ(DecodeLogText("\xFF\xFE").size(), 2);
}

// --- The hidden test command -----------------------------------------------------------------

TEST_F(DialogTest, HiddenTestCommandOpensAndClosesItsOwnContext) {
  CCardflashDlg& dialog = Open();
  testing::internal::CaptureStdout();
  Button("test")->click();  // hidden: only a programmatic click reaches it
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Device Init Error\r\n");
  EXPECT_TRUE(dialog.LogText().isEmpty());

  ScanCard();
  CardContext* held = dialog.HeldContext();
  testing::internal::CaptureStdout();
  Button("test")->click();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(dialog.HeldContext(), held);
  EXPECT_EQ(LogLines(), kScanLines) << "the command shows nothing in the window";
  std::lock_guard lock(ledger::mutex);
  EXPECT_EQ(ledger::opened, 2);
  EXPECT_EQ(ledger::closed, 1);
  EXPECT_EQ(ledger::live, std::set<CardContext*>{held});
}

}  // namespace
