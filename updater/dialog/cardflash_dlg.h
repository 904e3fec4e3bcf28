// CCardflashDlg: the updater's window. "Device Scan" opens a card-library context and shows the
// card to be flashed; "FW Update" picks a TI-TXT file and runs the update on a worker thread
// while the window stays live; the log view shows every line of both.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QThread>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "clock.h"
#include "context_holder.h"
#include "update_sequence.h"

class QPlainTextEdit;
class QPushButton;

namespace cardflash {

// A firmware file confirmed in the file dialog: its folder and its name.
struct ChosenFile {
  QString folder;
  QString file_name;
};
// Shows the file dialog; nothing when the user confirmed no file.
using FileChooser = std::function<std::optional<ChosenFile>(QWidget* parent)>;

// The real file dialog: "Read System Firmware 2 BIN", filter "Firmware TXT (*.txt)", Qt's own
// (non-native) dialog so that it behaves the same on every desktop.
std::optional<ChosenFile> ChooseWithFileDialog(QWidget* parent);

// The line the log gets when the window is asked to close while an update runs.
inline constexpr const char* kCloseRefusedLine = "Update running: Close is refused until it has ended\r\n";

class CCardflashDlg : public QDialog {
  Q_OBJECT

 public:
  // What the dialog uses from outside; an empty field takes the program's own default.
  struct Environment {
    Clock* clock = nullptr;            // default: the dialog's SystemClock
    std::vector<std::string> ram_bsl_folders;  // default: DefaultRamBslPlaces()
    FileChooser choose_file;           // default: ChooseWithFileDialog
  };

  explicit CCardflashDlg(QWidget* parent = nullptr);
  explicit CCardflashDlg(Environment environment, QWidget* parent = nullptr);
  ~CCardflashDlg() override;
  CCardflashDlg(const CCardflashDlg&) = delete;
  CCardflashDlg& operator=(const CCardflashDlg&) = delete;

  // printf-style; callable from the dialog's thread and from the update worker. Appends the
  // piece to the log and returns once the view shows it.
  void AppendLog(const char* format, ...) CARDLINK_PRINTF_FORMAT(2, 3);

  // For the window's users (tests, the screenshot tool): the whole log text as appended, and
  // the context that the dialog holds now (null when none).
  const QString& LogText() const { return m_strLog; }
  CardContext* HeldContext() const { return m_hContext.get(); }
  bool UpdateRunning() const { return m_hWorkerThread != nullptr; }

  void done(int result) override;

 private slots:
  void OnBnClickedDeviceScan();
  void OnBnClickedFwUpdate();
  void OnBnClickedClose();
  void OnBnClickedTest();

 private:
  class DialogLog;

  void OnInitDialog();
  void OnDestroy();
  bool ChooseFirmwareFile();
  void WaitForWorker();
  void AppendPiece(const std::string& piece);
  void OnLogUpdate();
  static void UpdateThreadProc(CCardflashDlg* dialog, UpdateRun* run);

  // Members of the window's own, in the order of their meaning for an update.
  std::unique_ptr<QThread> m_hWorkerThread;  // the running update worker; released after its wait
  std::string m_strFirmwarePath;             // 8-bit path of the file for the next update
  ContextHolder m_hContext;                  // from the last Device Scan; empty when none is held
  QIcon m_hIcon;
  QString m_strLog;                          // the whole text of the log view

  SystemClock m_systemClock;
  Clock& m_clock;
  RamBslPlaces m_ramBslPlaces;
  FileChooser m_chooseFile;

  QPlainTextEdit* m_log = nullptr;
  QPushButton* m_deviceScan = nullptr;
  QPushButton* m_fwUpdate = nullptr;
  QPushButton* m_test = nullptr;
  QPushButton* m_close = nullptr;
};

}  // namespace cardflash
