#!/usr/bin/env bash
# Checks the Windows packages of the windows preset: the zip's file list, the icon's sizes, then
# the installer under Wine in the build's prefix, as a technician would use it: a silent
# install into a folder of one's choice, the programs, the Start-menu folder and the entry
# among the installed programs, the installed programs started from there (the window through
# its Start-menu shortcut, on an Xvfb display of its own), and the uninstaller named in that
# entry, after which nothing of the installation is left.
# The window is checked when the build made it (win32/): then both packages must carry it.
# Usage: tests/package/check_windows_packages.sh [BUILD-FOLDER] (default: build/windows, after
# `cpack --preset windows`; scripts/windows.sh runs it with its Wine server up)
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build/windows}"
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
zip="$build/ful03test-$version-win64.zip"
setup="$build/ful03test-$version-win64-setup.exe"
name="FUL 05.03 Modbus test"

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAILED: $1"; }
check() {  # check WHAT COMMAND...
  local what="$1"; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
same() {  # same WHAT EXPECTED ACTUAL: equal texts, or both shown
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1"; diff <(echo "$2") <(echo "$3") || true; fi
}
absent() { ! "$@"; }
# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
  local tenths="$1"; shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  "$@"
}

# The window is part of the packages when the build made it.
window=no
if find "$build" -name ful03test.exe -not -path '*/_CPack_Packages/*' -not -path "$build/wine/*" |
  grep -q .; then
  window=yes
fi
echo "packages: $zip, $setup (window: $window)"

# ---- the zip and the icon --------------------------------------------------------------------
top="ful03test-$version-win64"
expected="$top/README.md
$top/bin/fulctl.exe
$([ $window = no ] || echo "$top/bin/ful03test.exe")
$(for layer in actions devices protocols serial; do echo "$top/lib/liboxa_$layer.a"; done)
$(find serial protocols devices actions -name '*.h' -not -path '*/platform/*' |
  sed "s|^|$top/include/|")"
same "zip: programs, README, libraries and their public headers" \
  "$(grep . <<<"$expected" | sort)" "$(cmake -E tar tf "$zip" | grep -v '/$' | sort)"
sizes="$(icotool -l "$build/packaging/ful03test.ico" | sed -n 's/.*--width=\([0-9]*\).*/\1/p')"
same "icon sizes" "16 24 32 48 256" "$(echo $sizes)"

