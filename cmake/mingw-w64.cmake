# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (posix thread variant) against the
# prefix that scripts/windows-prefix.sh prints, passed as -DWINDOWS_PREFIX=<path>.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(toolchain_triple x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${toolchain_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${toolchain_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${toolchain_triple}-windres)

if(NOT WINDOWS_PREFIX AND DEFINED ENV{WINDOWS_PREFIX})
    set(WINDOWS_PREFIX $ENV{WINDOWS_PREFIX})
endif()
# try_compile projects see the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${WINDOWS_PREFIX} /usr/${toolchain_triple})
set(CMAKE_PREFIX_PATH ${WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of a Windows build run under Wine (scripts/wine-run.sh sets up its prefix and locale).
get_filename_component(toolchain_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${toolchain_root}/scripts/wine-run.sh)
