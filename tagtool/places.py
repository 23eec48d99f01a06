"""Where the tag tool's networks live, so that every command finds them from
any folder.  In this order: --data-dir, --database (or ORVANE_DATABASE_URL),
ORVANE_DATA_DIR, a ./data of the current folder that already holds networks
(where the tool kept them before; a note says so), else the user's data
folder by the platform's convention.  ``api.database`` keeps its own default
(./data) for the applications that use it; this choice is the tool's."""

import os
import sys

from api import database

APP = "orvane"


# Where platformdirs puts each kind of the user's folders on Linux: written
# out here, so that a short command does not wait for platformdirs' imports.
XDG = {"data": ("XDG_DATA_HOME", "~/.local/share"), "state": ("XDG_STATE_HOME", "~/.local/state")}


def user_dir(kind):
    """The user's ``kind`` ("data" or "state") folder for orvane, as
    platformdirs names it: on Linux $XDG_DATA_HOME/orvane (else
    ~/.local/share/orvane) and $XDG_STATE_HOME/orvane (~/.local/state/orvane);
    elsewhere platformdirs' own (%LOCALAPPDATA%\\orvane on Windows)."""
    if sys.platform.startswith("linux"):
        variable, default = XDG[kind]
        return os.path.join(os.environ.get(variable, "").strip() or os.path.expanduser(default), APP)
    import platformdirs

    return getattr(platformdirs, f"user_{kind}_dir")(APP, appauthor=False)


def user_data_dir():
    """The user's data folder for orvane, where the tool keeps networks."""
    return user_dir("data")


def holds_networks(folder):
    """Whether ``folder`` holds a network file."""
    try:
        with os.scandir(folder) as entries:
            return any(e.name.endswith(".db") and e.is_file() for e in entries)
    except OSError:
        return False


def choose(data_dir=None, url=None):
    """Point ``api.database`` at the tool's networks: (a note to give on
    standard error when the choice would surprise (an old ./data), or None;
    whether the data folder was chosen here, to be forgotten after the
    command).  A folder that the calling process gave ``api.database``
    itself is kept, as --data-dir would be."""
    if data_dir is not None:
        database.set_database_url("sqlite:")
        database.set_data_dir(data_dir)
        return None, False
    if url is not None:
        database.set_database_url(url)
    url = database.database_url()
    if (url is not None and url not in ("sqlite:", "sqlite://") or os.environ.get("ORVANE_DATA_DIR")
            or database.given_data_dir() is not None):
        return None, False
    if holds_networks("data"):
        database.set_data_dir("data")
        return (f"using the networks in {os.path.abspath('data')}, the current folder's data "
                f"folder (the user's is {user_data_dir()})"), True
    database.set_data_dir(user_data_dir())
    return None, True


def where():
    """Where the networks were looked for: the data folder or the server."""
    if database.backend_name() == "postgresql":
        return f"the database {database.redact(database.database_url())}"
    return database.data_dir()
