#!/usr/bin/env python3
"""Adds one deliberate fault to the sample: a patch that replaces one exact, unique piece of
text in one source file, and its line in faults.tsv.

  scripts/faults/new-fault.py ID FILE OLD NEW SUITES DESCRIPTION
  scripts/faults/new-fault.py --remake ID FILE OLD NEW [SUITES DESCRIPTION]

SUITES are test binaries (comma-separated) whose tests should catch the fault; each is both
the build target and the CTest label the runner uses. The source file is not changed.

--remake writes the patch of a fault already in faults.tsv again, against the code as it is
now (when the old patch no longer applies); its line keeps its place, and SUITES and
DESCRIPTION, when given, replace those on it.
"""

import difflib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def main(argv):
    remake = len(argv) > 1 and argv[1] == "--remake"
    if remake:
        argv = argv[1:]
    if len(argv) != 7 and not (remake and len(argv) == 5):
        print(__doc__, file=sys.stderr)
        return 2
    fault_id, path, old, new = argv[1:5]
    suites, description = argv[5:7] if len(argv) == 7 else (None, None)
    with open(os.path.join(ROOT, path)) as f:
        text = f.read()
    if text.count(old) != 1:
        print(f"{path}: the text occurs {text.count(old)} times, not once: {old!r}",
              file=sys.stderr)
        return 1
    table = os.path.join(HERE, "faults.tsv")
    rows = []
    if os.path.exists(table):
        with open(table) as f:
            rows = f.readlines()
    at = [i for i, line in enumerate(rows) if line.split("\t")[0] == fault_id]
    if at and not remake:
        print(f"fault {fault_id} exists already", file=sys.stderr)
        return 1
    if remake and not at:
        print(f"fault {fault_id} is not in faults.tsv", file=sys.stderr)
        return 1
    changed = text.replace(old, new)
    diff = difflib.unified_diff(text.splitlines(True), changed.splitlines(True),
                                f"a/{path}", f"b/{path}", n=3)
    with open(os.path.join(HERE, "patches", f"{fault_id}.patch"), "w") as f:
        f.write(f"diff --git a/{path} b/{path}\n")
        f.writelines(diff)
    if remake:
        _, old_suites, old_description = rows[at[0]].rstrip("\n").split("\t", 2)
        rows[at[0]] = f"{fault_id}\t{suites or old_suites}\t{description or old_description}\n"
    else:
        rows.append(f"{fault_id}\t{suites}\t{description}\n")
    with open(table, "w") as f:
        f.writelines(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
