# Cross build for 32-bit Windows with Debian's MinGW-w64. No 32-bit Windows
# code runs on the build machines (there is no 32-bit Wine), so this build has
# no emulator: its tests are built, and only the checks that read the programs
# without running them run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(BRINVALE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
