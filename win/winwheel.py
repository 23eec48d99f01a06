"""The Windows wheel, made from the Linux wheel and the cross-built module.

    python win/winwheel.py LINUX_WHEEL PYD OUTDIR

writes OUTDIR/NAME-VERSION-cp312-cp312-win_amd64.whl: every file of the
Linux wheel (the same Python files, METADATA, entry points) but its
extension module, the .pyd in its place under the name CPython on Windows
looks for, WHEEL's tag made win_amd64, and a RECORD of the new contents.
Prints the wheel's path.  ``record_faults`` checks a wheel's RECORD (the
tests use it on both wheels).
"""

import base64
import hashlib
import io
import os
import re
import sys
import zipfile

TAG = "cp312-cp312-win_amd64"
PYD = "orvane.cp312-win_amd64.pyd"
# A Linux wheel's name: distribution, version, then its tags.
WHEEL_NAME = re.compile(r"(?P<name>[^-]+)-(?P<version>[^-]+)-cp312-cp312-[^-]+\.whl")
# When a file in the wheel was made (zip keeps local times; this is the
# earliest zip can hold, so that the same inputs give the same bytes).
STAMP = (1980, 1, 1, 0, 0, 0)


def digest(data):
    """The form RECORD gives a file's hash in: sha256, URL-safe base64
    without padding."""
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def record_faults(path):
    """What is wrong with a wheel's RECORD: a file missing from it, listed
    but absent, or whose hash or size differs.  Empty when all is right."""
    faults = []
    with zipfile.ZipFile(path) as wheel:
        names = {n for n in wheel.namelist() if not n.endswith("/")}   # not folders
        record = next(n for n in names if n.endswith(".dist-info/RECORD"))
        listed = {}
        for line in wheel.read(record).decode().splitlines():
            name, hashed, size = line.rsplit(",", 2)
            listed[name] = (hashed, size)
        for name in sorted(names | set(listed)):
            if name not in names:
                faults.append(f"{name}: in RECORD, not in the wheel")
            elif name not in listed:
                faults.append(f"{name}: in the wheel, not in RECORD")
            elif name != record:
                data = wheel.read(name)
                if listed[name] != (digest(data), str(len(data))):
                    faults.append(f"{name}: RECORD gives {listed[name]}, the file "
                                  f"{(digest(data), str(len(data)))}")
    return faults


def windows_wheel(linux, pyd, outdir):
    match = WHEEL_NAME.fullmatch(os.path.basename(linux))
    if not match:
        raise SystemExit(f"winwheel.py: {linux}: not the name of a CPython 3.12 wheel")
    dist_info = f"{match['name']}-{match['version']}.dist-info"
    target = os.path.join(outdir, f"{match['name']}-{match['version']}-{TAG}.whl")
    with open(pyd, "rb") as f:
        module = f.read()
    files, replaced = [], 0
    with zipfile.ZipFile(linux) as wheel:
        for name in wheel.namelist():
            if re.fullmatch(r"api/orvane\..*\.so", name):
                replaced += 1
                continue
            if name == f"{dist_info}/RECORD" or name.endswith("/"):
                continue
            data = wheel.read(name)
            if name == f"{dist_info}/WHEEL":
                data = wheel_file(data.decode()).encode()
            files.append((name, data))
    if replaced != 1:
        raise SystemExit(f"winwheel.py: {linux} holds no api/orvane.*.so to replace")
    # The module goes where the Linux one was: before the metadata, which
    # closes a wheel.
    first_meta = next(i for i, (name, _) in enumerate(files) if name.startswith(dist_info))
    files.insert(first_meta, (f"api/{PYD}", module))
    record = "".join(f"{name},{digest(data)},{len(data)}\n" for name, data in files)
    files.append((f"{dist_info}/RECORD", (record + f"{dist_info}/RECORD,,\n").encode()))
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            info = zipfile.ZipInfo(name, STAMP)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            wheel.writestr(info, data)
    os.makedirs(outdir, exist_ok=True)
    with open(target, "wb") as f:
        f.write(buffer.getvalue())
    return target


def wheel_file(text):
    """WHEEL with the Windows tag in place of the Linux ones."""
    lines = [line for line in text.splitlines() if line and not line.startswith("Tag:")]
    return "\n".join(lines + [f"Tag: {TAG}"]) + "\n"


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__.split("\n\n")[1])
    print(windows_wheel(*sys.argv[1:]))
