#!/usr/bin/python3
"""How fast the daemon notices a removed token: kxsentrixd in a test world, a token inserted and
removed again 200 times. For each removal it measures from the moment just before the token's
entry is unlinked from the simulated library's directory to the arrival of the daemon's
"Отключено устройство в слоте ..." record at the world's /dev/log (the kernel's arrival time).
Both times are CLOCK_MONOTONIC, so the figure includes the loop's 5 ms pause, the library's poll,
the removal branch and the syslog send. A random wait of 0-10 ms before each removal spreads the
removals over the loop's phase.

Then once more behind a burst: a hostile storage-only device replaced 500 times (1,000 slot
events) just before the removal. The loop drains a burst without pausing between its events, so
the removal waits for that work, not for 1,000 passes of 5 ms.

Beside it a bare 5 ms sleep loop notes how late this machine wakes it (benchlib.MachineProbe):
the daemon waits for its next pass the same way, so the pause plus that lateness is as fast as
any 5 ms polling loop can react here.

Run as root on an optimised build (build directory of your choice):
    cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && ninja -C build-rel -j2
    KX_BUILD_DIR=$PWD/build-rel /usr/bin/python3 bench/removal_reaction.py [removals] [--json]
"""

import os
import random
import statistics
import time

from benchlib import MachineProbe, Report, nearest_rank, world

P99_TARGET_MS = 6.0
BURST_REPLACEMENTS = 500
BURST_TARGET_MS = 1500.0
LOOP_PAUSE_MS = 5.0
TOKENS = "/run/kxsim/tokens"
SLOT = 5
ENTRY = "label = Bench token\nmodel = Korvex Quill\nisd = KX123\nprofile = bench@example.org\n"
MODEL = "Korvex Quill 4 (USB-C)"


def insert(sandbox, daemon):
    """Renames a complete entry into place, as kxsim does, and waits for the announcement."""
    mark = sandbox.log_mark()
    sandbox.write(f"{TOKENS}/.{SLOT}.tmp", ENTRY)
    os.rename(sandbox.host_path(f"{TOKENS}/.{SLOT}.tmp"), sandbox.host_path(f"{TOKENS}/{SLOT}"))
    daemon.wait_for_log(f"[INFO] Подключено новое устройство в слоте {SLOT} label:Bench token "
                        f"model:{MODEL}", since=mark)


def remove(sandbox, daemon, spread_s=0.010):
    """Unlinks the entry at a random moment; returns the milliseconds until the record arrived."""
    entry = sandbox.host_path(f"{TOKENS}/{SLOT}")
    mark = sandbox.log_mark()
    time.sleep(random.uniform(0.0, spread_s))
    before = time.monotonic()
    os.unlink(entry)
    record = daemon.wait_for_log(f"[INFO] Отключено устройство в слоте {SLOT} label:Bench token "
                                 f"model:{MODEL}", since=mark, timeout=60)
    return (record.received - before) * 1000


def reactions(sandbox, daemon, rounds, spread_s=0.010):
    measured = []
    for _ in range(rounds):
        insert(sandbox, daemon)
        measured.append(remove(sandbox, daemon, spread_s))
    measured.sort()
    return measured


def behind_burst(sandbox, daemon):
    """The removal's reaction with a burst of slot events queued before it."""
    insert(sandbox, daemon)
    hidden, entry = (sandbox.host_path(f"{TOKENS}/{name}") for name in (".9.tmp", "9"))
    for _ in range(BURST_REPLACEMENTS):
        with open(hidden, "w") as file:
            file.write("label = Flash\nmodel = Korvex Disk2\n")
        os.rename(hidden, entry)
    return remove(sandbox, daemon, spread_s=0.0)


def describe(measured):
    return (f"min {measured[0]:6.2f}   median {statistics.median(measured):6.2f}   "
            f"p99 {nearest_rank(measured, 0.99):6.2f}   max {measured[-1]:6.2f}")


def machine_note(p99, probe):
    """What the machine adds, and whether it bounds the figure."""
    floor = LOOP_PAUSE_MS + probe.late_p99_ms()
    bound = (f"; the loop's {LOOP_PAUSE_MS:.0f} ms pause plus that lateness make "
             f"{floor:.2f} ms, which no 5 ms loop can beat here: bound by the machine"
             if floor > P99_TARGET_MS else "")
    return probe.describe() + bound


def main():
    report = Report("removal_reaction")
    rounds = report.arg(0, 200)
    with world.World() as sandbox:
        sandbox.write_daemon_config("{}\n")
        daemon = sandbox.start_daemon().wait_ready()
        daemon.wait_for_log("Запуск основного цикла FileWatcher")
        with MachineProbe(sandbox.build_dir) as probe:
            measured = reactions(sandbox, daemon, rounds)
        burst = behind_burst(sandbox, daemon)
        assert daemon.stop() == 0

    p99 = nearest_rank(measured, 0.99)
    report.say(f"token removal to the daemon's removal record, {rounds} removals (milliseconds):")
    report.say("  measured from just before unlink of the entry to the record's arrival at "
               "/dev/log, both in CLOCK_MONOTONIC")
    report.say(f"  {describe(measured)}")
    report.figure("removal to \"Отключено устройство\" record, p99", round(p99, 2), "ms",
                  P99_TARGET_MS,
                  note=f"median {statistics.median(measured):.2f} ms, max {measured[-1]:.2f} ms; "
                       + machine_note(p99, probe))
    report.say(f"  p99 target <= {P99_TARGET_MS} ms: {report.verdict(report.figures[-1])}")
    report.figure(f"removal behind a burst of {2 * BURST_REPLACEMENTS} slot events", round(burst),
                  "ms", BURST_TARGET_MS)
    report.say(f"  behind a burst of {2 * BURST_REPLACEMENTS} slot events: {burst:.0f} ms, target "
               f"<= {BURST_TARGET_MS:.0f} ms: {report.verdict(report.figures[-1])}")
    report.say(f"  {probe.describe()}")
    report.finish()


if __name__ == "__main__":
    main()
