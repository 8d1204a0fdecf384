#!/usr/bin/env bash
# Installs what the build, the tests and the program need on Debian 12; does nothing when all is there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  clang libclang-rt-dev
  libpcre2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-svg-dev xvfb xauth
  python3-serial
)
# The Windows builds and their tests under Wine (LASER_WINE=0 leaves them out): MinGW-w64 with the
# posix thread model (std::thread), the 64-bit Wine, and the 32-bit one (the i386 architecture)
# for the 32-bit build; libc6-dev-i386 lets gcc build the tests' 32-bit modem-status shim.
if [ "${LASER_WINE:-1}" != 0 ]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386
    libc6-dev-i386 googletest)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# scripts/mingw-deps.sh builds PCRE2 for Windows from Debian's source package.
src_list=/etc/apt/sources.list.d/laser-deb-src.sources
need_src=0
if [ "${LASER_WINE:-1}" != 0 ] && ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  need_src=1
fi

need_i386=0
if [ "${LASER_WINE:-1}" != 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
fi

if [ ${#missing[@]} -eq 0 ] && [ $need_src -eq 0 ] && [ $need_i386 -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
if [ $need_src -eq 1 ]; then
  $SUDO tee "$src_list" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi
if [ $need_i386 -eq 1 ]; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
