"""The commands on networks as a whole: networks, create, link and drop.
They need the database module alone (and link the model reader), so they
start quickly."""

from api import database

from .output import Failure, note, out, plural, quoted, say


def register(command):
    command("networks", cmd_networks, "")
    sub = command("create", cmd_create, "net1 --model model.inp")
    sub.add_argument("--model", metavar="INP",
                     help="link the network to this INP file (see link)")
    sub = command("drop", cmd_drop, "net1 --yes",
                  "Remove the network, its tags and its history; this cannot be undone.")
    sub.add_argument("--yes", action="store_true", help="yes, remove it")


def cmd_networks(args):
    from .places import where

    names = database.list_networks()
    for name in names:
        out(name)
    note(f"{plural(len(names), 'network')} in {where()}")


def cmd_create(args):
    exists = Failure(f"network {quoted(args.network)} already exists")
    if database.network_exists(args.network):
        raise exists
    model = None
    if args.model is not None:
        from .model import read_model

        model = read_model(args.model)      # a bad model is refused before the network is made
    if not database.create_network(args.network):
        raise exists                        # made meanwhile by another create
    say(f"created network {args.network}")
    if model is not None:
        from .linked import link

        link(args.network, args.model, model)
        say(f"linked {args.network} to {args.model}")


def cmd_drop(args):
    if not args.yes:
        raise Failure(f"drop removes network {quoted(args.network)}, its tags and its history "
                      "for good, and cannot be undone: give --yes to go on")
    database.delete_network(args.network)
    say(f"dropped network {args.network}")
