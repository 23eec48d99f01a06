"""Temporary files that carry the process id of their writer in their name
(``.STEM.orvane-tmp.PID.RANDOM`` and names made from it by a suffix such as
SQLite's ``-wal``), so that whoever comes next to the same place can tell the
ones whose writer is gone, and remove them.  The tag tool uses them for the
files it writes, this package for the networks it makes."""

import os
import re

MARK = "orvane-tmp"
STEM_BYTES = 200        # of a file name's 255, the rest for the mark, the id and a suffix
_ANY = re.compile(r"\..*\." + MARK + r"\.(\d+)\.[0-9a-f]{8}(?:[.-][a-z]+)*", re.S)


def _stem(stem):
    return os.fsdecode(os.fsencode(stem)[:STEM_BYTES])


def temp_name(stem):
    """A new file name for a temporary file of ``stem`` written by this process."""
    return f".{_stem(stem)}.{MARK}.{os.getpid()}.{os.urandom(4).hex()}"


def writer_of(name, stem=None):
    """The process id in the temporary file name ``name`` (of ``stem``, when
    given), or None for a name that is not one."""
    if stem is None:
        match = _ANY.fullmatch(name)
    else:
        head = f".{_stem(stem)}.{MARK}."
        match = name.startswith(head) and _ANY.fullmatch(name)
    return int(match.group(1)) if match else None


def writer_gone(pid):
    """Whether no process ``pid`` runs here any more.  Where that cannot be
    asked without harm (Windows, whose os.kill ends the process) the writer
    is taken to be alive, and its files are left."""
    if pid == os.getpid() or os.name == "nt":
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False            # another user's process: alive
    return False


def sweep(folder, stem=None, keep=()):
    """Remove the temporary files (of ``stem``, else of any) in ``folder``
    whose writer is gone, but those named in ``keep``; return their names."""
    gone = []
    try:
        names = os.listdir(folder)
    except OSError:
        return gone
    for name in names:
        pid = writer_of(name, stem)
        if pid is None or name in keep or not writer_gone(pid):
            continue
        try:
            os.remove(os.path.join(folder, name))
            gone.append(name)
        except FileNotFoundError:
            pass                # another one removed it first
        except OSError:
            break               # a folder we may not change: leave them all
    return gone


def remove(path):
    """Remove the file ``path`` if it is there."""
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def sync_folder(folder):
    """Make the names made or removed in ``folder`` last, where a folder can
    be synced."""
    if os.name == "nt":
        return
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
