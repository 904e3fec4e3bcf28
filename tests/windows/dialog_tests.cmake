# The Windows window's tests: the Win32 dialog in-process on wine's null graphics driver in code
# page 950 (wine takes it from LC_ALL), the real window once on Xvfb, and the installer.
windows_test(win32_dialog_test windows/win32_dialog_test.cpp $<TARGET_OBJECTS:cardflash_resources>)
link_virtual_time(win32_dialog_test scenario_support cardflash_dialog_win32 cardflash_engine cardlink_core)
target_compile_definitions(win32_dialog_test PRIVATE
  TEST_FOLDER="${CMAKE_CURRENT_BINARY_DIR}"
  CARDFLASH_EXE="$<TARGET_FILE:Cardflash_window>"
  CARDLINK_DLL="$<TARGET_FILE:Cardlink>"
  SIMBUS_HIDAPI_DLL="$<TARGET_FILE:cardsim_hidapi>")
add_dependencies(win32_dialog_test Cardflash_window Cardlink cardsim_hidapi)
gtest_discover_tests(win32_dialog_test DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120 ENVIRONMENT "LC_ALL=zh_TW.UTF-8")
