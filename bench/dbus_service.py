#!/usr/bin/python3
"""What the daemon's D-Bus service costs a client: kxsentrixd in a test world, called through the
world's system bus by build/bench/kx_dbus_call_bench (libdbus, one connection per client, calls
back to back). Prints the round trip of "lastDateUpdate" on the idle daemon, and of "allTokens"
with 16 tokens of 10 certificates each, from one client and from 8 at once with the throughput,
and the daemon's CPU time per call. The round trip includes the bus daemon's two hops;
"allTokens" also the daemon's two log records per call, which the world's Python log receiver
takes in. The machine is shared: the CPU per call is the steadier figure.

Run as root on an optimised build (build directory of your choice):
    cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo && ninja -C build-rel -j2
    KX_BUILD_DIR=$PWD/build-rel /usr/bin/python3 bench/dbus_service.py [calls per client]
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "world"))
import world  # noqa: E402

CERTIFICATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sim",
                           "data", "alice.pem")
TOKENS, CERTIFICATES = 16, 10
LAST_UPDATE_MEDIAN_TARGET_MS = 0.5
THROUGHPUT_TARGET = 2000


def cpu_seconds(host_pid):
    with open(f"/proc/{host_pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(sandbox, daemon, method, calls, clients):
    """(calls, median, p90, p99 in ms, calls per second, daemon CPU per call in ms)"""
    tool = os.path.join(sandbox.build_dir, "bench", "kx_dbus_call_bench")
    cpu_before = cpu_seconds(daemon.host_pid)
    result = sandbox.run([tool, method, str(calls), str(clients)], check=True)
    cpu = cpu_seconds(daemon.host_pid) - cpu_before
    _, count, median, p90, p99, rate = result.stdout.split()
    return (int(count), float(median) / 1000, float(p90) / 1000, float(p99) / 1000, float(rate),
            1000 * cpu / int(count))


def report(title, figures, target=None):
    count, median, p90, p99, rate, cpu = figures
    print(f"  {title:<30} {count:5d} calls  median {median:6.3f} ms  p90 {p90:6.3f} ms  "
          f"p99 {p99:6.3f} ms  {rate:6.0f} calls/s  daemon CPU {cpu:5.3f} ms/call{target or ''}")


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    with world.World() as sandbox:
        daemon = sandbox.start_daemon().wait_ready()
        print("D-Bus round trips through the world's system bus:")
        idle = measure(sandbox, daemon, "lastDateUpdate", calls, 1)
        report("lastDateUpdate, idle, 1 client", idle,
               f"   median target < {LAST_UPDATE_MEDIAN_TARGET_MS} ms   "
               f"{'met' if idle[1] < LAST_UPDATE_MEDIAN_TARGET_MS else 'MISSED'}")

        for slot in range(1, TOKENS + 1):
            certificates = []
            for number in range(CERTIFICATES):
                certificates += ["--cert", CERTIFICATE, "--cert-id", f"{number:02x}"]
            sandbox.kxsim("insert", str(slot), "--label", f"Token {slot}", "--model",
                          "Korvex Quill", "--isd", "KX123", "--profile",
                          f"user{slot}@example.org", *certificates)
        daemon.wait_for_log(f"[INFO] Подключено новое устройство в слоте {TOKENS} "
                            f"label:Token {TOKENS} model:Korvex Quill 4 (USB-C)", timeout=30)
        report(f"allTokens, {TOKENS}x{CERTIFICATES}, 1 client",
               measure(sandbox, daemon, "allTokens", calls, 1))
        crowded = measure(sandbox, daemon, "allTokens", calls // 4, 8)
        report(f"allTokens, {TOKENS}x{CERTIFICATES}, 8 clients", crowded,
               f"   target >= {THROUGHPUT_TARGET} calls/s   "
               f"{'met' if crowded[4] >= THROUGHPUT_TARGET else 'MISSED'}")
        assert daemon.stop() == 0


if __name__ == "__main__":
    main()
