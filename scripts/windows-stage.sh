#!/usr/bin/env bash
# The Windows stage of test.sh: both MinGW-w64 cross builds, the tests of each under Wine, and,
# with Qt for MinGW, the windows: QNLaserControl.exe, its installer and portable folder, the
# window tests under Wine and the program itself under Wine against the simulator.
#   scripts/windows-stage.sh [LASER_SIM]
# The 32-bit build (PE32) is the target. Its tests and windows run under the 32-bit Wine; where
# Debian's i386 archive refuses that, the windows run as the 64-bit build under the 64-bit Wine,
# which needs a second Qt.
#
# Qt for MinGW is built once per architecture and kept in a cache outside the clone (see
# build-qt-mingw.sh): about 13 minutes of both cores on a quiet machine. The stage builds the
# target's (i686) when it is missing; the second one, x86_64, which only the 64-bit Wine needs where
# the 32-bit one is refused, is built only with LASER_QT_BUILD=1 (or used when cached), as it
# would take a cold CI run past its hour. LASER_QT_BUILD=0 builds none. For an architecture left
# without Qt one line says so and how to have it; LASER_STAGE_NOTES=FILE gets that line too, for
# the end of test.sh's output. Debian's archive refusing the Qt source is such a line, not a
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${1:-build/default/sim/laser-sim}
jobs=$(nproc 2>/dev/null || echo 2)
start=$SECONDS

step() {
  echo "windows: $1 $((SECONDS - step_start)) s"
  step_start=$SECONDS
}
step_start=$SECONDS
note() {
  echo "$1"
  if [ -n "${LASER_STAGE_NOTES:-}" ]; then echo "$1" >>"$LASER_STAGE_NOTES"; fi
}

bash scripts/mingw-deps.sh
step "PCRE2 and GoogleTest"

if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  wine_presets=(mingw-x86_64 mingw-i686)
  window_arch=i686
  qt_arches=(i686)
else
  echo "windows: no 32-bit Wine here (Debian's i386 archive refused it): the tests and windows run as the 64-bit build under the 64-bit Wine"
  wine_presets=(mingw-x86_64)
  window_arch=x86_64
  qt_arches=(i686 x86_64)
fi

# The architectures whose Qt is built (or is to be built here).
qt_build=${LASER_QT_BUILD:-target}
ready=()
missing=()
no_source=()
for arch in "${qt_arches[@]}"; do
  rm -f "build/mingw-deps/$arch/qt6"  # nor a Qt of other options that an earlier run linked
  if [ -f "$(bash scripts/build-qt-mingw.sh --prefix "$arch")/.complete" ] || [ "$qt_build" = 1 ] ||
    { [ "$qt_build" = target ] && [ "$arch" = i686 ]; }; then
    # Builds it when it is missing, else only links the cache into the clone.
    qt_status=0
    bash scripts/build-qt-mingw.sh "$arch" || qt_status=$?
    case $qt_status in
      0) ready+=("$arch") ;;
      3) no_source+=("$arch") ;;
      *) exit "$qt_status" ;;
    esac
    step "Qt for $arch"
  else
    missing+=("$arch")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  note "windows-stage.sh: the windows for ${missing[*]} were left out: no Qt for MinGW in the cache (about 13 minutes per architecture on 2 quiet cores); \`bash scripts/build-qt-mingw.sh ${missing[*]}\` builds it once, or LASER_QT_BUILD=1 lets this stage do it"
fi
if [ ${#no_source[@]} -gt 0 ]; then
  note "windows-stage.sh: the windows for ${no_source[*]} were left out: Debian's archive did not give the source of qt6-base now (a sync under way?); the next run tries again"
fi
has_qt() { [[ " ${ready[*]} " == *" $1 "* ]]; }

for preset in mingw-x86_64 mingw-i686; do
  ui=OFF
  has_qt "${preset#mingw-}" && ui=ON
  cmake --preset "$preset" -DLASER_UI=$ui >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ $ui = ON ]; then
    rm -f "build/$preset"/LaserControl-*.{exe,zip}
    (cd "build/$preset" && cpack -G "NSIS;ZIP" >/dev/null)
    for package in "build/$preset"/LaserControl-*.{exe,zip}; do
      echo "windows: $(basename "$package") $(($(stat -c %s "$package") / 1024)) KiB"
    done
  fi
  step "build $preset (windows $ui)"
done

status=0
for preset in "${wine_presets[@]}"; do
  echo "=== tests: $preset under Wine ==="
  bash scripts/wine-test.sh "build/$preset" "$sim" || status=1
  step "tests of $preset under Wine"
done
if has_qt "$window_arch"; then
  echo "=== QNLaserControl.exe (mingw-$window_arch) under Wine ==="
  bash scripts/wine-window.sh "build/mingw-$window_arch" "$sim" || status=1
  step "the program and its installer under Wine"
fi
echo "windows stage: $((SECONDS - start)) s"
exit $status
