# End-to-end tests of the terminal program: kovweb started as a child process, talked to
# over loopback HTTP (our own client and curl) and, in a browser test, by headless Chromium.
file(GLOB KOV_E2E_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/posix/*.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
add_executable(kov_e2e_tests ${KOV_E2E_SOURCES})
target_link_libraries(kov_e2e_tests PRIVATE kov_server ${KOV_GTEST_LIBS})
target_compile_definitions(kov_e2e_tests PRIVATE KOV_E2E_PROGRAM="$<TARGET_FILE:kovweb>")
add_dependencies(kov_e2e_tests kovweb)
gtest_discover_tests(kov_e2e_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS e2e)

# The sample site in a real browser: stylesheet, classic script and module script.
add_test(NAME e2e.browser.SitePageRunsInChromium
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/posix/browser_test.sh
          $<TARGET_FILE:kovweb> ${PROJECT_SOURCE_DIR}/site)
set_tests_properties(e2e.browser.SitePageRunsInChromium PROPERTIES
  TIMEOUT 180 SKIP_RETURN_CODE 77 LABELS e2e)

# A shared folder walked by the clients that mirror listings (wget, rclone), and the
# listing's screenshots on a desktop and a phone.
add_test(NAME e2e.listing.SharedFolderMirrorsWhole
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/posix/listing_test.sh
          $<TARGET_FILE:kovweb> ${CMAKE_BINARY_DIR}/artifacts)
set_tests_properties(e2e.listing.SharedFolderMirrorsWhole PROPERTIES
  TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS e2e)

# Uploads with curl -T and -F, a cut body, a body past the limit, another site's form; and
# a full file system (a small tmpfs, skipped where it cannot be mounted).
add_test(NAME e2e.upload.FilesArriveWholeOrNotAtAll
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/posix/upload_test.sh $<TARGET_FILE:kovweb>)
add_test(NAME e2e.upload.AFullDiskKeepsNothing
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/posix/upload_test.sh $<TARGET_FILE:kovweb> full-disk)
set_tests_properties(e2e.upload.FilesArriveWholeOrNotAtAll e2e.upload.AFullDiskKeepsNothing
  PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS e2e)
