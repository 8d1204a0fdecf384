#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, in a throw-away prefix. The far ends of their serial
# lines are pseudo-terminals linked as COM devices of the prefix (dosdevices/comN), so the Windows
# program opens "\\.\COMn" and Wine's serial driver talks to the pseudo-terminal: the tests ask
# a native relay (tests/win32/PtyRelay.cpp) for them over a socket, and laser-console.exe is
# checked against a native laser-sim.
#   scripts/wine-test.sh [WINDOWS_BUILD_DIR [LASER_SIM]]
set -euo pipefail
cd "$(dirname "$0")/.."
win_build=${1:-build/mingw-x86_64}
sim=${2:-build/default/sim/laser-sim}
if [ ! -x "$sim" ]; then
  # A native simulator of our own when no Linux preset has been built.
  cmake -S . -B build/wine-sim -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLASER_UI=OFF \
    -DLASER_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
  cmake --build build/wine-sim --target laser-sim >/dev/null
  sim=build/wine-sim/sim/laser-sim
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/laser-wine-XXXXXX)
export WINEDEBUG=-all
# Neither .NET nor the HTML engine is wanted: without the overrides the first start offers to
# install them.
export WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait "${pids[@]}" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

wineboot -i >/dev/null 2>&1
wineserver -w
# One server for every run below, with its output (an object dump when it is stopped) discarded.
wineserver -p >/dev/null 2>&1

# The console check's simulator, on a COM number the tests leave alone.
"$sim" --link "$WINEPREFIX/dosdevices/com9" >"$WINEPREFIX/sim.log" 2>&1 &
pids+=($!)

# The relay prints its TCP port once it listens.
g++ -std=c++20 -O2 -Wall -Wextra -Werror tests/win32/PtyRelay.cpp -o "$WINEPREFIX/pty-relay" -lutil
exec 3< <(exec "$WINEPREFIX/pty-relay" "$WINEPREFIX/dosdevices" 2>"$WINEPREFIX/relay.log")
pids+=($!)
read -r -t 10 LASER_WINE_RELAY <&3 || { cat "$WINEPREFIX/relay.log"; exit 1; }
export LASER_WINE_RELAY

# Wine's WaitCommEvent reads the modem lines, which a pseudo-terminal does not have; the shim
# (tests only) answers for them, see tests/win32/PtyModemShim.c. Without it every receive wait
# fails at once and the receiving thread falls back to short retries. One build for the 64-bit and
# one for the 32-bit Wine: the loader picks the one of its own kind through $LIB.
if [ "${LASER_WINE_SHIM:-1}" != 0 ]; then
  shim=$WINEPREFIX/shim
  mkdir -p "$shim/lib/x86_64-linux-gnu" "$shim/lib/i386-linux-gnu" "$shim/include32"
  gcc -O2 -Wall -Wextra -Werror -shared -fPIC tests/win32/PtyModemShim.c \
    -o "$shim/lib/x86_64-linux-gnu/pty-modem-shim.so" -ldl
  if [ -e /usr/lib32/libc.so ]; then
    # The kernel's x86 headers serve both word sizes (what gcc-multilib links in).
    ln -s /usr/include/x86_64-linux-gnu/asm "$shim/include32/asm"
    gcc -m32 -isystem "$shim/include32" -O2 -Wall -Wextra -Werror -shared -fPIC -nostdlib \
      tests/win32/PtyModemShim.c -o "$shim/lib/i386-linux-gnu/pty-modem-shim.so" -lc
  fi
  export LD_PRELOAD="$shim/\$LIB/pty-modem-shim.so"
fi

status=0
wine "$win_build/tests/win32/win32_tests.exe" ${LASER_WINE_TEST_ARGS:-} || status=1

# The console program drives the simulator as an operator's script would.
out=$(printf 'r01\nr61\n' | wine "$win_build/tools/laser-console.exe" --port 9 2>&1 || true)
if grep -q '^OnSN 1234' <<<"$out" && grep -q '^OnCurrent 1 10.00' <<<"$out"; then
  echo "laser-console.exe: drives laser-sim on COM9"
else
  echo "laser-console.exe: unexpected output:"
  echo "$out"
  status=1
fi
exit $status
