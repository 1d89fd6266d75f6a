#!/usr/bin/env bash
# Builds the whole tool for 64-bit Windows on a Debian 12 machine and stages the zip a user unpacks
# and runs:
#   1. Qt 5.15.8 (qtbase) cross-compiled for x86_64-w64-mingw32 from Debian's source package, once,
#      into a cache outside the work tree (~/.cache/qv310-isp/, or $QV_CACHE_DIR), keyed by the Qt
#      version, the configure line and the compiler; reused when present. ~16 minutes on 2 cores.
#      SQLite (for qv310 --record) the same way: the amalgamation made from Debian's sqlite3 source
#      package and compiled into a static library for MinGW-w64, once (about a minute).
#   2. the window program (qv310-isp.exe), the station (qv310-station.exe), the command line
#      (qv310.exe), the virtual programmer
#      (qv310-vprog.exe), qv310-diag.exe, qv310-mkdiff.exe and the tests that can run on Windows,
#      with cmake/toolchain-mingw-w64-x86_64.cmake, that Qt and that SQLite, into out/windows-qt;
#   3. out/qv310-isp-windows-x64.zip: the programs, the Qt DLLs and plugins they load, the MinGW
#      runtime DLLs, Flash.ini and the WinUSB driver text.
#
#   bash scripts/build-windows.sh              # all three
#   bash scripts/build-windows.sh --qt-only    # only Qt of step 1 (prints the Qt prefix last)
#   bash scripts/build-windows.sh --libs-only  # only step 1: Qt and SQLite into the cache
#   bash scripts/build-windows.sh --deps-only  # only the Debian packages and source entries it
#                                              # needs (so that a --libs-only in the background
#                                              # never waits for, or holds, the package lock)
#
# Installs the Debian packages it needs (apt-get update first; sudo when not root). Runs without a
# terminal (CI=true, no standard input). Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

qt_only=0
libs_only=0
deps_only=0
for arg in "$@"; do
    case "$arg" in
        --qt-only) qt_only=1 ;;
        --libs-only) libs_only=1 ;;
        --deps-only) deps_only=1 ;;
        -h|--help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown argument: $arg" >&2; exit 2 ;;
    esac
done

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
cache="${QV_CACHE_DIR:-$HOME/.cache/qv310-isp}"
build="${QV_WINDOWS_BUILD_DIR:-$root/out/windows-qt}"
zip_path="$root/out/qv310-isp-windows-x64.zip"
triplet=x86_64-w64-mingw32

stage() { printf '\n==== %s ====\n' "$*"; }
now() { date +%s; }

