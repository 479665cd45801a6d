# Cross-compiles 64-bit Windows binaries with MinGW-w64; tests run under Wine
# in a 64-bit prefix.
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
