# Cross build of the Win32 program with MinGW-w64 (posix thread model, which std::thread and
# GoogleTest need). Test executables run under Wine through wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KOV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KOV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KOV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KOV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without static runtime libraries an .exe needs the compiler's DLLs, which Wine cannot
# find, and it ends with exit code 53 before main.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
