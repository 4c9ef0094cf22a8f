# Cross build for Windows with Debian's mingw-w64; the toolchain file that
# includes this sets VELKSCAN_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
#
# The -posix compilers use the POSIX thread model, which std::thread needs
# (the default win32 model rejects it). Test programs run under wine through
# cmake/wine-run.sh; its prefix lives in the build directory.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VELKSCAN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKSCAN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKSCAN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKSCAN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and test discovery) start every .exe through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine)