# ---------------------------------------------------------------------------------------------
# Debian packages
# ---------------------------------------------------------------------------------------------
is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
apt_updated=0
apt_update() {
    if [ "$apt_updated" = 0 ]; then
        "${sudo[@]}" apt-get update
        apt_updated=1
    fi
}
install_packages() {
    local missing=() package
    for package in "$@"; do is_installed "$package" || missing+=("$package"); done
    ((${#missing[@]})) || return 0
    echo "Installing: ${missing[*]}"
    apt_update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

stage "packages"
# Host tools for Qt's configure (it builds qmake, moc, uic, rcc as Linux programs) and for making
# SQLite's amalgamation (tclsh), the posix-thread MinGW-w64 compilers, Wine (tests, screenshot),
# fonts for the window under Wine, zip for the bundle.
install_packages build-essential perl python3 tcl cmake make pkg-config dpkg-dev xz-utils ca-certificates \
    debian-archive-keyring \
    g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
    mingw-w64-x86-64-dev libz-mingw-w64-dev googletest \
    wine64 fonts-wqy-microhei fonts-wine zip unzip
# The tests run under Wine in en_US.UTF-8 and zh_CN.UTF-8; without them no non-ASCII file name.
bash "$root/scripts/ensure-locales.sh"

# ---------------------------------------------------------------------------------------------
# Qt for Windows, cross-compiled once into the cache
# ---------------------------------------------------------------------------------------------
qt_version=5.15.8
qt_source_package=qtbase-opensource-src
gcc_posix=$(command -v $triplet-gcc-posix)
gxx_posix=$(command -v $triplet-g++-posix)
compiler_version=$("$gxx_posix" -dumpfullversion 2>/dev/null || "$gxx_posix" -dumpversion)
qt_configure_flags=(
    -opensource -confirm-license
    -xplatform win32-g++
    -release -shared -strip
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu
    -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-pcre -qt-harfbuzz
    -no-feature-network -no-feature-sql -no-feature-tabletevent -no-direct2d
    -no-feature-testlib -no-feature-xml -no-feature-concurrent -no-feature-printer
)
# The cache key: what changes the built Qt. The paths (prefix, compiler links) derive from it.
qt_key_text="qtbase $qt_version | $triplet g++-posix $compiler_version | ${qt_configure_flags[*]}"
qt_key=$(printf '%s' "$qt_key_text" | sha256sum | cut -c1-12)
qt_prefix="$cache/qt-$qt_version-mingw-w64-x86_64-$qt_key"
qt_stamp="$qt_prefix/.qv310-isp-complete"
mingw_bin="$cache/mingw-w64-posix-bin"

# Links named x86_64-w64-mingw32-* that point at the posix-thread compilers (Debian's default
# alternative is the win32-thread one, which lacks std::thread) and the binutils.
make_mingw_links() {
    mkdir -p "$mingw_bin"
    ln -sfn "$gcc_posix" "$mingw_bin/$triplet-gcc"
    ln -sfn "$gxx_posix" "$mingw_bin/$triplet-g++"
    local tool path
    for tool in ar ranlib windres strip objcopy nm ld dlltool objdump; do
        path=$(command -v "$triplet-$tool")
        ln -sfn "$path" "$mingw_bin/$triplet-$tool"
    done
}

# Debian's archive serves a source package when a deb-src entry for the machine's suite exists.
ensure_deb_src() {
    if apt-get source --print-uris "$1" 2>/dev/null | grep -q "\.dsc'"; then
        return 0
    fi
    local suite mirror list=/etc/apt/sources.list.d/qv310-isp-deb-src.sources
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    mirror=$(grep -rhoE '^(URIs:[[:space:]]*|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)https?://[^[:space:]]+/debian/?([[:space:]]|$)' \
        /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null | grep -oE 'https?://[^[:space:]]+' | head -n 1 || true)
    [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
    echo "Adding a deb-src entry: $mirror $suite main"
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$mirror" "$suite" | "${sudo[@]}" tee "$list" >/dev/null
    "${sudo[@]}" apt-get update
    apt_updated=1
}

build_qt() {
    local started work source_dir t0 t1 t2 t3
    started=$(now)
    make_mingw_links
    ensure_deb_src "$qt_source_package"
    work="$cache/qt-build-$qt_key"
    rm -rf "$work" "$qt_prefix"
    mkdir -p "$work"
    stage "Qt $qt_version for Windows: source"
    (cd "$work" && apt-get source --download-only "$qt_source_package" >/dev/null \
        && dpkg-source --no-check -x ./*.dsc qtbase >/dev/null)
    source_dir="$work/qtbase"
    grep -q "^MODULE_VERSION *= *$qt_version\$" "$source_dir/.qmake.conf" \
        || { echo "the source package is not Qt $qt_version" >&2; return 1; }
    stage "Qt $qt_version for Windows: configure"
    t0=$(now)
    (cd "$source_dir" && ./configure -prefix "$qt_prefix" \
        -device-option CROSS_COMPILE="$mingw_bin/$triplet-" "${qt_configure_flags[@]}" </dev/null)
    t1=$(now)
    stage "Qt $qt_version for Windows: make -j$jobs"
    # A second plain make re-runs configure (the first build adds host facts to .qmake.stash):
    # touching the Makefile keeps install from rebuilding everything; install in the same make
    # as the build is not ordered after the bundled static libraries.
    (cd "$source_dir" && make -j"$jobs" </dev/null)
    t2=$(now)
    (cd "$source_dir" && touch Makefile && make install </dev/null)
    t3=$(now)
    {
        echo "qtbase $qt_version for $triplet, built $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(nproc) cores"
        echo "source: $(cd "$work" && ls ./*.dsc)"
        echo "key: $qt_key_text"
        echo "configure: $((t1 - t0)) s; make: $((t2 - t1)) s; install: $((t3 - t2)) s; total with download: $((t3 - started)) s"
    } >"$qt_prefix/qv310-isp-qt-build.txt"
    cat "$qt_prefix/qv310-isp-qt-build.txt"
    rm -rf "$work"
    touch "$qt_stamp"
}

if [ "$deps_only" = 1 ]; then
    ensure_deb_src "$qt_source_package"
    ensure_deb_src sqlite3
    ensure_deb_src openssl
    ensure_deb_src postgresql-15
    exit 0
fi

mkdir -p "$cache"
# One build at a time per cache (other work trees of the same machine share it).
exec 9>"$cache/qt-$qt_key.lock"
flock 9
if [ -f "$qt_stamp" ]; then
    stage "Qt $qt_version for Windows: from the cache"
    echo "$qt_prefix"
    sed -n '1p;4p' "$qt_prefix/qv310-isp-qt-build.txt" 2>/dev/null || true
else
    build_qt
fi
flock -u 9
make_mingw_links

if [ "$qt_only" = 1 ]; then
    echo "$qt_prefix"
    exit 0
fi

# ---------------------------------------------------------------------------------------------
# SQLite for Windows (qv310 --record), built once into the cache as a static library
# ---------------------------------------------------------------------------------------------
# Debian's sqlite3 source package is SQLite's source tree with Debian's patches; its amalgamation
# (sqlite3.c, sqlite3.h) is made with the host compiler and tclsh, then compiled with MinGW-w64.
# Nothing but Debian's archive is used.
sqlite_version=3.40.1
sqlite_source_package=sqlite3
sqlite_cflags=(-O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION)
sqlite_key_text="sqlite $sqlite_version | $triplet gcc-posix $compiler_version | ${sqlite_cflags[*]}"
sqlite_key=$(printf '%s' "$sqlite_key_text" | sha256sum | cut -c1-12)
sqlite_prefix="$cache/sqlite-$sqlite_version-mingw-w64-x86_64-$sqlite_key"
sqlite_stamp="$sqlite_prefix/.qv310-isp-complete"

build_sqlite() {
    local started work amalgamation t0 t1 t2
    started=$(now)
    ensure_deb_src "$sqlite_source_package"
    work="$cache/sqlite-build-$sqlite_key"
    rm -rf "$work" "$sqlite_prefix"
    mkdir -p "$work/amalgamation"
    stage "SQLite $sqlite_version for Windows: source"
    (cd "$work" && apt-get source --download-only "$sqlite_source_package" >/dev/null \
        && dpkg-source --no-check -x ./*.dsc sqlite >/dev/null)
    grep -qx "$sqlite_version" "$work/sqlite/VERSION" \
        || { echo "the source package is not SQLite $sqlite_version" >&2; return 1; }
    stage "SQLite $sqlite_version for Windows: amalgamation"
    t0=$(now)
    amalgamation="$work/amalgamation"
    (cd "$amalgamation" && ../sqlite/configure --disable-tcl >configure.log </dev/null \
        && make sqlite3.c >make.log </dev/null) \
        || { tail -n 30 "$amalgamation"/*.log >&2; return 1; }
    t1=$(now)
    stage "SQLite $sqlite_version for Windows: compile"
    mkdir -p "$sqlite_prefix/include" "$sqlite_prefix/lib"
    "$gcc_posix" "${sqlite_cflags[@]}" -c "$amalgamation/sqlite3.c" -o "$work/sqlite3.o"
    "$triplet-ar" rcs "$sqlite_prefix/lib/libsqlite3.a" "$work/sqlite3.o"
    cp "$amalgamation/sqlite3.h" "$amalgamation/sqlite3ext.h" "$sqlite_prefix/include/"
    t2=$(now)
    {
        echo "SQLite $sqlite_version for $triplet, static, built $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(nproc) cores"
        echo "source: $(cd "$work" && ls ./*.dsc)"
        echo "key: $sqlite_key_text"
        echo "amalgamation: $((t1 - t0)) s; compile: $((t2 - t1)) s; total with download: $((t2 - started)) s"
    } >"$sqlite_prefix/qv310-isp-sqlite-build.txt"
    cat "$sqlite_prefix/qv310-isp-sqlite-build.txt"
    rm -rf "$work"
    touch "$sqlite_stamp"
}

exec 8>"$cache/sqlite-$sqlite_key.lock"
flock 8
if [ -f "$sqlite_stamp" ]; then
    stage "SQLite $sqlite_version for Windows: from the cache"
    echo "$sqlite_prefix"
    sed -n '1p;4p' "$sqlite_prefix/qv310-isp-sqlite-build.txt" 2>/dev/null || true
else
    build_sqlite
fi
flock -u 8

# ---------------------------------------------------------------------------------------------
# libpq for Windows (qv310 --record postgresql://…) with TLS: OpenSSL's libraries and PostgreSQL's
# client library, each built once from Debian's source package into the cache as static libraries
# (nothing more to ship in the zip). Each is keyed by the source package's version, the compiler
# and the options, so that a security update of either is built anew.
# ---------------------------------------------------------------------------------------------
# The version of the source package Debian's archive serves now (e.g. 3.0.20-1~deb12u2).
source_version() {
    apt-get source --print-uris "$1" 2>/dev/null | grep -oE "'[^']*/$1_[^']*\.dsc'" \
        | sed -E "s|.*/$1_(.*)\.dsc'|\1|" | sed 's/%7e/~/gI; s/%2b/+/gI' | head -n 1
}
# fetch_source PACKAGE WORK: the unpacked source tree in WORK/source.
fetch_source() {
    ensure_deb_src "$1"
    rm -rf "$2"
    mkdir -p "$2"
    (cd "$2" && apt-get source --download-only "$1" >/dev/null && dpkg-source --no-check -x ./*.dsc source >/dev/null)
}
# from_cache_or_build LABEL PREFIX BUILD_FUNCTION: the library at PREFIX, built by BUILD_FUNCTION
# unless a finished build is there; one build at a time per cache.
from_cache_or_build() {
    local label=$1 prefix=$2 build_function=$3
    exec 7>"$prefix.lock"
    flock 7
    if [ -f "$prefix/.qv310-isp-complete" ]; then
        stage "$label for Windows: from the cache"
        echo "$prefix"
        cat "$prefix/qv310-isp-build.txt" 2>/dev/null || true
    else
        stage "$label for Windows: build"
        local t0 t1
        t0=$(now)
        rm -rf "$prefix"
        "$build_function"
        t1=$(now)
        echo "$label for $triplet, static, built $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(nproc) cores in $((t1 - t0)) s" \
            >"$prefix/qv310-isp-build.txt"
        cat "$prefix/qv310-isp-build.txt"
        touch "$prefix/.qv310-isp-complete"
    fi
    flock -u 7
}

# Only what a TLS client of PostgreSQL uses: no legacy ciphers or protocols, no engines, modules
# or programs.
openssl_options=(mingw64 no-shared no-tests no-dso no-engine no-legacy no-module no-idea no-camellia no-seed
    no-bf no-cast no-des no-rc2 no-rc4 no-rc5 no-md2 no-md4 no-mdc2 no-whirlpool no-sm2 no-sm3 no-sm4 no-aria
    no-cms no-ts no-srp no-comp no-ct no-dtls no-srtp no-sctp no-gost no-siphash no-cmp no-ec2m no-rfc3779
    no-nextprotoneg no-capieng no-ui-console no-ocsp no-dsa no-scrypt no-psk no-ssl3 no-tls1 no-tls1_1
    no-weak-ssl-ciphers)
openssl_version=$(source_version openssl)
[ -n "$openssl_version" ] || { echo "Debian's archive serves no openssl source package" >&2; exit 1; }
openssl_key=$(printf '%s' "openssl $openssl_version | $triplet gcc-posix $compiler_version | ${openssl_options[*]}" | sha256sum | cut -c1-12)
openssl_prefix="$cache/openssl-${openssl_version%%-*}-mingw-w64-x86_64-$openssl_key"
build_openssl() {
    local work="$cache/openssl-build-$openssl_key"
    fetch_source openssl "$work"
    (cd "$work/source" && ./Configure "${openssl_options[@]}" --cross-compile-prefix="$mingw_bin/$triplet-" \
        --prefix="$openssl_prefix" --libdir=lib --openssldir=C:/nonexistent >configure.log </dev/null \
        && make -j"$jobs" build_libs >make.log </dev/null && make install_dev >install.log </dev/null) \
        || { tail -n 30 "$work"/source/*.log >&2; return 1; }
    rm -rf "$work"
}
from_cache_or_build "OpenSSL $openssl_version" "$openssl_prefix" build_openssl

libpq_version=$(source_version postgresql-15)
[ -n "$libpq_version" ] || { echo "Debian's archive serves no postgresql-15 source package" >&2; exit 1; }
libpq_options=(--without-readline --without-zlib --without-icu --without-llvm --without-gssapi --with-ssl=openssl)
libpq_private_pthread=(pthread_self pthread_setspecific pthread_getspecific pthread_mutex_init pthread_mutex_lock
    pthread_mutex_unlock)
libpq_key=$(printf '%s' "libpq $libpq_version | $triplet gcc-posix $compiler_version | ${libpq_options[*]} | openssl $openssl_key | private ${libpq_private_pthread[*]}" | sha256sum | cut -c1-12)
libpq_prefix="$cache/libpq-${libpq_version%%-*}-mingw-w64-x86_64-$libpq_key"
# The libraries a program linking the static libpq needs besides it, in order.
libpq_link_libraries="$libpq_prefix/lib/libpq.a;$libpq_prefix/lib/libpgcommon_shlib.a;$libpq_prefix/lib/libpgport_shlib.a;$openssl_prefix/lib/libssl.a;$openssl_prefix/lib/libcrypto.a;ws2_32;secur32;crypt32;gdi32;shell32;advapi32;user32"
build_libpq() {
    local work="$cache/libpq-build-$libpq_key" source
    fetch_source postgresql-15 "$work"
    source="$work/source"
    (cd "$source" && ./configure --host="$triplet" --prefix="$libpq_prefix" "${libpq_options[@]}" \
        CC="$mingw_bin/$triplet-gcc" AR="$mingw_bin/$triplet-ar" RANLIB="$mingw_bin/$triplet-ranlib" \
        CPPFLAGS="-I$openssl_prefix/include" LDFLAGS="-L$openssl_prefix/lib" LIBS="-lws2_32 -lgdi32 -lcrypt32" \
        >configure.log </dev/null \
        && make -C src/include >make.log </dev/null \
        && make -j"$jobs" -C src/common libpgcommon_shlib.a >>make.log </dev/null \
        && make -j"$jobs" -C src/port libpgport_shlib.a >>make.log </dev/null \
        && make -j"$jobs" -C src/interfaces/libpq all-shared-lib >>make.log </dev/null) \
        || { tail -n 40 "$source"/configure.log "$source"/make.log >&2; return 1; }
    mkdir -p "$libpq_prefix/include" "$libpq_prefix/lib"
    # On Windows PostgreSQL's libpq.a is the DLL's import library: the static library is made
    # from the DLL's objects (all but its version resource). libpq brings a small pthread of its
    # own (a mutex is a CRITICAL_SECTION pointer): linked statically, its pthread_mutex_lock would
    # take the place of winpthreads' for the whole program, whose std::mutex starts as
    # winpthreads' initializer, and corrupt memory. Its names are made libpq's own.
    local objects=() symbol renames=()
    for symbol in "${libpq_private_pthread[@]}"; do renames+=(--redefine-sym "$symbol=qv_libpq_$symbol"); done
    mapfile -d '' objects < <(cd "$source/src/interfaces/libpq" && find . -maxdepth 1 -name '*.o' ! -name win32ver.o -print0 | sort -z)
    (cd "$source/src/interfaces/libpq" && for object in "${objects[@]}"; do
        "$mingw_bin/$triplet-objcopy" "${renames[@]}" "$object" || exit 1
    done && "$mingw_bin/$triplet-ar" rcs "$libpq_prefix/lib/libpq.a" "${objects[@]}")
    if "$mingw_bin/$triplet-nm" "$libpq_prefix/lib/libpq.a" | grep -Eq ' T pthread_'; then
        echo "libpq.a still defines pthread functions" >&2
        return 1
    fi
    cp "$source/src/common/libpgcommon_shlib.a" "$source/src/port/libpgport_shlib.a" "$libpq_prefix/lib/"
    cp "$source/src/interfaces/libpq/libpq-fe.h" "$source/src/include/postgres_ext.h" \
        "$source/src/include/pg_config_ext.h" "$libpq_prefix/include/"
    rm -rf "$work"
}
from_cache_or_build "libpq $libpq_version" "$libpq_prefix" build_libpq

[ "$libs_only" = 1 ] && exit 0

# ---------------------------------------------------------------------------------------------
# The tool, with that Qt
# ---------------------------------------------------------------------------------------------
stage "the tool for Windows (MinGW-w64, Qt $qt_version) into ${build#"$root"/}"
started=$(now)
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DQV_QT_PREFIX="$qt_prefix" \
    -DSQLite3_INCLUDE_DIR="$sqlite_prefix/include" \
    -DSQLite3_LIBRARY="$sqlite_prefix/lib/libsqlite3.a" \
    -DQV_LIBPQ_INCLUDE_DIR="$libpq_prefix/include" \
    -DQV_LIBPQ_LIBRARIES="$libpq_link_libraries" \
    -DQV_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-Werror"
cmake --build "$build" -j"$jobs"
echo "built in $(($(now) - started)) s"

# The programs of the zip: the window, the station, the command line, the virtual programmer, the diagnostic
# program and the difference maker.
targets=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p')
programs=()
for target in qv310-isp qv310-station qv310 qv310-vprog qv310-diag qv310-mkdiff; do
    grep -qx "$target" <<<"$targets" || continue
    exe=$(find "$build" -name "$target.exe" -not -path '*/CMakeFiles/*' -not -path "$build/stage/*" -newer "$build/CMakeCache.txt" | head -n 1)
    [ -n "$exe" ] || exe=$(find "$build" -name "$target.exe" -not -path '*/CMakeFiles/*' -not -path "$build/stage/*" | head -n 1)
    [ -n "$exe" ] || { echo "missing: $target.exe" >&2; exit 1; }
    programs+=("$exe")
done
for required in qv310-isp qv310-station qv310 qv310-vprog qv310-diag qv310-mkdiff; do
    printf '%s\n' "${programs[@]}" | grep -q "/$required.exe$" || { echo "missing: $required.exe" >&2; exit 1; }
done

# ---------------------------------------------------------------------------------------------
# The zip
# ---------------------------------------------------------------------------------------------
stage "stage ${zip_path#"$root"/}"
name=qv310-isp-windows-x64
staging="$build/stage/$name"
rm -rf "$build/stage"
mkdir -p "$staging/platforms" "$staging/styles"
for exe in "${programs[@]}"; do cp "$exe" "$staging/"; done
# What windeployqt copies for a Widgets program: the Qt DLLs, the platform plugin and the style.
for dll in Qt5Core Qt5Gui Qt5Widgets; do cp "$qt_prefix/bin/$dll.dll" "$staging/"; done
cp "$qt_prefix/plugins/platforms/qwindows.dll" "$staging/platforms/"
cp "$qt_prefix/plugins/styles/qwindowsvistastyle.dll" "$staging/styles/"
# The C++ runtime the programs and Qt share; libstdc++ ships with its symbols (23 MB), stripped here.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    path=$("$gxx_posix" -print-file-name="$dll")
    [ -f "$path" ] || { echo "the MinGW runtime $dll was not found" >&2; exit 1; }
    cp "$path" "$staging/"
done
$triplet-strip --strip-unneeded "$staging/libstdc++-6.dll" "$staging/libgcc_s_seh-1.dll" "$staging/libwinpthread-1.dll"
cp "$root/data/Flash.ini" "$staging/"
to_crlf() { sed 's/\r$//; s/$/\r/'; }
# The README's section on the WinUSB driver, for the person installing the tool.
{
    echo "QV310 SWD ISP for Windows (64-bit)"
    echo
    echo "Unpack this folder anywhere and start qv310-isp.exe from it. The tool keeps config.ini in"
    echo "the folder it is started from and reads Flash.ini there (one is included)."
    echo
    echo "Installing the WinUSB driver for the programmer"
    echo "-----------------------------------------------"
    echo
    sed -n '/^\*\*The driver\.\*\*/,/^$/p' "$root/README.md" | sed 's/^\*\*The driver\.\*\* //; s/`//g'
    echo "Check it with: qv310-diag --list   (lists every programmer the tool can see)"
} | to_crlf >"$staging/WinUSB-driver.txt"
grep -q 'DeviceInterfaceGUIDs' "$staging/WinUSB-driver.txt" || { echo "the README's driver section was not found" >&2; exit 1; }

# Every DLL a staged program or plugin imports is staged or is part of Windows.
system_dlls='^(kernel32|user32|gdi32|shell32|ole32|oleaut32|advapi32|comdlg32|winmm|ws2_32|version|imm32|dwmapi|uxtheme|netapi32|userenv|mpr|winspool\.drv|shlwapi|setupapi|winusb|msvcrt|d3d9|d3d11|dxgi|dwrite|wtsapi32|cfgmgr32|crypt32|bcrypt|secur32|api-ms-win-.*)\.dll$'
missing_dlls=0
while IFS= read -r -d '' binary; do
    while read -r dll; do
        lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
        if ! grep -Eq "$system_dlls" <<<"$lower" && ! ls "$staging" | tr '[:upper:]' '[:lower:]' | grep -qx "$lower"; then
            echo "${binary#"$staging"/} needs $dll, which is not in the zip" >&2
            missing_dlls=1
        fi
    done < <($triplet-objdump -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p')
done < <(find "$staging" \( -name '*.exe' -o -name '*.dll' \) -print0)
[ "$missing_dlls" = 0 ] || exit 1

rm -f "$zip_path"
(cd "$build/stage" && zip -q -r -X -9 "$zip_path" "$name")
echo "${zip_path#"$root"/}: $(du -h "$zip_path" | cut -f1), $(unzip -Z1 "$zip_path" | grep -vc '/$') files"
unzip -Z1 "$zip_path" | sed "s|^$name/||; /^$/d" | sort | sed 's/^/  /'
