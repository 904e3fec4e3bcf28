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

#include "dialog_units.h"
#include "log_sink.h"
#include "log_text.h"

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
      m_chooseFile(environment.choose_file ? std::move(environment.choose_file) : FileChooser(ChooseWithFileDialog)),
      m_logic(*this, environment.clock ? *environment.clock : m_systemClock,
              WindowRamBslPlaces(environment.ram_bsl_file, std::move(environment.ram_bsl_folders))) {
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

  connect(m_deviceScan, &QPushButton::clicked, this, [this] { m_logic.OnBnClickedDeviceScan(); });
  connect(m_fwUpdate, &QPushButton::clicked, this, [this] { m_logic.OnBnClickedFwUpdate(); });
  connect(m_close, &QPushButton::clicked, this, &CCardflashDlg::OnBnClickedClose);
  connect(m_test, &QPushButton::clicked, this, [this] { m_logic.OnBnClickedTest(); });

  m_logic.OnInitDialog();
}

CCardflashDlg::~CCardflashDlg() {
  if (m_hWorkerThread) {
    // Only reachable when the window is deleted from inside the update's wait: the worker
    // still owns the context, so let it end, delivering the log updates that it blocks on.
    while (!m_hWorkerThread->wait(QDeadlineTimer(kWaitStepMs)))
      QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    m_hWorkerThread.reset();
  }
  m_logic.OnDestroy();
}

void CCardflashDlg::EnableButton(DialogButton button, bool enabled) {
  (button == DialogButton::kDeviceScan ? m_deviceScan : m_fwUpdate)->setEnabled(enabled);
}

void CCardflashDlg::OnBnClickedClose() { close(); }

void CCardflashDlg::done(int result) {
  // Every way of closing (Close, the close box, Escape) ends here. Closing under a running
  // update would close the context that the worker uses, so it waits for the worker's end.
  if (m_logic.MayClose()) QDialog::done(result);
}

std::optional<std::string> CCardflashDlg::ChooseFirmwareFile() {
  const std::optional<ChosenFile> chosen = m_chooseFile(this);
  if (!chosen) return std::nullopt;
  return QFile::encodeName(chosen->folder + QDir::separator() + chosen->file_name).toStdString();
}

bool CCardflashDlg::StartWorker(std::function<void()> work) {
  m_hWorkerThread.reset(QThread::create(std::move(work)));
  m_hWorkerThread->start();
  return true;
}

bool CCardflashDlg::WaitStep() {
  // Qt has no call that takes exactly one event from the queue; one non-blocking pass of
  // processEvents() is the nearest: it delivers what was waiting when it began and never
  // sleeps. The worker adds at most one event to it (each log update blocks the worker until
  // it has been shown), and the 10 ms wait keeps this thread from spinning.
  if (m_hWorkerThread->wait(QDeadlineTimer(kWaitStepMs))) {
    m_hWorkerThread.reset();
    return true;
  }
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return false;
}

void CCardflashDlg::AppendLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string piece = FormatLogV(format, args);
  va_end(args);
  AppendPiece(piece);
}

void CCardflashDlg::ClearLog() {
  m_strLog.clear();
  OnLogUpdate();
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
