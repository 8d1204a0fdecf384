#!/usr/bin/env bash
# Builds a static Qt for Windows (MinGW-w64) from Debian's own source packages (qt6-base,
# qt6-svg), of the same version as the Linux Qt, whose host tools (moc, rcc, uic) it uses. The
# result goes into a cache outside the clone, keyed by Qt version, architecture and options,
#   ${LASER_QT_CACHE:-~/.cache/laser-control}/qt-mingw/<qt version>-<arch>-<options hash>/
# so a machine builds it once; a stamp written after the last install marks a usable one, and a
# folder without it is built again (from the installed qtbase on, if that got so far). The clone
# gets a link to it, build/mingw-deps/<arch>/qt6, where the MinGW toolchain files look for it.
#   scripts/build-qt-mingw.sh [ARCH...]     (i686, x86_64; default i686)
#   scripts/build-qt-mingw.sh --prefix ARCH (prints the cache folder, builds nothing)
# Exits 3 when Debian's archive would not give the qtbase source (nothing built), 1 on a failure.
# LASER_QT_JOBS sets the parallel jobs (default: the cores); the build runs at nice 19.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=${LASER_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/laser-control}/qt-mingw
jobs=${LASER_QT_JOBS:-$(nproc 2>/dev/null || echo 2)}

# The Qt of the host tools decides the version of the sources.
deb_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
svg_deb_version=$(dpkg-query -W -f='${Version}' qt6-svg-dev)
qt_version=${deb_version%%+*}
qt_version=${qt_version%%-*}

# Only what the program uses: Core, Gui, Widgets, Network (the remote control's server), Test
# (the window tests) and Svg. Third-party libraries are Qt's bundled ones, nothing of the build
# machine (FreeType too: the offscreen platform of the window tests draws with it on Windows).
# Debian's sources lack wintab.h (tablet events); the Windows platform plugin of 6.4 needs
# OpenGL, loaded at run time. Without Direct2D, Qt's Gui lacks the DirectWrite font database
# that the platform plugin would pick with DirectWrite 3, so that is off too: the GDI one serves.
base_options=(
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Release -DFEATURE_optimize_size=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_tabletevent=OFF -DINPUT_opengl=dynamic -DFEATURE_vulkan=OFF
  -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF -DFEATURE_textodfwriter=OFF
  -DFEATURE_gif=OFF -DFEATURE_jpeg=OFF -DFEATURE_ico=OFF
  -DFEATURE_ssl=OFF -DFEATURE_schannel=OFF -DFEATURE_networklistmanager=OFF -DFEATURE_zstd=OFF
  -DFEATURE_icu=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_doubleconversion=OFF
  -DFEATURE_system_freetype=OFF
)
svg_options=(-DCMAKE_BUILD_TYPE=Release -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF)

compiler_version() {
  "$1-w64-mingw32-g++-posix" -dumpfullversion
}

key_of() {
  local arch=$1
  printf '%s\n' "$deb_version" "$svg_deb_version" "$(compiler_version "$arch")" \
    "${base_options[@]}" -- "${svg_options[@]}" | sha256sum | cut -c1-12
}

prefix_of() {
  echo "$cache/$qt_version-$1-$(key_of "$1")"
}

if [ "${1:-}" = --prefix ]; then
  prefix_of "${2:?--prefix ARCH}"
  exit 0
fi

# Debian's source package (qt6-base, qt6-svg) of exactly the installed version, unpacked once
# into $cache/src/<module>-<version>. An archive in the middle of a sync can refuse the download
# for a while: it is tried three times (TRIES), with a fresh index between.
sources() {
  local package=$1 module=$2 version=$3 tries=${4:-3} src=$cache/src try
  mkdir -p "$src"
  [ -d "$src/$module-$version" ] && return
  (
    cd "$src"
    for ((try = 1; ; try++)); do
      apt-get source --download-only -qq "$package=$version" >/dev/null 2>&1 && break
      if [ "$try" -ge "$tries" ]; then
        echo "build-qt-mingw: apt-get source $package=$version failed" >&2
        exit 1
      fi
      sleep $((try * 10))
      apt-get update -qq >/dev/null 2>&1 || true
    done
    rm -rf tmp && mkdir tmp && tar xJf "${package}_${version%-*}.orig.tar.xz" -C tmp
    mv tmp/"$module"-everywhere-src-* "$module-$version" && rmdir tmp
  )
}

