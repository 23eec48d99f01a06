"""Reads valgrind's XML report and fails on every error whose stacks pass
through a given shared object.

    python tools/memcheck_report.py REPORT.xml NAME

An error counts when a frame of any of its stacks (where it happened, where
the memory was allocated or freed, where an uninitialised value came from)
lies in a shared object whose file name begins with NAME. Each such error is
printed with its stacks; the others, which belong to the interpreter and its
libraries, are only counted.

Leaks count only when found by the check that the program itself asks for
(tools/valgrind_requests.c), between its two marks in the report; the check
that valgrind runs after the interpreter has finalised finds everything the
interpreter never frees. Exit status 1 when any error counts, 2 when the
report is missing or unfinished or holds no leak check.
"""

import os
import sys
import xml.etree.ElementTree as ET


def frames(stack):
    for frame in stack.iter("frame"):
        yield (frame.findtext("obj", ""), frame.findtext("fn", "?"),
               frame.findtext("file", ""), frame.findtext("line", ""))


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or error.findtext("kind")
    lines = [f"{error.findtext('kind')}: {what}"]
    for stack in error.iter("stack"):
        for obj, fn, file, line in frames(stack):
            where = f"{file}:{line}" if file else os.path.basename(obj)
            lines.append(f"    {fn} ({where})")
        lines.append("  --")
    return "\n".join(lines)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: memcheck_report.py REPORT.xml NAME")
    path, name = sys.argv[1:]
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as e:
        print(f"memcheck_report.py: {path}: {e}", file=sys.stderr)
        sys.exit(2)
    if root.find("status[state='FINISHED']") is None and not any(
            s.findtext("state") == "FINISHED" for s in root.iter("status")):
        print(f"memcheck_report.py: {path}: valgrind did not finish", file=sys.stderr)
        sys.exit(2)

    ours, others, checked, in_check = [], 0, False, False
    for node in root:
        if node.tag == "clientmsg":
            text = node.findtext("text", "")
            if "orvane leak check begins" in text:
                in_check = checked = True
            elif "orvane leak check ends" in text:
                in_check = False
            continue
        if node.tag != "error":
            continue
        if node.findtext("kind", "").startswith("Leak_") and not in_check:
            continue
        objs = {os.path.basename(obj) for stack in node.iter("stack") for obj, *_ in frames(stack)}
        if any(o.startswith(name) for o in objs):
            ours.append(node)
        else:
            others += 1
    if not checked:
        print(f"memcheck_report.py: {path}: the program ran no leak check", file=sys.stderr)
        sys.exit(2)
    for error in ours:
        print(describe(error), file=sys.stderr)
    print(f"memcheck: {len(ours)} errors through {name}, {others} elsewhere "
          f"(the interpreter and its libraries)")
    sys.exit(1 if ours else 0)


if __name__ == "__main__":
    main()
