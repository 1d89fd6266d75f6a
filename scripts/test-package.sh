#!/usr/bin/env bash
# The Debian package end to end, as root: builds it (scripts/package.sh, which runs lintian and
# the desktop and AppStream validators), installs it with apt-get, checks that every program
# starts, that the window comes up under Xvfb from a terminal and from the menu entry, that the
# udev rule, desktop entry, icons and manual pages are in place, then purges it and checks that
# nothing of it is left. The machine ends as it was: the package and anything apt-get brought in
# for it are removed again, even when a check fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The windows must come up on the X display, whatever platform the caller chose for its tests.
unset QT_QPA_PLATFORM

if [ "${1:-}" = --under-xvfb ]; then
    under_xvfb=1
    shift
else
    under_xvfb=0
fi

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
pass() { echo "ok: $*"; }

# ---------------------------------------------------------------------------------------------
# Part two, under Xvfb: the window from a terminal, from the menu entry, and the launcher's bad
# input. Arguments: the scratch folder.
if [ "$under_xvfb" = 1 ]; then
    scratch=$1
    title='^QV310_SWD_ISP_V1\.2C$'
    box_title='^QV310 SWD ISP$'
    pids=()
    trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done' EXIT

    # Waits up to 30 s for a visible window whose name matches $1; prints its id.
    wait_window() { timeout 30 xdotool search --sync --onlyvisible --name "$1" | head -n 1; }
    stop() {
        kill "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
    }

    # From a terminal: the window uses the current directory, as always.
    mkdir -p "$scratch/terminal"
    (cd "$scratch/terminal" && exec qv310-isp) &
    pid=$!
    pids+=("$pid")
    [ -n "$(wait_window "$title")" ] || fail "qv310-isp shows no window titled QV310_SWD_ISP_V1.2C"
    [ "$(readlink "/proc/$pid/cwd")" = "$scratch/terminal" ] || fail "qv310-isp left its current directory"
    stop "$pid"
    pass "qv310-isp from a terminal: window up, working in the current directory"

    # From the menu: the entry's Exec line, started in the home folder with XDG_DATA_HOME unset.
    desktop=$(grep -l '^Exec=qv310-isp-launcher$' /usr/share/applications/*.desktop)
    exec_line=$(sed -n 's/^Exec=//p' "$desktop")
    home=$scratch/home
    mkdir -p "$home"
    (cd "$home" && exec env -u XDG_DATA_HOME HOME="$home" $exec_line) &
    pid=$!
    pids+=("$pid")
    [ -n "$(wait_window "$title")" ] || fail "the menu entry ($exec_line) shows no window"
    folder=$home/.local/share/qv310-isp
    [ "$(readlink "/proc/$pid/cwd")" = "$folder" ] || fail "the menu start does not work in $folder"
    cmp -s "$folder/Flash.ini" /usr/share/qv310-isp/Flash.ini || fail "Flash.ini was not copied into $folder"
    stop "$pid"
    pass "menu entry: window up in $folder, Flash.ini copied from the default"

    # A second start keeps the user's own catalogue.
    echo "0x1C4099,1,1,MINE," >"$folder/Flash.ini"
    (cd "$home" && exec env XDG_DATA_HOME="$home/.local/share" HOME="$home" qv310-isp-launcher) &
    pid=$!
    pids+=("$pid")
    [ -n "$(wait_window "$title")" ] || fail "the second menu start shows no window"
    stop "$pid"
    [ "$(cat "$folder/Flash.ini")" = "0x1C4099,1,1,MINE," ] || fail "a later start replaced the user's Flash.ini"
    pass "menu entry, second start: the user's Flash.ini kept"

    # Bad input: the launcher must say why in a box, not end silently. Read-only and full home
    # folders are real file systems (tmpfs) mounted in a private mount namespace.
    bad_home() { # $1: tmpfs options, $2: fill it up (1/0), $3: expected reason
        local mnt=$scratch/bad-$2 log=$scratch/bad-$2.log
        mkdir -p "$mnt"
        unshare -m bash -c '
            set -e
            mount -t tmpfs -o "$1" tmpfs "$2"
            if [ "$3" = 1 ]; then
                mkdir -p "$2/qv310-isp"
                dd if=/dev/zero of="$2/filler" bs=4k 2>/dev/null || true
            fi
            exec env LC_ALL=C XDG_DATA_HOME="$2" qv310-isp-launcher 2>"$4"
        ' _ "$1" "$mnt" "$2" "$log" &
        local pid=$!
        pids+=("$pid")
        [ -n "$(wait_window "$box_title")" ] || fail "no message box for a home folder with $1"
        [ -z "$(xdotool search --onlyvisible --name "$title" 2>/dev/null)" ] || fail "the window started anyway"
        grep -q "$3" "$log" || fail "the launcher's report does not say '$3': $(cat "$log")"
        # Close the box with its default button; the launcher then ends with status 1.
        xdotool windowfocus --sync "$(wait_window "$box_title")" key Return 2>/dev/null || true
        local status=0
        timeout 10 tail --pid="$pid" -f /dev/null || kill "$pid" 2>/dev/null || true
        wait "$pid" || status=$?
        [ "$status" = 1 ] || fail "the launcher ended with $status, not 1, after the box"
        pass "launcher, home folder with $1: message box ($3), status 1"
    }
    if unshare -m true 2>/dev/null; then
        bad_home ro,size=1m 0 "Read-only file system"
        bad_home size=64k 1 "No space left on device"
    else
        echo "SKIPPED: read-only and full home folders (no mount namespace here)"
    fi

    # Without the shipped Flash.ini the window still starts, and says so once.
    mv /usr/share/qv310-isp/Flash.ini "$scratch/Flash.ini.shipped"
    log=$scratch/nocat.log
    (exec env XDG_DATA_HOME="$scratch/nocat" qv310-isp-launcher 2>"$log") &
    pid=$!
    pids+=("$pid")
    window=$(wait_window "$title")
    mv "$scratch/Flash.ini.shipped" /usr/share/qv310-isp/Flash.ini
    [ -n "$window" ] || fail "without the shipped Flash.ini the window does not start"
    stop "$pid"
    [ "$(grep -c 'Flash.ini' "$log")" = 1 ] || fail "the missing Flash.ini is not reported exactly once: $(cat "$log")"
    [ ! -e "$scratch/nocat/qv310-isp/Flash.ini" ] || fail "a Flash.ini appeared from nowhere"
    pass "launcher without the shipped Flash.ini: window up, reported once"

    # The station: a job of one step (MCU code with an ordinary running address), no programmer.
    station=$scratch/station
    mkdir -p "$station"
    python3 - "$station" <<'EOF2'
import hashlib, json, sys
mcu = bytearray(range(256)) * 20
mcu[4:8] = bytes([0x01, 0xA1, 0x00, 0x00])
open(sys.argv[1] + "/mcu.bin", "wb").write(mcu)
step = {"program-mcu": "mcu.bin", "addr": "0xA000", "sha256": hashlib.sha256(mcu).hexdigest()}
open(sys.argv[1] + "/line.json", "w").write(json.dumps({"steps": [step]}))
EOF2
    digest=$(sha256sum "$station/line.json" | cut -c1-8)
    (cd "$station" && exec qv310-station line.json --record records.db) &
    pid=$!
    pids+=("$pid")
    [ -n "$(wait_window "^QV310 Station - line\.json - $digest\$")" ] ||
        fail "qv310-station shows no window titled QV310 Station - line.json - $digest"
    stop "$pid"
    pass "qv310-station from a terminal: window up, titled with the job and its digest"

    # A job that cannot run: a message box, no station window, the file's exit code.
    echo '{"steps": [' >"$station/bad.json"
    (cd "$station" && exec qv310-station bad.json 2>"$station/bad.log") &
    pid=$!
    pids+=("$pid")
    box=$(wait_window '^QV310 Station$')
    [ -n "$box" ] || fail "no message box for a bad job file"
    grep -q 'bad.json' "$station/bad.log" || fail "the station's report does not name the job file: $(cat "$station/bad.log")"
    xdotool windowfocus --sync "$box" key Return 2>/dev/null || true
    status=0
    timeout 10 tail --pid="$pid" -f /dev/null || kill "$pid" 2>/dev/null || true
    wait "$pid" || status=$?
    [ "$status" = 4 ] || fail "qv310-station ended with $status, not 4, after a bad job file"
    pass "qv310-station with a bad job file: message box, status 4"

    # From its menu entry, without a file: the job is asked for first.
    station_desktop=$(grep -l '^Exec=qv310-station --from-menu %f$' /usr/share/applications/*.desktop)
    station_exec=$(sed -n 's/^Exec=//p' "$station_desktop" | sed 's/ %f$//')
    (cd "$station" && exec $station_exec) &
    pid=$!
    pids+=("$pid")
    [ -n "$(wait_window '^QV310 Station: choose the job file$')" ] ||
        fail "the station's menu entry ($station_desktop) asks for no job file"
    stop "$pid"
    pass "qv310-station from its menu entry: asks for the job file"
    exit 0
fi

# ---------------------------------------------------------------------------------------------
# Part one: build, install, check, purge.
[ "$(id -u)" -eq 0 ] || fail "installs a package: run as root"
bash scripts/install-deps.sh xdotool x11-utils

# dpkg's state of the package: empty when unknown, else installed, config-files, not-installed, ...
package_state() { dpkg-query -W -f='${db:Status-Status}' qv310-isp 2>/dev/null || true; }

if [ -n "$(package_state)" ] && [ "$(package_state)" != not-installed ]; then
    fail "qv310-isp is already installed here; this test would replace it"
fi

deb=$(bash scripts/package.sh)
pass "package built and checked: $deb"

scratch=$(mktemp -d)
chmod 755 "$scratch"
installed_before=$scratch/installed-before
dpkg-query -W -f='${Package}:${Architecture}\n' | sort >"$installed_before"

cleanup() {
    if [ -n "$(package_state)" ] && [ "$(package_state)" != not-installed ]; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq qv310-isp >/dev/null || true
    fi
    # Whatever apt-get brought in for the package goes too.
    local extra
    extra=$(comm -13 "$installed_before" <(dpkg-query -W -f='${Package}:${Architecture}\n' | sort))
    if [ -n "$extra" ]; then
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $extra >/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
[ "$(package_state)" = installed ] || fail "qv310-isp is not installed"
dpkg -L qv310-isp | sort >"$scratch/files"
pass "installed with apt-get"

# Where everything belongs.
expect_file() { [ -f "$1" ] || fail "missing: $1"; }
cmp -s packaging/udev/70-qv310-programmer.rules /usr/lib/udev/rules.d/70-qv310-programmer.rules ||
    fail "the udev rule is not /usr/lib/udev/rules.d/70-qv310-programmer.rules"
cmp -s data/Flash.ini /usr/share/qv310-isp/Flash.ini || fail "the default Flash.ini is not in /usr/share/qv310-isp"
desktop=$(grep -l '^Exec=qv310-isp-launcher$' /usr/share/applications/*.desktop)
app_id=$(basename "$desktop" .desktop)
desktop-file-validate "$desktop"
station_desktop=$(grep -l '^Exec=qv310-station --from-menu %f$' /usr/share/applications/*.desktop) ||
    fail "no desktop entry starts qv310-station --from-menu"
desktop-file-validate "$station_desktop"
# A job file is a JSON file, but not every JSON file is a job: the entry claims no file type.
! grep -q '^MimeType=' "$station_desktop" || fail "the station's desktop entry claims a file type: $(grep '^MimeType=' "$station_desktop")"
grep -qx "Icon=$app_id" "$station_desktop" || fail "the station's desktop entry names another icon"
appstreamcli validate --no-net "/usr/share/metainfo/$app_id.metainfo.xml" >/dev/null
grep -qx "Icon=$app_id" "$desktop" || fail "the desktop entry names another icon"
expect_file "/usr/share/icons/hicolor/scalable/apps/$app_id.svg"
expect_file "/usr/share/icons/hicolor/256x256/apps/$app_id.png"
grep -qx 'Exec=qv310-isp-launcher' "$desktop" || fail "the desktop entry does not start the launcher"
expect_file /usr/share/doc/qv310-isp/copyright
expect_file /usr/share/doc/qv310-isp/changelog.gz
pass "udev rule, default Flash.ini, desktop entry, AppStream file, icons, copyright, changelog in place"

# Every program of the package answers man and, except the window (no options), --help.
programs=$(grep '^/usr/bin/' "$scratch/files" | xargs -n 1 basename)
for program in $programs; do
    page=/usr/share/man/man1/$program.1.gz
    zcat "$page" 2>/dev/null | grep -q '^\.TH' || fail "no manual page for $program"
    grep -qx "$page" "$scratch/files" || fail "$page is not listed in the package"
    [ "$program" = qv310-isp ] && continue
    out=$("$program" --help) || fail "$program --help failed"
    grep -q "Usage" <<<"$out" || fail "$program --help prints no usage"
done
pass "manual pages and --help: $(echo $programs)"

# The windows, under Xvfb.
xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" --under-xvfb "$scratch"

# Remove it; nothing of it may stay.
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq qv310-isp >/dev/null
[ -z "$(package_state)" ] || [ "$(package_state)" = not-installed ] ||
    fail "qv310-isp is still known to dpkg as $(package_state)"
while read -r path; do
    # Shared folders such as /usr/bin stay; the package's own files and folders must go.
    if [ -e "$path" ] && ! [ -d "$path" ]; then
        fail "left after purge: $path"
    fi
done <"$scratch/files"
for folder in /usr/share/qv310-isp /usr/share/doc/qv310-isp; do
    [ ! -e "$folder" ] || fail "left after purge: $folder"
done
comm -13 "$installed_before" <(dpkg-query -W -f='${Package}:${Architecture}\n' | sort) >"$scratch/extra"
[ ! -s "$scratch/extra" ] || echo "apt-get brought in for the package (purged at exit): $(cat "$scratch/extra")"
pass "purged: no file of the package is left"
echo "package test passed"
