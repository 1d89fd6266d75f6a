#!/usr/bin/env bash
# Checks that the Windows code builds: cross-compiles the Qt-free part of the tool (USB core with
# the WinUSB backend and the named-pipe link, protocol core, the virtual programmer
# qv310-vprog.exe, the diagnostic program qv310-diag.exe and the logic test) with MinGW-w64 into
# out/windows, warnings treated as errors. When Wine can run console programs here, it then runs
# the logic test (which drives qv310-vprog.exe over its named pipe) and the diagnostic program,
# also against a running qv310-vprog.exe, as Windows programs.
#
# Installs what it needs when missing (Debian packages; apt-get update first; sudo when not root).
# Exits non-zero when the Windows code does not compile or a test run under Wine fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/out/windows"
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

stage() { printf '\n==== %s ====\n' "$*"; }

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi

updated=0
install_packages() {
    if [ "$updated" = 0 ]; then
        "${sudo[@]}" apt-get update
        updated=1
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}

stage "packages"
required=(cmake make g++-mingw-w64-x86-64 libz-mingw-w64-dev)
missing=()
for package in "${required[@]}"; do is_installed "$package" || missing+=("$package"); done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    install_packages "${missing[@]}"
fi
# Wine only runs the built programs; the build check stands without it.
if ! is_installed wine64; then
    echo "Installing: wine64"
    install_packages wine64 || echo "wine64 could not be installed; the Windows programs will not be run"
fi

stage "cross-compile for Windows (MinGW-w64) into out/windows"
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="-Werror" \
    -DQV_WINDOWS_CORE_ONLY=ON -DQV_BUILD_GUI=OFF -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF
cmake --build "$build" -j"$jobs"

diag="$build/tools/win-diag/qv310-diag.exe"
logic_test="$build/tools/win-diag/qv_core_logic_test.exe"
vprog="$build/vprog/qv310-vprog.exe"
for program in "$diag" "$logic_test" "$vprog"; do
    [ -f "$program" ] || { echo "missing: $program" >&2; exit 1; }
done
echo "built: ${diag#"$root"/} ${logic_test#"$root"/} ${vprog#"$root"/}"

