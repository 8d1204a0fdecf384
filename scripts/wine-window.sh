#!/usr/bin/env bash
# QNLaserControl.exe under Wine, on a virtual display of its own (Xvfb, with openbox as the window
# manager), against a native laser-sim linked as COM40 of a throw-away prefix. An operator's
# session through the keyboard (xdotool): the program detects the laser, takes a preset current
# (Ctrl+1) and a typed one, Laser ON (Ctrl+N) and OFF (Ctrl+S), and exits (Alt+X); the
# simulator's command log must show each command. Then the installer of the build (cpack -G NSIS,
# when there is one) installs silently (/S), the installed program starts and finds the laser, is
# moved and writes its place when the session ends (logoff), and the uninstaller removes it again.
#   scripts/wine-window.sh [WINDOWS_BUILD_DIR [LASER_SIM]]
# LASER_WINE_SHOT=FILE.png keeps a screenshot of the window (laser on, values shown; needs
# ImageMagick's import).
set -euo pipefail
cd "$(dirname "$0")/.."
win_build=${1:-build/mingw-x86_64}
shot=${LASER_WINE_SHOT:-}
[ -n "$shot" ] && shot=$(realpath -m "$shot")
source scripts/wine-env.sh
sim=$(wine_sim_path "${2:-build/default/sim/laser-sim}")
caption='SN1234 - Corvane Laser Control'

fail() {
  echo "wine-window: $*" >&2
  exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
within() {
  local limit=$(($1 * 10)) i
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

exec 4< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>"$WINEPREFIX/xvfb.log")
wine_pids+=($!)
read -r -t 20 display <&4 || fail "Xvfb did not start: $(cat "$WINEPREFIX/xvfb.log")"
export DISPLAY=:$display
wine_background openbox >"$WINEPREFIX/openbox.log" 2>&1

# The windows ask for Tahoma, which Windows has in its font folder; Wine's own copy (fonts-wine)
# is not found by its name until it lies there too.
cp /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"

# Wine maps the low COM numbers to the machine's own /dev/ttyS* whenever a program starts, over
# any link of ours; COM40 is past them.
log=$WINEPREFIX/commands.log
port=40
wine_background "$sim" --model qt2 --link "$WINEPREFIX/dosdevices/com$port" --log "$log" \
  >"$WINEPREFIX/sim.log" 2>&1
within 10 test -e "$WINEPREFIX/dosdevices/com$port" || fail "laser-sim did not start"

# Keys as an operator presses them: Wine sees a modifier only while it is down.
press() {
  local mods=$1 key=$2
  [ -n "$mods" ] && xdotool keydown "$mods" && sleep 0.2
  xdotool key "$key"
  sleep 0.2
  [ -n "$mods" ] && xdotool keyup "$mods"
  sleep 0.3
}
logged() { grep -qx "[0-9.]*	$1" "$log"; }

# The program in a folder of its own, with preset 1 at 12.5 A.
app="$WINEPREFIX/drive_c/Laser Control"
mkdir -p "$app"
cp "$win_build/app/QNLaserControl.exe" "$app/"
printf '[PresetCurrents]\r\n1=12.5\r\n' >"$app/QNLaserControl.ini"
wine "$app/QNLaserControl.exe" /PORT:$port >"$WINEPREFIX/program.log" 2>&1 &
program=$!
wine_pids+=($program)

window=$(timeout 60 xdotool search --sync --name "^$caption\$" | head -n1) ||
  fail "no window \"$caption\" within 60 s (the laser was not detected); commands: $(tr '\n' ' ' <"$log")"
echo "wine-window: the window \"$caption\" is up"
xdotool windowactivate --sync "$window" 2>/dev/null || true
sleep 1

# A preset current through its hot key, then a typed one: after detection the current field of
# laser 1 has the focus.
press ctrl 1
within 10 logged 'w61 12.50' || fail "no w61 12.50 after Ctrl+1"
echo "wine-window: Ctrl+1 set 12.50 A"
press ctrl a
xdotool type --delay 100 15.5
press "" Return
within 10 logged 'w61 15.50' || fail "no w61 15.50 after typing 15.5 and Enter"
echo "wine-window: 15.5 typed and Enter set 15.50 A"
press ctrl n
within 10 logged 'w60 1' || fail "no w60 1 after Ctrl+N"
echo "wine-window: Ctrl+N switched the laser on"
sleep 2  # a refresh or two, so the window shows what the laser reports
if [ -n "$shot" ]; then
  import -frame -window "$window" "$shot"
  echo "wine-window: screenshot in $shot"
fi
press ctrl s
within 10 logged 'w60 0' || fail "no w60 0 after Ctrl+S"
echo "wine-window: Ctrl+S switched the laser off"
press alt x
within 20 bash -c "! kill -0 $program 2>/dev/null" || fail "the program did not exit on Alt+X"
echo "wine-window: Alt+X ended the program"

installer=$(ls "$win_build"/LaserControl-*.exe 2>/dev/null | head -n1 || true)
if [ -z "$installer" ]; then
  echo "wine-window: no installer in $win_build (cpack -G NSIS), not checked"
  exit 0
fi
wine "$installer" /S >"$WINEPREFIX/install.log" 2>&1 || fail "the installer failed"
installed=$(find "$WINEPREFIX/drive_c" -path '*/Laser Control/QNLaserControl.exe' \
  ! -path "$app/*" | head -n1)
[ -n "$installed" ] || fail "the installer put no QNLaserControl.exe under Program Files"
find "$WINEPREFIX/drive_c" -name 'Laser Control.lnk' | grep -q 'Start Menu' ||
  fail "no Start-menu entry"
echo "wine-window: installed ${installed#"$WINEPREFIX/drive_c/"}, with its Start-menu entry"
wine "$installed" /PORT:$port >>"$WINEPREFIX/program.log" 2>&1 &
program=$!
wine_pids+=($program)
window=$(timeout 60 xdotool search --sync --name "^$caption\$" | head -n1) ||
  fail "the installed program did not find the laser"
folder=$(dirname "$installed")
# Moved, then the session ends (logoff or shutdown: Windows asks the windows, and ends the process
# right after): the new place must be in the settings file all the same.
xdotool windowmove --sync "$window" 230 170 2>/dev/null || xdotool windowmove "$window" 230 170
sleep 1
wine wineboot --end-session >>"$WINEPREFIX/install.log" 2>&1 || true
within 20 bash -c "! kill -0 $program 2>/dev/null" || fail "the installed program outlived the session"
grep -q '^Left=' "$folder/QNLaserControl.ini" 2>/dev/null ||
  fail "the session ended without the settings written: $(cat "$folder/QNLaserControl.ini" 2>&1)"
echo "wine-window: the installed program found the laser; at the session's end it wrote its settings"
wine "$folder/Uninstall.exe" /S >>"$WINEPREFIX/install.log" 2>&1 || fail "the uninstaller failed"
# The uninstaller runs on as a copy of itself and returns at once.
within 60 bash -c "[ ! -e \"$folder\" ]" || fail "the uninstaller left $(ls "$folder")"
echo "wine-window: the uninstaller removed the program folder"
