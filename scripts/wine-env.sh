# Sourced by the scripts that run a Windows build's programs under Wine (e2e-programs.sh for
# check-window-e2e.sh and check-station-e2e.sh, and check-windows-cli-interrupt.sh):
#   wine_for_build BUILD_DIR
# finds wine64 (false when it is not installed), sets $wine and $qt_prefix (the build's Qt, from
# its CMakeCache.txt; empty when none), and exports what the programs need: WINEPATH (the Qt and
# MinGW-w64 runtime DLL folders, unless already set), WINEPREFIX (the build's own prefix, unless
# set), quiet Wine, no Mono or Gecko prompts, no display. winepath_of PATH gives the Windows name
# of a Linux path (Z: is the Linux root in every prefix).

winepath_of() { printf 'Z:%s' "$1" | tr / '\\'; }

wine_for_build() {
    local build=$1 candidate qt_dir dir parts=()
    wine=""
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine="$candidate"; break; fi
    done
    [ -n "$wine" ] || return 1
    qt_dir=$(sed -n 's/^Qt5_DIR:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
    qt_prefix=""
    [ -n "$qt_dir" ] && qt_prefix=$(cd "$qt_dir/../../.." 2>/dev/null && pwd || true)
    if [ -z "${WINEPATH:-}" ]; then
        [ -n "$qt_prefix" ] && parts+=("$(winepath_of "$qt_prefix/bin")")
        for dir in /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib; do
            [ -d "$dir" ] && parts+=("$(winepath_of "$dir")")
        done
        WINEPATH=$(IFS=';'; echo "${parts[*]}")
        export WINEPATH
    fi
    export WINEPREFIX="${WINEPREFIX:-$build/wine-prefix}"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
}
