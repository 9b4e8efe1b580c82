#!/usr/bin/env python3
"""Runs the benchmark programs of a Release build several times and tabulates their figures.

    bench/run-benchmarks.py [--build build/release] [--runs 5] [--only NAME]... [--out DIR]
    bench/run-benchmarks.py --table DIR     the table again from DIR's raw output

Each round runs every program once, in the order below, so that a change of the machine's load
is spread over all of them rather than landing on one. Every figure a program prints as
"name = value" (its ratios of medians, and the engine's and the burst's other figures) is
collected from each run; the table gives min / median / max over the runs, with the 1-minute
load average read before and after each run (min and max over that program's runs). The raw
output of every run is kept in DIR (default: a fresh folder under /tmp), beside results.json.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

# Program (path under the build's bench/), the arguments every run gets. The repetition flags
# keep a round near eight minutes on an idle 8-core machine.
PROGRAMS = [
    ("crypto/crypto_bench", []),
    ("messages/apm_messages_bench", ["--benchmark_repetitions=5"]),
    ("script/apm_script_bench", ["--benchmark_repetitions=5"]),
    ("storage/apm_storage_bench", ["--benchmark_repetitions=5"]),
    ("config/apm_config_bench", ["--benchmark_repetitions=5"]),
    ("values/apm_values_bench", []),
    ("dispatch/platform_dispatch_bench", ["--benchmark_repetitions=5"]),
    ("features/apm_features_bench", []),
    ("psm/psm_bench", ["--benchmark_repetitions=5"]),
    ("engine/apm_engine_bench", ["--benchmark_repetitions=5"]),
    ("engine/apm_conditional_properties_bench", ["--benchmark_repetitions=5"]),
    ("attribution/apm_attribution_bench", ["--benchmark_repetitions=5"]),
    ("bridge/bridge_bench", ["--benchmark_repetitions=5"]),
    ("engine/apm_event_burst", ["--app-dir", "{scratch}"]),
]

ANSI = re.compile(r"\x1b\[[0-9;]*m")
FIGURE = re.compile(r"^(\S.*?) = (-?[0-9.]+(?:[eE][-+]?[0-9]+)?)\b")
# psm_bench prints its ratios in a sentence of its own.
PSM_RATIO = re.compile(r"^full query of (\d+): .* ratio ([0-9.]+)$")


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def figures(output):
    found = {}
    for line in ANSI.sub("", output).splitlines():
        line = line.strip()
        if m := PSM_RATIO.match(line):
            found[f"full query of {m.group(1)} / its EC operations"] = float(m.group(2))
        elif m := FIGURE.match(line):
            found[m.group(1)] = float(m.group(2))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", action="append", default=[],
                        help="run only programs whose path contains this (repeatable)")
    parser.add_argument("--out", help="folder for raw output and results.json")
    parser.add_argument("--table", metavar="DIR", help="only print the table of an earlier run")
    args = parser.parse_args()
    if args.table:
        with open(os.path.join(args.table, "results.json")) as f:
            table(args.table, json.load(f))
        return

    programs = [p for p in PROGRAMS if not args.only or any(o in p[0] for o in args.only)]
    for path, _ in programs:
        if not os.access(os.path.join(args.build, "bench", path), os.X_OK):
            sys.exit(f"run-benchmarks: {args.build}/bench/{path} is not built")
    out = args.out or tempfile.mkdtemp(prefix="kvl-bench-")
    os.makedirs(out, exist_ok=True)
    # An interrupted run of the same folder is resumed: each program runs until it has --runs
    # good runs (exit 0 and figures printed); a failed run is kept aside and not counted.
    saved = os.path.join(out, "results.json")
    results = {}
    if os.path.exists(saved):
        with open(saved) as f:
            results = json.load(f)
    for path, _ in programs:
        results.setdefault(path, {"runs": [], "load": [], "seconds": []})

    for round_ in range(1, args.runs + 1):
        for path, extra in programs:
            entry = results[path]
            if len(entry["runs"]) >= round_:
                continue
            scratch = tempfile.mkdtemp(prefix="kvl-bench-app-")
            command = [os.path.join(args.build, "bench", path)]
            command += [a.replace("{scratch}", scratch) for a in extra]
            before, started = load_average(), time.monotonic()
            done = subprocess.run(command, capture_output=True, text=True)
            seconds, after = time.monotonic() - started, load_average()
            subprocess.run(["rm", "-rf", scratch])
            name = path.split("/")[-1]
            found = figures(done.stdout)
            good = done.returncode == 0 and found
            number = len(entry["runs"]) + 1
            file = f"{name}-{number}.txt" if good else f"{name}-failed-{int(time.time())}.txt"
            with open(os.path.join(out, file), "w") as f:
                f.write(done.stdout + "\n--- stderr\n" + done.stderr)
            print(f"round {round_} {name}: {seconds:.0f} s, load {before:.1f}-{after:.1f}, "
                  f"{len(found)} figures, exit {done.returncode}"
                  + ("" if good else f", not counted ({file})"), flush=True)
            if not good:
                continue
            entry["runs"].append(found)
            entry["load"] += [before, after]
            entry["seconds"].append(seconds)
            with open(saved, "w") as f:
                json.dump(results, f, indent=1)

    print(f"\nraw output and results.json in {out}\n")
    table(out, results)


def table(out, results):
    """Prints the table, the figures read again from the raw output kept in `out`."""
    print("| program | figure | min | median | max | load average |")
    print("|---|---|---|---|---|---|")
    for path, entry in results.items():
        name = path.split("/")[-1]
        runs = []
        for round_ in range(1, len(entry["runs"]) + 1):
            with open(os.path.join(out, f"{name}-{round_}.txt")) as f:
                runs.append(figures(f.read().split("\n--- stderr\n")[0]))
        names = []
        for run in runs:
            names += [n for n in run if n not in names]
        load = f"{min(entry['load']):.1f} to {max(entry['load']):.1f}"
        for n in names:
            values = [run[n] for run in runs if n in run]
            print(f"| {name} | {n} | {min(values):.2f} | {statistics.median(values):.2f} | "
                  f"{max(values):.2f} | {load} |"
                  + ("" if len(values) == len(runs) else f" ({len(values)} runs)"))

if __name__ == "__main__":
    main()
