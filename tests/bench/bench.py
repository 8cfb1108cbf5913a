#!/usr/bin/env python3
"""Route loading speed and memory of the real service under Wine.

Lays tolvane.exe, the stand-in route tool (as ROUTE.EXE) and two small
programs of the benchmark into a fresh Wine prefix, writes a route file of
ROUTES routes and, for ROUNDS rounds, for each stand-in run time (DELAYS, in
milliseconds, which the stand-in reads from ROUTE.CFG beside it), runs side by
side, so that both meet the same machine:

- bench_spawn.exe: the bare cost of starting the stand-in and waiting for it,
  ROUTES times in a row, with the creation flags the service uses for the
  route tool (and, for comparison, once with none);
- one service run, started through the service manager by bench_probe.exe,
  which follows it to its end and samples the service process's peak working
  set.

Both are timed the same way: from the creation times of the stand-in's runs
(GetProcessTimes, stamped by the system at each launch), as the median time
from one launch to the next.

The ratio of the two is taken per round, from runs that followed each other,
and printed as the median over the rounds with its spread (lowest and
highest), beside the medians of the times themselves. Also printed: the size
of the executable, which the build strips as it is shipped, and the service
process's peak working set. It
measures and prints; it passes no judgement, except that a run which did not
do what it should (wrong route-tool runs, a service that did not stop) fails
the benchmark.

Python standard library only. Wine output always goes to files: services.exe
keeps the output handles of the command that started it open.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "wine"))
from winesession import INSTALL_DIR, ROUTE_FILE, SERVICE  # noqa: E402
import winesession as ws  # noqa: E402

# CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE:
# the flags the service starts the route tool with.
SERVICE_CREATION_FLAGS = "04000210"


class BenchError(Exception):
    pass


def fresh_prefix(work, log_dir):
    """A new prefix at WORK/prefix: a template made and copied, then dropped."""
    template, path = os.path.join(work, "template"), os.path.join(work, "prefix")
    for folder in (template, path):
        shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(log_dir, exist_ok=True)
    ws.make_template(template, log_dir)
    prefix = ws.Prefix(template, path, log_dir)
    shutil.rmtree(template)  # the copy's hard links keep its files
    return prefix


def key_values(text, kind):
    """The key=value fields of the last line starting with `kind`."""
    lines = [line for line in text.splitlines() if line.startswith(kind + " ")]
    if not lines:
        raise BenchError("no '%s' line in: %r" % (kind, text[-500:]))
    fields = {}
    for word in lines[-1].split()[1:]:
        key, _, value = word.partition("=")
        fields[key] = value
    return fields


class Bench:
    def __init__(self, prefix, args):
        self.prefix = prefix
        self.args = args
        self.tool = INSTALL_DIR + "\\ROUTE.EXE"
        self.routes = ["10.%d.%d.0 255.255.255.0 192.168.1.254" % (i // 256, i % 256)
                       for i in range(args.routes)]

    def install(self):
        p = self.prefix
        p.put(INSTALL_DIR + "\\tolvane.exe", source=self.args.tolvane)
        p.put(self.tool, source=self.args.route_tool)
        p.put(INSTALL_DIR + "\\bench_spawn.exe", source=self.args.spawn)
        p.put(INSTALL_DIR + "\\bench_probe.exe", source=self.args.probe)
        text = "# %d routes for the benchmark\n" % len(self.routes)
        text += "".join(route + "\n" for route in self.routes)
        p.put(ROUTE_FILE, text.encode("ascii"))
        p.keep_server()
        rc, out = self.wine(INSTALL_DIR + "\\tolvane.exe", "/REGISTER")
        if "registered successfully" not in out:
            raise BenchError("registration failed (status %d): %s" % (rc, out))

    def wine(self, *args):
        """Runs `wine ARGS...`; returns (status, standard output as text)."""
        result = self.prefix.run(args, args[0].split("\\")[-1], timeout=120)
        return result.rc, result.text

    def remove(self, win_path):
        try:
            os.remove(self.prefix.host(win_path))
        except FileNotFoundError:
            pass

    def set_delay(self, delay_ms):
        if delay_ms == 0:
            self.remove(INSTALL_DIR + "\\ROUTE.CFG")  # exits at once
        else:
            self.prefix.put(INSTALL_DIR + "\\ROUTE.CFG", b"%d\n" % delay_ms)

    def clear_tool_logs(self):
        for name in ("ROUTE.LOG", "ROUTE.PID"):
            self.remove(INSTALL_DIR + "\\" + name)

    def interval(self, runs):
        """Median ms from one stand-in run's creation to the next one's.

        Creation times are stamped by the system at each launch, whatever the
        run does after it; the median leaves out the odd interval that met a
        burst of load on the machine.
        """
        created = sorted(int(line.split()[1]) for line in
                         self.prefix.read(INSTALL_DIR + "\\ROUTE.PID").decode().splitlines())
        if len(created) != runs:
            raise BenchError("%d route tool runs logged their start, %d expected"
                             % (len(created), runs))
        return median([(b - a) / 1000.0 for a, b in zip(created, created[1:])])

    def bare(self, flags):
        self.clear_tool_logs()
        rc, out = self.wine(INSTALL_DIR + "\\bench_spawn.exe", self.tool,
                            str(len(self.routes)), flags)
        if rc != 0:
            raise BenchError("bench_spawn failed: %s" % out)
        return self.interval(len(self.routes))

    def service_run(self):
        self.clear_tool_logs()
        rc, out = self.wine(INSTALL_DIR + "\\bench_probe.exe", SERVICE, "60000")
        run = key_values(out, "run")
        if rc != 0 or run.get("result") != "stopped" or run.get("exit") != "0":
            raise BenchError("the service run did not end well: %s" % out)
        log = self.prefix.read(INSTALL_DIR + "\\ROUTE.LOG").decode("latin-1").splitlines()
        expected = ["ROUTE.EXE -f"] + ["ROUTE.EXE ADD %s MASK %s %s" % tuple(r.split())
                                       for r in self.routes]
        if log != expected:
            raise BenchError("the route tool was not run once per route, in order: %r" % log[:5])
        return (self.interval(len(self.routes) + 1), int(run["peak_working_set"]),
                float(run["stopped_ms"]))


def median(values):
    return statistics.median(values) if values else float("nan")


def spread(values, digits):
    """The median and, in brackets, the lowest and highest value."""
    form = "%%.%df" % digits
    return (form + " [" + form + "-" + form + "]") % (median(values), min(values), max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tolvane", required=True)
    parser.add_argument("--route-tool", required=True)
    parser.add_argument("--spawn", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True, help="folder for the prefix and the logs")
    parser.add_argument("--routes", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--delays", default="0,30", help="stand-in run times in ms")
    parser.add_argument("--keep", action="store_true", help="keep the prefix afterwards")
    args = parser.parse_args()
    delays = [int(d) for d in args.delays.split(",")]

    work = os.path.abspath(args.work)
    log_dir = os.path.join(work, "logs")
    shutil.rmtree(log_dir, ignore_errors=True)
    started = time.monotonic()
    prefix = fresh_prefix(work, log_dir)
    setup_seconds = time.monotonic() - started
    results = {d: {"service": [], "same_flags": [], "no_flags": [], "ratio": [], "stop": []}
               for d in delays}
    peaks = []
    try:
        bench = Bench(prefix, args)
        bench.install()
        bench.bare(SERVICE_CREATION_FLAGS)  # warm-up, not counted
        for _ in range(args.rounds):
            for delay in delays:
                bench.set_delay(delay)
                r = results[delay]
                bare = bench.bare(SERVICE_CREATION_FLAGS)
                per_route, peak, stopped_ms = bench.service_run()
                r["same_flags"].append(bare)
                r["service"].append(per_route)
                r["ratio"].append(per_route / bare)
                r["stop"].append(stopped_ms)
                r["no_flags"].append(bench.bare("0"))
                peaks.append(peak)
    except (BenchError, ws.WineError) as exc:
        print("bench: FAILED: %s (logs in %s)" % (exc, log_dir))
        return 1
    finally:
        prefix.close()
        if not args.keep:
            shutil.rmtree(prefix.path, ignore_errors=True)

    version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    print()
    print("Tolvane under %s: %d routes, %d rounds; medians [lowest-highest] in ms"
          % (version, len(bench.routes), args.rounds))
    print("%-9s %-22s %-22s %-19s %-22s %s" % ("tool runs", "per route", "bare start+wait",
                                              "ratio", "bare, flags 0", "start to stopped"))
    for delay in delays:
        r = results[delay]
        print("%-9s %-22s %-22s %-19s %-22s %.0f"
              % ("%d ms" % delay, spread(r["service"], 1), spread(r["same_flags"], 1),
                 spread(r["ratio"], 2), spread(r["no_flags"], 1), median(r["stop"])))
    print("  per route: the service's runs of the route tool, median time from one launch"
          " to the next")
    print("  bare: bench_spawn's runs (CreateProcessA + WaitForSingleObject, with the service's"
          " creation flags 0x%s), timed the same way" % SERVICE_CREATION_FLAGS)
    print("  ratio: per route / bare, of the two runs of each round")
    size = os.path.getsize(args.tolvane)
    print("executable as shipped (stripped): %d bytes (%.1f KiB), %s"
          % (size, size / 1024, args.tolvane))
    print("service process peak working set: %.1f MiB (largest of %d runs; smallest %.1f MiB)"
          % (max(peaks) / 2**20, len(peaks), min(peaks) / 2**20))
    print("bench wall time: %.0f s (prefix set-up %.0f s)"
          % (time.monotonic() - started, setup_seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