# ---- the installer ---------------------------------------------------------------------------
prefix="$PWD/$build/wine"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
# Makes the prefix if needed and keeps a Wine server up for it.
scripts/wine-run.sh "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
# A Windows program, its output without carriage returns; one that hangs (on a message box no
# one sees) fails after a minute.
w() { timeout 60 wine "$@" </dev/null 2>/dev/null | tr -d '\r'; }
tmp="$(mktemp -d /tmp/check_windows_packages.XXXXXX)"
xvfb_pid=""
cleanup() {
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

folder='C:\Program Files\FUL tools\ful03test'   # a space and a level of its own
unix_folder="$prefix/drive_c/Program Files/FUL tools/ful03test"
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$name"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ful03test'
vendor_key='HKLM\Software\ful03test developers'
own_key="$vendor_key\\ful03test"
# The value $2 of registry key $1, empty when the key or value is missing.
reg_value() {
  (w reg query "$1" /v "$2" || true) | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
key_exists() { wine reg query "$1" </dev/null >/dev/null 2>&1; }
# Runs the uninstaller the entry names and waits for it: it copies itself away and returns at
# once, and is done when its folder is gone.
uninstall() {
  local command
  command="$(reg_value "$key" UninstallString)"
  command="${command#\"}"
  w "${command%\"}" /S
  wait_for 200 test ! -e "$1"
}

# A previous run that failed may have left an installation: away with it first.
if [ -n "$(reg_value "$key" UninstallString)" ]; then
  echo "(removing an installation left by an earlier run)"
  uninstall "$unix_folder" || true
fi

# The installer takes /D= as the unquoted rest of its command line, and Wine would quote an
# argument with spaces: the folder goes word by word.
read -r -a folder_words <<<"/D=$folder"
check "silent install into $folder" w "$setup" /S "${folder_words[@]}"
expected_files="$(grep . <<<"README.md
Uninstall.exe
bin/fulctl.exe
$([ $window = no ] || echo bin/ful03test.exe)" | sort)"
installed_files() { (cd "$unix_folder" 2>/dev/null && find . -type f | sed 's|^\./||' | sort); }
same "installed files" "$expected_files" "$(installed_files)"
expected="Uninstall.lnk
$([ $window = no ] || echo "$name.lnk")"
same "Start-menu folder \"$name\"" "$(grep . <<<"$expected" | sort)" \
  "$(ls "$menu" 2>/dev/null | sort)"

same "installed programs: DisplayName" "$name" "$(reg_value "$key" DisplayName)"
same "installed programs: DisplayVersion" "$version" "$(reg_value "$key" DisplayVersion)"
same "installed programs: UninstallString" "\"$folder\\Uninstall.exe\"" \
  "$(reg_value "$key" UninstallString)"
icon="$folder\\Uninstall.exe"
[ $window = no ] || icon="$folder\\bin\\ful03test.exe"
same "installed programs: DisplayIcon" "$icon" "$(reg_value "$key" DisplayIcon)"
# Numbers, as Windows reads them, not text.
reg_type() { (w reg query "$1" /v "$2" || true) | sed -n "s/^ *$2 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p"; }
same "installed programs: NoModify" "REG_DWORD 0x1" "$(reg_type "$key" NoModify)"
same "installed programs: NoRepair" "REG_DWORD 0x1" "$(reg_type "$key" NoRepair)"

# The window's Start-menu entry shows the icon of the program it starts: the window must carry
# the package's icon (its 256-pixel image is kept whole, as a PNG).
if [ $window = yes ]; then
  mkdir "$tmp/icons"
  wrestool -x --raw --type=3 -o "$tmp/icons" "$unix_folder/bin/ful03test.exe" 2>/dev/null || true
  carries_icon() {
    local image
    for image in "$tmp/icons"/*; do
      cmp -s "$image" "$build/packaging/ful03test-256.png" && return
    done
    return 1
  }
  check "window carries the package's icon" carries_icon
fi
same "installed fulctl.exe runs" "fulctl $version" "$(w "$folder\\bin\\fulctl.exe" --version)"

# Installed, the programs keep their settings in %APPDATA%\ful03test, never beside themselves,
# also in a folder the user may write (as Wine lets every folder be). A settings file an older
# version left beside them is taken over once: here it maps COM3 to a port that is not there,
# which fulctl then names, with the settings file that maps it.
users="$prefix/drive_c/users"
rm -rf "$users"/*/AppData/Roaming/ful03test
printf '[Ports]\r\nCOM3=\\\\.\\COM42\r\n' >"$unix_folder/bin/ful03test.ini"
fulctl_com3() { timeout 60 wine "$folder\\bin\\fulctl.exe" -p COM3 id </dev/null 2>&1 | tr -d '\r'; }
said="$(fulctl_com3 || true)"
check "installed fulctl takes the older settings file beside it over" \
  grep -qF '\\.\COM42 is not there' <<<"$said"
check "... and names the settings file in %APPDATA%" \
  grep -qF 'AppData\Roaming\ful03test\ful03test.ini' <<<"$said"
settings="$(find "$users" -path '*/AppData/Roaming/ful03test/ful03test.ini' 2>/dev/null | head -n 1)"
check "settings file made in %APPDATA%\\ful03test" test -f "$settings"
printf '[Ports]\r\nCOM3=\\\\.\\COM43\r\n' >"$unix_folder/bin/ful03test.ini"
check "taken over once: the settings in %APPDATA% stand" grep -qF 'COM42 is not there' <<<"$(fulctl_com3 || true)"
rm -f "$unix_folder/bin/ful03test.ini"

# Installing again (a newer version, say) first removes what is there, through its uninstaller.
check "silent install over the installation" w "$setup" /S "${folder_words[@]}"
same "installed files after installing again" "$expected_files" "$(installed_files)"

# The window through its shortcut, as the Start menu starts it: its window must appear on a
# display, and close when asked to (as by its title bar's close button). Wine's desktop process
# takes the display of the program that starts it, so the Wine server starts anew for this part,
# and once more without a display after it.
if [ $window = yes ]; then
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$tmp/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  wait_for 100 test -s "$tmp/display"
  export DISPLAY=":$(cat "$tmp/display")"
  wineserver -k || true
  wineserver -w
  wineserver -p30 </dev/null >/dev/null 2>&1
  shows() { xwininfo -root -tree 2>/dev/null | grep -qF "\"$name\": (\"ful03test.exe\""; }
  wine start /unix "$menu/$name.lnk" </dev/null >/dev/null 2>&1 &
  if wait_for 200 shows; then
    pass "window starts from its Start-menu shortcut"
  else
    fail "window starts from its Start-menu shortcut"
    xwininfo -root -tree 2>&1 | grep -E '^ *0x.*"' || true   # the windows there are
  fi
  w taskkill /im ful03test.exe >/dev/null || true
  check "window closes when asked to" wait_for 100 absent shows
  wineserver -k || true
  wineserver -w
  unset DISPLAY
  kill "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=""
  scripts/wine-run.sh "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
fi

check "uninstaller named in the entry removes the folder" uninstall "$unix_folder"
check "Start-menu folder removed" test ! -e "$menu"
check "entry among installed programs removed" absent key_exists "$key"
check "installation folder's registry key removed" absent key_exists "$own_key"
check "the vendor's registry key, left empty, removed" absent key_exists "$vendor_key"
check "the user's settings file left" test -f "$settings"

echo "windows packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
