"""Builds the benchmarks' extensions into bench/build/ as the running
interpreter builds its own, each when its source is newer: cyorvane
(reference/pyorvane.py compiled by Cython as it is), floor and cgmark.  A
failure prints one line and exits non-zero, leaving the built file alone.
"""

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "build")


def run(cmd, what):
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        lines = (proc.stderr or proc.stdout).strip().splitlines() or [""]
        first = next((line for line in lines if "error" in line.lower()), lines[0])
        raise SystemExit(f"bench/build.py: {what}: {first.strip()} (exit {proc.returncode})")


def build(name, source, c_file=None):
    """Compiles `source` (C, or Python through Cython) into the extension
    `name`, through a temporary file renamed into place once it is whole."""
    out = os.path.join(BUILD, name + sysconfig.get_config_var("EXT_SUFFIX"))
    if os.path.exists(out) and os.path.getmtime(source) <= os.path.getmtime(out):
        return
    if c_file:
        # The module takes its name from its file: the same source under
        # another name, so that both baselines can be loaded side by side.
        copy = os.path.join(BUILD, name + ".py")
        shutil.copyfile(source, copy)
        run([sys.executable, "-m", "cython", "-3", copy, "-o", c_file], copy)
    cv = sysconfig.get_config_var
    try:
        run([*shlex.split(cv("CC") or "cc"), *shlex.split(cv("CFLAGS") or ""),
             *shlex.split(cv("CCSHARED") or "-fPIC"), "-I" + cv("INCLUDEPY"), "-shared",
             c_file or source, "-o", out + ".tmp"], source)
        os.replace(out + ".tmp", out)
    finally:
        if os.path.exists(out + ".tmp"):
            os.remove(out + ".tmp")


if __name__ == "__main__":
    os.makedirs(BUILD, exist_ok=True)
    build("cyorvane", os.path.join(os.path.dirname(HERE), "reference", "pyorvane.py"),
          os.path.join(BUILD, "cyorvane.c"))
    for name in ("floor", "cgmark"):
        build(name, os.path.join(HERE, name + ".c"))
