# Cross build for 64-bit Windows with Debian's MinGW-w64.
#
# The -posix flavour of the compilers is the one with std::thread and
# std::mutex; the default (win32 threads) flavour has neither. Tests run under
# Wine through tests/wine/wine-run.sh, which also sets up the serial ports the
# tests use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRINVALE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRINVALE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRINVALE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BRINVALE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BRINVALE_MINGW_TRIPLE})
# Programs (code generators and the like) come from the build machine;
# libraries, headers and packages only from the MinGW tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

get_filename_component(BRINVALE_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${BRINVALE_SOURCE_ROOT}/tests/wine/wine-run.sh")
