#!/usr/bin/python3
"""Prints how long a test world takes to start, to boot its machine with a ready daemon, and to
stop. Run as root after building: KX_BUILD_DIR=build bench/world_start.py [rounds] [--json]"""

import statistics
import time

from benchlib import Report, world


def main():
    report = Report("world_start")
    rounds = report.arg(0, 20)
    figures = {"start": [], "daemon ready": [], "stop": []}
    for _ in range(rounds):
        began = time.monotonic()
        sandbox = world.World().start()
        started = time.monotonic()
        sandbox.start_daemon().wait_ready()
        ready = time.monotonic()
        sandbox.stop()
        stopped = time.monotonic()
        figures["start"].append(started - began)
        figures["daemon ready"].append(ready - started)
        figures["stop"].append(stopped - ready)
    report.say(f"test world, {rounds} rounds (milliseconds):")
    for name, values in figures.items():
        values = sorted(value * 1000 for value in values)
        median = statistics.median(values)
        report.say(f"  {name:13} median {median:7.1f}   max {values[-1]:7.1f}")
        report.figure(f"test world: {name}, median", round(median, 1), "ms",
                      note=f"max {values[-1]:.1f} ms of {rounds}; the harness, not the daemon")
    report.finish()


if __name__ == "__main__":
    main()
