#!/usr/bin/env bash
# Sets the machine up, builds, and starts the program.
#
# The windows are not built yet: for now the program is the engine's console (laser-console),
# which reads requests from the keyboard and prints every event of the laser.
# With LASER_PORT=N it talks to the laser on COM N; without it, it starts the built-in laser
# simulator (laser-sim, model qt2 unless LASER_SIM_MODEL says otherwise) and talks to that.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target laser-console laser-sim >/dev/null

bin=build/default
if [ -n "${LASER_PORT:-}" ]; then
  exec "$bin/tools/laser-console" --port "$LASER_PORT" --set "${LASER_SET:-qt}" "$@"
fi

dir=$(mktemp -d /tmp/laser-com-XXXXXX)
cleanup() { [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT
"$bin/sim/laser-sim" --model "${LASER_SIM_MODEL:-qt2}" --link "$dir/COM1" >"$dir/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do [ -e "$dir/COM1" ] && break; sleep 0.05; done
echo "Laser simulator: $(head -n 2 "$dir/sim.out" | tail -n 1)"
echo "Type requests (ReadSN, ReadCurrent 1, SetCurrent 2 12.5, ...) or raw commands (r61);"
echo "laser-console --help lists them. End with Ctrl-D."
LASER_COM_DIR="$dir" "$bin/tools/laser-console" --port 1 --set "${LASER_SET:-qt}" "$@"
