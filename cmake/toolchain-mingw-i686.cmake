# Cross build for Windows (i686) with Debian's MinGW-w64.
set(LASER_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
