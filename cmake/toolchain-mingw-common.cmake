# Cross build for Windows with Debian's MinGW-w64, posix thread model (std::thread); the
# including toolchain file sets LASER_MINGW_ARCH (i686 or x86_64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LASER_MINGW_ARCH})
set(LASER_MINGW_TRIPLE ${LASER_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${LASER_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LASER_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LASER_MINGW_TRIPLE}-windres)
# PCRE2 built for this target by scripts/mingw-deps.sh, and Qt by scripts/build-qt-mingw.sh (a
# link to its cache); nothing of the build machine's own. Qt's moc, rcc and uic are the Linux
# Qt's, of the same version.
# (A normal path: Qt's own lookups must see that their folders lie under a root here.)
get_filename_component(LASER_MINGW_DEPS
                       ${CMAKE_CURRENT_LIST_DIR}/../build/mingw-deps/${LASER_MINGW_ARCH} ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${LASER_MINGW_TRIPLE} ${LASER_MINGW_DEPS} ${LASER_MINGW_DEPS}/qt6)
set(CMAKE_PREFIX_PATH ${LASER_MINGW_DEPS}/qt6)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${LASER_MINGW_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
# Wine runs the test binaries: no DLLs of the compiler to carry along.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
