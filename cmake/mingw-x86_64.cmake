# The 64-bit Windows tree (build/win64): the one run under Wine here.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(SERCHAN_WINE_TREE win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
