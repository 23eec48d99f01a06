"""Builds the benchmarks' extensions into bench/build/, each only when its
source is newer than the built file:

- cyorvane: reference/pyorvane.py compiled by Cython as it is, with no directive
  and no change, so it is what a user of Cython would get;
- floor: bench/floor.c, the result objects built in a plain C loop;
- cgmark: bench/cgmark.c, the callgrind marks;
- rusage: bench/rusage.c, a program that runs another and reports its CPU
  time and peak memory (for the end-to-end table).

All three are compiled as the running interpreter compiles its own
extensions (its compiler, flags and headers).  A failure prints one line and
exits non-zero; a half-built file never takes the place of a built one.
"""

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "build")
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


class BuildError(Exception):
    pass


def target(name):
    return os.path.join(BUILD, name + SUFFIX)


def stale(out, *sources):
    if not os.path.exists(out):
        return True
    built = os.path.getmtime(out)
    return any(os.path.getmtime(s) > built for s in sources)


def run(cmd, what):
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        lines = (proc.stderr or proc.stdout).strip().splitlines()
        first = next((l for l in lines if "error" in l.lower()), lines[0] if lines else "")
        raise BuildError(f"{what}: {first.strip()} (exit {proc.returncode})")


def compile_c(source, out, extension=True):
    """Compiles one C source into the extension (or the program) `out`,
    through a temporary file that is renamed into place only when the
    compiler succeeded."""
    cv = sysconfig.get_config_var
    cmd = [*shlex.split(cv("CC") or "cc"), *shlex.split(cv("CFLAGS") or "")]
    if extension:
        cmd += [*shlex.split(cv("CCSHARED") or "-fPIC"), "-I" + cv("INCLUDEPY"), "-shared"]
    cmd += [source, "-o", out + ".tmp"]
    try:
        run(cmd, source)
        os.replace(out + ".tmp", out)
    finally:
        if os.path.exists(out + ".tmp"):
            os.remove(out + ".tmp")


def build_cython():
    source = os.path.join(os.path.dirname(HERE), "reference", "pyorvane.py")
    out = target("cyorvane")
    if not stale(out, source):
        return
    # The module takes its name from its file: the same source under the
    # name cyorvane, so that both baselines can be loaded side by side.
    copy = os.path.join(BUILD, "cyorvane.py")
    shutil.copyfile(source, copy)
    c_file = os.path.join(BUILD, "cyorvane.c")
    run([sys.executable, "-m", "cython", "-3", copy, "-o", c_file], copy)
    compile_c(c_file, out)


def main():
    os.makedirs(BUILD, exist_ok=True)
    try:
        build_cython()
        for name in ("floor", "cgmark"):
            source = os.path.join(HERE, name + ".c")
            if stale(target(name), source):
                compile_c(source, target(name))
        source, program = os.path.join(HERE, "rusage.c"), os.path.join(BUILD, "rusage")
        if stale(program, source):
            compile_c(source, program, extension=False)
    except (BuildError, OSError) as e:
        print(f"bench/build.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
