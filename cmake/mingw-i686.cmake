# The 32-bit Windows tree (build/win32): serchan32.dll for 32-bit callers.
# Built everywhere; run under 32-bit Wine only where the machine runs 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
set(SERCHAN_WINE_TREE win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
