#!/usr/bin/env python3
"""Adds one deliberate fault to the sample: a patch that replaces one exact, unique piece of
text in one source file, and its line in faults.tsv.

  scripts/faults/new-fault.py ID FILE OLD NEW SUITES DESCRIPTION

SUITES are test binaries (comma-separated) whose tests should catch the fault; each is both
the build target and the CTest label the runner uses. The source file is not changed.
"""

import difflib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def main(argv):
    if len(argv) != 7:
        print(__doc__, file=sys.stderr)
        return 2
    fault_id, path, old, new, suites, description = argv[1:]
    with open(os.path.join(ROOT, path)) as f:
        text = f.read()
    if text.count(old) != 1:
        print(f"{path}: the text occurs {text.count(old)} times, not once: {old!r}",
              file=sys.stderr)
        return 1
    table = os.path.join(HERE, "faults.tsv")
    if os.path.exists(table):
        with open(table) as f:
            if any(line.split("\t")[0] == fault_id for line in f):
                print(f"fault {fault_id} exists already", file=sys.stderr)
                return 1
    changed = text.replace(old, new)
    diff = difflib.unified_diff(text.splitlines(True), changed.splitlines(True),
                                f"a/{path}", f"b/{path}", n=3)
    with open(os.path.join(HERE, "patches", f"{fault_id}.patch"), "w") as f:
        f.write(f"diff --git a/{path} b/{path}\n")
        f.writelines(diff)
    with open(table, "a") as f:
        f.write(f"{fault_id}\t{suites}\t{description}\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
