#!/usr/bin/env bash
# End to end through the window: the window program (offscreen, driven by qv310-window-e2e)
# starts, qv310-vprog plugs in, and the window notices it, opens it, programs MCU code and
# verifies it, writes a UI image and checks it; then the virtual programmer unplugs (the window
# must notice that too), saves its memories, and they are compared byte for byte with the files:
# the MCU code at 0xA000, the UI image at the start of the SPI flash, and 0xFF everywhere the
# tool was not asked to write (outside the 4 KiB blocks of the images and the boot index page).
#
#   scripts/check-window-e2e.sh --windows [BUILD_DIR]   Windows build under Wine (the default)
#   scripts/check-window-e2e.sh --linux BUILD_DIR       Linux build (e.g. out/test)
#
# The Windows run needs a build made with Qt for Windows that holds qv310-window-e2e.exe and
# qv310-vprog.exe: BUILD_DIR, or $QV_WINDOWS_BUILD, or the first of out/windows-qt, out/windows-gui
# and out/windows-app that has them. Without one it says SKIPPED and exits 0. WINEPATH, when set,
# is used as it is (the folders of the Qt and MinGW runtime DLLs); otherwise it is put together
# from the build's Qt and the MinGW-w64 compiler's folders.
# Exit status: 0 passed or skipped, 1 failed, 2 bad command line.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mode=windows
build=""
case "${1:-}" in
    --linux) mode=linux; build=${2:-} ;;
    --windows) build=${2:-} ;;
    "") ;;
    *) echo "usage: $0 [--windows [BUILD_DIR] | --linux BUILD_DIR]" >&2; exit 2 ;;
esac

# shellcheck source=e2e-programs.sh
. "$root/scripts/e2e-programs.sh"
find_e2e_programs "$mode" "$build" qv310-window-e2e

