#!/usr/bin/env bash
# Builds the tool and starts its window. When the settings file maps no device to COM1, the
# virtual device (fulsim) serves as COM1 for this run, so every button gets real answers; the
# lines added to the settings file for it are taken out again when the window closes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ful03test fulsim

exe=build/default/app/ful03test
ini=build/default/app/ful03test.ini

# ini_get SECTION KEY: the value (trimmed), sections and keys compared without regard to case.
ini_get() {
  [ -f "$ini" ] || return 0
  awk -v s="$1" -v k="$2" '
    { sub(/\r$/, "") }
    /^[ \t]*\[/ { t = $0; gsub(/^[ \t]*\[[ \t]*|[ \t]*\][ \t]*$/, "", t); in_s = (tolower(t) == tolower(s)); next }
    in_s && index($0, "=") {
      key = substr($0, 1, index($0, "=") - 1); gsub(/^[ \t]+|[ \t]+$/, "", key)
      if (tolower(key) == tolower(k)) { v = substr($0, index($0, "=") + 1); gsub(/^[ \t]+|[ \t]+$/, "", v); print v; exit }
    }' "$ini"
}

# ini_add SECTION LINE: puts LINE at the start of SECTION, adding the section when missing.
ini_add() {
  touch "$ini"
  awk -v s="$1" -v line="$2" '
    { print }
    !done && /^[ \t]*\[/ { t = $0; sub(/\r$/, "", t); gsub(/^[ \t]*\[[ \t]*|[ \t]*\][ \t]*$/, "", t)
      if (tolower(t) == tolower(s)) { print line; done = 1 } }
    END { if (!done) { print "[" s "]"; print line } }' "$ini" >"$ini.tmp" && mv "$ini.tmp" "$ini"
}

# ini_has_section SECTION
ini_has_section() {
  [ -f "$ini" ] && awk -v s="$1" '
    /^[ \t]*\[/ { t = $0; sub(/\r$/, "", t); gsub(/^[ \t]*\[[ \t]*|[ \t]*\][ \t]*$/, "", t)
      if (tolower(t) == tolower(s)) found = 1 }
    END { exit !found }' "$ini"
}

# add SECTION LINE: ini_add, remembering what to take out again at the end of the run.
add() {
  ini_has_section "$1" || added=("[$1]" "${added[@]}")
  ini_add "$1" "$2"
  added=("$2" "${added[@]}")
}

# ini_remove_empty_section "[SECTION]": removes that section line when no line follows it
# before the next section (the window may have written a key into it meanwhile).
ini_remove_empty_section() {
  [ -f "$ini" ] || return 0
  awk -v head="$1" '
    { line[NR] = $0 }
    END {
      for (i = 1; i <= NR; i++) {
        if (!done && line[i] == head) {
          empty = 1
          for (j = i + 1; j <= NR && line[j] !~ /^[ \t]*\[/; j++) if (line[j] ~ /[^ \t\r]/) empty = 0
          if (empty) { done = 1; continue }
        }
        print line[i]
      }
    }' "$ini" >"$ini.tmp" && mv "$ini.tmp" "$ini"
}

# ini_remove LINE: removes the first line that reads exactly LINE.
ini_remove() {
  [ -f "$ini" ] || return 0
  awk -v line="$1" '!done && $0 == line { done = 1; next } { print }' "$ini" >"$ini.tmp" &&
    mv "$ini.tmp" "$ini"
}

if [ -n "$(ini_get Ports COM1)" ]; then
  exec "$exe"
fi

# The virtual device answers at the window's network address; the window's default address 0
# is the Modbus broadcast, which no device answers, so this run uses address 1 instead.
added=()
fresh=""
[ -e "$ini" ] || fresh=1
addr=$(ini_get Signature NetAddr)
if [ -z "$addr" ]; then
  add Signature "NetAddr=1"
  addr=1
fi
# The address as the window reads it: decimal, or hexadecimal after $ or 0x; the window holds
# a larger one at 127. Text that is no number leaves the device at address 1.
case "$addr" in
  \$*) digits=${addr#\$} base=16 ;;
  0x* | 0X*) digits=${addr:2} base=16 ;;
  *) digits=$addr base=10 ;;
esac
if [[ "$base" == 16 && "$digits" =~ ^[0-9a-fA-F]{1,8}$ ]] ||
  [[ "$base" == 10 && "$digits" =~ ^[0-9]{1,9}$ ]]; then
  addr=$(("$base#$digits"))
  ((addr <= 127)) || addr=127
  ((addr >= 1)) || addr=1
else
  addr=1
fi

link=$(mktemp -u /tmp/ful03test-com1.XXXXXX)
build/default/sim/fulsim --address "$addr" --link "$link" >/dev/null &
sim=$!
app=""
cleanup() {
  # Ended by a signal while the window is open: the window goes too, so that no window is
  # left behind talking to a virtual device that is gone.
  if [ -n "$app" ]; then
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
  fi
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  for line in "${added[@]}"; do
    case "$line" in
      \[*) ini_remove_empty_section "$line" ;;
      *) ini_remove "$line" ;;
    esac
  done
  # A settings file this run created holds nothing of the user's.
  if [ -n "$fresh" ] && ! grep -q '[^[:space:]]' "$ini" 2>/dev/null; then rm -f "$ini"; fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
[ -e "$link" ] || { echo "run: the virtual device did not start" >&2; exit 1; }

add Ports "COM1=$link"
echo "run: COM1 is the virtual device at address $addr ($link) for this run" >&2
# The window runs in the background so that a signal to this script is acted on at once
# (bash puts off its traps while a foreground program runs).
"$exe" &
app=$!
status=0
wait "$app" || status=$?
app=""
exit $status
