#!/usr/bin/env bash
# Checks the Debian package without installing it: lintian, its files and fields, then the
# programs unpacked into a temporary root and run from there. The unpacked bin folder is made
# read-only, as an installed /usr/bin is, so the window and fulctl must use the settings file
# in the user's configuration folder.
# Usage: tests/package/check_package.sh [PACKAGE.deb] (default: the one scripts/package.sh made)
set -euo pipefail
cd "$(dirname "$0")/../.."
deb="${1:-$(ls build/default/packages/ful03test_*.deb | head -n 1)}"

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAILED: $1"; }
check() {  # check WHAT COMMAND...: what the command wrote is shown when it fails
  local what="$1"; shift
  local out
  if out="$("$@" 2>&1)"; then
    pass "$what"
  else
    fail "$what"
    [ -z "$out" ] || sed 's/^/  /' <<<"$out"
  fi
}

tmp="$(mktemp -d /tmp/check_package.XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  chmod -R u+w "$tmp" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "package: $deb ($(stat -c %s "$deb") bytes)"

# ---- lintian: no errors and no warnings (informational tags are shown) --------------------
if lintian --fail-on error,warning --display-info "$deb" >"$tmp/lintian.txt" 2>&1; then
  pass "lintian"
  grep -E '^[EWI]:' "$tmp/lintian.txt" || true
else
  fail "lintian"
  cat "$tmp/lintian.txt"  # its tags, or why it did not run
fi

# ---- the files and the fields ---------------------------------------------------------------
expected="./usr/bin/ful03test
./usr/bin/fulctl
./usr/bin/fulsim
./usr/share/applications/ful03test.desktop
./usr/share/doc/ful03test/changelog.gz
./usr/share/doc/ful03test/copyright
./usr/share/icons/hicolor/scalable/apps/ful03test.svg
./usr/share/man/man1/ful03test.1.gz
./usr/share/man/man1/fulctl.1.gz
./usr/share/man/man1/fulsim.1.gz"
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"
check "file list" test "$files" = "$expected"
[ "$files" = "$expected" ] || diff <(echo "$expected") <(echo "$files") || true
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
check "dependencies computed from the programs" grep -q 'libqt6widgets6' <<<"$depends"
# Installed without recommended packages, the window must still start and show its captions
# whole: the package holding the platform plugins and the form's faces are dependencies.
plugin_owner="$(dpkg-query -S '*/qt6/plugins/platforms/libqxcb.so' | head -n 1 | cut -d: -f1)"
for needed in "$plugin_owner" fonts-wine fonts-liberation; do
  check "depends on $needed" grep -qE "(^|, )$needed( |,|$)" <<<"$depends"
done
check "dialout group in the description" grep -q 'dialout' <(dpkg-deb -f "$deb" Description)

# ---- the programs, unpacked ------------------------------------------------------------------
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
bin="$root/usr/bin"
check "fulctl --help" bash -c "'$bin/fulctl' --help | grep -q '^Exit status:'"
check "fulsim --help" bash -c "'$bin/fulsim' --help | grep -q '^Usage: fulsim'"
check "ful03test --help" bash -c "'$bin/ful03test' --help | grep -q -- '--virtual-device'"
# A page renders without a warning. The pages hold Russian lines, which troff renders only in a
# UTF-8 locale: C.UTF-8, which every Debian has, whatever locale this script was started in.
man_page_renders() {  # man_page_renders PAGE: man's warnings, and false when there are any
  if ! command -v man >/dev/null; then
    echo "man is not installed (scripts/setup.sh installs man-db)"
    return 1
  fi
  local warnings
  warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/man1/$1.1.gz" 2>&1 >/dev/null)" &&
    [ -z "$warnings" ] && return 0
  echo "${warnings:-man failed without a word}"
  return 1
}
for page in ful03test fulctl fulsim; do
  check "manual page $page(1)" man_page_renders "$page"
done

# Read-only, also for root: the programs' folder is no place for the settings file.
chmod a-w "$bin"
home="$tmp/home"
mkdir -p "$home"
run_env=(env -u XDG_CONFIG_HOME HOME="$home" QT_QPA_PLATFORM=offscreen)

# Starts the window, waits up to 20 s for status line $2, and ends it. $1 names the check;
# further arguments go before the program (environment settings).
window_shows() {
  local what="$1" line="$2"; shift 2
  local out="$tmp/window.out"
  "${run_env[@]}" "$@" FUL03TEST_PRINT_STATUS=1 "$bin/ful03test" >"$out" 2>"$tmp/window.err" &
  local pid=$!
  local shown=1
  for _ in $(seq 200); do
    if grep -qxF "$line" "$out"; then shown=0; break; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  if [ $shown -eq 0 ]; then
    pass "$what"
  else
    fail "$what"; echo "--- its output:"; cat "$out" "$tmp/window.err"
  fi
}

window_shows "window starts with no settings file" "Готов к работе:   COM1, 9600 bps"
check "nothing written beside the program or in ~/.config" \
  test ! -e "$bin/ful03test.ini" -a ! -e "$home/.config/ful03test"

mkdir -p "$home/.config/ful03test"
printf '[Signature]\nPort=3\nBaud=2\n' >"$home/.config/ful03test/ful03test.ini"
window_shows "window reads ~/.config/ful03test/ful03test.ini" "Готов к работе:   COM3, 57600 bps"

mkdir -p "$tmp/xdg/ful03test"
printf '[Signature]\nPort=2\nBaud=1\n' >"$tmp/xdg/ful03test/ful03test.ini"
window_shows "window reads \$XDG_CONFIG_HOME/ful03test/ful03test.ini" \
  "Готов к работе:   COM2, 19200 bps" XDG_CONFIG_HOME="$tmp/xdg"

# fulctl finds a port mapped in the same file, to the packaged virtual device.
"$bin/fulsim" --link "$tmp/ful" >"$tmp/fulsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$tmp/ful" ] && break; sleep 0.05; done
printf '[Ports]\nCOM7=%s\n' "$tmp/ful" >>"$home/.config/ful03test/ful03test.ini"
check "fulctl talks to fulsim through the COM7 of ~/.config/ful03test/ful03test.ini" \
  "${run_env[@]}" "$bin/fulctl" -p COM7 id

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
