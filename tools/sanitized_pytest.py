"""Runs pytest against the api package found in the folder given first, then
asks LeakSanitizer for leaks while the interpreter still holds its own
objects.

    python tools/sanitized_pytest.py PKG_ROOT [pytest arguments...]

PKG_ROOT holds a package folder api/ (the module built with sanitizers beside
links to the package's Python files). It goes first on sys.path and the
package is imported before pytest starts, so every test that imports
api.orvane gets the sanitizer build, whatever pytest adds to sys.path later.

The leak check runs when the interpreter begins to exit (an atexit function)
rather than after it has finalised: the 3.12 interpreter never frees its
interned texts, so a check after finalisation reports every one of them.
Before finalisation they are reachable, and what the check finds is memory
that nothing points to: an object whose reference count was never given
back, or a buffer never freed.

With ORVANE_LSAN_EACH=1 the check also runs after every test and names the
test after which leaks appeared (slow; for finding a leak's source; there it
also counts the frame objects of running frames, see final_check).
"""

import atexit
import ctypes
import gc
import os
import sys


class EachTest:
    """Runs the leak check after each test; reports only new findings."""

    def __init__(self, check):
        self.check = check

    def pytest_runtest_teardown(self, item, nextitem):
        gc.collect()
        if self.check():
            print(f"\nLeakSanitizer: leaks after {item.nodeid}", file=sys.stderr, flush=True)


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: sanitized_pytest.py PKG_ROOT [pytest arguments...]")
    root = os.path.abspath(sys.argv[1])
    sys.path.insert(0, root)
    import api.orvane

    where = os.path.realpath(api.orvane.__file__)
    if not where.startswith(os.path.realpath(root) + os.sep):
        sys.exit(f"sanitized_pytest.py: api.orvane came from {where}, not from {root}")
    print(f"api.orvane: {where}", flush=True)

    try:
        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        sys.exit("sanitized_pytest.py: no LeakSanitizer in this process (LD_PRELOAD libasan)")

    import pytest

    plugins = [EachTest(check)] if os.environ.get("ORVANE_LSAN_EACH") == "1" else []
    status = int(pytest.main(sys.argv[2:], plugins=plugins))
    atexit.register(final_check, check, status)
    sys.exit(status)


def final_check(check, status):
    """The leak check, run once the main program's frames are gone: a frame
    object that a test made for a running frame is only pointed to from the
    interpreter's frame stack, which is not in the memory that the check
    scans, so it would read as leaked. The interpreter's own objects are
    all still alive here."""
    gc.collect()
    if check():
        print("sanitized_pytest.py: LeakSanitizer found leaks (reported above)", file=sys.stderr)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status or 1)
    print("LeakSanitizer: no leaks", flush=True)


if __name__ == "__main__":
    main()
