#!/usr/bin/env bash
# The Windows build at rest: brivane.exe serving the panel over Alpaca on COM5 of the Wine prefix
# (linked by the caller to a simulated inverter), switched on and set to a few levels, then left
# alone; its processor time over 10 s of idle, read from /proc for the Wine process.
# Prints one line "idle: ... N.NN % of a core ... Passed|***Failed"; exits 1 above the limit.
# Usage: tests/win/idle_cpu.sh BRIVANE.EXE   (WINEPREFIX set, COM5 linked, under the test display)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
exe="$1"
limit_percent=1
seconds=10

work="$(mktemp -d)"
trap 'kill "$wine_pid" 2>/dev/null; rm -rf "$work"' EXIT
cp "$exe" "$work/brivane.exe"
printf '5\r\n' >"$work/com_no.txt"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
"$root/scripts/wine-run" "$work/brivane.exe" --no-window --alpaca "127.0.0.1:$port" --alpaca-discovery 0 \
    >"$work/out.txt" 2>&1 &
wine_pid=$!
api="http://127.0.0.1:$port/api/v1/covercalibrator/0"
put() { curl -s -m 10 -X PUT --data "$2&ClientID=1&ClientTransactionID=1" "$api/$1" >/dev/null; }
# Until GET $1 answers with $2 in it (the answer in $state), PUT $3 (member and data) again
# every 10 s: for up to two minutes, as Wine starts the program slowly on a loaded machine.
state=""
await() {
    local start=$SECONDS
    until state="$(curl -s -m 10 "$api/$1")" && echo "$state" | grep -q "$2"; do
        [ "$((SECONDS - start))" -lt 120 ] || return 1
        sleep 0.5
        [ -z "${3:-}" ] || [ "$(((SECONDS - start) % 10))" -ne 0 ] || put $3
    done
}
fail() {
    echo "idle: $1 (last answer: ${state:-none}; program: $(tr -d '\r' <"$work/out.txt" | tail -3 | tr '\n' ' ')) ... ***Failed"
    exit 1
}
put connected Connected=true
await connected '"Value":true' "connected Connected=true" || fail "not connected"
for level in 20 30 43; do
    put calibratoron "Brightness=$level"
    await calibratorstate '"Value":3' || fail "not Ready at level $level"
done
sleep 2 # the last reply in, the line at rest

# The Wine process of the program: wine-run execs into it; its command line names the copy.
pid=""
for p in "$wine_pid" $(pgrep -f "brivane.exe --no-window --alpaca 127.0.0.1:$port"); do
    grep -qa "brivane.exe" "/proc/$p/cmdline" 2>/dev/null && pid="$p" && break
done
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
if [ -z "$pid" ] || [ ! -r "/proc/$pid/stat" ]; then
    echo "idle: brivane.exe did not start ($(tr -d '\r' <"$work/out.txt" | tail -2)) ... ***Failed"
    exit 1
fi
before="$(ticks)"
sleep "$seconds"
after="$(ticks)"
hz="$(getconf CLK_TCK)"
percent="$(awk -v t="$((after - before))" -v hz="$hz" -v s="$seconds" 'BEGIN{printf "%.2f", 100 * t / hz / s}')"
text="idle: brivane.exe on COM5 after ON ($(echo "$state" | grep -o '"Value":[0-9]*' || echo no state)), ${percent} % of a core over ${seconds} s"
if awk -v p="$percent" -v l="$limit_percent" 'BEGIN{exit !(p < l)}' && echo "$state" | grep -q '"Value":3'; then
    echo "$text ... Passed"
else
    echo "$text (limit ${limit_percent} %) ... ***Failed"
    exit 1
fi
