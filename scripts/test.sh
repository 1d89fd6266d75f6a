#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test through ctest:
#   1. the plain debug build, every test;
#   2. the same under AddressSanitizer and UndefinedBehaviorSanitizer, every test;
#   3. ThreadSanitizer over the tests that cross threads (worker hand-over, transactions, hot-plug);
#   4. a bounded fuzz run of every parser (libFuzzer, ASan, UBSan);
#   5. Windows: the Qt-free core with MinGW-w64 and its checks under Wine; Qt for Windows from the
#      cache (~/.cache/qv310-isp) or built; the whole tool and the zip; the Windows tests and the
#      window end to end against qv310-vprog.exe under Wine; the zip unpacked and started under
#      Wine on Xvfb;
#   6. the Debian package: built, checked (lintian, desktop and AppStream validators), installed,
#      every program started, purged again (scripts/test-package.sh; needs root or sudo).
# QV_TEST_QUICK=1 runs only the first stage.
#
# The libraries for Windows (Qt, SQLite, OpenSSL, libpq), when not in the cache, are built in the
# background from the start at idle priority: they take only the processor time the Linux stages leave unused
# (their tests wait on virtual programmers much of the time), and the Windows stage waits for them.
# Every stage's time is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

started=$(date +%s)
stage_names=()
stage_starts=()
stage() {
    printf '\n==== %s ====\n' "$*"
    stage_names+=("$*")
    stage_starts+=("$(date +%s)")
}
stage_times() {
    local i end now
    now=$(date +%s)
    echo
    echo "Stage times (s):"
    for i in "${!stage_names[@]}"; do
        end=${stage_starts[$((i + 1))]:-$now}
        printf '  %5d  %s\n' "$((end - stage_starts[i]))" "${stage_names[i]}"
    done
    printf '  %5d  in all\n' "$((now - started))"
}

stage "packages"
bash scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

libs_pid=""
stop_background() {
    if [ -n "$libs_pid" ]; then kill -- "-$libs_pid" 2>/dev/null || true; fi
}
trap stop_background EXIT
if [ "${QV_TEST_QUICK:-0}" != 1 ]; then
    # Every package of every stage now, so that nothing running in the background meets the
    # package lock.
    bash scripts/install-deps.sh dpkg-dev help2man lintian desktop-file-utils appstream xdotool x11-utils
    bash scripts/build-windows.sh --deps-only
    mkdir -p out
    setsid chrt --idle 0 bash scripts/build-windows.sh --libs-only >out/windows-libs.log 2>&1 </dev/null &
    libs_pid=$!
    echo "Libraries for Windows: building or taken from the cache in the background (out/windows-libs.log)"
fi

stage "debug build and tests"
cmake -S . -B out/test -DCMAKE_BUILD_TYPE=Debug
cmake --build out/test -j"$jobs"
ctest --test-dir out/test --output-on-failure -j"$jobs"

if [ "${QV_TEST_QUICK:-0}" = 1 ]; then stage_times; exit 0; fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B out/asan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=address,undefined -DQV_BUILD_BENCH=OFF
cmake --build out/asan -j"$jobs"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1" \
LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir out/asan --output-on-failure -j"$jobs"

stage "ThreadSanitizer: worker hand-over, transactions, hot-plug, console sessions, rounds, the station"
threaded_tests=(tests/usb/qv_usb_tests tests/protocol/qv_protocol_link tests/protocol/qv_protocol_firmware tests/targetcode/qv_target_tests tests/app/qv_app_window_tests tests/cli/qv_cli_tests tests/station/qv_station_tests tests/engine/qv_engine_tests)
cmake -S . -B out/tsan -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=thread -DQV_BUILD_BENCH=OFF
cmake --build out/tsan -j"$jobs" --target $(for t in "${threaded_tests[@]}"; do basename "$t"; done)
for t in "${threaded_tests[@]}"; do
    filter='*'
    [ "$(basename "$t")" = qv_app_window_tests ] && filter='Hotplug*'
    TSAN_OPTIONS="suppressions=$root/tests/sanitizers/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
        "out/tsan/$t" --gtest_filter="$filter" --gtest_brief=1
done
# The libusb backend against an emulated USB programmer runs under umockdev's preload library.
cmake --build out/tsan -j"$jobs" --target qv_libusb_tests
preload=$(find /usr/lib -name 'libumockdev-preload.so.0' | head -n 1)
TSAN_OPTIONS="suppressions=$root/tests/libusb/tsan.supp:halt_on_error=1" \
    env LD_PRELOAD="$preload" out/tsan/tests/libusb/qv_libusb_tests --gtest_brief=1

stage "fuzz smoke run: every reader of outside bytes, a bounded number of inputs each"
bash fuzz/run-smoke.sh 20000

stage "Windows build of the device and protocol core (MinGW-w64), its tests under Wine"
bash scripts/check-windows-build.sh

stage "Windows: the libraries built in the background (Qt, SQLite, OpenSSL, libpq)"
if ! wait "$libs_pid"; then
    libs_pid=""
    tail -n 60 out/windows-libs.log
    echo "FAILED: the libraries for Windows (out/windows-libs.log)"
    exit 1
fi
libs_pid=""
grep -E "^(configure|amalgamation):|from the cache" out/windows-libs.log || true

stage "Windows: the whole tool and the zip"
bash scripts/build-windows.sh

stage "Windows: the tests and the window end to end against qv310-vprog.exe, under Wine"
ctest --test-dir out/windows-qt --output-on-failure -j"$jobs"

stage "Windows: the zip unpacked and started under Wine on Xvfb"
bash scripts/check-windows-zip.sh

stage "Debian package: build, lintian and validators, install, start, purge"
if [ "$(id -u)" -eq 0 ]; then
    bash scripts/test-package.sh
else
    sudo bash scripts/test-package.sh
fi

stage_times
echo "all stages passed"
