#!/usr/bin/python3
"""Prints how long a test world takes to start, to boot its machine with a ready daemon, and to
stop. Run as root after building: KX_BUILD_DIR=build bench/world_start.py [rounds]"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "world"))
import world  # noqa: E402


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 20
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
    print(f"test world, {rounds} rounds (milliseconds):")
    for name, values in figures.items():
        values = sorted(value * 1000 for value in values)
        print(f"  {name:13} median {statistics.median(values):7.1f}   max {values[-1]:7.1f}")


if __name__ == "__main__":
    main()
