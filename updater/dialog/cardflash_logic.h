// The Cardflash window's behaviour, once for every toolkit: what each button does, when each is
// enabled, what the log says, and the update worker's start and the wait for it. A view (Qt 6:
// cardflash_dlg.*; Win32: win32/) supplies the widgets, the file dialog, the worker thread and one
// step of the wait, in which its toolkit handles what came for the window.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "clock.h"
#include "context_holder.h"
#include "printf_format.h"
#include "update_sequence.h"

namespace cardflash {

// The line the log gets when the window is asked to close while an update runs.
inline constexpr const char* kCloseRefusedLine = "Update running: Close is refused until it has ended\r\n";

enum class DialogButton { kDeviceScan, kFwUpdate };

// What the logic asks of its toolkit. Every call comes from the dialog's thread, except
// AppendPiece, which the update worker calls too.
class CCardflashView {
 public:
  virtual ~CCardflashView() = default;
  virtual void EnableButton(DialogButton button, bool enabled) = 0;
  // Empties the log.
  virtual void ClearLog() = 0;
  // Appends one 8-bit piece of text to the log, converted for the view, and returns once the
  // view shows it.
  virtual void AppendPiece(const std::string& piece) = 0;
  // The file dialog: the full path of the file the user confirmed, in 8-bit text as the
  // platform's file functions take it; nothing when no file was confirmed.
  virtual std::optional<std::string> ChooseFirmwareFile() = 0;
  // Starts `work` on a thread of its own; false when no thread could be started.
  virtual bool StartWorker(std::function<void()> work) = 0;
  // One step of the wait for the worker: waits up to 10 ms for it to end; true when it has
  // ended (the view has let go of the thread), else handles at most one message for the window.
  virtual bool WaitStep() = 0;
};

// The window's one option of its own, `--ram-bsl FILE` (or `--ram-bsl=FILE`): TI's RAM
// boot-loader image, as the headless front end takes it. Its full path; empty when not given.
std::string RamBslOption(int argc, char** argv);
// The places an update looks for the RAM boot loader: `file` when one was named, else `folders`,
// else the program's default places.
RamBslPlaces WindowRamBslPlaces(const std::string& file, std::vector<std::string> folders);

class CCardflashLogic {
 public:
  CCardflashLogic(CCardflashView& view, Clock& clock, RamBslPlaces ram_bsl_places);
  CCardflashLogic(const CCardflashLogic&) = delete;
  CCardflashLogic& operator=(const CCardflashLogic&) = delete;

  // "Device Scan" enabled, "FW Update" disabled.
  void OnInitDialog();
  void OnBnClickedDeviceScan();
  // Returns when the update has ended; the window stays live meanwhile.
  void OnBnClickedFwUpdate();
  // The hidden service command: a context of its own, nothing in the window.
  void OnBnClickedTest();
  // Every way of closing asks here first (Close, the close box, Escape). While an update runs
  // the worker uses the context, so the window stays and the log says why.
  bool MayClose();
  // The window is going: a context that a scan left open is closed.
  void OnDestroy();

  // printf-style; from the dialog's thread and from the update worker.
  void AppendLog(const char* format, ...) CARDLINK_PRINTF_FORMAT(2, 3);

  CardContext* HeldContext() const { return m_hContext.get(); }
  bool UpdateRunning() const { return m_bUpdateRunning; }

 private:
  class ViewLog;

  CCardflashView& m_view;
  Clock& m_clock;
  RamBslPlaces m_ramBslPlaces;
  std::string m_strFirmwarePath;  // 8-bit path of the file for the next update
  ContextHolder m_hContext;       // from the last Device Scan; empty when none is held
  bool m_bUpdateRunning = false;
};

}  // namespace cardflash
