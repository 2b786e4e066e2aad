# Cross-compiles for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64) and runs what it
# builds (tests, test discovery) through Wine (Debian: wine64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DOZ2ERA_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model, whatever the system default: GoogleTest needs std::mutex, which the
# win32 model of g++ 12 lacks. Static linking (below) puts winpthread inside the executables.
set(CMAKE_C_COMPILER ${DOZ2ERA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DOZ2ERA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${DOZ2ERA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DOZ2ERA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A standalone executable: the C and C++ runtimes are linked in, so doz2era.exe runs on a Windows
# machine with nothing installed (and the tests run under Wine without MinGW's DLLs).
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Wine in a prefix of the build's own, made by the first run (the test discovery, about 5 s),
# without a display: no Mono or Gecko installer dialog (mscoree, mshtml disabled), no debug chatter
# on the error stream. /usr/lib/wine/wine64 is the loader of Debian's wine64 package, which works
# without the wrapper script of the (recommended) wine package.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix WINEDEBUG=-all
            WINEDLLOVERRIDES=mscoree,mshtml= /usr/lib/wine/wine64)
endif()
