"""The commands on networks as a whole: networks and create.  They need the
database module alone, so they start quickly."""

from api import database

from .output import Failure, out, quoted, say


def cmd_networks(args):
    for name in database.list_networks():
        out(name)


def cmd_create(args):
    if database.network_exists(args.network):
        raise Failure(f"network {quoted(args.network)} already exists")
    database.create_network(args.network)
    say(f"created network {args.network}")