# Each phase's wall-clock and CPU seconds (user + system), printed and kept beside the build: the
# CPU time says what it costs on an idle machine when others share this one.
phase() {
  local name=$1 TIMEFORMAT='%0R %0U %0S' t wall user sys
  shift
  if ! t=$({ time nice -n 19 "$@" >"$log_dir/$name.log" 2>&1; } 2>&1); then
    tail -n 40 "$log_dir/$name.log"
    echo "build-qt-mingw: $arch: $name failed, log in $log_dir/$name.log" >&2
    return 1
  fi
  read -r wall user sys <<<"$t"
  echo "$name wall ${wall} s, cpu $((user + sys)) s" | tee -a "$log_dir/times" |
    sed "s/^/build-qt-mingw: $arch: /"
}

# The SVG module into the installed qtbase. Debian's archive has at times had no source of qt6-svg
# to give; then Qt stays without it (the program's pictures are PNGs made at build time), and
# each later run tries again.
build_svg() {
  local tries=${1:-3}
  rm -rf "$build/svg"
  mkdir -p "$log_dir"
  if ! sources qt6-svg qtsvg "$svg_deb_version" "$tries"; then
    echo "build-qt-mingw: $arch: no source of qt6-svg $svg_deb_version in Debian's archive now: Qt without its SVG module (the pictures are PNGs then)"
    touch "$prefix/.no-svg"
    return 0
  fi
  phase svg-configure cmake -S "$cache/src/qtsvg-$svg_deb_version" -B "$build/svg" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$prefix/lib/cmake/Qt6/qt.toolchain.cmake" "${svg_options[@]}"
  phase svg-build cmake --build "$build/svg" -j "$jobs"
  phase svg-install cmake --install "$build/svg"
  rm -f "$prefix/.no-svg"
}

build_arch() {
  arch=$1
  local prefix build tc total
  prefix=$(prefix_of "$arch")
  build=$prefix.build
  log_dir=$build/logs
  if [ ! -f "$prefix/.complete" ]; then
    echo "build-qt-mingw: Qt $qt_version for $arch into $prefix"
    local host=(-DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
    total=$SECONDS
    # Qt's own toolchain file in the install (qt-cmake) loads this one.
    tc=$cache/mingw-$arch.cmake
    cat >"$tc" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER $arch-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER $arch-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER $arch-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$arch-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
    # An installed qtbase is kept when only a later module failed (its source download, say); a
    # build that was stopped after its configure went through goes on where it stopped (ninja
    # rebuilds what was half written); anything earlier starts again from nothing.
    if [ -f "$build/.base-installed" ]; then
      :
    elif [ -f "$build/base/build.ninja" ] && grep -qs '^base-configure ' "$log_dir/times"; then
      echo "build-qt-mingw: $arch: resuming the stopped build in $build"
      rm -rf "$prefix" && mkdir -p "$prefix"
      phase base-build cmake --build "$build/base" -j "$jobs"
      phase base-install cmake --install "$build/base"
      touch "$build/.base-installed"
    else
      # No source to build from is no fault of the build: exit 3 tells the caller so.
      sources qt6-base qtbase "$deb_version" || exit 3
      rm -rf "$prefix" "$build"
      mkdir -p "$log_dir" "$prefix"
      phase base-configure cmake -S "$cache/src/qtbase-$deb_version" -B "$build/base" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_INSTALL_PREFIX="$prefix" "${host[@]}" \
        "${base_options[@]}"
      phase base-build cmake --build "$build/base" -j "$jobs"
      phase base-install cmake --install "$build/base"
      touch "$build/.base-installed"
    fi
    build_svg
    echo "total (this run) wall $((SECONDS - total)) s" >>"$log_dir/times"
    cp "$log_dir/times" "$prefix/build-times.txt"
    echo "build-qt-mingw: $arch: total $((SECONDS - total)) s"
    # Nothing of the build is needed any more; the stamp comes last.
    rm -rf "$build"
    touch "$prefix/.complete"
  elif [ -f "$prefix/.no-svg" ]; then
    # A Qt that works without it: one quick try a run, not a warm run's half minute of waits.
    build_svg 1
    rm -rf "$build"
  fi
  link_arch "$arch"
}

link_arch() {
  mkdir -p "$root/build/mingw-deps/$1"
  ln -sfn "$(prefix_of "$1")" "$root/build/mingw-deps/$1/qt6"
}

mkdir -p "$cache"
# One build at a time, also across clones sharing the cache; a finished Qt is only linked, without
# waiting for another architecture's build, and the SVG module's retry waits for nobody.
exec 9>"$cache/.lock"
for a in "${@:-i686}"; do
  p=$(prefix_of "$a")
  if [ -f "$p/.complete" ] && { [ ! -f "$p/.no-svg" ] || ! flock -n 9; }; then
    link_arch "$a"
  else
    flock 9
    build_arch "$a"
  fi
done
