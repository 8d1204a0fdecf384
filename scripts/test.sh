#!/usr/bin/env bash
# Sets the machine up, then builds and runs the whole suite in the default, ASan+UBSan and TSan presets.
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
# A short run of every fuzz target (25 s each; FUZZ_SECONDS changes it, LASER_FUZZ=0 skips it).
if [ "${LASER_FUZZ:-1}" != 0 ]; then
  echo "=== fuzz ==="
  bash scripts/fuzz.sh || status=1
fi
exit $status
