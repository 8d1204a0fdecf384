#!/usr/bin/env bash
# What `cmake --install` puts into a prefix, and the Debian package `cpack -G DEB` makes of it:
# the three programs, the desktop entry with its name, comment, category and icon, the icon, the
# package's dependencies as dpkg-shlibdeps finds them, nothing outside /usr.
#   tests/setup/InstallTest.sh BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) for the package half when Debian's packaging tools are missing.
set -uo pipefail
build=$1
src=$2
work=$(mktemp -d /tmp/laser-install-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0
check() {  # check DESCRIPTION COMMAND...
  checks=$((checks + 1))
  if ! "${@:2}" >/dev/null 2>&1; then
    echo "FAILED: $1"
    failures=$((failures + 1))
  fi
}

prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  exit 1
fi
for p in QNLaserControl laser-sim laser-console; do
  check "bin/$p is an executable" test -x "$prefix/bin/$p"
done
entry=$prefix/share/applications/QNLaserControl.desktop
icon=$prefix/share/icons/hicolor/scalable/apps/QNLaserControl.svg
check "the desktop entry is there" test -f "$entry"
for line in "[Desktop Entry]" "Type=Application" "Name=Laser Control" "Exec=QNLaserControl" \
    "Icon=QNLaserControl" "Terminal=false" "Categories=Science;Engineering;"; do
  check "the desktop entry holds '$line'" grep -qxF "$line" "$entry"
done
check "the desktop entry has a comment" grep -qE '^Comment=.{10,}' "$entry"
check "the icon is the program's own" cmp "$icon" "$src/ui/resources/app.svg"
if command -v desktop-file-validate >/dev/null; then
  check "desktop-file-validate accepts the entry" desktop-file-validate "$entry"
fi
# Nothing else: no libraries, headers or tests of ours.
extra=$(cd "$prefix" && find . -type f ! -path ./bin/QNLaserControl ! -path ./bin/laser-sim \
  ! -path ./bin/laser-console ! -path ./share/applications/QNLaserControl.desktop \
  ! -path ./share/icons/hicolor/scalable/apps/QNLaserControl.svg)
check "nothing else is installed: $extra" test -z "$extra"

if ! command -v dpkg-shlibdeps >/dev/null || ! command -v dpkg-deb >/dev/null; then
  echo "$checks checks, $failures failed; the package is not checked: dpkg-shlibdeps is missing (Debian's dpkg-dev)"
  [ "$failures" -eq 0 ] && exit 77
  exit 1
fi
if ! (cd "$work" && cpack -G DEB -B "$work/pkg" --config "$build/CPackConfig.cmake") \
    >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
deb=$(ls "$work"/pkg/*.deb)
check "one package: $deb" test "$(echo "$deb" | wc -l)" -eq 1
depends=$(dpkg-deb -f "$deb" Depends)
depends_on() { [[ ", $depends," == *", $1 "* || ", $depends," == *", $1,"* ]]; }
for lib in libc6 libstdc++6 libpcre2-8-0 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6; do
  check "Depends names $lib: $depends" depends_on "$lib"
done
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/QNLaserControl ./usr/bin/laser-sim ./usr/bin/laser-console \
    ./usr/share/applications/QNLaserControl.desktop \
    ./usr/share/icons/hicolor/scalable/apps/QNLaserControl.svg; do
  check "the package holds $f" grep -qxF "$f" <<<"$contents"
done
outside=$(grep -v '^\./usr/\|^\./$\|^\./usr$' <<<"$contents" || true)
check "nothing outside /usr: $outside" test -z "$outside"
check "the package's name" test "$(dpkg-deb -f "$deb" Package)" = laser-control

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
