"""What the benchmarks of bench/ share: their figures, printed as prose for a reader or, with
--json, as one JSON document on the last line of standard output for bench/report.py (the prose
then goes to standard error); and a probe of the machine, so a figure that the machine rather
than the daemon bounds can say so with evidence."""

import json
import math
import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "world"))
import world  # noqa: E402,F401  (for the benchmarks)


# The stored tokens of the D-Bus benchmarks: what "allTokens" answers with.
TOKENS, CERTIFICATES = 16, 10
_CERTIFICATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "sim",
                            "data", "alice.pem")


def insert_tokens(sandbox, daemon):
    """Puts TOKENS tokens of CERTIFICATES certificates each in slots 1.. and waits until the
    daemon has stored the last one."""
    for slot in range(1, TOKENS + 1):
        certificates = []
        for number in range(CERTIFICATES):
            certificates += ["--cert", _CERTIFICATE, "--cert-id", f"{number:02x}"]
        sandbox.kxsim("insert", str(slot), "--label", f"Token {slot}", "--model", "Korvex Quill",
                      "--isd", "KX123", "--profile", f"user{slot}@example.org", *certificates)
    daemon.wait_for_log(f"[INFO] Подключено новое устройство в слоте {TOKENS} "
                        f"label:Token {TOKENS} model:Korvex Quill 4 (USB-C)", timeout=30)


def nearest_rank(sorted_values, fraction):
    return sorted_values[max(0, math.ceil(fraction * len(sorted_values)) - 1)]


class Report:
    """Figures of one benchmark. Arguments other than --json are left in `args`."""

    def __init__(self, name):
        self.name = name
        self.json = "--json" in sys.argv[1:]
        self.args = [arg for arg in sys.argv[1:] if arg != "--json"]
        self.figures = []

    def arg(self, index, default, kind=int):
        return kind(self.args[index]) if len(self.args) > index else default

    def say(self, text=""):
        print(text, file=sys.stderr if self.json else sys.stdout, flush=True)

    def figure(self, metric, value, unit, target=None, goal="max", note=""):
        """goal "max": the figure must not exceed the target; "min": not fall below it."""
        self.figures.append({"metric": metric, "value": value, "unit": unit, "target": target,
                             "goal": goal, "note": note})

    @staticmethod
    def met(figure):
        if figure["target"] is None:
            return None
        if figure["goal"] == "min":
            return figure["value"] >= figure["target"]
        return figure["value"] <= figure["target"]

    def verdict(self, figure):
        met = self.met(figure)
        return "" if met is None else ("met" if met else "MISSED")

    def say_figures(self):
        """Each figure against its target, one line each, for the reader of the prose."""
        for figure in self.figures:
            bound = ">=" if figure["goal"] == "min" else "<="
            self.say(f"  {figure['metric']}: {figure['value']} {figure['unit']}, target "
                     f"{bound} {figure['target']}: {self.verdict(figure)}")

    def finish(self):
        if self.json:
            print(json.dumps({"benchmark": self.name, "figures": self.figures},
                             ensure_ascii=False))


def process_cpu_seconds(host_pid):
    """CPU time of all the process's threads so far (schedstat: nanoseconds on a CPU; utime and
    stime come in 10 ms ticks)."""
    total = 0
    for task in os.listdir(f"/proc/{host_pid}/task"):
        try:
            with open(f"/proc/{host_pid}/task/{task}/schedstat") as schedstat:
                total += int(schedstat.read().split()[0])
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return total / 1e9


def cpu_busy():
    """(busy, steal, total) jiffies of all CPUs since boot, from /proc/stat."""
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    idle = fields[3] + fields[4]
    steal = fields[7] if len(fields) > 7 else 0
    total = sum(fields[:8])
    return total - idle, steal, total


class MachineProbe:
    """Runs beside a measurement: a bare 5 ms sleep loop (kx_sleep_loop_baseline) that notes how
    late each wake-up comes, and the load of the machine's CPUs. A latency the daemon cannot
    go below on this machine is the loop's pause plus such a late wake-up."""

    def __init__(self, build_dir):
        self.tool = os.path.join(build_dir, "bench", "kx_sleep_loop_baseline")
        self.process = None
        self.result = None

    def __enter__(self):
        self.busy = cpu_busy()
        self.process = subprocess.Popen([self.tool, "0", "--json"], stdout=subprocess.PIPE,
                                        text=True)
        return self

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        output, _ = self.process.communicate(timeout=30)
        busy, steal, total = (now - then for now, then in zip(cpu_busy(), self.busy))
        self.result = json.loads(output.strip().splitlines()[-1])
        self.result["cpus"] = os.cpu_count()
        self.result["busy_percent"] = 100.0 * busy / max(total, 1)
        self.result["steal_percent"] = 100.0 * steal / max(total, 1)
        self.result["load"] = os.getloadavg()[0]
        return False

    def late_p99_ms(self):
        return self.result["late_p99_us"] / 1000

    def describe(self):
        r = self.result
        return (f"machine meanwhile: {r['busy_percent']:.0f}% of {r['cpus']} CPUs busy "
                f"(steal {r['steal_percent']:.1f}%), load {r['load']:.1f}; a bare 5 ms sleep "
                f"woke late by {r['late_p50_us'] / 1000:.2f} ms (median), "
                f"{r['late_p99_us'] / 1000:.2f} ms (p99)")
