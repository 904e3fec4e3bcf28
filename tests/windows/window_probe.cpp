// window_probe: what the desktop test (desktop_test.sh) cannot see from X, the windows on wine's
// desktop "cardflash":
//   window_probe TITLE       exit 0 when a window of that title shows
//   window_probe TITLE ID    "X Y", the centre of control ID in desktop coordinates, and on a
//                            second line its text (ID 0: the window itself, as "WxH+X+Y");
//                            exit 0 when it is enabled
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  HDESK desktop = OpenDesktopW(L"cardflash", 0, FALSE, GENERIC_ALL);
  if (argc < 2 || !desktop || !SetThreadDesktop(desktop)) return 2;
  HWND window = FindWindowA(nullptr, argv[1]);
  if (!window || !IsWindowVisible(window)) return 1;
  if (argc < 3) return 0;
  const int id = std::atoi(argv[2]);
  HWND target = id ? GetDlgItem(window, id) : window;
  RECT r;
  if (!target || !GetWindowRect(target, &r)) return 1;
  char text[1024] = "";
  SendMessageA(target, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  if (id)
    std::printf("%ld %ld\n%s\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2, text);
  else
    std::printf("%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
  return IsWindowEnabled(target) ? 0 : 1;
}
