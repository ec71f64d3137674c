# Tests of the Win32 program under Wine: the window shell's parts in a test binary, the
# GUI end-to-end test of kovweb.exe and the close-right-after-start test. The last two
# need a display (scripts/test-win32.sh provides Xvfb) and port 80.
set(KOV_E2E_WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/win32)

add_executable(kov_app_tests ${KOV_E2E_WIN32}/app_shell_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/foundation/win32/winsock_environment.cpp)
target_link_libraries(kov_app_tests PRIVATE kov_app_win32 ${KOV_GTEST_LIBS})
gtest_discover_tests(kov_app_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 60 LABELS win32-gui)

add_executable(kov_probe ${KOV_E2E_WIN32}/probe.cpp)
target_link_options(kov_probe PRIVATE -municode)

add_test(NAME Win32Gui.WindowConsoleRequestsAboutBoxAndExit
  COMMAND bash ${KOV_E2E_WIN32}/gui_test.sh $<TARGET_FILE:kovweb> $<TARGET_FILE:kov_probe>
          ${CMAKE_CROSSCOMPILING_EMULATOR} ${CMAKE_BINARY_DIR}/artifacts)

# The program binds port 80, so the runs take turns; each run must end within 15 s.
string(REPLACE "/" "\\" KOV_KOVWEB_WINDOWS_PATH "Z:${CMAKE_BINARY_DIR}/kovweb.exe")
add_test(NAME Win32Gui.CloseRightAfterStartNeverHangs
  COMMAND kov_probe close-soon "${KOV_KOVWEB_WINDOWS_PATH}" "Z:\\tmp\\" 20)

set_tests_properties(Win32Gui.WindowConsoleRequestsAboutBoxAndExit
  Win32Gui.CloseRightAfterStartNeverHangs PROPERTIES
  TIMEOUT 400 RESOURCE_LOCK kov-port-80 LABELS win32-gui)
