# The Win32 desktop program: build/kovweb.exe, a GUI program with its resources.
enable_language(RC)

# The parts of the window shell that tests drive without a message loop.
add_library(kov_app_win32 STATIC
  ${PROJECT_SOURCE_DIR}/app/win32/about_box.cpp
  ${PROJECT_SOURCE_DIR}/app/win32/log_console.cpp
  ${PROJECT_SOURCE_DIR}/app/win32/status_text.cpp
  ${PROJECT_SOURCE_DIR}/app/win32/web_root.cpp)
target_link_libraries(kov_app_win32 PUBLIC kov_app_common user32 gdi32)

add_executable(kovweb WIN32
  ${PROJECT_SOURCE_DIR}/app/win32/main.cpp
  ${PROJECT_SOURCE_DIR}/app/win32/kovweb.rc)
target_include_directories(kovweb PRIVATE ${PROJECT_SOURCE_DIR}/app/win32)
target_link_libraries(kovweb PRIVATE kov_app_win32 shell32)
# wWinMain is the entry point, so the program gets the wide command line.
target_link_options(kovweb PRIVATE -municode)
set_source_files_properties(${PROJECT_SOURCE_DIR}/app/win32/kovweb.rc PROPERTIES
  OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/app/win32/kovweb.ico;${PROJECT_SOURCE_DIR}/app/win32/kovweb.manifest")
