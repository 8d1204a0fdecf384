# Sourced by scripts/wine-test.sh and scripts/wine-window.sh: a throw-away Wine prefix, removed
# with everything started in it when the script ends, a native laser-sim, and the modem-status
# shim that lets Wine's WaitCommEvent work on a pseudo-terminal.
#   wine_sim_path BUILT_SIM   prints a native laser-sim (BUILT_SIM, else one built here)
#   wine_background CMD...    starts CMD in the background; it is stopped at the end
#   wine ...                  Wine with the shim

wine_sim_path() {
  local sim=$1
  if [ ! -x "$sim" ]; then
    # A native simulator of our own when no Linux preset has been built.
    cmake -S . -B build/wine-sim -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLASER_UI=OFF \
      -DLASER_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/wine-sim --target laser-sim >/dev/null
    sim=build/wine-sim/sim/laser-sim
  fi
  echo "$sim"
}

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/laser-wine-XXXXXX)
export WINEDEBUG=-all
# Neither .NET nor the HTML engine is wanted: without the overrides the first start offers to
# install them.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_pids=()
wine_cleanup() {
  local pid
  for pid in "${wine_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait "${wine_pids[@]}" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap wine_cleanup EXIT

wine_background() {
  "$@" &
  wine_pids+=($!)
}

wineboot -i >/dev/null 2>&1
wineserver -w
# One server for every run below, with its output (an object dump when it is stopped) discarded.
wineserver -p >/dev/null 2>&1

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
  # Wine's processes only: not the native simulator, relay or X server started beside them.
  wine_preload="$shim/\$LIB/pty-modem-shim.so"
  wine() { LD_PRELOAD=$wine_preload command wine "$@"; }
fi
