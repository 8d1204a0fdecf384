#!/usr/bin/env bash
# Sets the machine up, builds, and starts the program: the main window QNLaserControl.
#
# Without LASER_PORT it first starts the built-in laser simulator (laser-sim, model qt2 unless
# LASER_SIM_MODEL says otherwise) on a pseudo-terminal linked as COM1 in a temporary
# LASER_COM_DIR, opens the window on that port, and stops the simulator when the window closes.
# With LASER_PORT=N the window opens on COM N and no simulator runs.
#
# It installs only what building and running the program needs (scripts/setup.sh run) and
# builds the `release` preset, which leaves the tests and benchmarks out.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are empty); run it in a desktop session, or under a virtual one: xvfb-run -a bash scripts/run.sh (Debian package xvfb)" >&2
  exit 1
fi
if [ -n "${LASER_PORT:-}" ] && ! [[ "$LASER_PORT" =~ ^[0-9]+$ && "$LASER_PORT" -ge 1 && "$LASER_PORT" -le 256 ]]; then
  echo "run.sh: LASER_PORT must be a COM port number from 1 to 256, not '$LASER_PORT'" >&2
  exit 1
fi

bash scripts/setup.sh run
# Quiet unless something fails; then the build's own output says what.
build_log=$(mktemp /tmp/laser-build-XXXXXX)
if ! { cmake --preset release && cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" \
    --target QNLaserControl laser-sim; } >"$build_log" 2>&1; then
  tail -n 60 "$build_log" >&2
  echo "run.sh: the build failed (the whole output: $build_log)" >&2
  exit 1
fi
rm -f "$build_log"

bin=build/release
if [ -n "${LASER_PORT:-}" ]; then
  exec "$bin/app/QNLaserControl" "/PORT:$LASER_PORT" "$@"
fi

dir=$(mktemp -d /tmp/laser-com-XXXXXX)
cleanup() {
  if [ -n "${sim_pid:-}" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
port=1
"$bin/sim/laser-sim" --model "${LASER_SIM_MODEL:-qt2}" --link "$dir/COM$port" >"$dir/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  [ -e "$dir/COM$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if ! [ -e "$dir/COM$port" ]; then
  echo "run.sh: the laser simulator did not start:" >&2
  cat "$dir/sim.out" >&2
  exit 1
fi
echo "Laser simulator: $(head -n 2 "$dir/sim.out" | tail -n 1)"
LASER_COM_DIR="$dir" "$bin/app/QNLaserControl" "/PORT:$port" "$@"
