#!/usr/bin/env bash
# Sets the machine up, then builds and runs the whole suite in the default, ASan+UBSan and TSan
# presets, then the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
presets=(${LASER_PRESETS:-default asan tsan})
for preset in "${presets[@]}"; do
  echo "=== preset $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
status=0
for preset in "${presets[@]}"; do
  echo "=== tests: $preset ==="
  ctest --preset "$preset" -j "$jobs" || status=1
done
# Windows: both MinGW-w64 cross builds, and the tests of each under Wine (64-bit and 32-bit),
# their serial lines pseudo-terminals served through a native relay (LASER_WINE=0 skips the
# stage).
if [ "${LASER_WINE:-1}" != 0 ]; then
  echo "=== windows (MinGW-w64, Wine) ==="
  start=$SECONDS
  bash scripts/mingw-deps.sh
  for preset in mingw-x86_64 mingw-i686; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
  done
  sim=build/${presets[0]}/sim/laser-sim
  for preset in mingw-x86_64 mingw-i686; do
    echo "=== tests: $preset under Wine ==="
    bash scripts/wine-test.sh "build/$preset" "$sim" || status=1
  done
  echo "windows stage: $((SECONDS - start)) s"
fi
# A short run of every fuzz target (25 s each; FUZZ_SECONDS changes it, LASER_FUZZ=0 skips it).
if [ "${LASER_FUZZ:-1}" != 0 ]; then
  echo "=== fuzz ==="
  bash scripts/fuzz.sh || status=1
fi
exit $status
