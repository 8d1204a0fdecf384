#!/usr/bin/env bash
# scripts/setup.sh against a fake apt: apt-get, dpkg-query, dpkg and sudo on PATH that keep a
# list of installed packages in a folder of their own. Needs no root and touches nothing of the
# machine's. Each case names the command, what the fake apt refuses, and what must come out.
#   tests/setup/SetupTest.sh [REPO_ROOT]
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
setup=$root/scripts/setup.sh

work=$(mktemp -d /tmp/laser-setup-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
bin=$work/bin
mkdir -p "$bin"

# The fake apt. State in $FAKE: installed (one package a line), archs, calls (every apt-get
# call). FAKE_UPDATE_FAIL=1 makes `update` fail as a mirror in sync does; FAKE_UNMET and
# FAKE_UNKNOWN list packages that cannot be installed for want of dependencies or of an index.
cat >"$bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE/calls"
args=()
for a in "$@"; do [[ "$a" == -* ]] || args+=("$a"); done
case "${args[0]}" in
  update)
    if [ "${FAKE_UPDATE_FAIL:-0}" = 1 ]; then
      echo "E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/main/binary-i386/Packages.xz  File has unexpected size (9144172 != 9144196). Mirror sync in progress? [IP: 151.101.2.132 80]" >&2
      echo "   Hashes of expected file:" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi
    exit 0 ;;
  install)
    # As apt-get: -qq leaves out why the resolver gave up, -s changes nothing.
    quiet=0
    dry=0
    for a in "$@"; do
      [ "$a" = -qq ] && quiet=1
      [ "$a" = -s ] && dry=1
    done
    for p in "${args[@]:1}"; do
      if [[ " ${FAKE_UNMET:-} " == *" $p "* ]]; then
        if [ $quiet = 0 ]; then
          echo "Some packages could not be installed. This may mean that you have"
          echo "The following packages have unmet dependencies:"
          echo " libcurl4:i386 : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed"
        fi
        echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages." >&2
        exit 100
      fi
      if [[ " ${FAKE_UNKNOWN:-} " == *" $p "* ]]; then
        echo "E: Unable to locate package $p" >&2
        exit 100
      fi
    done
    [ $dry = 1 ] || printf '%s\n' "${args[@]:1}" >>"$FAKE/installed"
    exit 0 ;;
esac
exit 1
EOF
cat >"$bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
p=${!#}
if grep -qxF "$p" "$FAKE/installed" 2>/dev/null; then
  echo -n "install ok installed"
else
  echo "dpkg-query: no packages found matching $p" >&2
  exit 1
fi
EOF
cat >"$bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case "$1" in
  --print-foreign-architectures) cat "$FAKE/archs" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE/archs"; echo "dpkg $*" >>"$FAKE/calls" ;;
  *) exit 1 ;;
esac
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin"/*

build="g++ cmake ninja-build pkg-config make libpcre2-dev"
program="qt6-base-dev qt6-svg-dev"
tests="clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth python3-serial dpkg-dev file"
windows="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 libc6-dev-i386 googletest"
windowsui="qt6-base-dev-tools librsvg2-bin icoutils nsis fonts-wine openbox xdotool"

failures=0
n=0
case_failed=0
fail() {
  echo "FAILED: $name: $*"
  [ "$case_failed" -eq 1 ] || sed 's/^/    out: /' "$case_dir/out"
  [ "$case_failed" -eq 1 ] || failures=$((failures + 1))
  case_failed=1
}
# run_case NAME PREINSTALLED COMMAND [ENV...]: a fresh fake machine, then setup.sh COMMAND.
run_case() {
  name=$1
  n=$((n + 1))
  case_failed=0
  case_dir=$work/case$n
  mkdir -p "$case_dir/etc/apt/sources.list.d"
  export FAKE=$case_dir
  : >"$FAKE/calls"
  # shellcheck disable=SC2086  # package and argument lists, split on purpose
  printf '%s\n' $2 >"$FAKE/installed"
  report=$case_dir/report
  # shellcheck disable=SC2086
  env PATH="$bin:$PATH" LASER_APT_ETC="$case_dir/etc/apt" LASER_SETUP_REPORT="$report" \
    "${@:4}" bash "$setup" $3 >"$case_dir/out" 2>&1
  rc=$?
}
installs() { grep '^apt-get .*install' "$FAKE/calls" | sed 's/^apt-get //; s/ -[^ ]*//g'; }
expect_rc() { [ "$rc" -eq "$1" ] || fail "exit code $rc, expected $1"; }
expect_out() { grep -qF -- "$1" "$case_dir/out" || fail "no line with: $1"; }
expect_lines() {
  local got
  got=$(grep -cF -- "$1" "$case_dir/out")
  [ "$got" -eq "$2" ] || fail "$got lines with '$1', expected $2"
}
expect_installed() {
  local p
  for p in $1; do grep -qxF "$p" "$FAKE/installed" || fail "$p was not installed"; done
}
expect_not_asked() {
  local p
  for p in $1; do
    if grep -q "install.* $p\( \|$\)" "$FAKE/calls"; then fail "$p was asked for"; fi
  done
}

