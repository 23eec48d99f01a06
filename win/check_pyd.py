"""Checks the cross-built Windows module before anyone loads it.

From `objdump -p` of the .pyd: a PE32+ DLL for x86-64 that imports only from
python312.dll, KERNEL32.dll and the C runtime, and exports PyInit_orvane and
nothing else. Python's own 3.12 for Windows runs on the UCRT while this file
uses msvcrt.dll, which is sound only while no C-runtime object (FILE*, file
descriptor, errno, a malloc'd block) crosses into the interpreter; so the
interpreter functions that take or fill one are refused, and so are, in the
module's own objects, the C-runtime functions that make one.

Exits 0 and prints the import list when all holds, else 1 with one line per
fault.
"""

import argparse
import re
import subprocess
import sys

PYTHON_DLL = "python312.dll"
ENTRY = "PyInit_orvane"
ALLOWED_DLL = re.compile(r"(?i)^(python312|kernel32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$")
CRT_DLL = re.compile(r"(?i)^(msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$")

# Interpreter functions that take a FILE*, a file descriptor or errno of the
# interpreter's C runtime.
CROSSING_API = re.compile(
    r"^(PyObject_Print|PyOS_Readline|Py_FdIsInteractive|PyFile_FromFd|PyObject_AsFileDescriptor"
    r"|_Py_fopen_obj|PyErr_SetFromErrno\w*|PyRun_\w*File\w*|PyRun_Interactive\w*"
    r"|PyMarshal_\w*File)$")
# C-runtime functions that make such an object in the module's own code.
CROSSING_CRT = re.compile(
    r"^(malloc|calloc|realloc|free|_?strdup|_aligned_\w+|_errno|__errno\w*|_[gs]et_errno"
    r"|_?w?fopen\w*|_?fdopen|fclose|freopen|_w?open|_close|_dup2?|_fileno|fileno"
    r"|_get_osfhandle|_open_osfhandle|__iob_func|__acrt_iob_func)$")


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
        if not ALLOWED_DLL.match(dll):
            found.append(f"imports from {dll}: only {PYTHON_DLL}, KERNEL32.dll and the C runtime "
                         "are allowed")
    if not any(d.lower() == PYTHON_DLL for d in info["imports"]):
        found.append(f"imports nothing from {PYTHON_DLL}")
    for dll, names in sorted(info["imports"].items()):
        if dll.lower() == PYTHON_DLL:
            found += [f"imports {n} from {dll}: it passes a C-runtime object to the interpreter"
                      for n in names if CROSSING_API.match(n)]
    if info["exports"] != [ENTRY]:
        found.append(f"exports {info['exports']}: expected exactly [{ENTRY!r}]")
    return found


def object_faults(undefined):
    return [f"the module's objects use {name}: a C-runtime object that must not reach the "
            "interpreter (use PyMem and Python objects)"
            for name in sorted(undefined) if CROSSING_CRT.match(name.removeprefix("__imp_"))]


def main(argv):
    parser = argparse.ArgumentParser(prog="check_pyd.py")
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--nm", required=True)
    parser.add_argument("pyd")
    parser.add_argument("objects", nargs="+", help="the objects linked into it")
    args = parser.parse_args(argv)

    dump = subprocess.run([args.objdump, "-p", args.pyd], capture_output=True, text=True)
    if dump.returncode:
        sys.exit(f"check_pyd.py: {args.objdump} -p {args.pyd} failed:\n{dump.stderr}")
    info = parse(dump.stdout)
    nm = subprocess.run([args.nm, "--undefined-only", *args.objects], check=True,
                        capture_output=True, text=True).stdout
    undefined = {line.split()[-1] for line in nm.splitlines()
                 if line.strip() and not line.endswith(":")}
    found = faults(info) + object_faults(undefined)
    if found:
        print(f"check_pyd.py: {args.pyd} fails:", file=sys.stderr)
        for f in found:
            print(f"  {f}", file=sys.stderr)
        return 1
    print(f"{args.pyd}: PE32+ DLL, exports {ENTRY} only; imports:")
    for dll, names in sorted(info["imports"].items()):
        print(f"  {dll} ({len(names)}): {' '.join(names)}")
    own = sorted({n.removeprefix("__imp_") for n in undefined}
                 & {n for dll, names in info["imports"].items() if CRT_DLL.match(dll)
                    for n in names})
    print(f"  of the C runtime, the module's own code uses: {' '.join(own) or 'nothing'}"
          " (the rest is the DLL start-up code of mingw-w64)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
