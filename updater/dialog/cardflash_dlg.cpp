#include "cardflash_dlg.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "card_protocol.h"
#include "device_scan.h"
#include "dialog_units.h"
#include "log_sink.h"
#include "log_text.h"
#include "update_sequence.h"

namespace cardflash {

namespace {

constexpr int kWaitStepMs = 10;

// The window's layout in dialog units (see dialog_units.h): client size and each control.
constexpr QSize kDialogSize(415, 245);
constexpr QRect kLogRect(7, 7, 245, 231);
constexpr QRect kDeviceScanRect(276, 18, 125, 31);
constexpr QRect kFwUpdateRect(276, 60, 126, 32);
constexpr QRect kTestRect(276, 108, 50, 14);
constexpr QRect kCloseRect(276, 162, 126, 30);

}  // namespace

// The engine's log sink for the dialog: every piece goes to the dialog's log.
class CCardflashDlg::DialogLog : public LogSink {
 public:
  explicit DialogLog(CCardflashDlg& dialog) : dialog_(dialog) {}
  void Append(const std::string& text) override { dialog_.AppendPiece(text); }

 private:
  CCardflashDlg& dialog_;
};

std::optional<ChosenFile> ChooseWithFileDialog(QWidget* parent) {
  QFileDialog dialog(parent, QStringLiteral("Read System Firmware 2 BIN"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilter(QStringLiteral("Firmware TXT (*.txt)"));
  dialog.setDefaultSuffix(QStringLiteral("txt"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const QFileInfo file(dialog.selectedFiles().constFirst());
  return ChosenFile{file.absolutePath(), file.fileName()};
}

CCardflashDlg::CCardflashDlg(QWidget* parent) : CCardflashDlg(Environment{}, parent) {}

CCardflashDlg::CCardflashDlg(Environment environment, QWidget* parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowCloseButtonHint),
      m_clock(environment.clock ? *environment.clock : m_systemClock),
      m_ramBslPlaces(environment.ram_bsl_folders.empty() ? DefaultRamBslPlaces()
                                                         : RamBslPlaces{{}, std::move(environment.ram_bsl_folders)}),
      m_chooseFile(environment.choose_file ? std::move(environment.choose_file) : FileChooser(ChooseWithFileDialog)) {
  setWindowTitle(QStringLiteral("Cardflash"));
  m_hIcon = style()->standardIcon(QStyle::SP_DriveHDIcon);
  setWindowIcon(m_hIcon);

  m_log = new QPlainTextEdit(this);
  m_log->setObjectName(QStringLiteral("log"));
  m_log->setReadOnly(true);
  m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_log->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

  auto make_button = [this](const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, this);
    button->setObjectName(QLatin1String(name));
    return button;
  };
  m_deviceScan = make_button("deviceScan", QStringLiteral("Device Scan"));
  m_fwUpdate = make_button("fwUpdate", QStringLiteral("FW Update"));
  m_test = make_button("test", QStringLiteral("Test"));
  m_close = make_button("close", QStringLiteral("Close"));
  m_test->setVisible(false);  // a service command without a place in the window

  // Fixed positions and no layout: resizing the window moves and sizes no control.
  const DialogBaseUnits base = BaseUnitsOf(fontMetrics());
  resize(DialogUnitsToPixels(base, kDialogSize));
  m_log->setGeometry(DialogUnitsToPixels(base, kLogRect));
  m_deviceScan->setGeometry(DialogUnitsToPixels(base, kDeviceScanRect));
  m_fwUpdate->setGeometry(DialogUnitsToPixels(base, kFwUpdateRect));
  m_test->setGeometry(DialogUnitsToPixels(base, kTestRect));
  m_close->setGeometry(DialogUnitsToPixels(base, kCloseRect));
  setTabOrder(m_log, m_deviceScan);
  setTabOrder(m_deviceScan, m_fwUpdate);
  setTabOrder(m_fwUpdate, m_close);

  connect(m_deviceScan, &QPushButton::clicked, this, &CCardflashDlg::OnBnClickedDeviceScan);
  connect(m_fwUpdate, &QPushButton::clicked, this, &CCardflashDlg::OnBnClickedFwUpdate);
  connect(m_close, &QPushButton::clicked, this, &CCardflashDlg::OnBnClickedClose);
  connect(m_test, &QPushButton::clicked, this, &CCardflashDlg::OnBnClickedTest);

  OnInitDialog();
}

CCardflashDlg::~CCardflashDlg() { OnDestroy(); }

void CCardflashDlg::OnInitDialog() {
  m_fwUpdate->setEnabled(false);
  m_deviceScan->setEnabled(true);
}

void CCardflashDlg::OnDestroy() {
  if (m_hWorkerThread) {
    // Only reachable when the window is deleted from inside the update's wait: the worker
    // still owns the context, so let it end, delivering the log updates that it blocks on.
    while (!m_hWorkerThread->wait(QDeadlineTimer(kWaitStepMs)))
      QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    m_hWorkerThread.reset();
  }
  m_hContext.reset();
}

void CCardflashDlg::OnBnClickedDeviceScan() {
  m_strLog.clear();
  OnLogUpdate();
  DialogLog log(*this);
  // ScanForCard closes a context that an earlier scan left open before it opens the new one.
  if (!ScanForCard(m_hContext, log)) return;
  m_fwUpdate->setEnabled(true);
  m_deviceScan->setEnabled(false);
}

void CCardflashDlg::OnBnClickedFwUpdate() {
  if (!ChooseFirmwareFile()) {
    AppendLog("Fail To Load Msp430 FW\r\n");
    return;
  }
  m_fwUpdate->setEnabled(false);
  // The run takes the context over; the dialog keeps an empty holder, and the next update needs
  // a new scan.
  DialogLog log(*this);
  UpdateRun run{std::move(m_hContext), m_strFirmwarePath, m_ramBslPlaces, log, m_clock};
  m_hWorkerThread.reset(QThread::create(&CCardflashDlg::UpdateThreadProc, this, &run));
  m_hWorkerThread->start();
  WaitForWorker();
  // "FW Update" stays disabled: the worker closed the context, the next update needs a scan.
  m_deviceScan->setEnabled(true);
}

void CCardflashDlg::OnBnClickedClose() { close(); }

void CCardflashDlg::done(int result) {
  // Every way of closing (Close, the close box, Escape) ends here. Closing under a running
  // update would close the context that the worker uses, so it waits for the worker's end.
  if (m_hWorkerThread) {
    AppendLog("%s", kCloseRefusedLine);
    return;
  }
  QDialog::done(result);
}

void CCardflashDlg::OnBnClickedTest() {
  CardContext* context = Tav_Init();
  if (!context) {
    std::fputs("Device Init Error\r\n", stdout);
    std::fflush(stdout);
    return;
  }
  std::int8_t card_ids[cardlink::kCardTableCapacity] = {};
  std::uint16_t vendor_id = 0, product_id = 0;
  std::uint8_t card_id = 0;
  char fw_version[8] = {}, boot_version[8] = {};
  (void)Tav_GetCardNum(context);
  (void)Tav_GetCardIdTable(context, card_ids);
  (void)Tav_GetFirstDevInfoToFlash(context, &vendor_id, &product_id, &card_id, fw_version, boot_version);
  Tav_Close(context);
}

bool CCardflashDlg::ChooseFirmwareFile() {
  const std::optional<ChosenFile> chosen = m_chooseFile(this);
  if (!chosen) return false;
  const QString path = chosen->folder + QDir::separator() + chosen->file_name;
  m_strFirmwarePath = QFile::encodeName(path).toStdString();
  AppendLog("Load Msp430 FW\r\n");
  AppendLog("%s\r\n", m_strFirmwarePath.c_str());
  return true;
}

void CCardflashDlg::WaitForWorker() {
  if (!m_hWorkerThread) return;
  // Qt has no call that takes exactly one event from the queue; one non-blocking pass of
  // processEvents() is the nearest: it delivers what was waiting when it began and never
  // sleeps. The worker adds at most one event to it (each log update blocks the worker until
  // it has been shown), and the 10 ms wait keeps this thread from spinning.
  while (!m_hWorkerThread->wait(QDeadlineTimer(kWaitStepMs)))
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  m_hWorkerThread.reset();
}

void CCardflashDlg::UpdateThreadProc(CCardflashDlg*, UpdateRun* run) { RunUpdate(*run); }

void CCardflashDlg::AppendLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string piece = FormatLogV(format, args);
  va_end(args);
  AppendPiece(piece);
}

void CCardflashDlg::AppendPiece(const std::string& piece) {
  const QString text = DecodeLogText(piece);
  if (QThread::currentThread() == thread()) {
    m_strLog += text;
    OnLogUpdate();
    return;
  }
  // From the worker: the append and the update of the view both run on the dialog's thread
  // while the worker waits, so m_strLog is only ever touched by one thread (the dialog may log
  // a refused close of its own during an update).
  QMetaObject::invokeMethod(
      this,
      [this, &text] {
        m_strLog += text;
        OnLogUpdate();
      },
      Qt::BlockingQueuedConnection);
}

void CCardflashDlg::OnLogUpdate() {
  m_log->setPlainText(m_strLog);
  // Scroll once the view has laid out its new text.
  QScrollBar* bar = m_log->verticalScrollBar();
  QMetaObject::invokeMethod(
      bar, [bar] { bar->setValue(bar->maximum()); }, Qt::QueuedConnection);
}

}  // namespace cardflash
