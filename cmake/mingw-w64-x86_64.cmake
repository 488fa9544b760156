# Cross build for 64-bit Windows with Debian's MinGW-w64. Tests run under Wine
# through tests/wine/wine-run.sh, which also sets up the serial ports the
# tests use.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BRINVALE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

get_filename_component(BRINVALE_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${BRINVALE_SOURCE_ROOT}/tests/wine/wine-run.sh")
