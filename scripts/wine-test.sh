#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, in a throw-away prefix. The far ends of their serial
# lines are pseudo-terminals linked as COM devices of the prefix (dosdevices/comN), so the Windows
# program opens "\\.\COMn" and Wine's serial driver talks to the pseudo-terminal: the tests ask
# a native relay (tests/win32/PtyRelay.cpp) for them over a socket, and laser-console.exe is
# checked against a native laser-sim. The window tests (win32_ui_tests.exe, when the build has
# the windows) run on Qt's offscreen platform with Wine's own fonts.
#   scripts/wine-test.sh [WINDOWS_BUILD_DIR [LASER_SIM]]
set -euo pipefail
cd "$(dirname "$0")/.."
win_build=${1:-build/mingw-x86_64}
source scripts/wine-env.sh
sim=$(wine_sim_path "${2:-build/default/sim/laser-sim}")

# The console check's simulator, on a COM number the tests leave alone (COM9 is the window
# tests' port that does not open).
wine_background "$sim" --link "$WINEPREFIX/dosdevices/com88" >"$WINEPREFIX/sim.log" 2>&1

# The relay prints its TCP port once it listens.
g++ -std=c++20 -O2 -Wall -Wextra -Werror tests/win32/PtyRelay.cpp -o "$WINEPREFIX/pty-relay" -lutil
exec 3< <(exec "$WINEPREFIX/pty-relay" "$WINEPREFIX/dosdevices" 2>"$WINEPREFIX/relay.log")
wine_pids+=($!)
read -r -t 10 LASER_WINE_RELAY <&3 || { cat "$WINEPREFIX/relay.log"; exit 1; }
export LASER_WINE_RELAY

status=0
wine "$win_build/tests/win32/win32_tests.exe" ${LASER_WINE_TEST_ARGS:-} || status=1

# (An earlier configure with the windows may have left the program behind.)
if grep -qs '^LASER_UI:BOOL=ON' "$win_build/CMakeCache.txt"; then
  # fonts-wine has Tahoma, the windows' font.
  QT_QPA_PLATFORM=offscreen QT_QPA_FONTDIR=Z:/usr/share/wine/fonts \
    wine "$win_build/tests/win32/win32_ui_tests.exe" ${LASER_WINE_UI_TEST_ARGS:-} || status=1
fi

# The console program drives the simulator as an operator's script would.
out=$(printf 'r01\nr61\n' | wine "$win_build/tools/laser-console.exe" --port 88 2>&1 || true)
if grep -q '^OnSN 1234' <<<"$out" && grep -q '^OnCurrent 1 10.00' <<<"$out"; then
  echo "laser-console.exe: drives laser-sim on COM88"
else
  echo "laser-console.exe: unexpected output:"
  echo "$out"
  status=1
fi
exit $status
