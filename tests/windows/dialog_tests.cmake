# The Windows window's tests: the Win32 dialog in-process on wine's null graphics driver in code
# page 950 (wine takes it from LC_ALL), the real window once on Xvfb, and the installer.
windows_test(win32_dialog_test windows/win32_dialog_test.cpp $<TARGET_OBJECTS:cardflash_resources>)
link_virtual_time(win32_dialog_test scenario_support cardflash_dialog_win32 cardflash_engine cardlink_core)
gtest_discover_tests(win32_dialog_test DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 ENVIRONMENT "LC_ALL=zh_TW.UTF-8")

# The real window once, on Xvfb: clicked with xdotool, the file chosen in the real file dialog,
# screenshots read back by OCR. It writes the screenshots into BUILD/screenshots.
add_executable(window_probe windows/window_probe.cpp)
add_test(NAME windows_desktop
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/desktop_test.sh ${CARDLINK_WINDOWS_BIN} $<TARGET_FILE:cardsim_hidapi>
    ${PROJECT_SOURCE_DIR}/sim/data $<TARGET_FILE:window_probe> ${CMAKE_BINARY_DIR}/screenshots)
set_tests_properties(windows_desktop PROPERTIES ENVIRONMENT "WINEPREFIX=${CARDLINK_WINEPREFIX}"
  PASS_REGULAR_EXPRESSION "desktop test passed" FAIL_REGULAR_EXPRESSION "FAIL:" TIMEOUT 180)

# The installer and the zip.
add_test(NAME windows_installer
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/installer_test.sh ${CARDLINK_WINDOWS_SETUP} ${CARDLINK_WINDOWS_ZIP}
    $<TARGET_FILE:cardsim_hidapi>)
set_tests_properties(windows_installer PROPERTIES ENVIRONMENT "WINEPREFIX=${CARDLINK_WINEPREFIX}"
  PASS_REGULAR_EXPRESSION "installer test passed" FAIL_REGULAR_EXPRESSION "FAIL:" TIMEOUT 120)
