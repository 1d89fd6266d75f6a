#!/usr/bin/env bash
# Uses the Windows zip as a person would: unpacks out/qv310-isp-windows-x64.zip into a fresh folder,
# starts qv310-isp.exe from it under Wine on a virtual X display (Xvfb) with the Windows platform
# plugin of the zip (no QT_* variable, no DLL from elsewhere), in a Simplified Chinese locale (ANSI
# code page 936) with a config.ini whose paths hold Chinese folder names, checks that the window
# shows them, takes a screenshot, closes the window as its title bar's close button does
# (WM_CLOSE) and checks the config.ini it wrote at exit (CR LF, the paths in code page 936). Then
# it starts the window again with Windows' display scaling at 150 % (144 DPI): the window must be
# half as large again (1440 x 990 for 960 x 660) and is photographed too. The operators' station
# (qv310-station.exe with a job) is started at 100 % and 150 % the same way and must grow alike.
# Last, the window's DPI test runs on the Windows platform with the zip's DLLs at 96 and 144 DPI:
# every text fits.
#
#   bash scripts/check-windows-zip.sh          # screenshots in out/windows-zip/*-windows*.png
#   bash scripts/check-windows-zip.sh --docs   # also copies the window's to docs/
#
# Run scripts/build-windows.sh first. Installs Xvfb and the X tools it needs when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

docs=0
for arg in "$@"; do
    case "$arg" in
        --docs) docs=1 ;;
        *) echo "unknown argument: $arg" >&2; exit 2 ;;
    esac
done

zip_path="$root/out/qv310-isp-windows-x64.zip"
work="$root/out/windows-zip"
build="${QV_WINDOWS_BUILD_DIR:-$root/out/windows-qt}"
[ -f "$zip_path" ] || { echo "no $zip_path: run scripts/build-windows.sh first" >&2; exit 1; }

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
missing=()
for package in xvfb xauth x11-utils x11-apps netpbm wine64 fonts-wqy-microhei fonts-wine fonts-liberation2 unzip; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The window runs in zh_CN.UTF-8; Wine needs that locale generated for non-ASCII file names.
bash "$root/scripts/ensure-locales.sh"

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$build/wine-prefix-display"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8  # Wine's ANSI code page follows it: 936
unset WINEPATH
title="QV310_SWD_ISP_V1.2C"

