"""The summary of a network's tags as a whole: each tag and its count, and
with a model the untagged elements (the map is in maps.py)."""

import collections

from api import orvane

from .formats import write_object, write_rows
from .linked import NAMED, load_model, model_path
from .maps import NOUNS, TYPES, ranked
from .options import add_format
from .output import out, plural, shown


def tag_counts(tags):
    """{type: Counter of tag values} of the stored tags (a missing tag is
    no tag), and {type: set of tagged ids}."""
    counts = {t: collections.Counter() for t in TYPES}
    tagged = {t: set() for t in TYPES}
    for tag in tags:
        if tag["tag"] is not None:
            counts[tag["t_type"]][tag["tag"]] += 1
            tagged[tag["t_type"]].add(tag["id"])
    return counts, tagged


# ---------------------------------------------------------------------------
# summary

def register(command):
    sub = command("summary", cmd_summary, "net1 --model model.inp",
                  "Print, for nodes and for links, each tag with the number of elements "
                  "that carry it, most frequent first; with --model, how many of the "
                  "model's elements have no tag.")
    sub.add_argument("--model", metavar="INP", help="count the untagged elements of this model "
                                                    "(default: the linked model)")
    add_format(sub)


def cmd_summary(args):
    path = model_path(args.network, args.model)
    kinds = summary(args.network, path)
    if args.format == "json":
        write_object({"network": args.network, "model": path, **kinds})
    elif args.format == "csv":
        write_rows("csv", ("type", "status", "tag", "count"), summary_rows(kinds), None,
                   args.raw)
    else:
        for t_type, kind in kinds.items():
            summary_text(t_type, kind, path)


def summary(network, path=None):
    """{type: its figures}: the tags of ``network`` with their counts, most
    frequent first, and with the model ``path`` its elements untagged and
    the tagged ids it does not define."""
    counts, tagged = tag_counts(orvane.get_tags(network))
    model = load_model(network, path, ("nodes", "links")) if path is not None else None
    kinds = {}
    for t_type in TYPES:
        kind = {"tagged": len(tagged[t_type]),
                "tags": [{"tag": tag, "count": n} for tag, n in ranked(counts[t_type])]}
        if model is not None:
            ids = model.elements(t_type)
            kind["in_model"] = len(ids)
            kind["untagged"] = sum(1 for id in ids if id not in tagged[t_type])
            kind["not_in_model"] = len(lacking := sorted(id for id in tagged[t_type] if id not in ids))
            kind["not_in_model_ids"] = lacking
        kinds[t_type] = kind
    return kinds


def summary_rows(kinds):
    for t_type, kind in kinds.items():
        for entry in kind["tags"]:
            yield t_type, "tagged", entry["tag"], entry["count"]
        if "untagged" in kind:
            yield t_type, "untagged", "", kind["untagged"]
            yield t_type, "not in model", "", kind["not_in_model"]


def summary_text(t_type, kind, model):
    noun = NOUNS[t_type]
    line = f"{noun}s: {kind['tagged']} tagged, {plural(len(kind['tags']), 'tag')}"
    if model is not None:
        line += (f"; {model}: {plural(kind['in_model'], noun)}, {kind['untagged']} untagged")
        if kind["not_in_model"]:
            line += f", {kind['not_in_model']} tagged {noun}s not in it"
    out(line)
    lacking = kind.get("not_in_model_ids")
    if lacking:
        more = f" and {len(lacking) - NAMED} more" if len(lacking) > NAMED else ""
        out(f"  not in the model: {', '.join(map(shown, lacking[:NAMED]))}{more}")
    width = len(str(kind["tags"][0]["count"])) if kind["tags"] else 1
    for entry in kind["tags"]:
        out(f"  {entry['count']:>{width}}  {shown(entry['tag'])}")
