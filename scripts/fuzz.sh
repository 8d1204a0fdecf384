#!/usr/bin/env bash
# Builds the `fuzz` preset (clang, libFuzzer, ASan+UBSan) and runs every fuzz target for
# FUZZ_SECONDS seconds each (default 25), or only the targets named on the command line.
# New inputs go to build/fuzz/corpus/<target>/ (the committed seeds in fuzz/corpus/<target>/
# are only read); a crash leaves its input in build/fuzz/artifacts/<target>/ and fails the run.
# FUZZ_ARGS adds libFuzzer flags to every run (for example -fork=2).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-25}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  # libFuzzer reads 0 as "no limit"
  echo "fuzz: FUZZ_SECONDS must be a whole number of seconds above 0" >&2
  exit 2
fi
jobs=$(nproc 2>/dev/null || echo 2)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

list=build/fuzz/fuzz/targets.txt
if [ ! -s "$list" ]; then
  echo "fuzz: no targets in $list" >&2
  exit 1
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
ran=0
while read -r name binary flags; do
  [ -n "$name" ] || continue
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  seeds=fuzz/corpus/$name
  work=build/fuzz/corpus/$name
  artifacts=build/fuzz/artifacts/$name
  mkdir -p "$work" "$artifacts"
  dirs=("$work")
  [ -d "$seeds" ] && dirs+=("$seeds")
  echo "=== fuzz: $name for ${seconds}s ==="
  log=build/fuzz/$name.log
  # shellcheck disable=SC2086  # the extra flags are meant to split
  if "$binary" $flags ${FUZZ_ARGS:-} -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "${dirs[@]}" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log" || true
  else
    status=1
    tail -n 40 "$log"
    echo "fuzz: $name FAILED; inputs in $artifacts/, full log $log" >&2
    echo "fuzz: replay with: $binary $artifacts/<file>" >&2
  fi
  ran=$((ran + 1))
done <"$list"

if [ "$ran" -eq 0 ]; then
  echo "fuzz: no target matched: $*" >&2
  exit 1
fi
exit $status
