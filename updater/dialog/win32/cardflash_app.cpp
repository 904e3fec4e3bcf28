// Cardflash.exe, the Windows window program: the application object and its one modal dialog.
// Options belong to Cardflash.com: a window program's exit status does not reach cmd.exe or
// PowerShell, so a failed update run from here would look like success to a script.
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <cstdlib>
#include <cstring>

#include "cardflash_dlg.h"
#include "headless.h"

namespace cardflash {

namespace {

const wchar_t kUseConsoleProgram[] =
    L"Cardflash.exe is the window and takes no options but --ram-bsl FILE.\n\n"
    L"For --scan, --update FILE, --recover FILE and --help run Cardflash.com (typing \"Cardflash\" in cmd.exe or "
    L"PowerShell runs it): it prints the log, and its exit status tells a script whether the update worked.";

class CCardflashApp {
 public:
  BOOL InitInstance() {
    INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    // Restarted without options after Windows ended it for an update of the system.
    RegisterApplicationRestart(nullptr, 0);
    CCardflashDlg::Environment environment;
    environment.ram_bsl_file = RamBslOption(__argc, __argv);
    CCardflashDlg dialog(std::move(environment));
    dialog.DoModal();  // how the dialog ended makes no difference to the program
    return FALSE;
  }
};

}  // namespace

}  // namespace cardflash

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The window's own option, TI's RAM boot-loader image, is all it takes.
  const bool ram_bsl_only = (__argc == 3 && !std::strcmp(__argv[1], "--ram-bsl")) ||
                            (__argc == 2 && !std::strncmp(__argv[1], "--ram-bsl=", 10));
  if (__argc > 1 && !ram_bsl_only) {
    MessageBoxW(nullptr, cardflash::kUseConsoleProgram, L"Cardflash", MB_OK | MB_ICONINFORMATION);
    return cardflash::kExitUsage;
  }
  cardflash::CCardflashApp app;
  app.InitInstance();
  return 0;
}
