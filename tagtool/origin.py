"""The origin of a file: the recorded exchange it is a later state of, whose
agreed tags are the base of its next merge (tagtool/merge.py).

1. A file at a path the network exchanged with is a later state of the
   newest exchange at that path, whatever it holds now: a revert or a copy
   saved over it is an edit like any other.
2. A file at a new path (renamed, mailed, downloaded, a subset saved from a
   sheet) is the later state of the exchange whose file held the same
   content (the digest), else of the one whose file's tags explain most of
   its own: candidates are picked by their fingerprints (a sample of the
   hashes of their (type, id, tag) pairs), then compared in full
   (``explains``: most of the file's tags are the record's, and they are
   two thirds of the record's at least), else it has no origin.
3. A record that cannot be read is named in a warning and set aside; the
   origin is then unknown.
"""

import hashlib
import os
import sys
import zlib
from array import array
from datetime import datetime, timezone

from api import database

from .merge import file_state
from .output import note, shown

FULL = 4096         # a record of at most this many tags keeps every hash
RATE = 32           # of a larger one, the hashes divisible by RATE
CANDIDATES = 3      # records compared in full after the fingerprints, at most
CLOSE = 0.005       # ... those whose sampled share is this close to the best one's
UNSAMPLED = 5       # records compared in full when the file is too small to sample
LETTERS = {"NODE": "N", "LINK": "L"}


def pair_hashes(tags):
    """The hash of each (type, id, tag) of ``tags``, in their order."""
    letter = LETTERS
    return [zlib.crc32(f"{letter[t]}\0{id}\0{tag}".encode("utf-8", "surrogatepass"))
            for (t, id), tag in tags.items()]


def fingerprint(hashes):
    """The sample kept with a record of a file whose pairs hash to ``hashes``."""
    kept = hashes if len(hashes) <= FULL else [h for h in hashes if h % RATE == 0]
    sample = array("I", sorted(set(kept)))
    if sys.byteorder == "big":
        sample.byteswap()
    return sample.tobytes()


def sampled(blob):
    sample = array("I")
    sample.frombytes(blob)
    if sys.byteorder == "big":
        sample.byteswap()
    return set(sample)


def digest(data):
    """The digest of a file's content (bytes or text)."""
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogatepass")
    return hashlib.sha256(data).hexdigest()


def now():
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class Origin:
    """The exchange a file is a later state of: its record's ``path``,
    ``at`` (UTC) and ``direction``, and ``base``, (agreed, file) as
    merge.merge takes it."""

    def __init__(self, row, base):
        self.path, self.at, self.direction = row["path"], row["at"], row["direction"]
        self.base = base

    def told(self):
        """"the exchange with me/Net3.inp of 2026-12-09 14:02" (local time)."""
        path = self.path
        rel = os.path.relpath(path)
        if not rel.startswith(".."):
            path = rel
        when = ""
        if self.at:
            at = datetime.strptime(self.at, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)
            when = f" of {at.astimezone().strftime('%Y-%m-%d %H:%M')}"
        else:
            when = " (kept by an older tagtool)"
        return f"the exchange with {shown(path)}{when}"


def load(network, row):
    """(agreed, file) of a record, or None when it cannot be read (named)."""
    try:
        return database.read_exchange(network, row["seq"], row["path"])
    except database.CorruptRecord as e:
        note(f"warning: network {network!r}: {e}: set aside, so the file's origin is not "
             "known from it")
        return None


def find_origin(network, real, content, tags):
    """The Origin of the file at the real path ``real`` (None for standard
    input) with the digest ``content`` and the tags ``tags``, or None."""
    rows = database.exchange_records(network)
    if not rows:
        return None
    if real is not None:
        here = [row for row in rows if row["path"] == real]
        if here:
            base = load(network, here[0])
            return Origin(here[0], base) if base is not None else None
    if not tags:
        return None
    same = content and next((row for row in rows if row["digest"] == content), None)
    if same:
        base = load(network, same)
        if base is not None:
            return Origin(same, base)
    return best(network, rows, tags)


def best(network, rows, tags):
    """The record whose file's tags explain most of ``tags`` (rule 2)."""
    hashes = pair_hashes(tags)
    every = set(hashes)
    thin = {h for h in every if h % RATE == 0}
    scored, unsampled = [], []
    for row in rows:
        if row["seq"] is None or not row["sample"]:
            continue
        sample = sampled(row["sample"])
        if row["pairs"] <= FULL:
            share = len(every & sample) / len(every)
        elif len(thin) >= 8:
            share = len(thin & sample) / len(thin)
        else:
            unsampled.append(row)
            continue
        if share >= 0.5:
            scored.append((share, row["seq"], row))
    scored.sort(key=lambda item: (item[0], item[1]), reverse=True)
    # Compared in full: the best by its fingerprint, and those its sample
    # cannot tell from it.
    close = [row for share, _, row in scored[:CANDIDATES] if share >= scored[0][0] - CLOSE]
    candidates = close + unsampled[:UNSAMPLED]
    found, score = None, None
    for row in candidates:
        base = load(network, row)
        if base is None:
            continue
        held = file_state(*base)
        matches = len(tags.items() & held.items())
        if explains(matches, len(tags), len(held)) and (score is None
                                                        or (matches, row["seq"]) > score):
            found, score = Origin(row, base), (matches, row["seq"])
    return found


def explains(matches, tags, held):
    """Whether a record whose file held ``held`` tags, ``matches`` of them
    as a file of ``tags`` tags holds them, is that file's origin: more than
    half of the file's tags are the record's, two at least (one for a file
    and a record of one tag), and they are two thirds of the record's at
    least, so that a file that shares some tags with another is not taken
    for what is left of it after deletions."""
    return (matches * 2 > tags and matches >= min(tags, held, 2)
            and matches * 3 >= held * 2)