xvfb_pid=""
wine_pid=""
cleanup() {
    # Only what this script started: the prefix's Wine server and this Xvfb.
    "$wineserver" -k 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# The prefix, once: wineboot, and Wine's Tahoma in its Fonts folder.
cmake -DWINE="$wine" -DPREFIX="$WINEPREFIX" -P "$root/cmake/WinePrefix.cmake" | sed 's/^-- //'
# The window asks for "微软雅黑" (Microsoft YaHei), which a Chinese Windows has; here WenQuanYi Micro
# Hei stands in for it. Its panels ask for Arial, which every Windows has and Wine has not; Liberation
# Sans, with Arial's widths, stands in for it.
"$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "微软雅黑" /t REG_SZ /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ /d "Liberation Sans" /f >/dev/null 2>&1
"$wineserver" -w

rm -rf "$work"
mkdir -p "$work"
unzip -q "$zip_path" -d "$work"
app_dir="$work/qv310-isp-windows-x64"
[ -f "$app_dir/qv310-isp.exe" ] || { echo "qv310-isp.exe is not in the zip" >&2; exit 1; }

# config.ini as a Chinese Windows keeps it: code page 936 (GBK), CR LF.
mcu_path='D:\固件\QV310_app.bin'
ui_path='D:\界面资源\ui_v1.2.bin'
boot_path='D:\固件\boot.bin'
printf 'UPBOOT:0\nNFLASH:0\n%s\n%s\n%s\nWAITT:0\nPWROFF:1\n' "$mcu_path" "$ui_path" "$boot_path" \
    | sed 's/$/\r/' | iconv -f UTF-8 -t GBK >"$app_dir/config.ini"
cp "$app_dir/config.ini" "$work/config-before.ini"

display_file="$work/display"
# Room for the window and the station at 150 %.
Xvfb -displayfd 3 -screen 0 1800x1100x24 -nolisten tcp 3>"$display_file" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(cat "$display_file")"

failures=0
expect() {  # expect WHAT CONDITION...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# show_window PROGRAM TITLE DPI SHOT [ARGUMENT...]: sets Windows' display DPI (LogPixels: 96 is
# 100 %, 144 is 150 %), starts PROGRAM from the unpacked zip, waits for its window named TITLE, sets
# width, height and shot (the screenshot of the window), closes it with WM_CLOSE and sets status to
# the program's exit code.
show_window() {
    local program=$1 window_title=$2 dpi=$3
    shot="$work/$4"
    shift 4
    "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    "$wineserver" -w  # the next program starts a Wine that reads the new DPI

    local log="$work/${program%.exe}-$dpi.log"
    echo "starting $program from the unpacked zip under Wine on Xvfb $DISPLAY at $dpi DPI"
    (cd "$app_dir" && exec "$wine" "$program" "$@" >"$log" 2>&1) &
    wine_pid=$!

    local window_id=""
    for _ in $(seq 120); do
        window_id=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$window_title\"" | awk '{print $1}' | head -n 1 || true)
        [ -n "$window_id" ] && break
        if ! kill -0 "$wine_pid" 2>/dev/null; then break; fi
        sleep 0.5
    done
    if [ -z "$window_id" ]; then
        echo "FAILED: the window of $program did not show" >&2
        sed 's/^/  /' "$log" >&2
        exit 1
    fi
    sleep 3  # let it draw
    local info x y
    info=$(xwininfo -id "$window_id")
    x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")
    y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$info")
    width=$(sed -n 's/.*Width: *//p' <<<"$info")
    height=$(sed -n 's/.*Height: *//p' <<<"$info")
    echo "window $window_id at $dpi DPI: ${width}x$height at $x,$y"
    xwd -root -silent | xwdtopnm 2>/dev/null | pnmcut "$x" "$y" "$width" "$height" | pnmtopng >"$shot"
    echo "screenshot: ${shot#"$root"/} ($(du -h "$shot" | cut -f1))"

    echo "closing the window (WM_CLOSE)"
    "$wine" taskkill /im "$program" >/dev/null 2>&1 || true
    for _ in $(seq 60); do kill -0 "$wine_pid" 2>/dev/null || break; sleep 0.5; done
    if kill -0 "$wine_pid" 2>/dev/null; then
        echo "FAILED: the window of $program did not close" >&2
        exit 1
    fi
    status=0
    wait "$wine_pid" || status=$?
    wine_pid=""
}

show_window qv310-isp.exe "$title" 96 window-windows.png
expect "the window program exits 0 (it exited $status)" test "$status" -eq 0
expect "at 100 % the window is 960 x 660 (it is ${width}x$height)" test "${width}x$height" = 960x660
expected_after="$work/config-expected.ini"
printf 'UPBOOT:0\nNFLASH:0\n%s\n%s\n%s\nWAITT:0\nPWROFF:1\n' "$mcu_path" "$ui_path" "$boot_path" \
    | sed 's/$/\r/' | iconv -f UTF-8 -t GBK >"$expected_after"
expect "config.ini is written at exit with CR LF and the paths in code page 936" cmp -s "$expected_after" "$app_dir/config.ini"
expect "no temporary file is left beside it" test -z "$(ls "$app_dir" | grep '\.tmp$' || true)"
expect "the screenshot is a PNG of the window" test "$(head -c 4 "$shot" | tail -c 3)" = PNG

# Windows' display scaling at 150 %: the same window, half as large again in pixels.
show_window qv310-isp.exe "$title" 144 window-windows-150.png
expect "the window program exits 0 at 150 % (it exited $status)" test "$status" -eq 0
expect "at 150 % the window is 1440 x 990 (it is ${width}x$height)" test "${width}x$height" = 1440x990

# The operators' station with a job beside it: at 150 % half as large again as at 100 %.
printf 'QV310 MCU code stand-in' >"$app_dir/station-mcu.bin"
mcu_digest=$(sha256sum "$app_dir/station-mcu.bin" | cut -d' ' -f1)
printf '{"steps": [{"program-mcu": "station-mcu.bin", "addr": "0xA000", "sha256": "%s"}]}\n' "$mcu_digest" \
    >"$app_dir/station-job.json"
station_title="QV310 Station - station-job.json - $(sha256sum "$app_dir/station-job.json" | cut -c1-8)"
show_window qv310-station.exe "$station_title" 96 station-windows.png station-job.json
expect "the station exits 0 (it exited $status)" test "$status" -eq 0
station_size="${width}x$height"
station_expected="$((width * 3 / 2))x$((height * 3 / 2))"
show_window qv310-station.exe "$station_title" 144 station-windows-150.png station-job.json
expect "the station exits 0 at 150 % (it exited $status)" test "$status" -eq 0
expect "at 150 % the station is half as large again as its $station_size at 100 % ($station_expected; it is ${width}x$height)" \
    test "${width}x$height" = "$station_expected"

# Every label, button and check box measured against its room, on the Windows platform at 100 %
# and 150 %: the test program of the window (tests/app/WindowDpiTest.cpp) beside the zip's DLLs.
walk="$build/tests/app/qv_app_window_dpi_tests.exe"
if [ -f "$walk" ]; then
    cp "$walk" "$app_dir/"
    for dpi in 96 144; do
        "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
        "$wineserver" -w
        walk_status=0
        (cd "$app_dir" && exec "$wine" qv_app_window_dpi_tests.exe -platform windows --display-dpi="$dpi" \
            --gtest_brief=1 >"$work/walk-$dpi.log" 2>&1) || walk_status=$?
        [ "$walk_status" -eq 0 ] || sed 's/^/  /' "$work/walk-$dpi.log"
        expect "at $dpi DPI every text of the window fits its widget (Windows platform)" test "$walk_status" -eq 0
    done
    rm -f "$app_dir/qv_app_window_dpi_tests.exe"
else
    expect "the window's DPI test program is built ($walk)" false
fi

if [ "$docs" = 1 ]; then
    cp "$work/window-windows.png" "$work/window-windows-150.png" "$root/docs/"
    echo "copied to docs/window-windows.png and docs/window-windows-150.png"
fi
if [ "$failures" -ne 0 ]; then
    echo "the Windows zip: $failures check(s) failed"
    exit 1
fi
echo "the Windows zip unpacks, starts, shows the window and the station at 100 % and 150 % and writes config.ini"
