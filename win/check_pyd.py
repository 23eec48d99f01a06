"""Checks the cross-built Windows module before anyone loads it.

From `objdump -p` of the .pyd: a PE32+ DLL for x86-64 that exports
PyInit_orvane and nothing else, and imports only from python312.dll,
KERNEL32.dll and the Universal C Runtime (api-ms-win-crt-*.dll, and
vcruntime140.dll where a toolchain needs it): the C runtime of python.org's
3.12, so that no C-runtime object (a heap block, a FILE*, errno, a locale)
has two owners. msvcrt.dll, the old system C runtime, is refused.

Exits 0 and prints the import list when all holds, else 1 with one line per
fault.
"""

import argparse
import os
import re
import subprocess
import sys

PYTHON_DLL = "python312.dll"
ENTRY = "PyInit_orvane"
ALLOWED_DLL = re.compile(r"(?i)^(python312|kernel32|vcruntime140|api-ms-win-crt-[a-z0-9-]+)\.dll$")
OLD_CRT_DLL = re.compile(r"(?i)^(msvcrt|msvcr\d+)\.dll$")


def parse(text):
    """Reads objdump -p output into a dict: format, magic, characteristics,
    imports ({dll: [names]}) and exports ([names])."""
    info = {"format": None, "magic": None, "characteristics": [], "imports": {},
            "exports": []}
    section, dll = None, None
    for line in text.splitlines():
        stripped = line.strip()
        m = re.search(r"file format (\S+)", line)
        if m:
            info["format"] = m.group(1)
            continue
        if line.startswith("Characteristics"):
            section = "characteristics"
            continue
        if line.startswith("Magic"):
            info["magic"] = line.split()[1]
            section = None
            continue
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            info["imports"].setdefault(dll, [])
            section = "imports"
            continue
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "exports"
            continue
        if not stripped:
            section = None
            continue
        if section == "characteristics":
            info["characteristics"].append(stripped)
        elif section == "imports":
            m = re.match(r"[0-9a-f]+\s+\d+\s+([A-Za-z_]\w*)$", stripped)
            if m:
                info["imports"][dll].append(m.group(1))
        elif section == "exports":
            m = re.match(r"\[\s*\d+\]\s+(\S+)", stripped)
            if m:
                info["exports"].append(m.group(1))
    return info


def faults(info):
    found = []
    if info["format"] != "pei-x86-64" or info["magic"] != "020b":
        found.append(f"not a PE32+ x86-64 image (format {info['format']}, magic {info['magic']})")
    if "DLL" not in info["characteristics"]:
        found.append("not a DLL")
    for dll in sorted(info["imports"]):
        if OLD_CRT_DLL.match(dll):
            found.append(f"imports from {dll}: an old C runtime, not the interpreter's Universal "
                         "C Runtime")
        elif not ALLOWED_DLL.match(dll):
            found.append(f"imports from {dll}: only {PYTHON_DLL}, KERNEL32.dll and the Universal "
                         "C Runtime are allowed")
    if not any(d.lower() == PYTHON_DLL for d in info["imports"]):
        found.append(f"imports nothing from {PYTHON_DLL}")
    if info["exports"] != [ENTRY]:
        found.append(f"exports {info['exports']}: expected exactly [{ENTRY!r}]")
    return found


def main(argv):
    parser = argparse.ArgumentParser(prog="check_pyd.py")
    parser.add_argument("--objdump", required=True)
    parser.add_argument("pyd")
    args = parser.parse_args(argv)

    dump = subprocess.run([args.objdump, "-p", args.pyd], capture_output=True, text=True)
    if dump.returncode:
        sys.exit(f"check_pyd.py: {args.objdump} -p {args.pyd} failed:\n{dump.stderr}")
    info = parse(dump.stdout)
    found = faults(info)
    if found:
        print(f"check_pyd.py: {args.pyd} fails:", file=sys.stderr)
        for f in found:
            print(f"  {f}", file=sys.stderr)
        return 1
    print(f"{args.pyd}: PE32+ DLL of {os.path.getsize(args.pyd)} bytes, exports {ENTRY} only; "
          "imports:")
    for dll, names in sorted(info["imports"].items()):
        print(f"  {dll} ({len(names)}): {' '.join(names)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
