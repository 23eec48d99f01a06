"""tagtool: the tags of a network's nodes and links from the command line,
and the [TAGS] section of INP files in and out.  Run as ``python -m tagtool``
or, installed, as the command ``tagtool``; ``main(argv)`` runs one command and
returns its exit status."""

from .cli import main

__all__ = ["main"]
