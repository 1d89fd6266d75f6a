# shellcheck shell=bash
# Sourced by the end-to-end checks of the window and the station (check-window-e2e.sh,
# check-station-e2e.sh), with $root set to the source tree:
#   find_e2e_programs MODE BUILD_DIR DRIVER
# sets $build, $vprog and $driver (absolute paths) for DRIVER (qv310-window-e2e or
# qv310-station-e2e) and qv310-vprog. MODE linux: in BUILD_DIR, which must be given and hold both
# (else exit 2 or 1). MODE windows: the first of BUILD_DIR, or $QV_WINDOWS_BUILD, or out/windows-qt,
# out/windows-gui and out/windows-app that holds both .exe files, with Wine set up for it
# (scripts/wine-env.sh); without such a build or without Wine the check says SKIPPED and exits 0.

# skip WHY...: says why the check does not run, and ends it with status 0.
skip() {
    echo "SKIPPED: $*"
    exit 0
}

find_e2e_programs() {
    local mode=$1 given=$2 name=$3 candidate program candidates=()
    if [ "$mode" = linux ]; then
        [ -n "$given" ] || { echo "usage: $0 --linux BUILD_DIR" >&2; exit 2; }
        build=$(cd "$given" && pwd)
        vprog="$build/vprog/qv310-vprog"
        driver="$build/tools/${name#qv310-}/$name"
        for program in "$vprog" "$driver"; do
            [ -x "$program" ] || { echo "missing: $program (build the targets qv310-vprog and $name)" >&2; exit 1; }
        done
        return 0
    fi
    if [ -n "$given" ]; then
        candidates=("$given")
    elif [ -n "${QV_WINDOWS_BUILD:-}" ]; then
        candidates=("$QV_WINDOWS_BUILD")
    else
        candidates=("$root/out/windows-qt" "$root/out/windows-gui" "$root/out/windows-app")
    fi
    vprog=""
    driver=""
    for candidate in "${candidates[@]}"; do
        [ -d "$candidate" ] || continue
        # Absolute, as Wine is handed the programs from the work folder.
        candidate=$(cd "$candidate" && pwd)
        driver=$(find "$candidate" -name "$name.exe" -type f 2>/dev/null | head -n 1 || true)
        vprog=$(find "$candidate" -name qv310-vprog.exe -type f 2>/dev/null | head -n 1 || true)
        if [ -n "$driver" ] && [ -n "$vprog" ]; then
            build=$candidate
            break
        fi
    done
    if [ -z "$driver" ] || [ -z "$vprog" ]; then
        skip "no Windows build with $name.exe and qv310-vprog.exe (looked in: ${candidates[*]})." \
            "It needs Qt for Windows; pass its build folder or set QV_WINDOWS_BUILD."
    fi
    # shellcheck source=wine-env.sh
    . "$root/scripts/wine-env.sh"
    wine_for_build "$build" || skip "Wine (wine64) is not installed"
}