# The hot-plug notifications, the device watcher and the roster of programmers present live in the
# Qt part of usb/, and Qt for Windows is not at hand here. The host's Qt headers are enough for the compiler to check the
# Windows branches of those files.
qt_include=$(ls -d /usr/include/*-linux-gnu/qt5 2>/dev/null | head -n 1 || true)
if [ -n "$qt_include" ] && [ -f "$qt_include/QtCore/QString" ]; then
    stage "syntax check of the Windows branches of usb/DeviceNotifications.cpp, usb/DeviceWatcher.cpp and usb/ProgrammerRoster.cpp"
    compiler=$(sed -n 's/^QV_MINGW_CXX:[A-Z]*=//p' "$build/CMakeCache.txt")
    [ -n "$compiler" ] || { echo "the MinGW-w64 compiler is not named in $build/CMakeCache.txt" >&2; exit 1; }
    # -Wno-attributes: the Linux headers' export markings clash with the Windows DLL import
    # attributes in QObject's headers; that says nothing about the code checked here.
    "$compiler" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$root" -I"$qt_include" \
        -I"$qt_include/QtCore" "$root/usb/DeviceNotifications.cpp"
    "$compiler" -std=c++17 -Wall -Wextra -Werror -Wno-attributes -fsyntax-only -I"$root" -I"$qt_include" \
        -I"$qt_include/QtCore" "$root/usb/DeviceWatcher.cpp"
    "$compiler" -std=c++17 -Wall -Wextra -Werror -Wno-attributes -fsyntax-only -I"$root" -I"$qt_include" \
        -I"$qt_include/QtCore" "$root/usb/ProgrammerRoster.cpp"
    echo "ok"
else
    echo "(the host's Qt 5 headers are missing: the Windows branches of usb/DeviceNotifications.cpp, usb/DeviceWatcher.cpp and usb/ProgrammerRoster.cpp are not checked)"
fi

stage "Windows programs under Wine"
wine=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine="$candidate"; break; fi
done
if [ -z "$wine" ]; then
    echo "SKIPPED: Wine is not installed, so the Windows programs were built but not run."
    exit 0
fi

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
unset DISPLAY
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
stop_wineserver() {
    # Ends only the Wine server of this script's own prefix (and what runs under it).
    if [ -n "$wineserver" ]; then WINEPREFIX="$WINEPREFIX" "$wineserver" -k 2>/dev/null || true; fi
}
trap stop_wineserver EXIT
# The prefix, with no crash debugger (a crash ends the program at once).
cmake -DWINE="$wine" -DPREFIX="$WINEPREFIX" -P "$root/cmake/WinePrefix.cmake" | sed 's/^-- //'

# run_windows OUTPUT_FILE PROGRAM ARGS...: the program's exit status; its output in OUTPUT_FILE.
run_windows() {
    local output=$1
    shift
    local status=0
    timeout 300 "$wine" "$@" >"$output" 2>"$output.stderr" </dev/null || status=$?
    tr -d '\r' <"$output" >"$output.tmp" && mv "$output.tmp" "$output"
    return "$status"
}

out="$build/wine-output"
mkdir -p "$out"
status=0
run_windows "$out/help.txt" "$diag" --help || status=$?
if [ "$status" -ne 0 ] || ! grep -q '^Usage: qv310-diag' "$out/help.txt"; then
    echo "SKIPPED: Wine ($wine) cannot run a Windows console program here (exit status $status)."
    sed 's/^/  /' "$out/help.txt.stderr" | tail -n 20
    exit 0
fi
echo "Wine runs console programs: $("$wine" --version 2>/dev/null || echo "$wine")"

failures=0
expect() {  # expect WHAT CONDITION...
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

echo "-- qv_core_logic_test.exe"
status=0
run_windows "$out/logic-test.txt" "$logic_test" || status=$?
cat "$out/logic-test.txt"
expect "logic test exits 0 (it exited $status)" test "$status" -eq 0
expect "logic test ends with '0 failed'" grep -qE '^[0-9]+ passed, 0 failed$' "$out/logic-test.txt"

echo "-- qv310-diag.exe (no programmer can be attached under Wine)"
status=0
run_windows "$out/diag.txt" "$diag" || status=$?
sed 's/^/  /' "$out/diag.txt"
expect "without a programmer it exits 1 (it exited $status)" test "$status" -eq 1
expect "it reports that no programmer was found" grep -q '^No programmer found' "$out/diag.txt"

status=0
run_windows "$out/diag-bad.txt" "$diag" --timeout 0 || status=$?
expect "a bad argument exits 2 (it exited $status)" test "$status" -eq 2

status=0
run_windows "$out/diag-open.txt" "$diag" --device '\\?\usb#vid_4d51&pid_7c2e#none#{88bae032-5a81-49f0-bc3d-a4ff138216d6}' || status=$?
sed 's/^/  /' "$out/diag-open.txt"
expect "a path that does not open exits 1 (it exited $status)" test "$status" -eq 1
expect "it reports 'Open fail'" grep -q '^Open fail' "$out/diag-open.txt"

echo "-- qv310-diag.exe against qv310-vprog.exe over its named pipe"
vprog_name="check-windows-$$"
vprog_path="virtual:\\\\.\\pipe\\qv310-isp\\$vprog_name"
# Started straight from here, so that SIGINT reaches it (Wine turns it into Ctrl+C).
"$wine" "$vprog" --name "$vprog_name" --dump-code "$(printf 'Z:%s' "$out/vprog-code.bin" | tr / '\\')" \
    >"$out/vprog.txt" 2>&1 </dev/null &
vprog_pid=$!
for _ in $(seq 1 300); do
    grep -q '^Device path:' "$out/vprog.txt" 2>/dev/null && break
    kill -0 "$vprog_pid" 2>/dev/null || break
    sleep 0.1
done
rm -f "$out/vprog-code.bin"
status=0
run_windows "$out/diag-virtual.txt" "$diag" --device "$vprog_path" --timeout 5000 || status=$?
sed 's/^/  /' "$out/diag-virtual.txt"
expect "qv310-diag connects to the virtual programmer (it exited $status)" test "$status" -eq 0
expect "it reports 'Connect the programmer successful'" grep -q '^Connect the programmer successful' "$out/diag-virtual.txt"
expect "the reply names the virtual programmer's board MCU" grep -q 'Board MCU: *0x19710310' "$out/diag-virtual.txt"
kill -INT "$vprog_pid" 2>/dev/null || true
for _ in $(seq 1 100); do
    kill -0 "$vprog_pid" 2>/dev/null || break
    sleep 0.1
done
kill -KILL "$vprog_pid" 2>/dev/null || true  # only when Ctrl+C did not stop it
status=0
wait "$vprog_pid" || status=$?
tr -d '\r' <"$out/vprog.txt" | sed 's/^/  /'
expect "qv310-vprog stops on Ctrl+C (it exited $status)" test "$status" -eq 0
expect "it reports that it unplugged" grep -q 'unplugged\.' "$out/vprog.txt"
expect "it saved its code flash when it stopped (512 KiB)" test "$(stat -c %s "$out/vprog-code.bin" 2>/dev/null || echo 0)" -eq 524288

if [ "$failures" -ne 0 ]; then
    echo "Windows programs under Wine: $failures check(s) failed"
    exit 1
fi
echo "Windows build checked; the Windows programs ran under Wine"
