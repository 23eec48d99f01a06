#!/usr/bin/env bash
# make test: every group of checks this machine can run, then the test suite,
# whose closing line stays the runner's summary.
#
#   tools/test.sh PYTHON [PYTEST ARG...]    PYTHON: the virtual environment's
#
# ORVANE_TEST_GROUPS names the make targets run before the suite (default:
# windows-test cython-test wheels-test; empty: none).
#
# Beyond the plain suite:
#   - the Windows checks, the Cython rendering of the module and the wheels
#     (which tests/test_wheels.py installs and checks), through `make
#     windows-test cython-test wheels-test`: each prints one line "NAME:
#     skipped (why)" where it cannot run;
#   - PostgreSQL: the suite runs against a throwaway cluster (tools/pg.sh)
#     where the server programs are installed, unless ORVANE_TEST_DATABASE_URL
#     names a server already.
# The groups skipped here reach tests/conftest.py in ORVANE_SKIPPED_GROUPS; it
# names them with its own skips just before the closing line. With
# ORVANE_REQUIRE_ALL=1 (CI) any skipped group fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1
shift
[[ $# -gt 0 ]] || set -- -q tests

log=$(mktemp "${TMPDIR:-/tmp}/orvane-test.XXXXXX")
trap 'rm -f "$log"' EXIT
groups=${ORVANE_TEST_GROUPS-windows-test cython-test wheels-test}
if [[ -n $groups ]]; then
    make --no-print-directory $groups 2>&1 | tee "$log"
fi
skipped=$(grep -E '^[a-z]+: skipped \(' "$log" || true)

if [[ -n $skipped && ${ORVANE_REQUIRE_ALL:-} == 1 ]]; then
    echo "$skipped" | sed 's/$/ (ORVANE_REQUIRE_ALL=1 requires every group)/' >&2
    exit 1
fi
export ORVANE_SKIPPED_GROUPS=$skipped

if [[ -n ${ORVANE_TEST_DATABASE_URL:-} ]]; then
    exec "$python" -m pytest "$@"
elif why=$(tools/pg.sh check 2>&1); then
    exec tools/pg.sh run "$python" -m pytest "$@"
else
    export ORVANE_NO_POSTGRES="PostgreSQL cannot start here: ${why#pg.sh: }"
    exec "$python" -m pytest "$@"
fi
