#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts it. When no real programmer is attached,
# a virtual programmer named VIRTUAL-PROGRAMMER is started beside it, so every button can be tried.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

cmake -S . -B out/release -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF
cmake --build out/release -j"$(nproc)"

# Access to a real programmer without root.
rule=packaging/udev/70-qv310-programmer.rules
if [ -f "$rule" ] && [ -d /etc/udev/rules.d ] && [ "$(id -u)" -eq 0 ]; then
    if ! cmp -s "$rule" /etc/udev/rules.d/70-qv310-programmer.rules; then
        cp "$rule" /etc/udev/rules.d/
        udevadm control --reload-rules 2>/dev/null || true
        udevadm trigger 2>/dev/null || true
    fi
fi

# The tool reads config.ini and Flash.ini from its current directory.
workdir=${QV310_WORKDIR:-$HOME/qv310-isp}
mkdir -p "$workdir"
[ -f "$workdir/Flash.ini" ] || cp data/Flash.ini "$workdir/"

real_programmer_attached() {
    local dev
    for dev in /sys/bus/usb/devices/*; do
        if [ "$(cat "$dev/idVendor" 2>/dev/null)" = "4d51" ] && [ "$(cat "$dev/idProduct" 2>/dev/null)" = "7c2e" ]; then
            return 0
        fi
    done
    return 1
}

vprog_pid=""
cleanup() { [ -z "$vprog_pid" ] || kill "$vprog_pid" 2>/dev/null || true; }
trap cleanup EXIT
if ! real_programmer_attached; then
    echo "No programmer attached: starting a VIRTUAL programmer (VIRTUAL-PROGRAMMER)."
    "$root/out/release/vprog/qv310-vprog" --name VIRTUAL-PROGRAMMER &
    vprog_pid=$!
fi

cd "$workdir"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: running the window under Xvfb."
    xvfb-run -a "$root/out/release/app/qv310-isp"
else
    "$root/out/release/app/qv310-isp"
fi
