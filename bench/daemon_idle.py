#!/usr/bin/python3
"""What the idle daemon costs: kxsentrixd in a test world with 2 tokens inserted and 500 files
in /tmp (50 of them ticket caches with the right owner, so the ticket guard reads their status),
watched for 30 s.

CPU: the time each of the daemon's threads spent on a CPU (/proc/PID/task/TID/schedstat, in
nanoseconds: utime and stime come in 10 ms ticks, too coarse for a few milliseconds over 30 s).
Beside it, for the same time, build/bench/kx_sleep_loop_baseline sleeps 5 ms per pass and
nothing else: its CPU time is the floor of any 5 ms polling loop on this machine (a virtual
machine's timer wake-ups are dear), so the difference between the two is the daemon's own work.
A second bare loop runs as well: how far the two differ is how far this machine's noise alone
moves such a difference. The D-Bus worker and the configuration watcher wait on descriptors, so
idle they should neither wake nor use CPU.

Memory: VmRSS and the peak VmHWM. Most of it is the shared libraries' pages, so beside it
build/bench/kx_library_floor, a program that only loads the daemon's libraries and makes the
OpenSSL start-up the daemon makes, shows how much of the figure no code of the daemon can
change, and the daemon's anonymous memory (smaps_rollup) what is its own.

Run as root on an optimised build (build directory of your choice):
    cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && ninja -C build-rel -j2
    KX_BUILD_DIR=$PWD/build-rel /usr/bin/python3 bench/daemon_idle.py [seconds] [--json]
"""

import json
import os
import subprocess
import time

from benchlib import Report, cpu_busy, world

CPU_TARGET_PERCENT = 0.05
RSS_TARGET_MIB = 8.0
FILES_IN_TMP = 500
TICKET_CACHES = 50
WARM_UP_S = 2.0
CONFIG = '{\n"debug": true,\n"ticketsCheckInterval": 1000\n}\n'


def schedstat_seconds(task):
    with open(f"/proc/{task}/schedstat") as file:
        return int(file.read().split()[0]) / 1e9


def threads(host_pid):
    """{thread name: CPU seconds}; threads without a name of their own are numbered."""
    figures = {}
    for tid in sorted(os.listdir(f"/proc/{host_pid}/task"), key=int):
        with open(f"/proc/{host_pid}/task/{tid}/comm") as file:
            name = file.read().strip()
        if int(tid) == host_pid:
            name = "main"
        figures[name if name not in figures else f"{name}#{tid}"] = \
            schedstat_seconds(f"{host_pid}/task/{tid}")
    return figures


def wakeups(host_pid, tid):
    with open(f"/proc/{host_pid}/task/{tid}/status") as file:
        for line in file:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    return 0


def kib(path, *names):
    with open(path) as file:
        values = dict(line.split(":", 1) for line in file if ":" in line)
    return [int(values[name].split()[0]) for name in names]


def library_floor(build_dir):
    """VmRSS (KiB) of a program that loads the daemon's libraries, then after the OpenSSL
    start-up the daemon makes."""
    tool = os.path.join(build_dir, "bench", "kx_library_floor")
    loaded, started = subprocess.run([tool], capture_output=True, text=True,
                                     check=True).stdout.split()
    return int(loaded), int(started)


def cold_poll_us(build_dir):
    """The simulated library's poll as the daemon's loop makes it, after a 5 ms sleep (median,
    microseconds), from bench/kxsim_event_bench."""
    tool = os.path.join(build_dir, "bench", "kxsim_event_bench")
    output = subprocess.run([tool, "--json"], capture_output=True, text=True, check=True).stdout
    figures = json.loads(output.strip().splitlines()[-1])["figures"]
    return next(f["value"] for f in figures if "after a 5 ms sleep" in f["metric"])


def populate(sandbox):
    sandbox.write_daemon_config(CONFIG)
    for number in range(FILES_IN_TMP - TICKET_CACHES):
        sandbox.write(f"/tmp/session-{number:03}.dat", b"x" * 64)
    for number in range(TICKET_CACHES):
        uid = 2000 + number
        sandbox.write(f"/tmp/krb5cc_{uid}", b"ticket", mode=0o600, owner=(uid, uid))
    for slot, label in ((1, "Ivanov token"), (2, "Petrov token")):
        sandbox.kxsim("insert", str(slot), "--label", label, "--model", "Korvex Quill", "--isd",
                      "KX123", "--profile", f"{label.split()[0].lower()}@example.org")


