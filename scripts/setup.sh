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
# The Windows build and its tests under Wine (LASER_WINE=0 leaves them out): MinGW-w64 with the
# posix thread model (std::thread), and the 64-bit Wine only; the 32-bit build is cross-compiled
# but not run, which would need the i386 architecture and wine32 besides.
if [ "${LASER_WINE:-1}" != 0 ]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 googletest)
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

if [ ${#missing[@]} -eq 0 ] && [ $need_src -eq 0 ]; then
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
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
