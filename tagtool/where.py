"""--where EXPR: the elements of a model chosen by their attributes.

EXPR compares attributes with values (=, !=, <, <=, >, >=), joined by
``and``, ``or``, ``not`` and parentheses: ``kind = pipe and diameter >= 12``,
``tag = 'North zone' or not elevation < 100``.  The attributes are ``kind``,
``id``, ``tag`` and the columns of each kind (model.COLUMNS), read as EPANET
reads them, numbers in the file's units.  A value in quotes is a text; a
bare word is a number when it reads as one, else a text.  Text attributes
compare as texts whatever the value looks like, and only for (in)equality;
a number attribute compared with a text is refused.  An element without the
attribute, or holding a curve's id where a number is compared, compares
false.  The grammar is parsed here, by recursive descent; nothing is
evaluated as code."""

import itertools
import operator
import re

from .elements import KIND_TYPES
from .model import COLUMNS, TEXTS, read_model
from .output import USAGE, Failure, quoted

OPERATORS = {"=": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le,
             ">": operator.gt, ">=": operator.ge}
COMMON = ("kind", "id", "tag")
WORDS = {"kind", "status", "type"}          # EPANET's keywords: any case
TOKEN = re.compile(r"""\s*(?:(?P<text>'(?:[^']|'')*'|"(?:[^"]|"")*")|(?P<op><=|>=|!=|=|<|>)"""
                   r"""|(?P<paren>[()])|(?P<word>[^\s()<>=!'"]+)|(?P<bad>\S))""")


def refuse(text, why):
    return Failure(f"--where {quoted(text)}: {why}", USAGE)


def tokens(text):
    """(kind, value) of each token of ``text``: text, op, paren, word."""
    found = []
    for match in TOKEN.finditer(text):
        kind = match.lastgroup
        if kind is None:
            break
        value = match[kind]
        if kind == "bad":
            at = match.start(kind) + 1
            raise refuse(text, f"a text in quotes is not closed (character {at})"
                         if value in "'\"" else f"unexpected {quoted(value)} at character {at}")
        if kind == "text":
            value = value[1:-1].replace(value[0] * 2, value[0])
        found.append((kind, value))
    return found


def number(word):
    """The number a bare word reads as, or None."""
    try:
        value = float(word)
    except ValueError:
        return None
    return value if value - value == 0 and "_" not in word else None


class Parser:
    """expr := and ("or" and)*;  and := unary ("and" unary)*;
    unary := "not" unary | "(" expr ")" | NAME OP VALUE"""

    def __init__(self, text, attributes):
        self.text, self.attributes = text, attributes
        self.tokens, self.at = tokens(text), 0

    def peek(self):
        return self.tokens[self.at] if self.at < len(self.tokens) else (None, None)

    def keyword(self, word):
        kind, value = self.peek()
        if kind == "word" and value.lower() == word:
            self.at += 1
            return True
        return False

    def parse(self):
        if not self.tokens:
            raise refuse(self.text, "empty expression")
        tree = self.any()
        if self.at < len(self.tokens):
            raise refuse(self.text, f"unexpected {quoted(self.peek()[1])} after a whole expression")
        return tree

    def any(self):
        tree = self.all()
        while self.keyword("or"):
            tree = ("or", tree, self.all())
        return tree

    def all(self):
        tree = self.unary()
        while self.keyword("and"):
            tree = ("and", tree, self.unary())
        return tree

    def unary(self):
        if self.keyword("not"):
            return ("not", self.unary())
        kind, value = self.peek()
        if kind == "paren" and value == "(":
            self.at += 1
            tree = self.any()
            if self.peek() != ("paren", ")"):
                raise refuse(self.text, "a '(' is not closed")
            self.at += 1
            return tree
        return self.comparison()

    def comparison(self):
        name, op, value = (self.tokens[self.at:self.at + 3] + [(None, None)] * 3)[:3]
        if name[0] != "word" or name[1].lower() in ("and", "or", "not"):
            raise refuse(self.text, f"expected an attribute, found "
                                    f"{quoted(name[1]) if name[1] else 'the end'}")
        attribute = name[1].lower()
        if attribute not in self.attributes:
            raise refuse(self.text, f"unknown attribute {quoted(name[1])}; "
                                    f"{listed(self.attributes)}")
        if op[0] != "op":
            raise refuse(self.text, f"expected =, !=, <, <=, > or >= after {name[1]}")
        if value[0] not in ("word", "text"):
            raise refuse(self.text, f"expected a value after {name[1]} {op[1]}")
        self.at += 3
        if attribute in COMMON or attribute in TEXTS:
            if op[1] not in ("=", "!="):
                raise refuse(self.text, f"{attribute} is a text: it takes = or !=, not {op[1]}")
            literal = value[1].upper() if attribute in WORDS else value[1]
        else:
            literal = number(value[1]) if value[0] == "word" else None
            if literal is None:
                raise refuse(self.text, f"{attribute} is a number, not {quoted(value[1])}")
        return ("compare", attribute, OPERATORS[op[1]], literal)


