#!/usr/bin/env bash
# Builds the libraries the Windows build needs and Debian ships only for Linux: PCRE2 (from
# Debian's source package) and GoogleTest (from Debian's googletest sources), static, into
# build/mingw-deps/<arch>. Does nothing for an arch that is built already.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
deps=$root/build/mingw-deps
arches=(${LASER_MINGW_ARCHES:-i686 x86_64})

pcre2_src() {
  local dir
  dir=$(ls -d "$deps"/src/pcre2-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$dir" ]; then
    mkdir -p "$deps/src"
    (cd "$deps/src" && apt-get source --download-only -qq pcre2 >/dev/null 2>&1 &&
      tar xzf pcre2_*.orig.tar.gz)
    dir=$(ls -d "$deps"/src/pcre2-*/ | head -n1)
  fi
  echo "${dir%/}"
}

for arch in "${arches[@]}"; do
  prefix=$deps/$arch
  [ -f "$prefix/.done" ] && continue
  toolchain=$root/cmake/toolchain-mingw-$arch.cmake
  src=$(pcre2_src)
  echo "mingw-deps: PCRE2 and GoogleTest for $arch"
  cmake -S "$src" -B "$deps/build-pcre2-$arch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_STATIC_LIBS=ON -DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_PCRE2_16=OFF \
    -DPCRE2_BUILD_PCRE2_32=OFF -DPCRE2_SUPPORT_JIT=ON -DPCRE2_BUILD_PCRE2GREP=OFF \
    -DPCRE2_BUILD_TESTS=OFF -DCMAKE_C_FLAGS=-w >/dev/null
  cmake --build "$deps/build-pcre2-$arch" --target install >/dev/null
  cmake -S /usr/src/googletest -B "$deps/build-gtest-$arch" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$deps/build-gtest-$arch" --target install >/dev/null
  touch "$prefix/.done"
done
