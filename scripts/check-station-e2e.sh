#!/usr/bin/env bash
# End to end through the station: the station window (offscreen, driven by qv310-station-e2e)
# starts with a job that programs MCU code and records every board; two qv310-vprog programs plug
# in, one of them failing its CRC check; the window shows a tile for each, "Start all" runs the
# job on both at once, and it must show PASS for one and FAIL (with the operation) for the other;
# then both unplug and the tiles must go. The passing programmer's code flash (its memory dump)
# must hold the image at 0xA000, and the record database one row per board with the tag-less
# runs' exit codes 0 and 1.
#
#   scripts/check-station-e2e.sh --windows [BUILD_DIR]   Windows build under Wine (the default)
#   scripts/check-station-e2e.sh --linux BUILD_DIR       Linux build (e.g. out/test)
#   ... --docs   also saves the window after the run as docs/station.png (Linux) or
#                docs/station-windows.png (Windows), the README's screenshots
#
# The Windows run needs a build made with Qt for Windows that holds qv310-station-e2e.exe and
# qv310-vprog.exe: BUILD_DIR, or $QV_WINDOWS_BUILD, or out/windows-qt (scripts/e2e-programs.sh,
# shared with the window's check). Without one it says SKIPPED and exits 0.
# Exit status: 0 passed or skipped, 1 failed, 2 bad command line.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mode=windows
build=""
docs=0
args=()
for arg in "$@"; do
    if [ "$arg" = --docs ]; then docs=1; else args+=("$arg"); fi
done
case "${args[0]:-}" in
    --linux) mode=linux; build=${args[1]:-} ;;
    --windows) build=${args[1]:-} ;;
    "") ;;
    *) echo "usage: $0 [--windows [BUILD_DIR] | --linux BUILD_DIR] [--docs]" >&2; exit 2 ;;
esac

# shellcheck source=e2e-programs.sh
. "$root/scripts/e2e-programs.sh"
find_e2e_programs "$mode" "$build" qv310-station-e2e

