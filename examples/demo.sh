#!/usr/bin/env bash
# A short session of the tag tool on the example network: create a network,
# import the tags of examples/network.inp, change one, undo and redo the
# change, count the tags, and export them again.  The networks live in a temporary data
# folder that is removed at the end, so the demo leaves nothing behind.
#
#   bash examples/demo.sh [PYTHON]      (PYTHON: a Python 3.12 with the module built)
set -euo pipefail

python=${1:-python3}
case $python in
    */*) python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python") ;;
esac
cd "$(dirname "$0")/.."
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT

tagtool() {
    local shown="$*"
    printf '\n$ tagtool %s\n' "${shown//$data\//}"
    "$python" -m tagtool --data-dir "$data" "$@"
}

tagtool create hillside
tagtool import hillside examples/network.inp
tagtool list hillside
tagtool set hillside NODE J4 Uptown
tagtool get hillside NODE J4
tagtool undo hillside
tagtool redo hillside
tagtool summary hillside --model examples/network.inp
tagtool export hillside
cp examples/network.inp "$data/network.inp"
tagtool export hillside --into "$data/network.inp"
printf '\n$ diff examples/network.inp network.inp   # only the [TAGS] section differs\n'
diff examples/network.inp "$data/network.inp" || true
