# 32-bit Windows: the programs users get.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VELKSCAN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
