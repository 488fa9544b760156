# The part of the MinGW-w64 cross builds that both machines share; the
# toolchain files mingw-w64-x86_64.cmake and mingw-w64-i686.cmake set
# BRINVALE_MINGW_TRIPLE and the processor, then include this file.
#
# The -posix flavour of the compilers is the one with std::thread and
# std::mutex; the default (win32 threads) flavour has neither.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${BRINVALE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRINVALE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BRINVALE_MINGW_TRIPLE}-windres)
# Reads the import tables of the programs for the import check.
set(BRINVALE_OBJDUMP ${BRINVALE_MINGW_TRIPLE}-objdump)
# Makes the delay-import libraries (see the top CMakeLists.txt).
set(BRINVALE_DLLTOOL ${BRINVALE_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${BRINVALE_MINGW_TRIPLE})
# Programs (code generators and the like) come from the build machine;
# libraries, headers and packages only from the MinGW tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
