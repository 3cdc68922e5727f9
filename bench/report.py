#!/usr/bin/python3
"""Runs the benchmarks of bench/ and prints one table of their figures: metric, figure, target,
whether it is met, and a note (where the machine or the libraries bound a figure, the note says
so with the evidence the benchmark gathered). scripts/bench builds build-rel/ and calls this.

    /usr/bin/python3 bench/report.py [--build DIR] [NAME ...]

NAME picks benchmarks by name (default: all). The raw figures are also written to
DIR/bench-report.json. Each benchmark runs on its own too; see the header of its file. Exit
status 1 when a benchmark could not run; a missed target is reported, not an error."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
RUN_IN_WORLD = os.path.join(SOURCE_DIR, "tests", "world", "run-in-world")
# The rows of bench/removal_lock_latency.py, each a benchmark of its own here.
REMOVAL_ROWS = ("small", "crowded", "xfreerdp", "eid", "eid5", "token", "tokens10", "tmp",
                "alltokens", "second", "alltokens_wait", "proc5", "log_rate")


def benchmarks(build_dir):
    """(name, command) of every benchmark, cheap ones first."""
    python = ["/usr/bin/python3"]
    tool = os.path.join(build_dir, "bench")
    return [
        ("kxsim_event", [f"{tool}/kxsim_event_bench"]),
        ("tickets_scan", [RUN_IN_WORLD, f"{tool}/kx_tickets_scan_bench"]),
        ("token", [RUN_IN_WORLD, f"{tool}/kx_token_bench"]),
        ("match_inputs", [RUN_IN_WORLD, f"{tool}/kx_match_inputs_bench"]),
        ("world_start", python + [f"{HERE}/world_start.py"]),
        ("daemon_idle", python + [f"{HERE}/daemon_idle.py"]),
        ("removal_reaction", python + [f"{HERE}/removal_reaction.py"]),
        *((f"removal_lock_latency_{row}", python + [f"{HERE}/removal_lock_latency.py", row])
          for row in REMOVAL_ROWS),
        ("dbus_service", python + [f"{HERE}/dbus_service.py"]),
        ("dbus_attacks", python + [f"{HERE}/dbus_attacks.py"]),
        ("tmp_flood", python + [f"{HERE}/tmp_flood.py"]),
    ]


def run(name, command, build_dir):
    """The benchmark's figures, or None when it failed (its output then goes to stderr)."""
    began = time.monotonic()
    print(f"running {name} ...", file=sys.stderr, flush=True)
    result = subprocess.run(command + ["--json"], capture_output=True, text=True,
                            env=dict(os.environ, KX_BUILD_DIR=build_dir))
    lines = result.stdout.strip().splitlines()
    try:
        document = json.loads(lines[-1]) if result.returncode == 0 and lines else None
    except json.JSONDecodeError:
        document = None
    if document is None:
        print(f"{name} failed (status {result.returncode}):\n{result.stdout}{result.stderr}",
              file=sys.stderr)
        return None
    print(f"  {name}: {time.monotonic() - began:.0f} s", file=sys.stderr, flush=True)
    return document["figures"]


def met(figure):
    if figure["target"] is None:
        return ""
    if figure["goal"] == "min":
        return "met" if figure["value"] >= figure["target"] else "MISSED"
    return "met" if figure["value"] <= figure["target"] else "MISSED"


def number(value):
    return f"{value:,.4g}" if isinstance(value, float) and value < 1000 else f"{value:,}"


def table(rows):
    """rows: (metric, figure text, target text, met, note)."""
    width = shutil.get_terminal_size((160, 40)).columns
    heads = ("metric", "figure", "target", "met")
    widths = [max(len(head), *(len(row[i]) for row in rows)) for i, head in enumerate(heads)]
    fixed = sum(widths) + 2 * len(widths)
    note_width = max(40, width - fixed)
    lines = ["  ".join(head.ljust(w) for head, w in zip(heads + ("note",), widths + [0]))]
    lines.append("-" * min(width, fixed + note_width))
    for row in rows:
        notes = textwrap.wrap(row[4], note_width) or [""]
        lines.append("  ".join(cell.ljust(w) for cell, w in zip(row[:4], widths)) + "  " +
                     notes[0])
        lines += [" " * (fixed) + note for note in notes[1:]]
    return "\n".join(lines)


def main():
    args = sys.argv[1:]
    build_dir = os.path.join(SOURCE_DIR, "build-rel")
    if args[:1] == ["--build"]:
        build_dir, args = os.path.abspath(args[1]), args[2:]
    if os.geteuid() != 0:
        sys.exit("The benchmarks start test worlds: run them as root.")
    chosen = [(name, command) for name, command in benchmarks(build_dir)
              if not args or name in args]
    if not chosen:
        sys.exit(f"no benchmark named {' '.join(args)}")

    rows, collected, failed = [], {}, False
    for name, command in chosen:
        figures = run(name, command, build_dir)
        if figures is None:
            failed = True
            rows.append((name, "-", "-", "FAILED", "the benchmark did not run to its end"))
            continue
        collected[name] = figures
        for figure in figures:
            target = ("" if figure["target"] is None else
                      ("<= " if figure["goal"] != "min" else ">= ") + number(figure["target"]))
            rows.append((figure["metric"], f"{number(figure['value'])} {figure['unit']}",
                         target, met(figure), figure["note"]))
    with open(os.path.join(build_dir, "bench-report.json"), "w") as raw:
        json.dump(collected, raw, ensure_ascii=False, indent=1)
    print(table(rows))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
