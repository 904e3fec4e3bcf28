// CCardflashDlg on Windows: the window from template 102 (cardflash.rc) in plain Win32. What its
// buttons do is CCardflashLogic's; this view supplies the controls, the file dialog, a thread from
// CreateThread for the update and the wait that takes one message at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cardflash_logic.h"
#include "clock.h"

namespace cardflash {

// Shows the file dialog owned by `owner`: the full path of the file confirmed, nothing when none.
using FileChooser = std::function<std::optional<std::wstring>(HWND owner)>;

// The system's open dialog in its newer style: "Read System Firmware 2 BIN", filter "Firmware
// TXT (*.txt)", default extension txt.
std::optional<std::wstring> ChooseWithFileDialog(HWND owner);

class CCardflashDlg : private CCardflashView {
 public:
  // What the window uses from outside; an empty field takes the program's own default.
  struct Environment {
    Clock* clock = nullptr;                    // default: the window's SystemClock
    std::vector<std::string> ram_bsl_folders;  // default: DefaultRamBslPlaces()
    FileChooser choose_file;                   // default: ChooseWithFileDialog
    std::string ram_bsl_file;                  // --ram-bsl FILE: TI's RAM boot-loader image
  };

  CCardflashDlg();
  explicit CCardflashDlg(Environment environment);
  ~CCardflashDlg() override;
  CCardflashDlg(const CCardflashDlg&) = delete;
  CCardflashDlg& operator=(const CCardflashDlg&) = delete;

  // Shows the window modally from the program's template 102 and returns when it has closed;
  // -1 when it could not be shown.
  INT_PTR DoModal();
  // The window while it is shown, else null; readable from any thread.
  HWND GetSafeHwnd() const { return m_hWnd.load(); }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static DWORD WINAPI UpdateThreadProc(LPVOID parameter);
  INT_PTR OnMessage(UINT message, WPARAM wparam);
  BOOL OnInitDialog();
  void OnCommand(WORD id);
  bool OnPaint();
  void OnLogUpdate();

  // CCardflashView
  void EnableButton(DialogButton button, bool enabled) override;
  void ClearLog() override;
  void AppendPiece(const std::string& piece) override;
  std::optional<std::string> ChooseFirmwareFile() override;
  bool StartWorker(std::function<void()> work) override;
  bool WaitStep() override;

  std::atomic<HWND> m_hWnd{nullptr};
  HANDLE m_hWorkerThread = nullptr;  // the running update worker; closed after its wait
  HICON m_hIcon = nullptr;
  std::wstring m_strLog;             // the whole text of the log view
  // The worker appends to the log; so does the window's own thread when it refuses to close
  // during the update.
  std::mutex m_logLock;
  std::function<void()> m_work;      // what the worker runs

  SystemClock m_systemClock;
  FileChooser m_chooseFile;
  CCardflashLogic m_logic;
};

}  // namespace cardflash
