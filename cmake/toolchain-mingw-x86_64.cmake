# Cross build for Windows (x86_64) with Debian's MinGW-w64.
set(LASER_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
