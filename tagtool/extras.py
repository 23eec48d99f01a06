"""The parts of the tag tool that a plain ``pip install orvane`` leaves out,
each installed with an extra of the distribution: which extra brings which
package, and the one-line refusal of a command that needs one missing."""

from .output import UNAVAILABLE, Failure

# The top-level package of each import that an extra brings: its extra.
EXTRAS = {
    "matplotlib": "maps", "plotly": "maps", "mpl_toolkits": "maps", "colorcet": "maps",
    "adjustText": "maps", "shapely": "gis", "numpy": "gis", "epanet": "sim", "psycopg": "pg",
}
WHAT = {"maps": "maps", "gis": "zones", "sim": "simulation statistics", "pg": "PostgreSQL databases"}


def missing(error):
    """The Failure that tells which extra brings the module whose import
    failed with ``error`` (an ImportError, or one raised from one), or None
    when no extra brings it."""
    while error is not None:
        name = getattr(error, "name", None) if isinstance(error, ImportError) else None
        extra = EXTRAS.get((name or "").split(".")[0])
        if extra is not None:
            return Failure(f"{name.split('.')[0]} is not installed ({WHAT[extra]} need it): "
                           f"pip install 'orvane[{extra}]'", UNAVAILABLE)
        error = error.__cause__
    return None


def need(*modules):
    """Refuse, before any work, when one of ``modules`` cannot be imported."""
    from importlib.util import find_spec

    for module in modules:
        try:
            found = find_spec(module) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            raise missing(ModuleNotFoundError(name=module))
