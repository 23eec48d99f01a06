#!/bin/sh
# Puts CPython's Windows configuration header (PC/pyconfig.h) at $1.
#
# No Debian binary package ships it; the source package of python3.11 does.
# A deb-src line in a list file of our own makes it reachable for this one
# fetch, and the file goes again on every way out. A header already in place
# is kept, so a second run fetches nothing.
set -eu

dest=$1
if [ -s "$dest" ]; then
    exit 0
fi

work=$(dirname "$dest")/python3.11-source
list=/etc/apt/sources.list.d/orvane-python-source.list
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

if [ "$(id -u)" != 0 ]; then
    echo "fetch-pyconfig: adding a deb-src line needs root" >&2
    exit 1
fi

trap 'rm -f "$list"' EXIT
trap 'exit 1' INT TERM
echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main" >"$list"
# Refresh this one list only; the others stay as they are.
apt-get update -qq -o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts=- \
    -o APT::Get::List-Cleanup=0

rm -rf "$work"
mkdir -p "$work"
(cd "$work" && apt-get source -qq --download-only -o APT::Sandbox::User=root python3.11)
rm -f "$list"

# The header is the upstream one: take it from the original tarball
# rather than unpacking and patching the whole tree.
tarball=$(ls "$work"/python3.11_*.orig.tar.* | head -n 1)
tar -xOf "$tarball" --wildcards '*/PC/pyconfig.h' >"$dest.part"
if ! grep -q 'MS_WIN64' "$dest.part"; then
    echo "fetch-pyconfig: $tarball holds no Windows pyconfig.h" >&2
    rm -f "$dest.part"
    exit 1
fi
mv "$dest.part" "$dest"
rm -rf "$work"
