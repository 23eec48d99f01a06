"""Signs of life for long work: a progress bar on standard error when it is
a terminal and the work is long, nothing otherwise, so that scripts and
tests see clean output."""

import sys

LONG = 10_000       # lines or tags: work this long shows a bar


def progress(items, total=None, what="lines"):
    """``items`` as they are, or wrapped in a progress bar on a terminal when
    ``total`` (the number of items, when known) is over ``LONG``."""
    if total is None or total <= LONG or not sys.stderr.isatty():
        return items
    from tqdm import tqdm
    return tqdm(items, total=total, unit=" " + what, unit_scale=True, leave=False,
                file=sys.stderr, dynamic_ncols=True)
