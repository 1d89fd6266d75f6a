#!/usr/bin/env bash
# Generates the UTF-8 locales the Windows programs run in under Wine: en_US.UTF-8 (ANSI code page
# 1252) and zh_CN.UTF-8 (936). Wine turns a Windows file name into a Unix one with the character set
# of the Unix locale; when the locale named in LANG/LC_ALL is not generated, the C library falls
# back to "C" (ASCII) and Wine can neither make nor open a file or folder with a non-ASCII name.
# A fresh Debian has the locales package without these two generated. Root, or sudo.
set -euo pipefail

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
locales=("en_US.UTF-8" "zh_CN.UTF-8")

generated() { locale -a 2>/dev/null | grep -qix "${1%%.*}.utf8"; }

missing=()
for name in "${locales[@]}"; do generated "$name" || missing+=("$name"); done
((${#missing[@]})) || exit 0

if ! dpkg-query -W -f='${Status}' locales 2>/dev/null | grep -q "install ok installed"; then
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends locales
fi
for name in "${missing[@]}"; do
    # Uncommented in /etc/locale.gen, so that a later locale-gen keeps it.
    if grep -q "^# *$name UTF-8" /etc/locale.gen; then
        "${sudo[@]}" sed -i "s/^# *\($name UTF-8\)/\1/" /etc/locale.gen
    elif ! grep -q "^$name UTF-8" /etc/locale.gen; then
        echo "$name UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
    fi
done
echo "Generating the locales: ${missing[*]}"
"${sudo[@]}" locale-gen
for name in "${missing[@]}"; do
    generated "$name" || { echo "the locale $name could not be generated" >&2; exit 1; }
done