work=$(mktemp -d "${TMPDIR:-/tmp}/qv310-station-e2e.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# An MCU image with an ordinary running address (bytes 4-7), and the job that pins it.
python3 - "$work" <<'EOF'
import hashlib, json, random, sys
rng = random.Random(27)
mcu = bytearray(rng.getrandbits(8) for _ in range(20000))
mcu[4:8] = bytes([0x01, 0x01, 0x00, 0x00])
open(sys.argv[1] + "/mcu.bin", "wb").write(mcu)
step = {"program-mcu": "mcu.bin", "addr": "0xA000", "sha256": hashlib.sha256(mcu).hexdigest()}
open(sys.argv[1] + "/line.json", "w").write(json.dumps({"steps": [step]}))
EOF

echo "==== station end to end ($mode): $driver"
if [ "$mode" = linux ]; then
    export XDG_RUNTIME_DIR="$work/run"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
fi
has() { tr -d '\r' 2>/dev/null <"$1" | grep -qF -- "$2"; }
wait_for() {  # FILE TEXT PID SECONDS
    for _ in $(seq 1 $(($4 * 10))); do
        has "$1" "$2" && return 0
        kill -0 "$3" 2>/dev/null || { has "$1" "$2"; return; }
        sleep 0.1
    done
    return 1
}
report_driver() { tr -d '\r' <"$work/driver.txt" | sed 's/^/  /'; }

: >"$work/driver.txt"
shot_args=()
[ "$docs" = 1 ] && shot_args=(--screenshot station.png)
if [ "$mode" = linux ]; then
    (cd "$work" && QT_QPA_PLATFORM=offscreen exec timeout 400 "$driver" --job line.json --record records.db --programmers 2 "${shot_args[@]}") \
        >"$work/driver.txt" 2>&1 </dev/null &
elif [ "$docs" = 1 ]; then
    # The screenshot as Windows draws the window: the Windows platform plugin, on a virtual display.
    command -v Xvfb >/dev/null || { echo "FAILED: --docs under Wine needs Xvfb" >&2; exit 1; }
    Xvfb -displayfd 3 -screen 0 1400x900x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    pids+=($!)
    disown $!  # stopped at exit without a job notice
    for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$work/display")"
    windows_plugin=$(find "${qt_prefix:-$build}" -name 'qwindows.dll' -path '*platforms*' 2>/dev/null | head -n 1 || true)
    platform_args=(-platform windows)
    [ -n "$windows_plugin" ] && platform_args+=(-platformpluginpath "$(winepath_of "$(dirname "$windows_plugin")")")
    (cd "$work" && exec timeout 400 "$wine" "$driver" "${platform_args[@]}" --job line.json --record records.db --programmers 2 "${shot_args[@]}") \
        >"$work/driver.txt" 2>&1 </dev/null &
else
    offscreen=$(find "$build" "${qt_prefix:-$build}" -name 'qoffscreen.dll' -path '*platforms*' 2>/dev/null | head -n 1 || true)
    platform_args=(-platform offscreen)
    [ -n "$offscreen" ] && platform_args+=(-platformpluginpath "$(winepath_of "$(dirname "$offscreen")")")
    (cd "$work" && exec timeout 400 "$wine" "$driver" "${platform_args[@]}" --job line.json --record records.db --programmers 2 "${shot_args[@]}") \
        >"$work/driver.txt" 2>&1 </dev/null &
fi
driver_pid=$!
pids+=("$driver_pid")
if ! wait_for "$work/driver.txt" "station ready" "$driver_pid" 120; then
    echo "FAILED: the station did not come up"
    report_driver
    exit 1
fi

# Plugged in while the station runs: one good, one whose first CRC check reports a mismatch.
vprog_pids=()
for name in good bad; do
    args=(--name "e2e-$$-$name" --board-id 0x0000000A)
    [ "$name" = bad ] && args=(--name "e2e-$$-$name" --board-id 0x0000000B --fault crc-status-mismatch --fault-at 1)
    : >"$work/$name.txt"
    if [ "$mode" = linux ]; then
        "$vprog" "${args[@]}" --dump-code "$work/$name.code" >"$work/$name.txt" 2>&1 </dev/null &
    else
        "$wine" "$vprog" "${args[@]}" --dump-code "$(winepath_of "$work/$name.code")" >"$work/$name.txt" 2>&1 </dev/null &
    fi
    vprog_pids+=($!)
    pids+=($!)
    wait_for "$work/$name.txt" "Device path: " "$!" 30 || { echo "FAILED: qv310-vprog $name did not plug in"; cat "$work/$name.txt"; exit 1; }
done

wait_for "$work/driver.txt" "unplug the programmers now" "$driver_pid" 400 || true
for pid in "${vprog_pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
vprog_status=0
for pid in "${vprog_pids[@]}"; do wait "$pid" || vprog_status=$?; done
status=0
wait "$driver_pid" || status=$?
report_driver

failures=0
[ "$status" -eq 0 ] || { echo "FAILED: the station's steps (exit status $status)"; failures=$((failures + 1)); }
[ "$vprog_status" -eq 0 ] || { echo "FAILED: a qv310-vprog did not stop cleanly ($vprog_status)"; failures=$((failures + 1)); }
if ! python3 - "$work" "$$" <<'EOF'; then failures=$((failures + 1)); fi
import sqlite3, sys
work, pid = sys.argv[1], sys.argv[2]
driver = open(f"{work}/driver.txt", encoding="utf-8", errors="replace").read().replace("\r", "")
verdicts = {}
for line in driver.splitlines():
    if line.startswith("verdict "):
        word, rest = line[len("verdict "):].split(" ", 1)
        for name in ("good", "bad"):
            if f"e2e-{pid}-{name}" in rest:
                verdicts[name] = (word, rest)
mcu = open(f"{work}/mcu.bin", "rb").read()
try:
    code = open(f"{work}/good.code", "rb").read()
except OSError:
    code = b""
rows = []
try:
    db = sqlite3.connect(f"{work}/records.db")
    rows = db.execute("SELECT device, operation, exit_code, job_sha256 FROM records ORDER BY id").fetchall()
except sqlite3.Error as error:
    print(f"FAILED: records.db: {error}")
checks = [
    ("the good programmer's tile says PASS, titled with its board id",
     verdicts.get("good", ("",))[0] == "PASS" and "board 0x0000000A" in verdicts["good"][1]),
    ("the failing programmer's tile says FAIL with the operation",
     verdicts.get("bad", ("",))[0] == "FAIL" and "exit 1: program-mcu:" in verdicts.get("bad", ("", ""))[1]),
    ("the counters say Passed: 1  Failed: 1", "Passed: 1  Failed: 1" in driver),
    ("the MCU code is at 0xA000 in the good programmer's code flash", code[0xA000:0xA000 + len(mcu)] == mcu),
    ("one record row per board, exit codes 0 and 1, for this job",
     sorted(r[2] for r in rows) == [0, 1] and all(r[1] == "program-mcu" and len(r[3]) == 64 for r in rows)),
]
failed = 0
for what, ok in checks:
    print(("ok: " if ok else "FAILED: ") + what)
    failed += not ok
sys.exit(1 if failed else 0)
EOF

if [ "$docs" = 1 ]; then
    target=$root/docs/station.png
    [ "$mode" = windows ] && target=$root/docs/station-windows.png
    if cp "$work/station.png" "$target" 2>/dev/null; then
        echo "screenshot: ${target#"$root"/}"
    else
        echo "FAILED: no screenshot"
        failures=$((failures + 1))
    fi
fi
if [ "$failures" -ne 0 ]; then
    echo "station end to end ($mode): $failures failure(s)"
    exit 1
fi
echo "station end to end ($mode): passed"
