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

A program that is not built, exits non-zero (every program checks both sides' output before
timing them, and exits 1 on a mismatch or a failed benchmark), prints no figures, or runs past
--timeout is said by name as it happens; the other programs still run and the table gives
every row they printed (a program without a good run gets a row saying so). At the end the
failures are listed again on stderr and the script exits 1.
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
# psm_bench printed its ratios in a sentence of its own before it used the shared reporter
# (kept for --table of older runs).
PSM_RATIO = re.compile(r"^full query of (\d+): .* ratio ([0-9.]+)$")


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def run_text(command):
    try:
        return subprocess.run(command, capture_output=True, text=True).stdout.strip()
    except OSError as e:
        return f"({' '.join(command)}: {e})"


def describe_machine(build):
    """The machine, the commit and the time of a run, as the table's notes give them."""
    with open("/proc/meminfo") as f:
        memory = f.readline().strip()
    source = os.path.dirname(os.path.abspath(__file__))
    return (f"started {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}, "
            f"uptime: {run_text(['uptime'])}\n"
            f"commit {run_text(['git', '-C', source, 'rev-parse', 'HEAD'])}"
            f" ({run_text(['git', '-C', source, 'status', '--porcelain', '--untracked-files=no']) or 'clean'})\n"
            f"build {os.path.abspath(build)}\n"
            f"nproc {run_text(['nproc'])}\n{memory}\n{run_text(['lscpu'])}\n\n")


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
    parser.add_argument("--timeout", type=float, default=1800,
                        help="seconds a program may run before it is stopped and counted failed")
    args = parser.parse_args()
    if args.table:
        with open(os.path.join(args.table, "results.json")) as f:
            empty = table(args.table, json.load(f))
        if empty:
            sys.exit(f"run-benchmarks: no good run of {', '.join(empty)}")
        return

    programs = [p for p in PROGRAMS if not args.only or any(o in p[0] for o in args.only)]
    if not programs:
        sys.exit(f"run-benchmarks: no program matches {args.only}")
    # What went wrong, by program: a program that is not built, or a run that failed, is said
    # by name here and at the end; the other programs still run and their rows are printed.
    failures = {}
    missing = [path for path, _ in programs
               if not os.access(os.path.join(args.build, "bench", path), os.X_OK)]
    for path in missing:
        failures.setdefault(path, []).append(f"{args.build}/bench/{path} is not built")
        print(f"run-benchmarks: {args.build}/bench/{path} is not built, skipped", flush=True)
    programs = [p for p in programs if p[0] not in missing]
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
    # What the figures were measured on and when: the table is restated from this.
    with open(os.path.join(out, "machine.txt"), "a") as f:
        f.write(describe_machine(args.build))

    for round_ in range(1, args.runs + 1):
        for path, extra in programs:
            entry = results[path]
            if len(entry["runs"]) >= round_:
                continue
            scratch = tempfile.mkdtemp(prefix="kvl-bench-app-")
            command = [os.path.join(args.build, "bench", path)]
            command += [a.replace("{scratch}", scratch) for a in extra]
            before, started = load_average(), time.monotonic()
            try:
                done = subprocess.run(command, capture_output=True, text=True,
                                      timeout=args.timeout)
                stdout, stderr, code = done.stdout, done.stderr, done.returncode
                why = f"exit {code}" if code >= 0 else f"killed by signal {-code}"
            except subprocess.TimeoutExpired as e:
                stdout = e.stdout.decode(errors="replace") if e.stdout else ""
                stderr = e.stderr.decode(errors="replace") if e.stderr else ""
                code, why = None, f"stopped after {args.timeout:.0f} s"
            except OSError as e:
                stdout, stderr, code, why = "", str(e), None, f"could not start: {e}"
            seconds, after = time.monotonic() - started, load_average()
            subprocess.run(["rm", "-rf", scratch])
            name = path.split("/")[-1]
            found = figures(stdout)
            good = code == 0 and bool(found)
            if code == 0 and not found:
                why = "exit 0 but no figures printed"
            number = len(entry["runs"]) + 1
            file = f"{name}-{number}.txt" if good else f"{name}-failed-r{round_}-{int(time.time())}.txt"
            with open(os.path.join(out, file), "w") as f:
                f.write(stdout + "\n--- stderr\n" + stderr)
            print(f"round {round_} {name}: {seconds:.0f} s, load {before:.1f}-{after:.1f}, "
                  f"{len(found)} figures, {why}"
                  + ("" if good else f", not counted ({file})"), flush=True)
            if not good:
                last = stderr.strip().splitlines()[-1:] or ["(nothing on stderr)"]
                failures.setdefault(path, []).append(
                    f"round {round_}: {why} ({file}): {last[0][:200]}")
            if not good:
                continue
            entry["runs"].append(found)
            entry["load"] += [before, after]
            entry["seconds"].append(seconds)
            with open(saved, "w") as f:
                json.dump(results, f, indent=1)

    with open(os.path.join(out, "machine.txt"), "a") as f:
        f.write(f"ended {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}, "
                f"uptime: {run_text(['uptime'])}\n")
    print(f"\nraw output and results.json in {out}\n")
    table(out, results)
    if failures:
        print("\nfailed:", file=sys.stderr)
        for path, reasons in failures.items():
            for reason in reasons:
                print(f"  {path.split('/')[-1]}: {reason}", file=sys.stderr)
        sys.exit(1)


def table(out, results):
    """Prints the table, the figures read again from the raw output kept in `out`.

    A program without a good run gets one row saying so; the others are printed in full.
    Returns the names of the programs without a good run."""
    print("| program | figure | min | median | max | load average |")
    print("|---|---|---|---|---|---|")
    empty = []
    # A row with fewer values than the program with the most good runs says how many it has.
    most = max((len(entry["runs"]) for entry in results.values()), default=0)
    for path, entry in results.items():
        name = path.split("/")[-1]
        runs = []
        for round_ in range(1, len(entry["runs"]) + 1):
            with open(os.path.join(out, f"{name}-{round_}.txt")) as f:
                runs.append(figures(f.read().split("\n--- stderr\n")[0]))
        if not runs:
            empty.append(name)
            print(f"| {name} | no good run (see {name}-failed-*.txt) | | | | |")
            continue
        names = []
        for run in runs:
            names += [n for n in run if n not in names]
        load = f"{min(entry['load']):.1f} to {max(entry['load']):.1f}"
        for n in names:
            values = [run[n] for run in runs if n in run]
            print(f"| {name} | {n} | {min(values):.2f} | {statistics.median(values):.2f} | "
                  f"{max(values):.2f} | {load} |"
                  + ("" if len(values) == most else f" ({len(values)} runs)"))
    return empty


if __name__ == "__main__":
    main()
