#!/usr/bin/env python3
"""Route loading speed and memory of the real service under Wine.

Lays tolvane.exe, two copies of the stand-in route tool (one as the service's
ROUTE.EXE, one for the bare runs) and two small programs of the benchmark into
a fresh Wine prefix, writes a route file of ROUTES routes and, for ROUNDS
rounds, for each stand-in run time (DELAYS, in milliseconds, which the
stand-in reads from ROUTE.CFG beside it), runs:

- one service run, started through the service manager by bench_probe.exe,
  which follows it to its end and samples the service process's peak working
  set;
- while that service sleeps its five seconds after its last route, and so
  does nothing, one bare run: bench_spawn.exe starting the stand-in and
  waiting for it, ROUTES times in a row, with the creation flags the service
  uses for the route tool;
- right after the service has stopped, the same bare runs made from inside a
  service process: bench_spawn.exe registered as a service of its own
  (TolvaneBare) and started through the service manager, as Tolvane is.

Both are timed the same way: from the creation times of the stand-in's runs
(GetProcessTimes, stamped by the system at each launch), from the first run
to the last, divided by the number of runs after the first. Under Wine one
launch with a new console takes anything from 25 to 80 ms, and the machine's
pace drifts from second to second, so the two runs of a round follow each
other within seconds, and there are many rounds.

The ratios are taken per round and printed as the median over the rounds
with their spread (lowest and highest), and one by one; beside them, the
medians of the times themselves. The service against the bare runs from a
console is what the product costs together with running as a service; the
service against the bare runs from a service process is what the product
alone costs; the bare runs from a service process against those from a
console is what running as a service costs, with no product at all. Also printed: the size of the executable,
which the build strips as it is shipped, and the service process's peak
working set. It measures and prints; it passes no judgement, except that a
run which did not do what it should (wrong route-tool runs, a service that did
not stop) fails the benchmark.

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

# The service's route tool: Wine's other folders belong to a user who is none of
# the administrators, and the service runs no route tool there.
TOOL_DIR = "C:\\windows\\system32"
BARE_DIR = "C:\\bare"  # the bare runs' own copy of the stand-in, and its log
BARE_SERVICE_DIR = "C:\\bareservice"  # the same for the bare runs from a service
BARE_SERVICE = "TolvaneBare"
import winesession as ws  # noqa: E402

# Wine's trace of the services goes where the command that started the service
# manager writes: the registration, traced for the DLLs each process loads.
MODULE_TRACE = "-all,trace+service,+loaddll,+pid,+timestamp"

# CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE:
# the flags the service starts the route tool with.
SERVICE_CREATION_FLAGS = "04000210"


class BenchError(Exception):
    pass


class LostRun(BenchError):
    """A route tool run that never began or never logged its start: a launch
    the platform refused (Wine's CreateProcessA has been seen to fail under
    load; the service drops such a route without a record), or a run that
    died first. The round is not what it should measure, so it is run again."""


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
        self.routes = ["10.%d.%d.0 255.255.255.0 192.168.1.254" % (i // 256, i % 256)
                       for i in range(args.routes)]
        self.thrown_away = []  # why each round that lost a run was made again

    def install(self):
        p = self.prefix
        p.put(INSTALL_DIR + "\\tolvane.exe", source=self.args.tolvane)
        for folder in (TOOL_DIR, BARE_DIR, BARE_SERVICE_DIR):
            p.put(folder + "\\ROUTE.EXE", source=self.args.route_tool)
        p.put(INSTALL_DIR + "\\bench_spawn.exe", source=self.args.spawn)
        p.put(INSTALL_DIR + "\\bench_probe.exe", source=self.args.probe)
        text = "# %d routes for the benchmark\n" % len(self.routes)
        text += "".join(route + "\n" for route in self.routes)
        p.put(ROUTE_FILE, text.encode("ascii"))
        # In the prefix's table from the start, where the service's check finds
        # them: the stand-in changes no table.
        for route in self.routes:
            destination, _, gateway = route.split()
            p.ip("route", "add", destination + "/24", "via", gateway)
        p.keep_server()
        result = p.run([INSTALL_DIR + "\\tolvane.exe", "/REGISTER"], "register", debug=MODULE_TRACE)
        self.trace_path = os.path.join(p.log_dir, "%02d-register.err" % p.count)
        rc, out = result.rc, result.text
        if "registered successfully" not in out:
            raise BenchError("registration failed (status %d): %s" % (rc, out))
        command = "%s\\bench_spawn.exe service %s %s\\ROUTE.EXE %d %s" % (
            INSTALL_DIR, BARE_SERVICE, BARE_SERVICE_DIR, len(self.routes), SERVICE_CREATION_FLAGS)
        rc, out = self.wine("sc", "create", BARE_SERVICE, "binPath=", command)
        if rc != 0:
            raise BenchError("sc create %s failed (status %d): %s" % (BARE_SERVICE, rc, out))

    def wine(self, *args):
        """Runs `wine ARGS...`; returns (status, standard output as text)."""
        result = self.prefix.run(args, args[0].split("\\")[-1], timeout=300)
        return result.rc, result.text

    def remove(self, win_path):
        try:
            os.remove(self.prefix.host(win_path))
        except FileNotFoundError:
            pass

    def set_delay(self, delay_ms):
        for folder in (TOOL_DIR, BARE_DIR, BARE_SERVICE_DIR):
            if delay_ms == 0:
                self.remove(folder + "\\ROUTE.CFG")  # exits at once
            else:
                self.prefix.put(folder + "\\ROUTE.CFG", b"%d\n" % delay_ms)

    def tool_runs(self, folder):
        """The stand-in runs logged in this folder, in the order of their launches."""
        return ws.parse_route_log(self.prefix.read(folder + "\\ROUTE.LOG") or b"")

    def interval(self, folder, runs):
        """Mean ms from one stand-in run's creation to the next one's.

        Creation times are stamped by the system at each launch, whatever the
        run does after it.
        """
        created = [run[1] for run in self.tool_runs(folder)]
        if len(created) != runs:
            raise BenchError("%d route tool runs logged their start in %s, %d expected"
                             % (len(created), folder, runs))
        return (created[-1] - created[0]) / 1000.0 / (runs - 1)

    def bare(self):
        self.remove(BARE_DIR + "\\ROUTE.LOG")
        rc, out = self.wine(INSTALL_DIR + "\\bench_spawn.exe", BARE_DIR + "\\ROUTE.EXE",
                            str(len(self.routes)), SERVICE_CREATION_FLAGS)
        if rc != 0:
            error = LostRun if "call=CreateProcessA" in out else BenchError
            raise error("bench_spawn failed: %s" % out.strip())
        return self.interval(BARE_DIR, len(self.routes))

    def bare_in_service(self):
        """The bare runs, made by bench_spawn as a service of its own."""
        self.remove(BARE_SERVICE_DIR + "\\ROUTE.LOG")
        rc, out = self.wine(INSTALL_DIR + "\\bench_probe.exe", BARE_SERVICE, "240000")
        run = key_values(out, "run")
        if rc != 0 or run.get("result") != "stopped" or run.get("exit") != "0":
            error = LostRun if run.get("exit") not in (None, "0") else BenchError
            raise error("the bare runs from a service did not end well: %s" % out.strip())
        return self.interval(BARE_SERVICE_DIR, len(self.routes))

    def round(self):
        """One service run, one bare run while the service sleeps after its
        last route, and one bare run from a service process right after the
        service has stopped: (per route, bare, bare from a service, peak
        working set, start to stopped)."""
        self.remove(TOOL_DIR + "\\ROUTE.LOG")
        probe = self.prefix.start([INSTALL_DIR + "\\bench_probe.exe", SERVICE, "240000"],
                                  "bench_probe")
        while len(self.tool_runs(TOOL_DIR)) <= len(self.routes) and probe.proc.poll() is None:
            time.sleep(0.05)
        try:
            bare = self.bare()
        finally:
            # A round thrown away starts again from a service that has stopped.
            result = probe.finish(300)
        run = key_values(result.text, "run")
        log = [command for _, _, command in self.tool_runs(TOOL_DIR)]
        expected = ["ROUTE.EXE -f"] + ["ROUTE.EXE ADD %s MASK %s %s" % tuple(r.split())
                                       for r in self.routes]
        if log != expected and all(line in expected for line in log) \
                and log == sorted(log, key=expected.index) and len(set(log)) == len(log):
            raise LostRun("%d of the service's %d route tool runs never logged their start: %s"
                          % (len(expected) - len(log), len(expected),
                             ", ".join(repr(line) for line in expected if line not in log)))
        if log != expected:
            wrong = next(k for k, line in enumerate(log + [None]) if k >= len(expected)
                         or line != expected[k])
            raise BenchError("the route tool was not run once per route, in order: run %d was %r"
                             % (wrong, log[wrong] if wrong < len(log) else "missing"))
        if result.rc != 0 or run.get("result") != "stopped" or run.get("exit") != "0":
            raise BenchError("the service run did not end as it should: %s" % result.text)
        return (self.interval(TOOL_DIR, len(self.routes) + 1), bare, self.bare_in_service(),
                int(run["peak_working_set"]), float(run["stopped_ms"]))


    def keep_routes(self, flaps=12):
        """KeepRoutes 1 and one route through the address of a veth link, which
        Linux drops with the address, as Windows does, flapping for a minute
        (away 2 s, back 3 s): the seconds from the address coming back to the
        route being back in the table (the route tool's runs applied here), or
        None when it was not back before the address went again; and the
        working set while the service watches."""
        p, route = self.prefix, "10.60.0.0/16 via 192.168.60.7 dev v0"
        for args in (["link", "add", "v0", "type", "veth", "peer", "name", "v1"],
                     ["link", "set", "v1", "up"], ["link", "set", "v0", "up"]):
            p.ip(*args)
        p.put(ROUTE_FILE, b"10.60.0.0 255.255.0.0 192.168.60.7\n")
        self.set_delay(0)
        self.wine("reg", "add", "HKLM\\System\\CurrentControlSet\\Services\\Tolvane\\Parameters",
                  "/v", "KeepRoutes", "/t", "REG_DWORD", "/d", "1", "/f")
        self.remove(TOOL_DIR + "\\ROUTE.LOG")
        applied, back = 0, []

        def until_route(present, limit=30):
            nonlocal applied
            deadline = time.monotonic() + limit
            while (route in p.routes()) != present and time.monotonic() < deadline:
                runs = self.tool_runs(TOOL_DIR)
                for _, _, command in runs[applied:]:
                    p.route_command(command)
                applied = len(runs)
                time.sleep(0.02)
            return time.monotonic()
        p.ip("addr", "add", "192.168.60.1/24", "dev", "v0")
        probe = p.start([INSTALL_DIR + "\\bench_probe.exe", SERVICE, "600000"], "bench_probe")
        until_route(True)  # the boot's run, whose check comes five seconds later
        time.sleep(8)  # the boot has ended
        for _ in range(flaps):
            p.ip("addr", "del", "192.168.60.1/24", "dev", "v0")
            time.sleep(2)
            p.ip("addr", "add", "192.168.60.1/24", "dev", "v0")
            added = time.monotonic()
            seen = until_route(True, 3) - added
            back.append(seen if route in p.routes() else None)
            time.sleep(max(0, added + 3 - time.monotonic()))
        self.wine("sc", "stop", SERVICE)
        run = key_values(probe.finish(60).text, "run")
        return back, int(run["running_working_set"])

    def modules(self):
        """The DLLs the service's process loaded, as Wine's trace shows them."""
        with open(self.trace_path, "rb") as f:
            return sorted(set(ws.parse_trace(f.read().decode("latin-1")).modules))

    def round_again_if_lost(self, attempts=5):
        for attempt in range(attempts):
            try:
                return self.round()
            except LostRun as exc:
                self.thrown_away.append(str(exc))
                print("bench: round thrown away and made again: %s" % exc, flush=True)
                if attempt == attempts - 1:
                    raise
        return None


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
    parser.add_argument("--routes", type=int, default=70,
                        help="per run; the bare run must fit in the service's five-second sleep")
    parser.add_argument("--rounds", type=int, default=15)
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
    results = {d: {"service": [], "same_flags": [], "in_service": [], "ratio": [],
                   "product": [], "environment": [], "stop": []} for d in delays}
    peaks = []
    try:
        bench = Bench(prefix, args)
        bench.install()
        try:
            bench.bare()  # warm-up, not counted
        except LostRun as exc:
            bench.thrown_away.append("the warm-up: %s" % exc)
        for _ in range(args.rounds):
            for delay in delays:
                bench.set_delay(delay)
                r = results[delay]
                per_route, bare, in_service, peak, stopped_ms = bench.round_again_if_lost()
                r["same_flags"].append(bare)
                r["in_service"].append(in_service)
                r["service"].append(per_route)
                r["ratio"].append(per_route / bare)
                r["product"].append(per_route / in_service)
                r["environment"].append(in_service / bare)
                r["stop"].append(stopped_ms)
                peaks.append(peak)
        modules = bench.modules()
        back, watching = bench.keep_routes()
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
    print("%-9s %-20s %-20s %-20s %-17s %-17s %-17s %s"
          % ("tool runs", "per route", "bare (console)", "bare (service)", "ratio",
             "ratio (product)", "ratio (service)", "start to stopped"))
    for delay in delays:
        r = results[delay]
        print("%-9s %-20s %-20s %-20s %-17s %-17s %-17s %.0f"
              % ("%d ms" % delay, spread(r["service"], 1), spread(r["same_flags"], 1),
                 spread(r["in_service"], 1), spread(r["ratio"], 2), spread(r["product"], 2),
                 spread(r["environment"], 2), median(r["stop"])))
    print("  per route: the service's runs of the route tool, mean time from one launch"
          " to the next")
    print("  bare: bench_spawn's runs (CreateProcessA + WaitForSingleObject, with the service's"
          " creation flags 0x%s), timed the same way, from a console and from a service process"
          % SERVICE_CREATION_FLAGS)
    print("  ratio: per route / bare (console); ratio (product): per route / bare (service);"
          " ratio (service): bare (service) / bare (console); of the runs of each round")
    for name, key in (("ratio", "ratio"), ("ratio (product)", "product"),
                      ("ratio (service)", "environment")):
        print("  %s by round:" % name)
        for delay in delays:
            print("    %d ms: %s" % (delay, " ".join("%.2f" % v for v in results[delay][key])))
    size = os.path.getsize(args.tolvane)
    print("executable as shipped (stripped): %d bytes (%.1f KiB), %s"
          % (size, size / 1024, args.tolvane))
    print("DLLs the service's process loaded: %s" % ", ".join(modules))
    print("service process peak working set: %.1f MiB (largest of %d runs; smallest %.1f MiB)"
          % (max(peaks) / 2**20, len(peaks), min(peaks) / 2**20))
    seen = [b for b in back if b is not None]
    print("KeepRoutes 1, a link flapping for a minute (away 2 s, back 3 s): route back before its"
          " address went again in %d of %d cycles, %s s after its address; working set while the"
          " service watches: %.1f MiB" % (len(seen), len(back), spread(seen, 2) if seen else "-",
                                          watching / 2**20))
    print("rounds thrown away for a lost run, and made again: %d%s"
          % (len(bench.thrown_away), "".join("\n  " + why for why in bench.thrown_away)))
    print("bench wall time: %.0f s (prefix set-up %.0f s)"
          % (time.monotonic() - started, setup_seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
