#include "cardflash_dlg.h"

#include <shobjidl.h>

#include "resource.h"

namespace cardflash {

namespace {

constexpr DWORD kWaitStepMs = 10;

// The log's 8-bit text and the chosen path are in the thread's ANSI code page, as the narrow
// Win32 and C runtime calls take them.
std::wstring WideFromAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::string AnsiFromWide(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

int ControlOf(DialogButton button) { return button == DialogButton::kDeviceScan ? IDC_DEVICE_SCAN : IDC_FW_UPDATE; }

}  // namespace

std::optional<std::wstring> ChooseWithFileDialog(HWND owner) {
  // The dialog is a COM object; an apartment of the window's thread for as long as it shows.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  std::optional<std::wstring> path;
  IFileOpenDialog* dialog = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog)))) {
    const COMDLG_FILTERSPEC filter[] = {{L"Firmware TXT (*.txt)", L"*.txt"}};
    dialog->SetFileTypes(1, filter);
    // The extension without "*." : the dialog appends "." and this to a name typed without one.
    dialog->SetDefaultExtension(L"txt");
    dialog->SetTitle(L"Read System Firmware 2 BIN");
    // The newer dialog has no read-only box to hide; it must name a file of the file system.
    FILEOPENDIALOGOPTIONS options = 0;
    if (SUCCEEDED(dialog->GetOptions(&options))) dialog->SetOptions(options | FOS_FORCEFILESYSTEM);
    IShellItem* item = nullptr;
    if (SUCCEEDED(dialog->Show(owner)) && SUCCEEDED(dialog->GetResult(&item))) {
      PWSTR name = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &name))) {
        path = name;
        CoTaskMemFree(name);
      }
      item->Release();
    }
    dialog->Release();
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return path;
}

CCardflashDlg::CCardflashDlg() : CCardflashDlg(Environment{}) {}

CCardflashDlg::CCardflashDlg(Environment environment)
    : m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_chooseFile(environment.choose_file ? std::move(environment.choose_file) : FileChooser(ChooseWithFileDialog)),
      m_logic(*this, environment.clock ? *environment.clock : m_systemClock,
              WindowRamBslPlaces(environment.ram_bsl_file, std::move(environment.ram_bsl_folders))) {}

CCardflashDlg::~CCardflashDlg() {
  if (m_hWorkerThread) CloseHandle(m_hWorkerThread);
}

INT_PTR CCardflashDlg::DoModal() {
  return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CARDFLASH_DIALOG), nullptr, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CCardflashDlg::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    reinterpret_cast<CCardflashDlg*>(lparam)->m_hWnd = window;
  }
  auto* dialog = reinterpret_cast<CCardflashDlg*>(GetWindowLongPtrW(window, DWLP_USER));
  return dialog ? dialog->OnMessage(message, wparam) : FALSE;
}

INT_PTR CCardflashDlg::OnMessage(UINT message, WPARAM wparam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED) OnCommand(LOWORD(wparam));
      return TRUE;
    case WM_CLOSE:  // the close box, Alt+F4
      OnCommand(IDCANCEL);
      return TRUE;
    case WM_LOG_UPDATE:
      OnLogUpdate();
      SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_DESTROY:
      m_logic.OnDestroy();
      m_hWnd = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

BOOL CCardflashDlg::OnInitDialog() {
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  m_logic.OnInitDialog();
  return TRUE;  // the system puts the focus on the first control
}

void CCardflashDlg::OnCommand(WORD id) {
  switch (id) {
    case IDC_DEVICE_SCAN:
      m_logic.OnBnClickedDeviceScan();
      break;
    case IDC_FW_UPDATE:
      m_logic.OnBnClickedFwUpdate();
      break;
    case IDC_TEST:
      m_logic.OnBnClickedTest();
      break;
    case IDC_CLOSE:
    case IDOK:  // Enter where no button has the focus
    case IDCANCEL:  // Escape, the close box
      // The window ends with EndDialog, as a dialog box of the system's must.
      if (m_logic.MayClose()) EndDialog(m_hWnd, id);
      break;
    default:
      break;
  }
}

bool CCardflashDlg::OnPaint() {
  // Minimised, the window shows its icon in the middle of its client area.
  if (!IsIconic(m_hWnd)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &paint);
  return true;
}

void CCardflashDlg::OnLogUpdate() {
  {
    std::lock_guard lock(m_logLock);
    SetDlgItemTextW(m_hWnd, IDC_LOG, m_strLog.c_str());
  }
  // Scrolled to the end once the control has taken its new text.
  PostMessageW(GetDlgItem(m_hWnd, IDC_LOG), WM_VSCROLL, SB_BOTTOM, 0);
}

void CCardflashDlg::EnableButton(DialogButton button, bool enabled) {
  EnableWindow(GetDlgItem(m_hWnd, ControlOf(button)), enabled);
}

void CCardflashDlg::ClearLog() {
  {
    std::lock_guard lock(m_logLock);
    m_strLog.clear();
  }
  SendMessageW(m_hWnd, WM_LOG_UPDATE, 0, 0);
}

void CCardflashDlg::AppendPiece(const std::string& piece) {
  const std::wstring text = WideFromAnsi(piece);
  {
    std::lock_guard lock(m_logLock);
    m_strLog += text;
  }
  // From the worker this returns once the window's thread has shown the text (it takes sent
  // messages in its wait); from that thread it is a call.
  SendMessageW(m_hWnd, WM_LOG_UPDATE, 0, 0);
}

std::optional<std::string> CCardflashDlg::ChooseFirmwareFile() {
  std::optional<std::wstring> chosen = m_chooseFile(m_hWnd);
  if (!chosen) return std::nullopt;
  return AnsiFromWide(*chosen);
}

bool CCardflashDlg::StartWorker(std::function<void()> work) {
  m_work = std::move(work);
  m_hWorkerThread = CreateThread(nullptr, 0, UpdateThreadProc, this, 0, nullptr);
  return m_hWorkerThread != nullptr;
}

DWORD WINAPI CCardflashDlg::UpdateThreadProc(LPVOID parameter) {
  static_cast<CCardflashDlg*>(parameter)->m_work();
  return 0;
}

bool CCardflashDlg::WaitStep() {
  if (WaitForSingleObject(m_hWorkerThread, kWaitStepMs) != WAIT_TIMEOUT) {
    CloseHandle(m_hWorkerThread);
    m_hWorkerThread = nullptr;
    m_work = nullptr;
    return true;
  }
  // No dialog keys here: Tab and Escape do not act while the update runs.
  MSG message;
  if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return false;
}

}  // namespace cardflash
