#!/usr/bin/env bash
# Builds the Debian package out/package/qv310-isp_<version>_<arch>.deb and checks it: lintian,
# desktop-file-validate and appstreamcli must report no error. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh dpkg-dev help2man lintian desktop-file-utils appstream >&2

# Debian's own compiler and linker flags (hardening included), as a Debian build would use.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS

build=out/package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DQV_MAN_PAGES=ON >&2
cmake --build "$build" -j"$(nproc)" >&2
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB) >&2
deb=$(ls "$root/$build"/qv310-isp_*.deb)

# lintian: errors fail the build; warnings and notes are shown.
lintian --fail-on error "$deb" >&2

# The desktop entry and the AppStream file as they are in the package.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for desktop in "$unpacked"/usr/share/applications/*.desktop; do
    desktop-file-validate "$desktop" >&2
done
for metainfo in "$unpacked"/usr/share/metainfo/*.metainfo.xml; do
    appstreamcli validate --no-net "$metainfo" >&2
done

echo "$deb"