def attributes_of(kinds):
    """{attribute: [kinds that have it]} of the element kinds ``kinds``."""
    found = {name: list(kinds) for name in COMMON}
    for kind in kinds:
        for name in COLUMNS[kind]:
            found.setdefault(name, []).append(kind)
    return found


def listed(attributes):
    kinds = attributes["kind"]
    each = "; ".join(f"{kind}: {', '.join(COLUMNS[kind])}" for kind in kinds)
    return f"the attributes are {', '.join(COMMON)} and by kind {each}"


def parse(text, types):
    """The tree of EXPR ``text`` for elements of ``types`` (NODE, LINK)."""
    kinds = [kind for kind, t_type in KIND_TYPES.items() if t_type in types]
    return Parser(text, attributes_of(kinds)).parse()


def compared(text, types):
    """The (kind, attribute) columns that EXPR ``text`` compares among the
    elements of ``types``, in the order ``select`` reads them; None when
    ``text`` is refused (``select`` says why)."""
    try:
        tree = parse(text, types)
    except Failure:
        return None
    names = dict.fromkeys(columns_named(tree))
    return list(dict.fromkeys((kind, name) for t_type in types for name in names
                              for kind, t in KIND_TYPES.items()
                              if t == t_type and name in COLUMNS[kind]))


def columns_named(tree):
    if tree[0] == "compare":
        return [] if tree[1] in COMMON else [tree[1]]
    return [name for branch in tree[1:] for name in columns_named(branch)]


def uses_tag(tree):
    if tree[0] == "compare":
        return tree[1] == "tag"
    return any(uses_tag(branch) for branch in tree[1:])


def chosen(tree, model, tags, t_type):
    """The set of ids of the model's elements of ``t_type`` that ``tree``
    chooses; ``tags``: {(type, id): tag} of the network."""
    if tree[0] == "not":
        return set(model.elements(t_type)) - chosen(tree[1], model, tags, t_type)
    if tree[0] != "compare":
        a, b = (chosen(branch, model, tags, t_type) for branch in tree[1:])
        return a & b if tree[0] == "and" else a | b
    _, name, op, literal = tree
    kinds = [kind for kind, t in KIND_TYPES.items() if t == t_type]
    if name == "id":
        return {id for id in model.elements(t_type) if op(id, literal)}
    if name == "kind":
        return set().union(*(model.of_kind(kind) for kind in kinds if op(kind.upper(), literal)))
    if name == "tag":
        ids = model.elements(t_type)
        return {id for (t, id), tag in tags.items()
                if t == t_type and tag is not None and op(tag, literal) and id in ids}
    found = set()
    for kind in kinds:
        if name not in COLUMNS[kind]:
            continue
        column = model.columns[kind][name]
        values = column.values()
        if name in TEXTS or set(map(type, values)) <= {float}:
            found.update(itertools.compress(column, map(op, values, itertools.repeat(literal))))
        else:       # a general valve's setting may be its curve
            found.update(id for id, value in column.items()
                         if value.__class__ is float and op(value, literal))
    return found


def select(text, model, tags, types):
    """{type: ids in the model's order} that EXPR ``text`` chooses among
    the model's elements of ``types``; ``tags()`` gives the network's tags
    as orvane.get_tags does, called only when EXPR names ``tag``."""
    tree = parse(text, types)
    stored = {}
    if uses_tag(tree):
        stored = {(t["t_type"], t["id"]): t["tag"] for t in tags()}
    found = {}
    for t_type in types:
        ids = chosen(tree, model, stored, t_type)
        found[t_type] = list(filter(ids.__contains__, model.elements(t_type)))
    return found


def read_selected(path, text, tags, load=read_model):
    """The model at ``path`` and the network's ``tags`` (as orvane.get_tags
    gives them); with EXPR ``text``, the model holds only the elements it
    chooses (their places kept, so that a link is still drawn between nodes
    left out) and the tags only theirs and those of elements the model
    lacks.  ``load(path)`` reads the model when no EXPR asks for its
    attributes."""
    if text is None:
        return load(path), tags
    model = read_model(path, attributes=True)
    found = select(text, model, lambda: tags, ("NODE", "LINK"))
    left = {t_type: set(model.elements(t_type)) - set(ids) for t_type, ids in found.items()}
    model.nodes = {id: model.nodes[id] for id in found["NODE"]}
    model.links = {id: model.links[id] for id in found["LINK"]}
    model.link_kinds = {id: model.link_kinds[id] for id in found["LINK"]}
    return model, [t for t in tags if t["id"] not in left[t["t_type"]]]
