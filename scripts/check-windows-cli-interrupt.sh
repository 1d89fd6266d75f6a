#!/usr/bin/env bash
# Ctrl-C in the middle of a gang write, with qv310.exe under Wine: Wine turns SIGINT into the
# console's Ctrl-C for the program, as a console window would. Two virtual programmers
# (qv310-vprog.exe) write slowly; qv310.exe is interrupted while both boards are written and must
# stop at once, exit 130, end its JSON events with "end", give each board a record row marked
# "interrupted", write no copy of an image anywhere, and leave the programmers answering the
# next command. (The rest of qv310.exe's tests run as the Windows program qv_cli_tests.exe; a test
# program under Wine has no console to send Ctrl-C through, this script has Unix signals.)
#
#   scripts/check-windows-cli-interrupt.sh [BUILD_DIR]   (default out/windows-qt)
#
# Exit status: 0 passed or skipped (no Windows build, no Wine), 1 failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-$root/out/windows-qt}" 2>/dev/null && pwd || true)

skip() {
    echo "SKIPPED: $*"
    exit 0
}
[ -n "$build" ] || skip "no Windows build folder"
qv310=$(find "$build" -name qv310.exe -type f -not -path '*/stage/*' 2>/dev/null | head -n 1 || true)
vprog=$(find "$build" -name qv310-vprog.exe -type f -not -path '*/stage/*' 2>/dev/null | head -n 1 || true)
[ -n "$qv310" ] && [ -n "$vprog" ] || skip "no qv310.exe and qv310-vprog.exe in $build"
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"
wine_for_build "$build" || skip "Wine (wine64) is not installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/qv310-cli-interrupt.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# The images are read once and handed to the operations as bytes: a run makes no folder in the
# Windows temporary folder (Wine takes it from the prefix, not from TMP), neither while it writes
# nor after.
wine_temp=""
for candidate in "$WINEPREFIX/drive_c/users/$(id -un)/Temp" "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Temp"; do
    [ -d "$candidate" ] && { wine_temp=$candidate; break; }
done
[ -n "$wine_temp" ] || { echo "FAILED: no Temp folder in $WINEPREFIX"; exit 1; }
staging_folders() { (cd "$wine_temp" && ls -d qv310-* 2>/dev/null | sort) || true; }
staging_before=$(staging_folders)

cp "$root/data/Flash.ini" "$work/Flash.ini"
python3 - "$work/mcu.bin" <<'EOF'
import random, sys
rng = random.Random(130)
mcu = bytearray(rng.getrandbits(8) for _ in range(200000))
mcu[4:8] = bytes([0x01, 0xA1, 0x00, 0x00])
open(sys.argv[1], "wb").write(mcu)
EOF

# shellcheck source=check-helpers.sh
. "$root/scripts/check-helpers.sh"

echo "==== qv310.exe under Wine: Ctrl-C in the middle of a gang write"
cd "$work"
devices=()
for n in 1 2; do
    name="int$n-$$"
    # 50 ms per 4096 bytes: the write lasts seconds.
    "$wine" "$vprog" --name "$name" --board-id "0x$n" --flash-program-us 50000 >"$work/vprog$n.txt" 2>&1 </dev/null &
    pids+=($!)
    wait_for "$work/vprog$n.txt" "Device path:" 30 || { echo "FAILED: qv310-vprog.exe did not plug in"; cat "$work/vprog$n.txt"; exit 1; }
    devices+=(-d "virtual:\\\\.\\pipe\\qv310-isp\\$name")
done

"$wine" "$qv310" program-mcu mcu.bin "${devices[@]}" --json --record interrupted.db >run.out 2>run.err </dev/null &
run_pid=$!
if ! python3 - run.out <<'EOF'
import json, sys, time
# Both boards are being written.
for _ in range(600):
    devices = set()
    try:
        for line in open(sys.argv[1]):
            event = json.loads(line) if line.strip().endswith("}") else {}
            if event.get("event") == "progress":
                devices.add(event.get("device"))
    except ValueError:
        pass
    if len(devices) == 2:
        sys.exit(0)
    time.sleep(0.1)
sys.exit(1)
EOF
then
    echo "FAILED: the write did not start on both boards"
    cat run.out run.err
    exit 1
fi
# Looked at while both boards are written.
staged=$(comm -13 <(echo "$staging_before") <(staging_folders) | tr '\n' ' ')
started=$(date +%s%N)
kill -INT "$run_pid"
code=0
wait "$run_pid" || code=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
check "exit code 130 (was $code)" '[ "$code" -eq 130 ]'
check "stopped within 5 s of Ctrl-C (${elapsed_ms} ms)" '[ "$elapsed_ms" -lt 5000 ]'
check "every board's result is interrupted and the last event is end" 'python3 - run.out <<'"'"'EOF'"'"'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
results = [e for e in events if e["event"] == "result"]
ok = events[0]["event"] == "hello" and events[-1]["event"] == "end" and events[-1]["exit_code"] == 130
ok = ok and len(results) == 2 and all(r["exit_code"] == 130 and r["error"] == "interrupted" for r in results)
ok = ok and all(r.get("target_started") is None for r in results)
sys.exit(0 if ok else 1)
EOF'
"$wine" "$qv310" records export interrupted.db --jsonl >rows.jsonl 2>rows.err </dev/null || true
check "a record row per board, marked interrupted" 'python3 - rows.jsonl <<'"'"'EOF'"'"'
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
sys.exit(0 if len(rows) == 2 and all(r["exit_code"] == 130 and r["error"] == "interrupted" for r in rows) else 1)
EOF'
check "no copy of an image was written (while writing: '$staged')" \
    '[ -z "$staged" ] && [ -z "$(comm -13 <(echo "$staging_before") <(staging_folders))" ]'
for n in 0 1; do
    info_code=0
    "$wine" "$qv310" info "${devices[@]:$((n * 2)):2}" >info.out 2>info.err </dev/null || info_code=$?
    check "programmer $((n + 1)) answers the next command" '[ "$info_code" -eq 0 ]'
done
if [ "$failures" -ne 0 ]; then
    echo "---- run.out"; cat run.out; echo "---- run.err"; cat run.err
    exit 1
fi
echo "passed"
