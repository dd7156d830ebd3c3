#!/usr/bin/env bash
# A Modbus master nobody here wrote (mbpoll, on libmodbus) reads and writes the virtual
# device's registers over its pseudo-terminal with functions 3, 6 and 16.
set -euo pipefail
fulsim=$1
link=$(mktemp -u /tmp/fulsim-mbpoll.XXXXXX)
log=$(mktemp)
"$fulsim" --link "$link" --address 3 >"$log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -f "$log"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { echo "fulsim did not come up"; cat "$log"; exit 1; }

poll() { mbpoll -m rtu -a 3 -b 19200 -P none -0 -1 -o 2 "$@" "$link"; }
write() { local ref=$1; shift; mbpoll -m rtu -a 3 -b 19200 -P none -0 -1 -o 2 -r "$ref" "$link" "$@"; }
fail() { echo "FAIL: $*"; exit 1; }

# Function 3: the doser registers and two floats.
out=$(poll -r 2201 -c 4)
grep -q '^\[2201\]:[[:space:]]*100$' <<<"$out" || fail "dose: $out"
grep -q '^\[2202\]:[[:space:]]*0$' <<<"$out" || fail "doser state: $out"
out=$(poll -r 299 -c 2 -t 4:float -B)
grep -q '^\[299\]:[[:space:]]*50$' <<<"$out" || fail "Gmax: $out"
grep -q '^\[301\]:[[:space:]]*40$' <<<"$out" || fail "Gmax 2: $out"
out=$(poll -r 315 -t 4:int -B)
grep -q '^\[315\]:[[:space:]]*123456$' <<<"$out" || fail "device number: $out"

# Function 6 (one value), then read back.
write 2201 4321 | grep -q 'Written 1 references' || fail "write single"
out=$(poll -r 2201)
grep -q '^\[2201\]:[[:space:]]*4321$' <<<"$out" || fail "dose after write: $out"

# Function 16 (several values), then read back.
write 10 7 8 9 | grep -q 'Written 3 references' || fail "write multiple"
out=$(poll -r 9 -c 5)
for pair in "9 0" "10 7" "11 8" "12 9" "13 0"; do
  set -- $pair
  grep -q "^\[$1\]:[[:space:]]*$2\$" <<<"$out" || fail "register $1 after write: $out"
done

# The doser starts on command and reports it.
write 2202 1 | grep -q 'Written 1 references' || fail "start doser"
out=$(poll -r 2202)
grep -q '^\[2202\]:[[:space:]]*1$' <<<"$out" || fail "doser running: $out"

# A register outside the map is refused with an exception, which mbpoll reports.
out=$(poll -r 5000 2>&1 || true)
grep -qi 'illegal data address' <<<"$out" || fail "missing register: $out"

# Stopping removes the link.
kill -TERM "$pid"
wait "$pid" || fail "fulsim exit status $?"
trap 'rm -f "$log"' EXIT
[ ! -e "$link" ] || fail "link left behind"
# The program's own options: contents from a file, and a fault on the first request.
config=$(mktemp)
cat >"$config" <<'INI'
[registers]
; the case under test
2201 = 0x3039
5000 = u32:70000
INI
"$fulsim" --link "$link" --address 4 --config "$config" --no-answer 1 >"$log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -f "$log" "$config"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { echo "fulsim did not come up with the contents file"; cat "$log"; exit 1; }
poll4() { mbpoll -m rtu -a 4 -b 19200 -P none -0 -1 -o 0.5 "$@" "$link"; }
out=$(poll4 -r 2201 2>&1 || true)
grep -q '^\[2201\]' <<<"$out" && fail "the first request was to go unanswered: $out"
out=$(poll4 -r 2201)
grep -q '^\[2201\]:[[:space:]]*12345$' <<<"$out" || fail "dose from the file: $out"
out=$(poll4 -r 5000 -t 4:int -B)
grep -q '^\[5000\]:[[:space:]]*70000$' <<<"$out" || fail "register added by the file: $out"
kill -TERM "$pid"
wait "$pid" || fail "fulsim exit status $?"

# A broken file stops the program with the line at fault.
printf '[registers]\n2201 = lots\n' >"$config"
if "$fulsim" --config "$config" >"$log" 2>&1; then fail "a bad file was accepted"; fi
grep -q 'line 2: bad register value lots' "$log" || fail "error text: $(cat "$log")"
trap 'rm -f "$log" "$config"' EXIT

echo "mbpoll interoperation: OK"
