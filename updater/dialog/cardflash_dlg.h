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

#include "cardflash_logic.h"
#include "clock.h"
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

// The window in Qt: the widgets, the file dialog, a QThread for the worker and Qt's event loop
// for the wait; what the buttons do is CCardflashLogic's.
class CCardflashDlg : public QDialog, private CCardflashView {
  Q_OBJECT

 public:
  // What the dialog uses from outside; an empty field takes the program's own default.
  struct Environment {
    Clock* clock = nullptr;            // default: the dialog's SystemClock
    std::vector<std::string> ram_bsl_folders;  // default: DefaultRamBslPlaces()
    FileChooser choose_file;           // default: ChooseWithFileDialog
    std::string ram_bsl_file;                  // --ram-bsl FILE: TI's RAM boot-loader image
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
  CardContext* HeldContext() const { return m_logic.HeldContext(); }
  bool UpdateRunning() const { return m_logic.UpdateRunning(); }

  void done(int result) override;

 private slots:
  void OnBnClickedClose();

 private:
  // CCardflashView
  void EnableButton(DialogButton button, bool enabled) override;
  void ClearLog() override;
  void AppendPiece(const std::string& piece) override;
  std::optional<std::string> ChooseFirmwareFile() override;
  bool StartWorker(std::function<void()> work) override;
  bool WaitStep() override;

  void OnLogUpdate();

  std::unique_ptr<QThread> m_hWorkerThread;  // the running update worker; released after its wait
  QIcon m_hIcon;
  QString m_strLog;                          // the whole text of the log view

  SystemClock m_systemClock;
  FileChooser m_chooseFile;
  CCardflashLogic m_logic;

  QPlainTextEdit* m_log = nullptr;
  QPushButton* m_deviceScan = nullptr;
  QPushButton* m_fwUpdate = nullptr;
  QPushButton* m_test = nullptr;
  QPushButton* m_close = nullptr;
};

}  // namespace cardflash
