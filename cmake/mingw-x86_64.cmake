# 64-bit Windows: the same sources, for running the Windows tests under wine
# on a machine whose kernel cannot run 32-bit programs (wine32 among them).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VELKSCAN_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