work=$(mktemp -d "${TMPDIR:-/tmp}/qv310-window-e2e.XXXXXX")
vprog_pid=""
driver_pid=""
cleanup() {
    if [ -n "$vprog_pid" ]; then kill -KILL "$vprog_pid" 2>/dev/null || true; fi
    if [ -n "$driver_pid" ]; then kill -KILL "$driver_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

cp "$root/data/Flash.ini" "$work/Flash.ini"
# An MCU image that is not a multiple of the 4 KiB block, with an ordinary running address
# (bytes 4-7), and a UI image without a header, so that it is written as it is.
python3 - "$work" <<'EOF'
import random, sys
rng = random.Random(310)
mcu = bytearray(rng.getrandbits(8) for _ in range(20000))
mcu[4:8] = bytes([0x01, 0x01, 0x00, 0x00])
ui = bytes(rng.getrandbits(8) for _ in range(100000))
open(sys.argv[1] + "/mcu.bin", "wb").write(mcu)
open(sys.argv[1] + "/ui.bin", "wb").write(ui)
EOF

echo "==== window end to end ($mode): $driver"
name="e2e-$$"
if [ "$mode" = linux ]; then
    export XDG_RUNTIME_DIR="$work/run"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
    device="virtual:$XDG_RUNTIME_DIR/qv310-isp/$name.sock"
else
    device="virtual:\\\\.\\pipe\\qv310-isp\\$name"
fi
: >"$work/vprog.txt"
: >"$work/driver.txt"

# has FILE TEXT: the file (CR LF or LF) has a line starting with TEXT.
has() { tr -d '\r' <"$1" 2>/dev/null | grep -qF -- "$2"; }
# wait_for FILE TEXT PID SECONDS: until the line is there, the process has ended or time is up.
wait_for() {
    local tenths=$(($4 * 10))
    for _ in $(seq 1 "$tenths"); do
        has "$1" "$2" && return 0
        kill -0 "$3" 2>/dev/null || { has "$1" "$2"; return; }
        sleep 0.1
    done
    return 1
}

# The window first: the programmer is plugged in while it runs, and unplugged at the end, so the
# window's hot-plug (a directory watch on Linux, the pipe poll on Windows) is part of the run.
if [ "$mode" = linux ]; then
    (cd "$work" && QT_QPA_PLATFORM=offscreen exec timeout 300 "$driver" --device "$device" --mcu mcu.bin --ui ui.bin) \
        >"$work/driver.txt" 2>&1 </dev/null &
else
    # Qt for Windows sees none of the QT_* variables here: the platform goes on the command line.
    offscreen=$(find "$build" "${qt_prefix:-$build}" -name 'qoffscreen.dll' -path '*platforms*' 2>/dev/null | head -n 1 || true)
    plugins=$(dirname "${offscreen:-.}")
    platform_args=(-platform offscreen)
    [ "$plugins" != "." ] && platform_args+=(-platformpluginpath "$(winepath_of "$plugins")")
    (cd "$work" && exec timeout 300 "$wine" "$driver" "${platform_args[@]}" --device "$device" --mcu mcu.bin --ui ui.bin) \
        >"$work/driver.txt" 2>&1 </dev/null &
fi
driver_pid=$!
report_driver() { tr -d '\r' <"$work/driver.txt" | sed 's/^/  /'; }
if ! wait_for "$work/driver.txt" "window ready" "$driver_pid" 120; then
    echo "FAILED: the window did not come up"
    report_driver
    exit 1
fi

if [ "$mode" = linux ]; then
    "$vprog" --name "$name" --dump-code "$work/code.bin" --dump-spi "$work/spi.bin" >"$work/vprog.txt" 2>&1 </dev/null &
else
    "$wine" "$vprog" --name "$name" --dump-code "$(winepath_of "$work/code.bin")" \
        --dump-spi "$(winepath_of "$work/spi.bin")" >"$work/vprog.txt" 2>&1 </dev/null &
fi
vprog_pid=$!
if ! wait_for "$work/vprog.txt" "Device path: $device" "$vprog_pid" 30; then
    echo "FAILED: qv310-vprog did not plug in as $device:"
    cat "$work/vprog.txt"
fi
echo "virtual programmer: $device"

# The window works, then asks for the unplug.
wait_for "$work/driver.txt" "unplug the programmer now" "$driver_pid" 300 || true
kill -INT "$vprog_pid" 2>/dev/null || true
for _ in $(seq 1 100); do
    kill -0 "$vprog_pid" 2>/dev/null || break
    sleep 0.1
done
vprog_status=0
wait "$vprog_pid" || vprog_status=$?
vprog_pid=""
status=0
wait "$driver_pid" || status=$?
report_driver

failures=0
driver_pid=""
[ "$status" -eq 0 ] || { echo "FAILED: the window's steps (exit status $status)"; failures=$((failures + 1)); }
[ "$vprog_status" -eq 0 ] || { echo "FAILED: qv310-vprog did not stop cleanly (exit status $vprog_status)"; failures=$((failures + 1)); }
if ! python3 - "$work" <<'EOF'; then failures=$((failures + 1)); fi
import sys
work = sys.argv[1]
def read(name):
    try:
        return open(f"{work}/{name}", "rb").read()
    except OSError as error:
        print(f"FAILED: {error}")
        sys.exit(1)
mcu, ui, code, spi = read("mcu.bin"), read("ui.bin"), read("code.bin"), read("spi.bin")
def block_end(end):
    return (end + 4095) // 4096 * 4096
def erased(chunk):
    return chunk.count(0xFF) == len(chunk)
def erased_outside(memory, spans):
    position = 0
    for start, end in sorted(spans):
        if not erased(memory[position:start]):
            return False
        position = max(position, end)
    return erased(memory[position:])
checks = [
    ("the MCU code is at 0xA000 in the code flash", code[0xA000:0xA000 + len(mcu)] == mcu),
    ("the UI image is at the start of the SPI flash", spi[:len(ui)] == ui),
    ("the code flash is untouched outside the image's blocks and the boot index page",
     erased_outside(code, [(0xA000, block_end(0xA000 + len(mcu))), (0x7E000, 0x7F000)])),
    ("the SPI flash is untouched after the UI image's blocks", erased_outside(spi, [(0, block_end(len(ui)))])),
]
failed = 0
for what, ok in checks:
    print(("ok: " if ok else "FAILED: ") + what + " (memory dump of qv310-vprog)")
    failed += not ok
sys.exit(1 if failed else 0)
EOF

if [ "$failures" -ne 0 ]; then
    echo "window end to end ($mode): $failures failure(s)"
    exit 1
fi
echo "window end to end ($mode): passed"
