# The terminal front end: build/kovweb
file(GLOB KOV_APP_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/app/posix/*.cpp)
add_executable(kovweb ${KOV_APP_SOURCES})
target_link_libraries(kovweb PRIVATE kov_app_common)