def main():
    report = Report("daemon_idle")
    seconds = report.arg(0, 30.0, float)
    with world.World() as sandbox:
        populate(sandbox)
        daemon = sandbox.start_daemon().wait_ready()
        daemon.wait_for_log("[INFO] Подключено новое устройство в слоте 2 label:Petrov token "
                            "model:Korvex Quill 4 (USB-C)")
        time.sleep(WARM_UP_S)
        pid = daemon.host_pid

        # The baselines only sleep, so they run on the host; they end a moment after the window.
        baselines = [subprocess.Popen([os.path.join(sandbox.build_dir, "bench",
                                                    "kx_sleep_loop_baseline"),
                                       str(int(seconds) + 1)]) for _ in range(2)]
        time.sleep(0.1)
        busy_began = cpu_busy()
        began, threads_began = time.monotonic(), threads(pid)
        wakeups_began = wakeups(pid, pid)
        baselines_began = [schedstat_seconds(baseline.pid) for baseline in baselines]
        time.sleep(seconds)
        elapsed = time.monotonic() - began
        baseline_cpu, other_baseline_cpu = (schedstat_seconds(baseline.pid) - cpu for baseline, cpu
                                            in zip(baselines, baselines_began))
        spent = {name: cpu - threads_began.get(name, 0.0)
                 for name, cpu in threads(pid).items()}
        main_wakeups = wakeups(pid, pid) - wakeups_began
        busy, steal, total = (now - then for now, then in zip(cpu_busy(), busy_began))
        for baseline in baselines:
            baseline.wait()
        rss, hwm = kib(f"/proc/{pid}/status", "VmRSS", "VmHWM")
        anonymous, = kib(f"/proc/{pid}/smaps_rollup", "Anonymous")
        assert daemon.stop() == 0
        floor_loaded, floor_started = library_floor(sandbox.build_dir)
        poll_us = cold_poll_us(sandbox.build_dir)

    def percent(cpu_seconds):
        return 100.0 * cpu_seconds / elapsed

    cpu = sum(spent.values())
    own = percent(cpu - baseline_cpu)
    noise = abs(percent(baseline_cpu - other_baseline_cpu))
    scans = spent.get("kx-tickets", 0.0) / elapsed  # one scan a second
    passes = main_wakeups / elapsed
    pass_us = (spent.get("main", 0.0) - baseline_cpu) / max(main_wakeups, 1) * 1e6
    # What the loop and the guard must do, at this machine's prices: the library's poll every
    # pass, and the listing of /tmp every second.
    duties = poll_us * passes / 1e4 + percent(spent.get("kx-tickets", 0.0))
    machine = (f"{100.0 * busy / total:.0f}% of {os.cpu_count()} CPUs busy meanwhile "
               f"(steal {100.0 * steal / total:.1f}%)")
    split = ", ".join(f"{name} {percent(value):.3f}%" for name, value in spent.items())
    report.say(f"idle daemon, 2 tokens, {FILES_IN_TMP} files in /tmp ({TICKET_CACHES} ticket "
               f"caches), {elapsed:.1f} s after {WARM_UP_S:.0f} s warm-up; {machine}:")
    report.say(f"  CPU {cpu * 1000:8.1f} ms = {percent(cpu):6.3f} % of one core ({split})")
    report.say(f"  main thread wake-ups {main_wakeups / elapsed:6.0f} per second")
    report.say(f"  floor: a bare 5 ms sleep loop {percent(baseline_cpu):6.3f} % of one core, "
               f"another one beside it {percent(other_baseline_cpu):6.3f} %")
    bound = ""
    if duties > CPU_TARGET_PERCENT:
        bound = (f"; the library's poll each pass and the guard's listing each second alone "
                 f"make {duties:.3f}% at this machine's prices: bound by the machine")
    elif CPU_TARGET_PERCENT < own <= CPU_TARGET_PERCENT + noise:
        bound = "; the figure is within that noise: bound by the machine"
    report.figure("idle CPU over a bare 5 ms sleep loop", round(own, 4), "% of a core",
                  CPU_TARGET_PERCENT,
                  note=f"threads: {split}; the main thread {pass_us:.1f} us a pass over the bare "
                       f"loop's {baseline_cpu / max(main_wakeups, 1) * 1e6:.1f} us, the simulated "
                       f"library's poll alone {poll_us:.1f} us after a 5 ms sleep here "
                       f"(kxsim_event); the ticket guard's scan of the {FILES_IN_TMP} files "
                       f"{scans * 1e6:.0f} us a second; two bare loops side by side differ by "
                       f"{noise:.3f}%{bound}; {machine}")
    report.say(f"  the daemon's own work {own:6.3f} % of one core   target <= "
               f"{CPU_TARGET_PERCENT} %   {report.verdict(report.figures[-1])}")

    mib = 1024.0
    libraries = (": the libraries alone exceed the target, bound by the libraries"
                 if floor_started / mib > RSS_TARGET_MIB else "")
    report.figure("resident memory (VmRSS, idle)", round(rss / mib, 2), "MiB", RSS_TARGET_MIB,
                  note=f"peak VmHWM {hwm / mib:.2f} MiB; a program that only loads the daemon's "
                       f"libraries resides in {floor_loaded / mib:.2f} MiB, "
                       f"{floor_started / mib:.2f} MiB after the OpenSSL start-up the daemon "
                       f"makes{libraries}; anonymous memory, the libraries' written pages "
                       f"included, {anonymous / mib:.2f} MiB")
    report.say(f"  VmRSS {rss / mib:6.2f} MiB   VmHWM {hwm / mib:6.2f} MiB   anonymous "
               f"{anonymous / mib:6.2f} MiB   target <= {RSS_TARGET_MIB} MiB   "
               f"{report.verdict(report.figures[-1])}")
    report.say(f"  libraries alone {floor_loaded / mib:6.2f} MiB, with the OpenSSL start-up "
               f"{floor_started / mib:6.2f} MiB")
    report.finish()


if __name__ == "__main__":
    main()
