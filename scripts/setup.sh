#!/usr/bin/env bash
# shellcheck disable=SC2034  # the group_* arrays are read through their names
# Installs with apt-get the Debian 12 packages that a command needs; does nothing when they are
# all there.
#
#   scripts/setup.sh run         what building and running the program needs (run.sh)
#   scripts/setup.sh test        what test.sh needs (LASER_WINE=0 leaves the Windows groups out)
#   scripts/setup.sh GROUP...    the groups named
#
# A failing `apt-get update` (a mirror being synced, an index of the i386 archive out of step)
# does not stop it: it says so in one line and installs from the package lists at hand. It fails
# only when a package of a required group cannot be installed, naming the package and apt's
# reason. An optional group (wine32) that cannot be installed is left out: its reason goes to
# the file LASER_SETUP_REPORT names ("GROUP<tab>PACKAGE<tab>REASON" lines), or to the output
# when no such file is given.
set -euo pipefail

# --- the groups ------------------------------------------------------------------------------
# Compiling: the compiler, CMake, Ninja, pkg-config and PCRE2.
group_build=(g++ cmake ninja-build pkg-config make libpcre2-dev)
# The windows: Qt 6 Widgets and SVG (the simulator needs nothing beyond the C library).
group_program=(qt6-base-dev qt6-svg-dev)
# The suite: clang and its sanitizer runtimes (the fuzz preset), GoogleTest, Google Benchmark,
# a virtual display, pyserial for the benchmark, PyVISA with its pure-Python backend for the
# remote-control client, and the Debian packaging tools for the check of the package
# (dpkg-shlibdeps, file).
group_tests=(clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth
  python3-serial python3-pyvisa python3-pyvisa-py dpkg-dev file)
# The Windows builds and their tests under the 64-bit Wine: MinGW-w64 with the posix thread
# model (std::thread); libc6-dev-i386 lets gcc build the tests' 32-bit modem-status shim;
# googletest's sources for the Windows GoogleTest. mingw-deps.sh builds PCRE2 from Debian's
# source package, so this group also adds a deb-src entry.
group_windows=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 libc6-dev-i386
  googletest)
# The windows on Windows (scripts/windows-stage.sh): Qt built for MinGW from Debian's sources with
# the Linux Qt's moc, rcc and uic (build-qt-mingw.sh); the icon drawn from our SVG (librsvg2-bin,
# icoutils); NSIS for the installer; Wine's own fonts, Tahoma among them (fonts-wine); the
# program under Wine on a virtual display with a window manager, driven through the keyboard
# (xvfb, openbox, xdotool).
group_windowsui=(qt6-base-dev-tools librsvg2-bin icoutils nsis fonts-wine xvfb openbox xdotool)
# The 32-bit Wine for the 32-bit build's tests. It comes from Debian's i386 archive (this group
# adds that architecture), which is now and then out of step with the amd64 one: optional.
group_wine32=(wine32:i386)
optional_groups=(wine32)

apt_etc=${LASER_APT_ETC:-/etc/apt}  # tests point it at a folder of their own

usage() {
  echo "usage: setup.sh run | test | GROUP...  (groups: build program tests windows windowsui wine32)" >&2
  exit 2
}

case "${1:-test}" in
  run) groups=(build program) ;;
  test)
    groups=(build program tests)
    if [ "${LASER_WINE:-1}" != 0 ]; then groups+=(windows windowsui wine32); fi
    ;;
  *)
    groups=("$@")
    for g in "${groups[@]}"; do
      [[ "$g" =~ ^[a-z0-9]+$ ]] && declare -p "group_$g" >/dev/null 2>&1 || usage
    done
    ;;
esac