# run.sh's set on a fresh machine whose `apt-get update` fails: one line says so, the program's
# packages still go in, and nothing of the tests' or the Windows builds' is touched.
run_case "run, update fails" "" run FAKE_UPDATE_FAIL=1
expect_rc 0
expect_lines "apt-get update failed" 1
expect_out "setup: apt-get update failed (Failed to fetch http://deb.debian.org/debian/dists/bookworm/main/binary-i386/Packages.xz"
expect_out "going on with the package lists at hand"
expect_installed "$build $program"
expect_not_asked "$tests $windows $windowsui wine32:i386"
grep -q '^dpkg --add-architecture' "$FAKE/calls" && fail "run added an architecture"
[ -z "$(ls "$case_dir/etc/apt/sources.list.d")" ] || fail "run added a source list"
[ "$(installs | wc -l)" -eq 1 ] || fail "expected one install call: $(installs)"

# Everything there: not a single apt call, not a word.
run_case "run, all installed" "$build $program" run FAKE_UPDATE_FAIL=1
expect_rc 0
[ ! -s "$FAKE/calls" ] || fail "apt was called: $(cat "$FAKE/calls")"
[ ! -s "$case_dir/out" ] || fail "it printed something"

# Only what is missing is asked for.
run_case "run, one missing" "$build qt6-base-dev" run
expect_rc 0
[ "$(installs)" = "install qt6-svg-dev" ] || fail "asked for: $(installs)"

# A required package that cannot be had, with the lists at hand: named with apt's reason; the
# others still go in.
run_case "run, a package unknown" "" run FAKE_UPDATE_FAIL=1 FAKE_UNKNOWN=qt6-svg-dev
expect_rc 1
expect_out "setup: cannot install qt6-svg-dev: Unable to locate package qt6-svg-dev"
expect_lines "cannot install" 1
expect_installed "$build qt6-base-dev"

# test.sh's set with the 32-bit Wine refused: the rest goes in, the i386 architecture and the
# source list are added, and the refusal goes to the report with apt's reason; exit 0.
run_case "test, wine32 refused" "" test FAKE_UPDATE_FAIL=1 FAKE_UNMET=wine32:i386
expect_rc 0
expect_installed "$build $program $tests $windows $windowsui"
grep -qx i386 "$FAKE/archs" || fail "the i386 architecture was not added"
grep -qs '^Types: deb-src' "$case_dir/etc/apt/sources.list.d/laser-deb-src.sources" ||
  fail "no deb-src entry"
[ "$(cut -f1,2 "$report" 2>/dev/null)" = "wine32	wine32:i386" ] || fail "report: $(cat "$report" 2>/dev/null)"
grep -qsF "unmet dependencies: libcurl4:i386 : Depends: libbrotli1:i386 (>= 0.6.0) but it is not going to be installed" "$report" ||
  fail "report without apt's reason: $(cat "$report" 2>/dev/null)"
expect_lines "cannot install" 0

# Without a report file the refusal is one line of the output.
run_case "wine32 alone, no report" "" "wine32" FAKE_UNMET=wine32:i386 LASER_SETUP_REPORT=
expect_rc 0
expect_lines "setup: left out the group wine32: cannot install wine32:i386: unmet dependencies:" 1

# A refused package that the tests need fails the run, whatever else is refused.
run_case "test, gtest refused" "" test FAKE_UNMET="libgtest-dev wine32:i386"
expect_rc 1
expect_out "setup: cannot install libgtest-dev: unmet dependencies: libcurl4:i386"
expect_installed "$build $program clang $windows"

# LASER_WINE=0: neither the Windows groups nor the i386 architecture nor a source list.
run_case "test, LASER_WINE=0" "" test LASER_WINE=0
expect_rc 0
expect_installed "$build $program $tests"
expect_not_asked "$windows $windowsui wine32:i386"
[ ! -s "$FAKE/archs" ] || fail "an architecture was added"
[ -z "$(ls "$case_dir/etc/apt/sources.list.d")" ] || fail "a source list was added"

# An unknown group is a usage error, before any apt call.
run_case "unknown group" "" "build nonsense"
expect_rc 2
[ ! -s "$FAKE/calls" ] || fail "apt was called"

echo "$((n - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