has_group() {
  local g
  for g in "${groups[@]}"; do [ "$g" = "$1" ] && return 0; done
  return 1
}
is_optional() {
  local g
  for g in "${optional_groups[@]}"; do [ "$g" = "$1" ] && return 0; done
  return 1
}
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# The missing packages of each group.
declare -A missing=()
any_missing=0
for g in "${groups[@]}"; do
  declare -n list="group_$g"
  m=()
  for p in "${list[@]}"; do installed "$p" || m+=("$p"); done
  unset -n list
  missing[$g]="${m[*]}"
  [ ${#m[@]} -eq 0 ] || any_missing=1
done

need_src=0
if has_group windows && ! grep -rqs '^Types:.*deb-src\|^deb-src' "$apt_etc/sources.list" \
    "$apt_etc/sources.list.d/"; then
  need_src=1
fi
need_i386=0
if has_group wine32 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
fi

if [ $any_missing -eq 0 ] && [ $need_src -eq 0 ] && [ $need_i386 -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp /tmp/laser-setup-XXXXXX)
trap 'rm -f "$log" "$log.dry"' EXIT

# apt's reason for a failure, on one line: the first unmet dependency, else its first error.
apt_reason() {
  local reason
  reason=$(awk '
    /unmet dependencies/ { unmet = 1; next }
    unmet && NF { sub(/^[ \t]+/, ""); gsub(/[ \t]+/, " "); print "unmet dependencies: " $0; exit }
    /^E: / && first == "" { first = substr($0, 4) }
    END { if (!unmet && first != "") print first }' "$1")
  if [ -z "$reason" ]; then reason=$(grep -v '^\s*$' "$1" | tail -n 1 || true); fi
  echo "${reason:-apt-get gave no reason}"
}

if [ $need_src -eq 1 ]; then
  $SUDO tee "$apt_etc/sources.list.d/laser-deb-src.sources" >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
fi
if [ $need_i386 -eq 1 ]; then
  $SUDO dpkg --add-architecture i386
fi

start=$SECONDS
if ! $SUDO apt-get update -qq >"$log" 2>&1; then
  echo "setup: apt-get update failed ($(apt_reason "$log")); going on with the package lists at hand"
fi

# A fresh desktop may be installing its own updates at first: wait for dpkg's lock a while.
apt_install=(apt-get install -y -qq --no-install-recommends -oDPkg::Lock::Timeout=300)

# Why a package did not install, given the log of its install: a quiet apt-get says only that
# its resolver gave up, so a dry run (no root needed) tells the unmet dependency.
reason_for() {
  apt-get install -s --no-install-recommends "$1" >"$log.dry" 2>&1 || true
  if grep -q 'unmet dependencies' "$log.dry"; then
    apt_reason "$log.dry"
  else
    apt_reason "$2"
  fi
  rm -f "$log.dry"
}

# Installs the packages given; on failure tries each alone, so that the others still go in and
# every package that fails is named with its own reason. Sets `failed` to "PACKAGE<tab>REASON"
# lines.
failed=""
install() {
  failed=""
  [ $# -gt 0 ] || return 0
  if $SUDO "${apt_install[@]}" "$@" >"$log" 2>&1; then return 0; fi
  if [ $# -eq 1 ]; then
    failed="$1	$(reason_for "$1" "$log")"
    return 1
  fi
  local p
  for p in "$@"; do
    if ! $SUDO "${apt_install[@]}" "$p" >"$log" 2>&1; then
      failed+="$p	$(reason_for "$p" "$log")"$'\n'
    fi
  done
  failed=${failed%$'\n'}
  [ -z "$failed" ]
}

required=()
for g in "${groups[@]}"; do
  if ! is_optional "$g"; then
    read -ra add <<<"${missing[$g]}"
    required+=("${add[@]}")
  fi
done
status=0
if [ ${#required[@]} -gt 0 ]; then
  echo "setup: installing ${required[*]}"
  if ! install "${required[@]}"; then
    while IFS=$'\t' read -r p reason; do
      echo "setup: cannot install $p: $reason" >&2
    done <<<"$failed"
    status=1
  fi
fi

for g in "${optional_groups[@]}"; do
  has_group "$g" && [ -n "${missing[$g]}" ] || continue
  read -ra add <<<"${missing[$g]}"
  echo "setup: installing ${add[*]}"
  if ! install "${add[@]}"; then
    while IFS=$'\t' read -r p reason; do
      if [ -n "${LASER_SETUP_REPORT:-}" ]; then
        printf '%s\t%s\t%s\n' "$g" "$p" "$reason" >>"$LASER_SETUP_REPORT"
      else
        echo "setup: left out the group $g: cannot install $p: $reason"
      fi
    done <<<"$failed"
  fi
done

[ $status -ne 0 ] || echo "setup: done in $((SECONDS - start)) s"
exit $status
