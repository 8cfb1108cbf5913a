#!/usr/bin/env python3
"""End-to-end suite: the real tolvane.exe, registered and booted under Wine.

Each scenario gets its own copy of one template prefix made for this run, so
they run side by side. A scenario checks exact console lines and exit
statuses, the registration as Wine's `reg` and our svcprobe see it, the
command lines the stand-in route tool logged (in order), the status reports
and event-log records the service sent (from Wine's trace of the boot) and
the timing between them.

    e2e.py --tolvane build/win/tolvane.exe \
           --route-tool build/win/tests/wine/fake_route.exe \
           --probe build/win/tests/wine/svcprobe.exe --version 1.1.0 \
           --msi build/win/tolvane-1.1.0-x64.msi --package-files build/win/package/files \
           [--jobs N] [--keep] [NAME...]
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import traceback

sys.dont_write_bytecode = True  # nothing cached beside the sources
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winesession as ws  # noqa: E402

SERVICE = ws.SERVICE
BANNER = None  # "Tolvane  Version <version>", from --version
EXAMPLE_ROUTES = (b"# static routes added at boot\n"
                  b"10.0.0.0     255.0.0.0      192.168.1.254\n"
                  b"172.16.5.0   192.168.1.253          # mask left to the route tool\n"
                  b"#192.168.9.0 255.255.255.0  192.168.1.252\n")
EXAMPLE_COMMANDS = ["ROUTE.EXE -f",
                    "ROUTE.EXE ADD 10.0.0.0 MASK 255.0.0.0 192.168.1.254",
                    "ROUTE.EXE ADD 172.16.5.0 192.168.1.253"]
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\Tolvane"
SOURCE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvane"
DESCRIPTION = ("Adds the static routes listed in %SystemRoot%\\System32\\drivers\\etc\\ROUTE"
               " at every boot; with KeepRoutes set, puts them back whenever a network returns.")

# States as SetServiceStatus sends them.
STOPPED, START_PENDING, STOP_PENDING, RUNNING, PAUSED = 1, 2, 3, 4, 7
ALL_CONTROLS = 0x7  # stop, pause and continue, shutdown

# Reports of one undisturbed run: (state, check point, wait hint, controls).
NORMAL_REPORTS = [(START_PENDING, 1, 1000, 0), (START_PENDING, 2, 1000, 0),
                  (RUNNING, 0, 1000, ALL_CONTROLS), (STOPPED, 0, 1000, ALL_CONTROLS)]

# Times are read off Wine's trace of the service's own calls and reports, in
# whole milliseconds; a timed wait can end a few of them early on that clock
# (Sleep(5000) was seen to take 4999 ms). Lower bounds are what the service
# guarantees, less this slack.
CLOCK_SLACK_MS = 50
SETTLE_MS = 5000        # the loader's sleep after its last route
CHILD_POLL_MS = 100     # the longest wait between two status reads of a route tool
CHILD_READS = 11        # status reads, and 10 waits, for a tool that does not end
# An upper bound only catches a hang; a loaded machine stays far below it.
HANG_MS = 30000
WATCH_POLL_S = 1.0       # a service that keeps its routes reads the addresses this often


class Check:
    """Collects the problems of one scenario; a scenario passes with none."""

    def __init__(self):
        self.problems = []
        self.notes = []

    def equal(self, actual, expected, what):
        if actual != expected:
            self.problems.append("%s:\n      expected %r\n      actual   %r" % (what, expected, actual))
        return actual == expected

    def true(self, condition, what):
        if not condition:
            self.problems.append(what)
        return bool(condition)

    def note(self, text):
        self.notes.append(text)


class Context:
    def __init__(self, name, args, template, work):
        self.name = name
        self.args = args
        self.check = Check()
        self.prefix = ws.Prefix(template, os.path.join(work, "prefix-" + name),
                                os.path.join(work, "logs", name))
        self.install = None

    def install_at(self, install_dir=ws.INSTALL_DIR, tolvane=True, tool_dir=None):
        self.install = ws.Install(self.prefix, self.args.tolvane if tolvane else None,
                                  self.args.route_tool, self.args.probe, install_dir, tool_dir)
        return self.install


# Helpers --------------------------------------------------------------------

def console_lines(check, result, what):
    """Standard output as lines; it is text output, so every line ends in CR LF."""
    text = result.out.decode("latin-1")
    check.true(re.search(r"(?<!\r)\n", text) is None and not text.endswith("\r"),
               "%s: output lines do not all end in CR LF: %r" % (what, text))
    check.equal(result.err, b"", "%s: standard error" % what)
    return text.replace("\r\n", "\n").split("\n")[:-1] if text else []


def check_banner_then(check, result, outcome, status, what):
    # Wine's folders belong to a user who is none of the administrators: /REGISTER
    # warns of each (route-tool-others-may-change shows the warning).
    lines = [line for line in console_lines(check, result, what)
             if not re.match(r"Warning: .+ may change .+ the service runs as LocalSystem", line)]
    check.equal(lines[:1], [BANNER], "%s: banner line" % what)
    check.true(len(lines) >= 2 and lines[1].strip() != "",
               "%s: no ownership notice after the banner: %r" % (what, lines))
    check.equal(lines[2:], [""] + outcome.split("\n"), "%s: lines after the banner" % what)
    check.equal(result.rc, status, "%s: exit status" % what)


def register(ctx):
    """/REGISTER on a server started with nothing registered, so nothing starts."""
    ctx.install.warm_server()
    result = ctx.install.tolvane("/REGISTER", label="register")
    check_banner_then(ctx.check, result, "Tolvane registered successfully", 0, "/REGISTER")
    ctx.prefix.end_server()


def reports_of(boot):
    return [(r.state, r.checkpoint, r.wait_hint, r.controls) for r in boot.trace.reports]


def check_report_fields(check, boot, exit_code=0):
    """Every report says an own-process service and no failure, but the
    stopped one, which carries the code of the failure that ended the run."""
    for r in boot.trace.reports:
        expected = exit_code if r.state == STOPPED else 0
        check.true(r.service_type == 0x10 and r.exit_code == expected and r.specific == 0,
                   "status report with type 0x%x, exit %d, specific %d: %s (exit %d expected)"
                   % (r.service_type, r.exit_code, r.specific, r.brief(), expected))


def check_stopped(check, boot, exit_code=0):
    """The run ended with a stopped report as the very last one, seen by the probe."""
    check.equal(boot.outcome(), "stopped", "probe outcome")
    check.equal(len(boot.trace.service_pids), 1, "number of service processes in the boot")
    states = [r.state for r in boot.trace.reports]
    check.true(states and states[-1] == STOPPED and states.count(STOPPED) == 1,
               "stopped is not the one last report: %s"
               % [r.brief() for r in boot.trace.reports])
    check.equal(boot.trace.message_boxes, [], "message boxes")
    if any(e.kind == "process" for e in boot.events):
        check.true(any(e.kind == "exited" for e in boot.events),
                   "the service process did not end after its stop")
    check_report_fields(check, boot, exit_code)


# Event identifier and insertion strings of each kind of error record; the
# first two strings are always the code text and the step name.
RECORD_KINDS = {"FieldTooLong": (0x1004, 3), "LineTooLong": (0x1004, 3),
                "OptionField": (0x1004, 3), "NumberField": (0x1004, 3),
                "RouteNotInTable": (0x1003, 4), "UnsafeRouteTool": (0x1005, 4),
                "UnsafeRouteFile": (0x1006, 4)}
SUMMARY = 4  # the information record that ends a run


def check_records(check, boot, steps, codes=None):
    """Exactly one error record per expected step name, in order; returns the codes."""
    found = []
    records = [r for r in boot.trace.records if r.event_type != SUMMARY]
    check.equal([r.strings[1:2] for r in records], [[s] for s in steps],
                "event-log records (step names)")
    for r in records:
        event_id, strings = RECORD_KINDS.get(r.strings[1] if len(r.strings) > 1 else "",
                                             (0x1001, 2))
        check.equal((r.event_type, r.category, r.event_id, r.sid, r.string_count, r.data_size,
                     len(r.strings)), (1, 0, event_id, 0, strings, 0, strings),
                    "record type, category, id, user, string count, data size, strings")
        m = re.fullmatch(r"Event log error: Tolvane \[(-?\d+)\]", r.strings[0] if r.strings else "")
        if check.true(m, "first string of record: %r" % r.strings[:1]):
            found.append(int(m.group(1)))
    if codes is not None:
        check.true(len(found) == len(codes) and all(f in c for f, c in zip(found, codes)),
                   "error codes in records: expected one of %s each, got %s" % (codes, found))
    return found


def check_launches(check, install, boot, expected):
    """The service began exactly these route tool runs, in this order: its own
    CreateProcessA calls, each with the tool it found and the creation flags."""
    launches = boot.launches()
    check.equal([c.texts[1] for c in launches], expected,
                "command lines of the service's CreateProcessA calls")
    tool = (install.tool_dir + "\\ROUTE.EXE").lower()
    check.equal([((c.texts[0] or "").lower(), c.arg32(5), c.retval) for c in launches],
                [(tool, 0x04000210, 1)] * len(launches),
                "CreateProcessA: application, creation flags, result")


def settle_waits(boot):  # the loader's waits of 5 s, which a stop cuts short
    return [c for c in boot.trace.calls_to("WaitForSingleObject") if c.arg32(1) == SETTLE_MS]


def check_settled(check, boot, after_ms):
    """The run ended by itself: one wait of 5 s on the loader's thread after its
    last route, and the stopped report at least after_ms after that last
    CreateProcessA returned (5 s, plus the polls of a tool still running)."""
    launches, stopped = boot.launches(), boot.stopped_report()
    sleeps = settle_waits(boot)
    check.equal([c.retval for c in sleeps], [258], "results of the service's 5 s waits")
    if not (launches and stopped and sleeps):
        return
    last = launches[-1]
    check.true(sleeps[0].tid == last.tid and last.ret_tick <= sleeps[0].tick
               and sleeps[0].ret_tick is not None and sleeps[0].ret_tick <= stopped.tick,
               "the sleep is not the loader's, between its last route and the stop")
    delay = stopped.tick - last.ret_tick
    check.true(after_ms - CLOCK_SLACK_MS <= delay <= after_ms + HANG_MS,
               "stopped %d ms after the last CreateProcessA returned, expected at least %d"
               % (delay, after_ms))


def polls_per_launch(boot):
    """(status reads, 100 ms waits) the loader made for each route tool run."""
    launches = boot.launches()
    polls, current = [], None
    for c in boot.trace.calls:
        if not launches or c.tid != launches[0].tid:
            continue
        if c.name == "CreateProcessA":
            current = [0, 0]
            polls.append(current)
        elif current is not None and c.name == "GetExitCodeProcess":
            current[0] += 1
        elif current is not None and c.name == "WaitForSingleObject" \
                and c.arg32(1) == CHILD_POLL_MS:
            current[1] += 1
        elif c.name == "WaitForSingleObject" and c.arg32(1) == SETTLE_MS:
            current = None
    return [tuple(p) for p in polls]


def check_last_child_ended(check, boot):
    """With a route tool whose route runs never end (its clearing run ends at
    once, with 0): at the stop the service terminated its last run, with 259,
    after launching it, and left every earlier one running. A run killed
    before it could log its start is counted from the service's own launches,
    not missed."""
    launches, stopped = boot.launches(), boot.stopped_report()
    kills = boot.trace.calls_to("TerminateProcess")
    check.equal([(c.arg32(1), c.retval) for c in kills], [(259, 1)],
                "TerminateProcess calls (exit code, result)")
    if kills and launches and stopped:
        check.true(launches[-1].ret_tick <= kills[0].tick <= stopped.tick,
                   "the termination is not between the last launch and the stopped report")
    final = boot.final_children()
    statuses = [final.get(pid) for pid, _ in boot.children]
    logged = len(boot.children)
    check.true(logged in (len(launches), len(launches) - 1),
               "%d route tool runs logged their start, %d were launched" % (logged, len(launches)))
    # A clearing run that ended before a loaded probe began to watch is unseen.
    expected = [statuses[0] if statuses[:1] == [("unseen", None)] else ("exited", 0)] + \
        [("running", None)] * (logged - 1)
    if logged == len(launches) and logged > 1:
        expected[-1] = ("exited", 259)
    check.equal(statuses, expected, "route tool runs after the stop, oldest first")


def check_quiet_after_stop(check, boot):
    """No route tool run began once the service had stopped."""
    stopped = boot.stopped_report()
    late = [c.texts[1] for c in boot.launches() if stopped and c.tick > stopped.tick]
    check.equal(late, [], "CreateProcessA calls after the stopped report")


def check_stop_received(check, boot):
    """The stop reached the service, and its stopped report followed (not a hang later)."""
    stops = [c.tick for c in boot.trace.controls if c.code == 1]
    stopped = boot.stopped_report()
    if check.true(stops and stopped, "no stop control received or no stopped report"):
        check.true(0 <= stopped.tick - stops[0] <= HANG_MS,
                   "stopped %d ms after the stop control arrived" % (stopped.tick - stops[0]))


def registered_boot(ctx, route_file, tool=None, controls=()):
    """Installs and registers, lays in the route file (None: none) and the
    stand-in's behaviour, and boots once with these controls from the probe."""
    i = ctx.install_at()
    register(ctx)
    if route_file is not None:
        i.set_route_file(route_file)
    if tool is not None:
        i.set_tool_behaviour(tool)
    return i, i.boot(controls)


def normal_run(ctx, route_file, expected_log, steps=(), codes=None, exit_code=0):
    """Register, boot once with this route file; the run must be undisturbed."""
    i, boot = registered_boot(ctx, route_file)
    return boot, check_undisturbed(ctx.check, i, boot, expected_log, steps, codes, exit_code)


def check_undisturbed(check, install, boot, expected_log, steps=(), codes=None, exit_code=0):
    """A run nobody interfered with: the usual reports, these route tool runs,
    these records, and the stop five seconds after the last route (or at once
    after a fatal step, without any sleep, reporting that step's code as its
    exit code). Returns the records' error codes."""
    check_stopped(check, boot, exit_code)
    check.equal(reports_of(boot), NORMAL_REPORTS, "status reports")
    check.equal(boot.route_log, expected_log, "command lines the route tool received")
    check_launches(check, install, boot, expected_log or [])
    codes = check_records(check, boot, list(steps), codes)
    summaries = [r for r in boot.trace.records if r.event_type == SUMMARY]
    check.equal(len(summaries), 1 if expected_log else 0, "information records")
    if expected_log:
        check_settled(check, boot, SETTLE_MS)
    else:
        check.equal(settle_waits(boot), [], "5 s waits of a run that failed")
    return codes


def control_events(boot, name):
    return [e for e in boot.events if e.kind == "control" and e["name"] == name]


def launches_between(boot, start_tick, end_tick):
    return [c.texts[1] for c in boot.launches() if start_tick < c.tick < end_tick]


# Scenarios ------------------------------------------------------------------

SCENARIOS = {}


def scenario(name, weight=1):
    def add(fn):
        SCENARIOS[name] = (fn, weight)
        return fn
    return add


@scenario("register-delete")
def register_delete(ctx):
    c, i = ctx.check, ctx.install_at()
    # One server for the whole scenario: services.exe starts once, before
    # anything is registered, so no command below auto-starts the service.
    i.warm_server()
    expected_path = '"C:\\Tolvane\\tolvane.exe" mode=Service'

    result = i.tolvane("/REGISTER", label="register")
    check_banner_then(c, result, "Tolvane registered successfully", 0, "/REGISTER")

    query = ctx.prefix.run(["reg", "query", SERVICE_KEY], "reg-query-service")
    c.equal(query.rc, 0, "reg query of the service key: status")
    values = ws.parse_reg_query(query.text)
    c.equal({k: values.get(k) for k in ("Type", "Start", "ErrorControl", "ImagePath", "DisplayName",
                                        "Description")},
            {"Type": ("REG_DWORD", "0x10"), "Start": ("REG_DWORD", "0x2"),
             "ErrorControl": ("REG_DWORD", "0x1"), "ImagePath": ("REG_SZ", expected_path),
             "DisplayName": ("REG_SZ", SERVICE), "Description": ("REG_SZ", DESCRIPTION)},
            "service key values")

    config = ws.parse_config(i.svcprobe("config", SERVICE, label="config").text)
    c.equal(config, {"type": "0x10", "start": "2", "error": "1", "binary": expected_path,
                     "group": "", "tag": "0", "dependencies": "", "account": "LocalSystem",
                     "display": SERVICE},
            "QueryServiceConfigA")

    source = ctx.prefix.run(["reg", "query", SOURCE_KEY], "reg-query-source")
    c.equal(source.rc, 0, "reg query of the event-source key: status")
    values = ws.parse_reg_query(source.text)
    message_file = values.get("EventMessageFile")
    c.true(message_file in (("REG_SZ", "C:\\Tolvane\\tolvane.exe"),
                            ("REG_EXPAND_SZ", "C:\\Tolvane\\tolvane.exe")),
           "EventMessageFile: %r" % (message_file,))
    types = values.get("TypesSupported")
    c.true(types is not None and types[0] == "REG_DWORD" and int(types[1], 16) & 1,
           "TypesSupported (must include errors): %r" % (types,))

    result = i.tolvane("/REGISTER", label="register-again")
    check_banner_then(c, result, "Error: Tolvane not registered [1073]\nTolvane is registered "
                      "already, and nothing was changed; tolvane /CHECK shows what it runs.",
                      1073 & 0xFF, "second /REGISTER")

    result = i.tolvane("/DELETE", label="delete")
    check_banner_then(c, result, "Tolvane deleted successfully", 0, "/DELETE")
    c.equal(ctx.prefix.run(["reg", "query", SERVICE_KEY], "reg-query-deleted").rc, 1,
            "reg query of the service key after /DELETE: status")
    c.equal(ctx.prefix.run(["reg", "query", SOURCE_KEY], "reg-query-source-deleted").rc, 1,
            "reg query of the event-source key after /DELETE: status")
    c.equal(i.svcprobe("status", SERVICE, label="status-deleted").text.strip(),
            "error call=OpenServiceA code=1060", "service manager after /DELETE")

    result = i.tolvane("/DELETE", label="delete-again")
    check_banner_then(c, result, "Error: Tolvane not deleted [1060]", 1060 & 0xFF,
                      "second /DELETE")

    # Lower case is accepted, and the entry can be made again after its removal.
    result = i.tolvane("/register", label="register-lower")
    check_banner_then(c, result, "Tolvane registered successfully", 0, "/register")
    c.equal(ws.parse_config(i.svcprobe("config", SERVICE, label="config-again").text)
            .get("binary"), expected_path, "command line after registering again")
    result = i.tolvane("/delete", label="delete-lower")
    check_banner_then(c, result, "Tolvane deleted successfully", 0, "/delete")


@scenario("register-in-program-files", weight=2)
def register_in_program_files(ctx):
    c = ctx.check
    i = ctx.install_at("C:\\Program Files\\Tolvane")
    i.warm_server()
    # Typed by its bare name in the folder that holds it (through cmd, which
    # passes the name as typed): the search adds the default extension.
    result = ctx.prefix.run(["cmd", "/c", "tolvane /REGISTER"], "register-bare-name",
                            cwd=ctx.prefix.host(i.dir))
    check_banner_then(c, result, "Tolvane registered successfully", 0, "tolvane /REGISTER")
    expected_path = '"C:\\Program Files\\Tolvane\\tolvane.EXE" mode=Service'
    values = ws.parse_reg_query(ctx.prefix.run(["reg", "query", SERVICE_KEY], "reg-query").text)
    c.equal(values.get("ImagePath"), ("REG_SZ", expected_path), "ImagePath")
    c.equal(ws.parse_config(i.svcprobe("config", SERVICE, label="config").text).get("binary"),
            expected_path, "binary path name")
    message_file = ws.parse_reg_query(
        ctx.prefix.run(["reg", "query", SOURCE_KEY], "reg-query-source").text).get("EventMessageFile")
    c.true(message_file is not None and message_file[1].lower()
           == "c:\\program files\\tolvane\\tolvane.exe",
           "EventMessageFile: %r" % (message_file,))
    ctx.prefix.end_server()

    # It runs from there too, and finds the stand-in route tool beside itself.
    i.set_route_file(EXAMPLE_ROUTES)
    check_undisturbed(c, i, i.boot(), EXAMPLE_COMMANDS)


@scenario("usage")
def usage(ctx):
    c, i = ctx.check, ctx.install_at()
    usage_lines = ["Usage: %s { /REGISTER | /DELETE }",
                   "       %s /CHECK [FILE]   shows what the next boot does with the route file"
                   " (or FILE)", "       %s /REPAIR         adds the routes of the route file that"
                   " are not in the routing table"]
    # Runs with Wine's service trace on: a connection to the dispatcher would
    # show on standard error, which must stay empty. The server is warm, so
    # that no service started by this command writes there either. Help asked
    # for exits with 0, a command not understood with 87.
    i.warm_server()
    for label, args, status in [
            ("no-argument", [], 0),
            ("help", ["/?"], 0),
            ("mistyped", ["/REGSITER"], 87),
            ("mode-lower-case", ["mode=service"], 87),
            ("mode-upper-case", ["MODE=SERVICE"], 87),
            ("two-arguments", ["/REGISTER", "/DELETE"], 87)]:
        result = i.tolvane(*args, label=label, debug="-all,trace+service")
        c.equal(console_lines(c, result, label), [line % i.exe for line in usage_lines],
                "%s: output" % label)
        c.equal(result.rc, status, "%s: exit status" % label)
    # The name as typed, not the full path.
    result = ctx.prefix.run(["cmd", "/c", "tolvane"], "bare-name", cwd=ctx.prefix.host(i.dir))
    c.equal(console_lines(c, result, "bare name"), [line % "tolvane" for line in usage_lines],
            "bare name: output")
    c.equal(result.rc, 0, "bare name: exit status")
    c.equal(i.svcprobe("status", SERVICE, label="status").text.strip(),
            "error call=OpenServiceA code=1060", "service manager after the usage runs")


@scenario("service-mode-from-console", weight=3)
def service_mode_from_console(ctx):
    c, i = ctx.check, ctx.install_at()
    # On a server that is still starting its own services, a dispatcher can
    # meet the control pipe of one of those; a warm server has none pending.
    i.warm_server()
    result = i.tolvane("mode=Service", label="mode-service", debug="-all,+relay")
    c.equal(result.out, b"", "standard output")
    c.equal(ws.message_boxes(result.err.decode("latin-1")),
            [(0, "Can't connect service control manager", "ERROR", 0)],
            "message boxes (owner, text, caption, style)")
    trace = result.err.decode("latin-1")
    c.true(re.search(r"Call advapi32\.StartServiceCtrlDispatcherA\(", trace) and
           re.search(r"Ret  advapi32\.StartServiceCtrlDispatcherA\(\) retval=00000000", trace),
           "no failed StartServiceCtrlDispatcherA call in the relay trace")
    c.note("mode=Service from a console: exit status %d after %.1f s"
           % (result.rc, result.seconds))
    c.equal(result.rc, 1063 & 0xFF, "exit status (the dispatcher's 1063)")


@scenario("boot-example-file", weight=3)
def boot_example_file(ctx):
    """The example file, with two routes in the table that it does not name:
    the boot removes them and says so. /CHECK's lines for them, pasted into
    the file, bring them back at the next boot, which, ClearTable 0, clears
    nothing and runs only them."""
    c, i = ctx.check, ctx.install_at()
    for route in ("10.98.0.0/16 via 10.0.0.98", "10.99.0.0/16 via 10.0.0.99"):
        ctx.prefix.ip("route", "add", *route.split())
    i.set_route_file(EXAMPLE_ROUTES)
    i.warm_server()
    pasted = [l.strip() for l in i.tolvane("/CHECK", label="check").text.splitlines()
              if l.startswith("    ")]
    ctx.prefix.end_server()
    register(ctx)
    boot = i.boot(keep_server=True)
    check_undisturbed(c, i, boot, EXAMPLE_COMMANDS)
    summary = [r.strings[0] for r in boot.trace.records if r.event_type == SUMMARY]
    c.true(summary and summary[0].endswith("; the clearing removed 2 routes that the file does not "
                                           "add back: 10.98.0.0 255.255.0.0 10.0.0.98, 10.99.0.0 "
                                           "255.255.0.0 10.0.0.99."), "summary: %s" % summary)
    c.note("summary: %s; /CHECK's lines: %s" % (summary, pasted))
    c.true("PAUSED" not in boot.states_seen(), "paused seen without a pause")
    # The service loads no user interface and no cryptographic provider.
    c.equal(sorted({"user32.dll", "gdi32.dll", "imm32.dll", "crypt32.dll", "rsaenh.dll"} &
                   set(boot.trace.modules)), [], "DLLs of the service's process, beside: %s"
            % sorted(set(boot.trace.modules)))
    c.note("the service's process loaded %s" % sorted(set(boot.trace.modules)))
    ctx.prefix.run(["reg", "add", SERVICE_KEY + "\\Parameters", "/v", "ClearTable", "/t",
                    "REG_DWORD", "/d", "0", "/f"], "clear-table")
    ctx.prefix.end_server()
    i.clear_route_logs()
    i.set_route_file(EXAMPLE_ROUTES + "".join(line + "\r\n" for line in pasted).encode())
    runs = ["ROUTE.EXE ADD %s MASK %s %s" % tuple(line.split()[:3]) +
            "".join(" " + w for w in line.split("#")[0].split()[3:]) for line in pasted]
    check_undisturbed(c, i, i.boot(label="boot-again"), runs)
    c.equal(len(ctx.prefix.routes()), 4, "ip route after the boot that only adds: %s"
            % ctx.prefix.routes())


@scenario("missing-route-file")
def missing_route_file(ctx):
    c = ctx.check
    boot, codes = normal_run(ctx, None, None, ["OpenConfigFile"], codes=[(2,)], exit_code=2)
    c.note("missing route file: record code %s" % codes)
    c.equal(boot.children, [], "route tool runs that logged their start")


@scenario("missing-route-tool")
def missing_route_tool(ctx):
    c = ctx.check
    i = ctx.install_at()
    i.remove_route_tool()
    register(ctx)
    i.set_route_file(EXAMPLE_ROUTES)
    codes = check_undisturbed(c, i, i.boot(), None, ["SearchRouteExe"], codes=[(2,)],
                              exit_code=2)
    c.note("missing route tool: record code %s" % codes)


@scenario("others-may-change", weight=2)
def others_may_change(ctx):
    """A ROUTE.EXE beside tolvane.exe, in a folder everyone may write to:
    /REGISTER warns, /CHECK names who may change it, plans nothing and exits
    5, and the boot runs nothing, with one record, failing with 5. That tool
    gone, the route file's folder made writable by everyone: /CHECK of the
    file by its path, typed in lower case, is the check of the file in place
    and says the same; the boot runs nothing, with its own record; made as it
    was again, the routes run."""
    c, i = ctx.check, ctx.install_at(tool_dir=ws.INSTALL_DIR)
    os.chmod(ctx.prefix.host(ws.INSTALL_DIR), 0o777)
    i.set_route_file(EXAMPLE_ROUTES)
    i.warm_server()
    registered = i.tolvane("/REGISTER", label="register")
    checked = i.tolvane("/CHECK", label="check")
    ctx.prefix.end_server()
    warning = console_lines(c, registered, "/REGISTER")[4:]
    c.true(registered.rc == 0 and len(warning) == 1 and warning[0].startswith("Warning: ") and
           'icacls "C:\\Tolvane' in warning[0], "/REGISTER: exit status %d, then %s"
           % (registered.rc, warning))
    lines = console_lines(c, checked, "/CHECK")
    error = [line for line in lines if line.startswith("Error: ") or " run " in line]
    c.true(checked.rc == 5 and len(error) == 1 and "so the service does not run "
           "C:\\Tolvane\\ROUTE.EXE" in error[0], "/CHECK: exit status %d, %s" % (checked.rc, error))
    boot = i.boot()
    check_undisturbed(c, i, boot, None, ["UnsafeRouteTool"], codes=[(5,)], exit_code=5)
    c.note("/REGISTER: %s; /CHECK: %s; record: %s"
           % (warning, error, [r.strings for r in boot.trace.records]))

    i.remove_route_tool()
    i.tool_dir = "C:\\windows\\system32"
    ctx.prefix.put(i.tool_dir + "\\ROUTE.EXE", source=ctx.args.route_tool)
    etc = ctx.prefix.host(ws.ROUTE_FILE.rpartition("\\")[0])
    os.chmod(etc, 0o777)
    i.warm_server()
    checked = i.tolvane("/CHECK", ws.ROUTE_FILE.lower(), label="check-route-file")
    ctx.prefix.end_server()
    error = [line for line in console_lines(c, checked, "/CHECK")
             if line.startswith("Error: ") or " run " in line]
    c.true(checked.rc == 5 and len(error) == 1 and error[0].startswith("Error: Everyone may change "),
           "/CHECK of a route file everyone may change: exit status %d, %s" % (checked.rc, error))
    boot = i.boot(label="boot-route-file")
    check_undisturbed(c, i, boot, None, ["UnsafeRouteFile"], codes=[(5,)], exit_code=5)
    c.note("/CHECK: %s; record: %s" % (error, [r.strings for r in boot.trace.records]))
    os.chmod(etc, 0o755)
    check_undisturbed(c, i, i.boot(label="boot-again"), EXAMPLE_COMMANDS)


@scenario("crlf-route-file")
def crlf_route_file(ctx):
    normal_run(ctx, b"# comment line\r\n"
                    b"\r\n"
                    b"10.1.0.0 10.0.0.1#comment\r\n"
                    b"10.2.0.0\t255.255.0.0\t10.0.0.2\r\n"
                    b"10.3.0.0 255.255.0.0 10.0.0.3 fourth-field\r\n"
                    b"single-field\r\n"
                    b"   \t  \r\n"
                    b"  10.4.0.0   10.0.0.4   # trailing comment\r\n"
                    b"10.5.0.0 10.0.0.5",
               ["ROUTE.EXE -f",
                "ROUTE.EXE ADD 10.1.0.0 10.0.0.1",
                "ROUTE.EXE ADD 10.2.0.0 MASK 255.255.0.0 10.0.0.2",
                "ROUTE.EXE ADD 10.3.0.0 MASK 255.255.0.0 10.0.0.3",
                "ROUTE.EXE ADD 10.4.0.0 10.0.0.4",
                "ROUTE.EXE ADD 10.5.0.0 10.0.0.5"])


@scenario("ctrl-z-ends-file")
def ctrl_z_ends_file(ctx):
    # The Ctrl-Z cuts its own line too: read as binary, that line would give
    # a gateway "10.0.0.2\x1a10.9.9.9" and the next line a route of its own.
    normal_run(ctx, b"10.1.0.0 10.0.0.1\r\n"
                    b"10.2.0.0 10.0.0.2\x1a10.9.9.9\r\n"
                    b"10.3.0.0 10.0.0.3\r\n",
               ["ROUTE.EXE -f",
                "ROUTE.EXE ADD 10.1.0.0 10.0.0.1",
                "ROUTE.EXE ADD 10.2.0.0 10.0.0.2"])


@scenario("lone-cr-long-line")
def lone_cr_long_line(ctx):
    # Without a route the file is refused: run, it would only clear the table.
    data = b"10.1.0.0\r255.255.0.0\r10.0.0.1\r" * 12   # 348 bytes, one line, no "#"
    assert len(data) > 255 and b"\n" not in data
    normal_run(ctx, data, None, ["NoRouteInFile"], codes=[(13,)], exit_code=13)


@scenario("lone-cr-long-line-with-comment")
def lone_cr_long_line_with_comment(ctx):
    data = b"10.1.0.0\r10.0.0.1\r# the rest is comment\r" + b"10.7.0.0\r10.0.0.7\r" * 20
    assert len(data) > 255 and data.index(b"#") < 255
    normal_run(ctx, data, ["ROUTE.EXE -f", "ROUTE.EXE ADD 10.1.0.0 10.0.0.1"], ["LineTooLong"])


@scenario("lone-cr-short-file")
def lone_cr_short_file(ctx):
    normal_run(ctx, b"10.1.0.0\r255.255.0.0\r10.0.0.1\r10.2.0.0\r10.0.0.2\r",
               ["ROUTE.EXE -f", "ROUTE.EXE ADD 10.1.0.0 MASK 255.255.0.0 10.0.0.1"])


@scenario("field-too-long")
def field_too_long(ctx):
    _, codes = normal_run(
        ctx, b"10.1.0.0 10.0.0.1\n"
             b"10.2.0.0 255.255.255.2550 10.0.0.2\n"
             b"10.3.0.0 255.255.255.255 10.0.0.3 a-fourth-field-far-longer-than-fifteen\n"
             b"10.4.0.0 10.0.0.4\n",
        ["ROUTE.EXE -f",
         "ROUTE.EXE ADD 10.1.0.0 10.0.0.1",
         "ROUTE.EXE ADD 10.3.0.0 MASK 255.255.255.255 10.0.0.3",
         "ROUTE.EXE ADD 10.4.0.0 10.0.0.4"],
        ["FieldTooLong"])
    ctx.check.note("long field: record code %s" % codes)


@scenario("check-routing-table", weight=2)
def check_routing_table(ctx):
    """/CHECK in a network namespace whose routing table the test makes: each
    route of the file compared with that table; then a draft with mistakes,
    each named with its line. Nothing registered, nothing run; then /REPAIR
    runs the missing routes only, and the table keeps the one the file lacks."""
    c, i = ctx.check, ctx.install_at()
    i.set_route_file(b"10.1.0.0 255.255.0.0 192.168.77.254\r\n"   # in the table
                     b"10.9.0.0 255.255.0.0 192.168.77.254 metric 5 IF 1\r\n"  # not in it
                     b"10.2.0.0 192.168.77.254\r\n")               # in it, but as a /24
    draft = "C:\\drafts\\ROUTE.new"
    ctx.prefix.put(draft, b"route add 10.3.0.0 mask 255.255.0.0 192.168.77.254\r\n"
                          b"10.4.0.O 192.168.77.254\r\n"
                          b"10.5.0.0\r\n"
                          b"10.1.0.0 255.255.0.0 192.168.77.254 METRIC 5\r\n"
                          b"10.6.0.0 255.255.0.0 192.168.77.25400\r\n")
    for args in (["addr", "add", "192.168.77.1/24", "dev", "lo"],
                 ["route", "add", "10.1.0.0/16", "via", "192.168.77.254"],
                 ["route", "add", "10.2.0.0/24", "via", "192.168.77.254"]):
        c.equal(ctx.prefix.ip(*args), 0, "ip %s" % " ".join(args))
    c.note("the namespace's ip route: %s" % "; ".join(ctx.prefix.routes()))
    i.warm_server()
    live, checked = i.tolvane("/CHECK", label="check"), i.tolvane("/check", draft, label="draft")
    head = ["Service: not registered, so nothing runs at boot; run tolvane /REGISTER or reinstall",
            "Route tool: C:\\windows\\system32\\ROUTE.EXE"]
    no_default = ("Warning: no line adds a default route (destination 0.0.0.0), "
                  "and ROUTE.EXE -f removes the one there is")
    removed = ["Removed at boot, as no line adds them back (to keep one, copy its line into the "
               "route file):", "    10.2.0.0 255.255.255.0 192.168.77.254 IF 1  # in the table "
               "(interface lo), not in the file"]
    never = " (never in the table: a field is not an address)"
    not_an_address = (" is not an IPv4 address (four numbers from 0 to 255, with dots); "
                      "the route tool will refuse or misread the line")
    for label, result, plan, status in [
            ("/CHECK", live,
             ["Route file: C:\\windows\\SYSTEM32\\DRIVERS\\ETC\\ROUTE",
              "first:    run ROUTE.EXE -f",
              "line 1:   run ROUTE.EXE ADD 10.1.0.0 MASK 255.255.0.0 192.168.77.254 (in the table)",
              "line 2:   run ROUTE.EXE ADD 10.9.0.0 MASK 255.255.0.0 192.168.77.254 METRIC 5 IF "
              "1 (not in the table)", "line 2:   note: compared with the table by destination, "
              "mask and gateway, not by metric (Windows shows it with the interface's added) nor "
              "by interface, which the gateway gives",
              "line 3:   run ROUTE.EXE ADD 10.2.0.0 192.168.77.254 (not in the table)",
              "line 3:   note: without a mask this is a route to the one address 10.2.0.0; give "
              "a mask for a network", *removed, no_default,
              "Routes to add: 3, in the table now: 1, lines with records: 0, mistakes: 0"], 1168),
            ("/check FILE", checked,
             ["Route file: " + draft,
              "first:    run ROUTE.EXE -f",
              "line 1:   run ROUTE.EXE ADD route MASK add 10.3.0.0" + never,
              "line 1:   mistake: this is a route command as typed at a prompt, not a line of the "
              "route file: keep only its destination, mask, gateway and any METRIC or IF, without "
              "\"route\", "
              "\"add\" and \"mask\"",
              "line 2:   run ROUTE.EXE ADD 10.4.0.O 192.168.77.254" + never,
              "line 2:   mistake: the destination \"10.4.0.O\"" + not_an_address,
              "line 3:   mistake: only one field, \"10.5.0.0\"; the line is skipped",
              "line 4:   run ROUTE.EXE ADD 10.1.0.0 MASK 255.255.0.0 192.168.77.254 METRIC 5 "
              "(in the table)", "line 4:   note: compared with the table by destination, mask "
              "and gateway, not by metric (Windows shows it with the interface's added)",
              "line 5:   report FieldTooLong (the gateway has more than 15 characters; the line "
              "is skipped)", *removed, no_default,
              "Routes to add: 3, in the table now: 1, lines with records: 1, mistakes: 3"], 13)]:
        lines = console_lines(c, result, label)
        c.equal(lines[:1], [BANNER], "%s: banner line" % label)
        c.equal(lines[3:], head + plan, "%s: lines after the banner" % label)
        c.equal(result.rc, status & 0xFF, "%s: exit status" % label)
    c.equal(i.route_log(), None, "route-tool runs")

    i.set_tool_behaviour("0 sync")
    result = i.tolvane("/REPAIR", label="repair")
    lines = console_lines(c, result, "/REPAIR")
    runs = ["ROUTE.EXE ADD 10.9.0.0 MASK 255.255.0.0 192.168.77.254 METRIC 5 IF 1",
            "ROUTE.EXE ADD 10.2.0.0 192.168.77.254"]
    c.equal((lines[-3:], result.rc), (["line 2:   added: " + runs[0], "line 3:   added: " +
            runs[1], "Routes in the file: 3, already in the table: 1, added: 2, still missing: 0"],
            0), "/REPAIR: its last lines, exit status")
    c.equal(i.route_log(), runs, "route tool runs of /REPAIR")
    c.equal(ctx.prefix.routes(), ["10.1.0.0/16 via 192.168.77.254 dev lo",
                                  "10.2.0.0 via 192.168.77.254 dev lo",
                                  "10.2.0.0/24 via 192.168.77.254 dev lo",
                                  "10.9.0.0/16 via 192.168.77.254 dev lo metric 5"],
            "ip route after /REPAIR")


@scenario("boot-checks-its-routes", weight=9)
def boot_checks_its_routes(ctx):
    """A boot with two good routes and two that the routing table refuses, one
    through a gateway on no network, waited for in vain for two minutes, and
    one whose destination has bits outside its mask, from a route tool that
    exits with 0 whatever happens: the good routes replace the old one in the
    table, each refused route has a record naming its line, the run reports
    the code of the first one in the file, and one information record sums it
    up."""
    c, i = ctx.check, ctx.install_at()
    register(ctx)
    i.set_route_file(b"10.1.0.0 255.255.0.0 10.0.0.1\r\n10.2.0.0 192.168.1.2\r\n"
                     b"10.72.0.0 255.255.0.0 192.168.99.1\r\n10.7.1.0 255.255.0.0 10.0.0.70\r\n")
    ctx.prefix.ip("route", "add", "10.99.0.0/16", "via", "10.0.0.99")
    before = ctx.prefix.routes()
    boot = i.boot(keep_server=True, timeout_ms=200000)
    query = " ".join(ctx.prefix.run(["sc", "query", SERVICE], "sc-query").text.split())
    after = ctx.prefix.routes()
    commands = ["ROUTE.EXE -f", "ROUTE.EXE ADD 10.1.0.0 MASK 255.255.0.0 10.0.0.1",
                "ROUTE.EXE ADD 10.2.0.0 192.168.1.2",
                "ROUTE.EXE ADD 10.72.0.0 MASK 255.255.0.0 192.168.99.1",
                "ROUTE.EXE ADD 10.7.1.0 MASK 255.255.0.0 10.0.0.70"]
    check_stopped(c, boot, 1231)
    check_launches(c, i, boot, commands + commands[4:])
    # Recorded after its second run, and after the wait for the network.
    check_records(c, boot, ["RouteNotInTable"] * 2, codes=[(1168,), (1231,)])
    c.equal([r.strings[2:] for r in boot.trace.records if r.event_type != SUMMARY],
            [["4", commands[4]], ["3", commands[3]]], "records: line numbers and command lines")
    summaries = [r.strings for r in boot.trace.records if r.event_type == SUMMARY]
    c.equal(summaries, [["Tolvane cleared the routing table and added 2 of 4 routes from "
                         "C:\\windows\\SYSTEM32\\DRIVERS\\ETC\\ROUTE; 2 routes are not in the "
                         "table; 2 lines have records: 3, 4; the clearing removed 1 route that the "
                         "file does not add back: 10.99.0.0 255.255.0.0 10.0.0.99."]],
            "information record")
    c.equal(after, ["10.1.0.0/16 via 10.0.0.1 dev lo", "10.2.0.0 via 192.168.1.2 dev lo"],
            "ip route after the boot")
    c.true(re.search(r"STATE : 1 STOPPED .*WIN32_EXIT_CODE : 1231 ", query),
           "sc query does not show a run stopped with 1231: %r" % query)
    for text in ["ip route before: %s" % before, "ip route after: %s" % after, "sc query: " + query]:
        c.note(text)
    for r in boot.trace.records:
        c.note("record %d: %s" % (r.event_id, r.strings))


@scenario("late-network", weight=2)
def late_network(ctx):
    """Two routes through a gateway whose network comes up 12 s into the boot,
    after the route tool refused them, and one that names the interface v2,
    which comes then too: the service waits, runs each once more (v2's by its
    index) when the address or the interface is there, stops with 0 within
    20 s of it, and the routes are in the table. /CHECK before the boot says
    that no interface has the name, after it the index."""
    c, i = ctx.check, ctx.install_at()
    i.set_route_file(b"10.1.0.0 255.255.0.0 10.0.0.1\r\n10.72.0.0 255.255.0.0 192.168.99.1\r\n"
                     b"10.73.0.0 255.255.0.0 192.168.99.1\r\n"
                     b"10.74.0.0 255.255.0.0 192.168.98.1 IF v2\r\n")
    i.warm_server()
    notes = [i.tolvane("/CHECK", label="check").text]
    ctx.prefix.end_server()
    register(ctx)
    running, started = i.start_boot(keep_server=True), time.monotonic()
    # The routes have run once the service sleeps its settle delay.
    while b",00001388)" not in ws._slurp(running.err_path) and running.proc.poll() is None:
        time.sleep(0.05)
    time.sleep(max(0.0, started + 12 - time.monotonic()))
    for args in (["addr", "add", "192.168.99.2/24", "dev", "lo"],
                 ["link", "add", "v2", "type", "veth", "peer", "name", "v3"],
                 ["link", "set", "v3", "up"], ["link", "set", "v2", "up"],
                 ["addr", "add", "192.168.98.2/24", "dev", "v2"]):
        c.equal(ctx.prefix.ip(*args), 0, "ip %s" % " ".join(args))
    added_ms, added_s = time.time() * 1000, time.monotonic() - started
    boot = i.finish_boot(running)
    notes.append(i.tolvane("/CHECK", label="check-after").text)
    ctx.prefix.end_server()
    index = subprocess.run(["ip", "-n", ctx.prefix.netns, "-o", "link", "show", "v2"],
                           capture_output=True, text=True).stdout.split(":")[0]
    notes = [line.strip() for text in notes for line in text.splitlines() if "line 4:" in line]
    c.equal([line for line in notes if "interface" in line and "by interface" not in line],
            ['line 4:   run ROUTE.EXE ADD 10.74.0.0 MASK 255.255.0.0 192.168.98.1 IF "v2" (not in '
             'the table: waiting for its interface)',
             'line 4:   note: no interface has the name "v2" now; there are: lo',
             'line 4:   note: IF "v2" is interface %s now' % index],
            "/CHECK's notes on the interface before and after the boot")
    c.note("/CHECK of line 4 before and after the boot: %s" % notes)
    commands = ["ROUTE.EXE -f", "ROUTE.EXE ADD 10.1.0.0 MASK 255.255.0.0 10.0.0.1",
                "ROUTE.EXE ADD 10.72.0.0 MASK 255.255.0.0 192.168.99.1",
                "ROUTE.EXE ADD 10.73.0.0 MASK 255.255.0.0 192.168.99.1"]
    check_stopped(c, boot)
    check_launches(c, i, boot, commands + commands[2:] + [
        "ROUTE.EXE ADD 10.74.0.0 MASK 255.255.0.0 192.168.98.1 IF " + index])
    check_records(c, boot, [])
    c.equal([r.strings for r in boot.trace.records if r.event_type == SUMMARY],
            [["Tolvane cleared the routing table and added 4 of 4 routes from C:\\windows\\"
              "SYSTEM32\\DRIVERS\\ETC\\ROUTE, 3 of them on a second run; the clearing removed "
              "no route that the file does not add back."]], "information record")
    routes = ctx.prefix.routes()
    c.equal(routes, ["10.1.0.0/16 via 10.0.0.1 dev lo", "10.72.0.0/16 via 192.168.99.1 dev lo",
                     "10.73.0.0/16 via 192.168.99.1 dev lo", "10.74.0.0/16 via 192.168.98.1 dev v2"],
            "ip route after the boot")
    stops = [int(e["t"]) for e in boot.events if e.kind == "state" and e["state"] == "STOPPED"]
    c.true(stops and stops[-1] - added_ms <= 20000, "stopped %s ms after the address came"
           % [t - added_ms for t in stops])
    c.note("address added %.1f s into the boot; stopped %.1f s after it; ip route after: %s"
           % (added_s, (stops[-1] - added_ms) / 1000 if stops else -1, routes))
    c.note("launches (s into the boot's trace): %s" % [
        ("%.1f" % ((k.tick - boot.launches()[0].tick) / 1000), k.texts[1]) for k in boot.launches()])


@scenario("keep-routes", weight=3)
def keep_routes(ctx):
    """KeepRoutes 1: after the boot the service stays running. Its route goes
    with the address of a veth link (Linux drops it, as Windows does). Deleted
    by hand, it stays deleted while no address changes; when its address goes
    and comes the service puts it back, within 5 s, with one record of it. A
    link that then flaps in step with the pass interval (away 2 s, back 3 s)
    gets it back in every flap but one at most, with no more records; sc stop
    ends the run with 0 and one record of what the watch did."""
    c, i = ctx.check, ctx.install_at()
    for args in (["link", "add", "v0", "type", "veth", "peer", "name", "v1"],
                 ["link", "set", "v1", "up"], ["link", "set", "v0", "up"],
                 ["addr", "add", "192.168.50.1/24", "dev", "v0"]):
        c.equal(ctx.prefix.ip(*args), 0, "ip %s" % " ".join(args))
    i.warm_server()
    c.equal(i.tolvane("/REGISTER", label="register").rc, 0, "/REGISTER: exit status")
    c.equal(ctx.prefix.run(["reg", "add", SERVICE_KEY + "\\Parameters", "/v", "KeepRoutes", "/t",
                            "REG_DWORD", "/d", "1", "/f"], "keep-routes").rc, 0, "reg add")
    ctx.prefix.end_server()
    i.set_route_file(b"10.50.0.0 255.255.0.0 192.168.50.7\r\n")
    i.set_tool_behaviour("0 sync")
    route = "10.50.0.0/16 via 192.168.50.7 dev v0"
    running = i.start_boot()
    deadline = time.monotonic() + HANG_MS / 1000
    while b"Tolvane cleared the routing table" not in ws._slurp(running.err_path) \
            and time.monotonic() < deadline:
        time.sleep(0.05)
    query = " ".join(ctx.prefix.run(["sc", "query", SERVICE], "sc-query").text.split())
    c.true("STATE : 4 RUNNING" in query, "sc query after the boot: %r" % query)
    c.equal(ctx.prefix.routes(), [route], "ip route after the boot")
    ctx.prefix.ip("route", "del", "10.50.0.0/16")
    time.sleep(3 * WATCH_POLL_S)
    c.equal(ctx.prefix.routes(), [], "ip route after a deletion by hand")
    ctx.prefix.ip("addr", "del", "192.168.50.1/24", "dev", "v0")
    c.equal(ctx.prefix.routes(), [], "ip route without the address")
    time.sleep(3 * WATCH_POLL_S)  # the service reads the addresses at least every second
    ctx.prefix.ip("addr", "add", "192.168.50.1/24", "dev", "v0")
    added = time.monotonic()
    while ctx.prefix.routes() != [route] and time.monotonic() < added + HANG_MS / 1000:
        time.sleep(0.05)
    back = time.monotonic() - added
    c.true(back <= 5, "route back %.1f s after its address" % back)
    flaps = []
    for _ in range(6):  # in step with the pass interval
        ctx.prefix.ip("addr", "del", "192.168.50.1/24", "dev", "v0")
        time.sleep(2)
        ctx.prefix.ip("addr", "add", "192.168.50.1/24", "dev", "v0")
        added = time.monotonic()
        while ctx.prefix.routes() != [route] and time.monotonic() < added + 3:
            time.sleep(0.05)
        flaps.append(round(time.monotonic() - added, 2) if ctx.prefix.routes() == [route] else None)
        time.sleep(max(0, added + 3 - time.monotonic()))
    c.true(flaps.count(None) <= 1, "route back before its address went in %s" % flaps)
    c.note("address back at 0 s; route back at %.2f s, then in the flaps at %s" % (back, flaps))
    c.equal(ctx.prefix.run(["sc", "stop", SERVICE], "sc-stop").rc, 0, "sc stop: exit status")
    boot = i.finish_boot(running)
    check_stopped(c, boot)
    check_records(c, boot, [])
    summaries = [r.strings[0] for r in boot.trace.records if r.event_type == SUMMARY][1:]
    c.equal(summaries[:1], ["Tolvane put back 1 route from C:\\windows\\SYSTEM32\\DRIVERS\\ETC\\ROUTE "
                            "when a network came up (line 1)."], "information record of the pass")
    c.true(len(summaries) == 2 and re.fullmatch(
        r"Tolvane watched the routes of C:\\windows\\\S+ for \d+ \w+( and \d+ \w+)? and put routes "
        r"back in \d+ passes; at the stop every route of the file is in the table\.", summaries[-1]),
        "information records after the first: %s" % summaries[1:])
    c.note("records: %s" % summaries)


@scenario("unicode-route-file")
def unicode_route_file(ctx):
    """A route file saved by Notepad as "Unicode" is refused before anything
    runs, and the service manager sees a failed run."""
    c, i = ctx.check, ctx.install_at()
    register(ctx)
    i.set_route_file("10.1.0.0 255.255.0.0 192.168.1.1\r\n0.0.0.0 0.0.0.0 192.168.1.1\r\n"
                     .encode("utf-16"))  # with its byte-order mark, FF FE
    boot = i.boot(keep_server=True)
    check_undisturbed(c, i, boot, None, ["UnicodeFile"], codes=[(13,)], exit_code=13)
    c.equal(boot.children, [], "route tool runs that logged their start")
    query = ctx.prefix.run(["sc", "query", SERVICE], "sc-query")
    c.note("sc query after the run: %s" % " ".join(query.text.split()))
    c.true(re.search(r"STATE\s*:\s*1\s+STOPPED", query.text)
           and re.search(r"WIN32_EXIT_CODE\s*:\s*13\b", query.text),
           "sc query does not show a run stopped with 13: %r" % query.text)


@scenario("slow-flush", weight=2)
def slow_flush(ctx):
    """A clearing run that takes 2.5 s has ended before the first route's run
    begins, so that it cannot remove the routes added after it."""
    c = ctx.check
    i, boot = registered_boot(ctx, EXAMPLE_ROUTES, "0 flush=2500")
    check_undisturbed(c, i, boot, EXAMPLE_COMMANDS)
    launches = boot.launches()
    waits = [w for w in boot.trace.calls_to("WaitForSingleObject")
             if launches and w.tid == launches[0].tid and w.arg32(1) == 30000]
    c.equal([w.retval for w in waits], [0],
            "results of the loader's waits of up to 30 s (0: the clearing run ended)")
    if waits and len(launches) > 1:
        c.true(launches[0].ret_tick <= waits[0].tick and waits[0].ret_tick <= launches[1].tick,
               "the clearing run had not ended when the first route's run began")
    created = [t for _, t in boot.children]
    if c.true(len(created) == 3, "runs that logged their start: %d" % len(created)):
        c.note("first route's run created %.0f ms after the clearing run"
               % ((created[1] - created[0]) / 1000))
        c.true(created[1] - created[0] >= (2500 - CLOCK_SLACK_MS) * 1000,
               "the first route's run was created %.0f ms after the clearing run"
               % ((created[1] - created[0]) / 1000))


@scenario("route-tool-never-exits", weight=2)
def route_tool_never_exits(ctx):
    c = ctx.check
    i, boot = registered_boot(ctx, EXAMPLE_ROUTES, "never flush=0")
    check_stopped(c, boot)
    c.equal(reports_of(boot), NORMAL_REPORTS, "status reports")
    check_launches(c, i, boot, EXAMPLE_COMMANDS)
    c.equal(boot.route_log, EXAMPLE_COMMANDS, "command lines the route tool received")
    check_records(c, boot, [])
    # Each route's run is polled a bounded number of times and left running,
    # so the next one starts no sooner than a second later. The clearing run,
    # which ends at once, is waited for on its handle, not polled.
    c.equal(polls_per_launch(boot)[1:], [(CHILD_READS, CHILD_READS - 1)] * 2,
            "status reads and 100 ms waits per route's run")
    c.equal([waits for _, waits in polls_per_launch(boot)[:1]], [0],
            "100 ms waits for the clearing run")
    launches = boot.launches()[1:]
    gaps = [b.tick - a.ret_tick for a, b in zip(launches, launches[1:])]
    c.true(all(1000 - CLOCK_SLACK_MS <= g <= 1000 + HANG_MS for g in gaps),
           "ms from one CreateProcessA's return to the next call: %s" % gaps)
    check_settled(c, boot, 1000 + SETTLE_MS)
    check_last_child_ended(c, boot)


def slow_routes(count):
    return b"".join(b"10.%d.0.0 10.0.0.%d\n" % (n, n) for n in range(1, count + 1))


def slow_commands(count):
    return ["ROUTE.EXE -f"] + ["ROUTE.EXE ADD 10.%d.0.0 10.0.0.%d" % (n, n)
                               for n in range(1, count + 1)]


def stop_by_command(ctx, command):
    """Stops a run whose route tool never ends with Wine's own client, sent once
    the third run has begun; the checks hold wherever the stop lands."""
    c = ctx.check
    i = ctx.install_at()
    register(ctx)
    routes = 20  # more than a client that is slow to start can let pass
    i.set_route_file(slow_routes(routes))
    i.set_tool_behaviour("never flush=0")
    running = i.start_boot()
    deadline = time.monotonic() + ws.BOOT_TIMEOUT_MS / 1000
    while len(i.route_log() or []) < 3 and time.monotonic() < deadline \
            and running.proc.poll() is None:
        time.sleep(0.02)
    client = ctx.prefix.run(command, "client-stop", timeout=60)
    boot = i.finish_boot(running)
    c.equal(client.rc, 0, "%s: exit status" % " ".join(command))
    check_stopped(c, boot, 1235)  # the routes the stop cut off are not in the table
    states = [r.state for r in boot.trace.reports]
    c.equal(states[:3], [START_PENDING, START_PENDING, RUNNING], "first status reports")
    c.true(set(states[3:-1]) <= {STOP_PENDING},
           "reports between running and stopped: %s" % [r.brief() for r in boot.trace.reports])
    # While the service waits for its loader, the check point goes on.
    pending = [(r.checkpoint, r.wait_hint) for r in boot.trace.reports if r.state == STOP_PENDING]
    c.equal(pending, [(k + 1, 2000) for k in range(len(pending))],
            "stop-pending check points, wait hints")
    check_stop_received(c, boot)
    launched = [call.texts[1] for call in boot.launches()]
    c.true(3 <= len(launched) <= routes and launched == slow_commands(routes)[:len(launched)],
           "the service's route tool runs, stopped part way: %s" % launched)
    check_quiet_after_stop(c, boot)
    check_last_child_ended(c, boot)
    check_records(c, boot, [])
    return client


@scenario("stop-by-sc", weight=2)
def stop_by_sc(ctx):
    stop_by_command(ctx, ["sc", "stop", SERVICE])


@scenario("stop-by-net", weight=2)
def stop_by_net(ctx):
    client = stop_by_command(ctx, ["net", "stop", SERVICE])
    ctx.check.true(b"stopped successfully" in client.out,
                   "net stop output: %r" % client.out.decode("latin-1"))


def paused_window(boot):
    """Ticks of the first paused report and of the next report that is not paused."""
    reports = boot.trace.reports
    for k, r in enumerate(reports):
        if r.state == PAUSED:
            later = [q.tick for q in reports[k:] if q.state != PAUSED]
            return r.tick, later[0] if later else None
    return None, None


@scenario("pause-and-continue", weight=3)
def pause_and_continue(ctx):
    c = ctx.check
    i, boot = registered_boot(ctx, slow_routes(4), "3000",
                              ["pause@lines=2", "interrogate@PAUSED", "continue@PAUSED+3000"])
    check_stopped(c, boot)
    for name, state in (("pause", "PAUSED"), ("interrogate", "PAUSED"), ("continue", "RUNNING")):
        got = [(e["ok"], e.get("state")) for e in control_events(boot, name)]
        c.equal(got, [("1", state)], "answer to %s" % name)
    c.equal([(s, cp, hint) for s, cp, hint, _ in reports_of(boot)],
            [(START_PENDING, 1, 1000), (START_PENDING, 2, 1000), (RUNNING, 0, 1000),
             (PAUSED, 0, 0), (PAUSED, 0, 0), (RUNNING, 0, 0), (STOPPED, 0, 1000)],
            "status reports (state, check point, wait hint)")
    paused, resumed = paused_window(boot)
    if c.true(paused and resumed, "no pause/continue reports"):
        # A loader that had just passed its check when the pause came may
        # begin that one route; none after it, for the three seconds paused.
        held = launches_between(boot, paused, resumed)
        c.true(len(held) <= 1, "route tool runs begun while paused: %s" % held)
    check_launches(c, i, boot, slow_commands(4))
    c.equal(boot.route_log, slow_commands(4), "command lines the route tool received")
    check_settled(c, boot, 1000 + SETTLE_MS)
    check_records(c, boot, [])


@scenario("pause-during-final-wait", weight=3)
def pause_during_final_wait(ctx):
    c = ctx.check
    # Sent once the last route has begun, the pause lands at the latest while
    # the loader sleeps; the continue comes after that sleep would have ended.
    i, boot = registered_boot(ctx, EXAMPLE_ROUTES,
                              controls=["pause@lines=3", "continue@PAUSED+6000"])
    check_stopped(c, boot)
    # A pause that did not hold would let the stop come while paused.
    c.equal([r.state for r in boot.trace.reports],
            [START_PENDING, START_PENDING, RUNNING, PAUSED, RUNNING, STOPPED], "status reports")
    check_launches(c, i, boot, EXAMPLE_COMMANDS)
    c.equal(boot.route_log, EXAMPLE_COMMANDS, "command lines the route tool received")
    _, resumed = paused_window(boot)
    stopped = boot.stopped_report()
    if c.true(resumed and stopped, "no continue or stop report"):
        c.true(0 <= stopped.tick - resumed <= HANG_MS,
               "stopped %d ms after continue" % (stopped.tick - resumed))
    check_settled(c, boot, SETTLE_MS)
    check_records(c, boot, [])


@scenario("stop-while-paused", weight=2)
def stop_while_paused(ctx):
    c = ctx.check
    i, boot = registered_boot(ctx, slow_routes(6), "3000", ["pause@lines=2", "stop@PAUSED+1500"])
    check_stopped(c, boot, 1235)
    states = [r.state for r in boot.trace.reports]
    c.equal(states[:4], [START_PENDING, START_PENDING, RUNNING, PAUSED], "first status reports")
    c.true(set(states[4:-1]) <= {STOP_PENDING}, "reports after the pause: %s"
           % [r.brief() for r in boot.trace.reports])
    check_stop_received(c, boot)
    paused, _ = paused_window(boot)
    if paused:
        held = launches_between(boot, paused, 1 << 62)
        c.true(len(held) <= 1, "route tool runs begun after the pause: %s" % held)
    check_quiet_after_stop(c, boot)
    launched = [call.texts[1] for call in boot.launches()]
    c.true(2 <= len(launched) < 7 and launched == slow_commands(6)[:len(launched)],
           "the service's route tool runs: %s" % launched)
    c.equal([w.retval for w in settle_waits(boot)], [0], "results of the service's 5 s waits")
    check_records(c, boot, [])


# The MSI package ---------------------------------------------------------------

PACKAGE_DIR = "C:\\Program Files\\Tolvane"
PACKAGE_FILES = ["tolvane.exe", "README.txt", "LICENSE.txt", "ROUTE.example"]
PACKAGES = "C:\\packages"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
BUILD_MSI = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                         "packaging", "build-msi")
INSTALL_FAILURE = 1603  # what Windows Installer returns for a refused install
# Wine's Windows Installer writes the key file's path as it is, without the
# quotes that Windows Installer puts around it: checked here as Wine writes it.
WINE_IMAGE_PATH = PACKAGE_DIR + "\\tolvane.exe mode=Service"


def lower_version(version):
    """A version below this one: its last non-zero part one less."""
    parts = [int(p) for p in version.split(".")]
    last = max(k for k, p in enumerate(parts) if p > 0)
    parts[last] -= 1
    return ".".join(str(p) for p in parts)


def build_older_package(args, work, version):
    """The package's own source built with a lower version, around a tolvane.exe
    that carries that version and has bytes appended (it runs the same; the
    bytes show which one is in place)."""
    files = os.path.join(work, "older-files")
    shutil.copytree(args.package_files, files)
    with open(os.path.join(files, "tolvane.exe"), "r+b") as f:
        exe = bytearray(f.read())
        parts = [int(p) for p in version.split(".")]
        fixed = exe.index(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO: file, product
        struct.pack_into("<4I", exe, fixed + 8, *[parts[0] << 16 | parts[1], parts[2] << 16] * 2)
        f.seek(0)
        f.write(exe + b"\0an older build\0")
    msi = os.path.join(work, "tolvane-%s-x64.msi" % version)
    subprocess.run([BUILD_MSI, os.path.join(os.path.dirname(BUILD_MSI), "tolvane.wxs"), version,
                    files, str(int(time.time())), msi], check=True, capture_output=True)
    return files, msi


def launch_conditions(msi):
    """Condition -> message, as the package's LaunchCondition table holds them."""
    text = subprocess.run(["msiinfo", "export", msi, "LaunchCondition"], check=True,
                          capture_output=True, text=True).stdout
    rows = [line.split("\t") for line in text.replace("\r\n", "\n").split("\n")[3:] if line]
    return {row[0]: row[1] for row in rows}


def msiexec(ctx, label, *args):
    """msiexec ... /qn, traced: Wine's trace of Windows Installer names the
    launch condition that stopped an install (Wine logs no message for it)."""
    return ctx.prefix.run(["msiexec"] + list(args) + ["/qn"], label,
                          debug="-all,trace+msi,err+msi", timeout=180)


def refused_by(result):
    """The launch condition found false when the install stopped, or None."""
    trace = result.err.decode("latin-1")
    halted = trace.find('Execution halted, action L"LaunchConditions"')
    false = re.findall(r'MSI_EvaluateConditionW 0 <- L"(.*)"', trace[:max(halted, 0)])
    return false[-1] if halted >= 0 and false else None


def reg_values(ctx, key, label):
    """name -> (type, data) of a key, or None when it does not exist."""
    result = ctx.prefix.run(["reg", "query", key], label)
    return ws.parse_reg_query(result.text) if result.rc == 0 else None


def programs_entries(ctx, label):
    """(DisplayName, DisplayVersion, Publisher) of each Tolvane entry in Programs and Features."""
    text = ctx.prefix.run(["reg", "query", UNINSTALL_KEY, "/s"], label).text
    entries = []
    for block in re.split(r"\r?\n(?=HKEY_)", text):
        values = ws.parse_reg_query(block)
        if values.get("DisplayName", ("", ""))[1] == SERVICE:
            entries.append(tuple(values.get(n, ("", ""))[1]
                                 for n in ("DisplayName", "DisplayVersion", "Publisher")))
    return entries


def installed_files(ctx):
    return {name: ctx.prefix.read(PACKAGE_DIR + "\\" + name) for name in PACKAGE_FILES}


def files_not_from(ctx, folder):
    """The files of the package that are not in place as they are in folder."""
    installed = installed_files(ctx)
    different = []
    for name in PACKAGE_FILES:
        with open(os.path.join(folder, name), "rb") as f:
            if installed[name] != f.read():
                different.append(name)
    return different


def service_state(install, label="status"):
    """(state, exit code) of the service, as the probe reads it."""
    status = ws.parse_events(install.svcprobe("status", SERVICE, label=label).text)
    return [(e.get("state"), e.get("exit")) for e in status]


def service_lines(check, install, label, status, advice):
    """/CHECK's Service: line ends with this advice, and its exit status is this."""
    result = install.tolvane("/CHECK", label="check-" + label)
    line = [l for l in console_lines(check, result, label) if l.startswith("Service: ")]
    check.true(result.rc == status & 0xFF and line and line[0].endswith(advice),
               "/CHECK %s: exit status %d, %s" % (label, result.rc, line))
    check.note("/CHECK %s: exit status %d, %s" % (label, result.rc, line))


def settled(probe, wanted):
    """What probe() gives once it gives `wanted`, or after HANG_MS."""
    deadline = time.monotonic() + HANG_MS / 1000
    while (got := probe()) != wanted and time.monotonic() < deadline:
        time.sleep(0.1)
    return got


@scenario("msi-package", weight=6)
def msi_package(ctx):
    """The zip's install script, run twice under Wine's cmd (an older build, then
    this one with a changed route file, the service watching between), then the
    MSI under Wine's msiexec: refused over that registration; an install of an
    older package without a route file, which starts nothing; an upgrade that
    starts the service with repair and puts every route back; a reinstall over a
    disabled service; a refused downgrade; a boot through the installed
    service; and an uninstall that stops it."""
    c, args = ctx.check, ctx.args
    older_version = lower_version(args.version)
    older_files, older_msi = build_older_package(args, ctx.prefix.log_dir, older_version)
    current, older = (PACKAGES + "\\" + os.path.basename(msi) for msi in (args.msi, older_msi))
    ctx.prefix.put(current, source=args.msi)
    ctx.prefix.put(older, source=older_msi)
    conditions = launch_conditions(args.msi)
    i = ctx.install_at(PACKAGE_DIR, tolvane=False, tool_dir="C:\\windows\\system32")
    i.set_tool_behaviour("0 sync")
    # One server until the boot: nothing registered when it started, so
    # nothing starts by itself before then.
    i.warm_server()

    # The script from the unpacked zip, with the route file beside it: the
    # older build first, over a copy an older script registered under Program
    # Files (x86); then, while that one watches, this build and a route more.
    # Each time the routes go in without a clearing.
    x86 = "C:\\Program Files (x86)\\Tolvane\\tolvane.exe"
    ctx.prefix.put(x86, source=args.tolvane)
    c.equal(ctx.prefix.run([x86, "/REGISTER"], "register-x86").rc, 0, "/REGISTER: exit status")
    routes = [b"10.50.0.0 255.255.0.0 10.0.0.1\r\n", b"10.51.0.0 255.255.0.0 10.0.0.1\r\n"]
    script, runs = "C:\\zip\\scripts\\install.cmd", []
    ctx.prefix.put(script, source=os.path.join(args.package_files, "scripts", "install.cmd"))
    for files, count, state in ((older_files, 1, "STOPPED"), (args.package_files, 2, "RUNNING"),
                                (args.package_files, 2, "RUNNING")):
        exe = open(os.path.join(files, "tolvane.exe"), "rb").read()
        ctx.prefix.put("C:\\zip\\tolvane.exe", exe)
        ctx.prefix.put("C:\\zip\\scripts\\ROUTE", b"".join(routes[:count]))
        result = ctx.prefix.run(["cmd", "/c", script], "install-script", timeout=180)
        runs.append((result.rc, ctx.prefix.read(PACKAGE_DIR + "\\tolvane.exe") == exe,
                     ctx.prefix.routes(), settled(lambda: service_state(i), [(state, "0")])))
        if files == older_files:
            ctx.prefix.run(["reg", "add", SERVICE_KEY + "\\Parameters", "/v", "KeepRoutes", "/t",
                            "REG_DWORD", "/d", "1", "/f"], "keep-routes")
            ctx.prefix.run(["sc", "start", SERVICE, "repair"], "sc-start")
    wanted = ["10.50.0.0/16 via 10.0.0.1 dev lo", "10.51.0.0/16 via 10.0.0.1 dev lo"]
    c.equal(runs, [(0, True, wanted[:1], [("STOPPED", "0")]), (0, True, wanted, [("RUNNING", "0")]),
                   (0, True, wanted, [("RUNNING", "0")])],
            "the script's runs: exit status, the zip's tolvane.exe in place, ip route, state")
    c.equal(i.route_log(), ["ROUTE.EXE ADD 10.50.0.0 MASK 255.255.0.0 10.0.0.1",
                            "ROUTE.EXE ADD 10.51.0.0 MASK 255.255.0.0 10.0.0.1"],
            "route tool runs of the script's three runs")
    c.note("the script's runs (exit status, ip route, state): %s" % runs)
    # Paused, the watch puts nothing back: /CHECK says what to run.
    i.svcprobe("control", SERVICE, "pause", label="pause")
    service_lines(c, i, "paused", 1062, "; but it is paused, so nothing puts the routes back: "
                  "sc.exe continue Tolvane lets it go on")

    # The package over that registration: refused, and left as it was.
    result = msiexec(ctx, "install-over-register", "/i", current)
    c.equal(result.rc, INSTALL_FAILURE & 0xFF, "install over /REGISTER: exit status")
    refusal = refused_by(result)
    c.true(refusal in conditions and "tolvane /DELETE" in conditions[refusal],
           "install over /REGISTER: stopped by %r, not by the condition that names "
           "tolvane /DELETE: %s" % (refusal, conditions))
    c.equal(((reg_values(ctx, SERVICE_KEY, "reg-query-registered") or {}).get("ImagePath"),
             programs_entries(ctx, "programs-refused")),
            (("REG_SZ", '"%s\\tolvane.exe" mode=Service' % PACKAGE_DIR), []),
            "install over /REGISTER: the registration, Programs and Features entries")
    ctx.prefix.run(["sc", "stop", SERVICE], "sc-stop")
    deleted = ctx.prefix.run([PACKAGE_DIR + "\\tolvane.exe", "/DELETE"], "delete")
    c.equal(deleted.rc, 0, "/DELETE: exit status")
    shutil.rmtree(ctx.prefix.host(PACKAGE_DIR))

    # The older package, with no route file: nothing starts. This one
    # upgrades it, the route file in place and its routes gone: it starts the
    # service with repair, which puts them back, never clearing, and stops.
    route_file = ctx.prefix.read(ws.ROUTE_FILE)
    os.remove(ctx.prefix.host(ws.ROUTE_FILE))
    i.clear_route_logs()
    states = []
    for label, msi, files, ends in (("install-older", older, older_files, ([], "1077")),
                                    ("upgrade", current, args.package_files, (wanted, "0"))):
        result = msiexec(ctx, label, "/i", msi)
        c.equal((result.rc, files_not_from(ctx, files)), (0, []),
                "%s: exit status, files in %s that are not the package's" % (label, PACKAGE_DIR))
        if msi == older:
            ctx.prefix.put(ws.ROUTE_FILE, route_file)
            ctx.prefix.ip("route", "flush", "scope", "global")
        states.append((settled(ctx.prefix.routes, ends[0]),
                       settled(lambda: service_state(i), [("STOPPED", ends[1])])))
    c.equal(states, [([], [("STOPPED", "1077")]), (wanted, [("STOPPED", "0")])],
            "ip route and service state after the install (1077: never started) and after the "
            "upgrade")
    c.equal(i.route_log(), ["ROUTE.EXE ADD 10.50.0.0 MASK 255.255.0.0 10.0.0.1",
                            "ROUTE.EXE ADD 10.51.0.0 MASK 255.255.0.0 10.0.0.1"],
            "route tool runs of the upgrade: every route back, no clearing")
    c.note("route log of the upgrade: %s" % i.route_log())
    c.equal(programs_entries(ctx, "programs-upgraded"),
            [(SERVICE, args.version, "The Tolvane developers")],
            "Programs and Features after the upgrade (name, version, publisher)")

    # Disabled by its administrator: a reinstall given KEEPROUTES=1 succeeds,
    # its start fails and changes nothing.
    ctx.prefix.run(["reg", "add", SERVICE_KEY, "/v", "Start", "/t", "REG_DWORD", "/d", "4", "/f"],
                   "disable")
    ctx.prefix.end_server()
    i.warm_server()
    i.clear_route_logs()
    result = msiexec(ctx, "reinstall-disabled", "/i", current, "KEEPROUTES=1", "REINSTALL=ALL",
                     "REINSTALLMODE=omus")
    c.equal((result.rc, service_state(i), i.route_log(),
             ws.parse_config(i.svcprobe("config", SERVICE, label="config").text).get("start")),
            (0, [("STOPPED", "1077")], None, "4"),
            "reinstall of a disabled service: exit status, state, route tool runs, start type")
    c.equal(reg_values(ctx, SERVICE_KEY + "\\Parameters", "reg-query-parameters"),
            {"KeepRoutes": ("REG_DWORD", "0x1")}, "KeepRoutes written by the reinstall")
    service_lines(c, i, "disabled", 1058, "; sc.exe config Tolvane start= auto starts it at boot "
                  "again, then sc.exe start Tolvane repair now, without clearing the table")
    # The boot below runs and stops.
    for value, name in (("2", "Start"), ("0", "Parameters\\KeepRoutes")):
        key, _, value_name = (SERVICE_KEY + "\\" + name).rpartition("\\")
        ctx.prefix.run(["reg", "add", key, "/v", value_name, "/t", "REG_DWORD", "/d", value, "/f"],
                       "enable")

    # Registered as /REGISTER registers it.
    values = reg_values(ctx, SERVICE_KEY, "reg-query-service") or {}
    c.equal({k: values.get(k) for k in ("Type", "Start", "ErrorControl", "ObjectName",
                                        "ImagePath", "DisplayName", "Description")},
            {"Type": ("REG_DWORD", "0x10"), "Start": ("REG_DWORD", "0x2"),
             "ErrorControl": ("REG_DWORD", "0x1"), "ObjectName": ("REG_SZ", "LocalSystem"),
             "ImagePath": ("REG_SZ", WINE_IMAGE_PATH), "DisplayName": ("REG_SZ", SERVICE),
             "Description": ("REG_SZ", DESCRIPTION)},
            "service key values")
    c.equal(reg_values(ctx, SOURCE_KEY, "reg-query-source"),
            {"EventMessageFile": ("REG_EXPAND_SZ", PACKAGE_DIR + "\\tolvane.exe"),
             "TypesSupported": ("REG_DWORD", "0x5")}, "event-source key values")

    # An older package is refused, and what is installed stays.
    result = msiexec(ctx, "downgrade", "/i", older)
    c.equal(result.rc, INSTALL_FAILURE & 0xFF, "downgrade: exit status")
    refusal = refused_by(result)
    c.true(refusal in conditions and "newer version" in conditions[refusal],
           "downgrade: stopped by %r, not by the downgrade's condition" % refusal)
    c.equal(files_not_from(ctx, args.package_files), [],
            "downgrade: installed files that did not stay")
    c.equal(programs_entries(ctx, "programs-downgrade"),
            [(SERVICE, args.version, "The Tolvane developers")],
            "Programs and Features after the downgrade")
    ctx.prefix.end_server()

    # The next boot runs the route file through the installed service, which
    # finds the route tool in the system folder.
    i.set_route_file(EXAMPLE_ROUTES)
    i.set_tool_behaviour("0")
    i.clear_route_logs()
    check_undisturbed(c, i, i.boot(), EXAMPLE_COMMANDS)

    # Uninstalled at the next boot while the service runs (held by a pause):
    # stopped, removed with its event source and files; the route file stays.
    i.clear_route_logs()
    running = i.start_boot(["pause@lines=2"], label="boot-paused")
    deadline = time.monotonic() + ws.BOOT_TIMEOUT_MS / 1000
    while b"state=PAUSED" not in running.output() and running.proc.poll() is None \
            and time.monotonic() < deadline:
        time.sleep(0.05)
    result = msiexec(ctx, "uninstall", "/x", current)
    boot = i.finish_boot(running)
    c.equal(result.rc, 0, "uninstall: exit status")
    check_stopped(c, boot)
    c.equal([r.state for r in boot.trace.reports][:4],
            [START_PENDING, START_PENDING, RUNNING, PAUSED], "first status reports")
    check_stop_received(c, boot)
    c.equal((reg_values(ctx, SERVICE_KEY, "reg-query-service-gone"),
             reg_values(ctx, SOURCE_KEY, "reg-query-source-gone")), (None, None),
            "service and event-source keys after the uninstall")
    c.equal((os.path.exists(ctx.prefix.host(PACKAGE_DIR)), programs_entries(ctx, "programs-gone")),
            (False, []), "%s and Programs and Features entries after the uninstall" % PACKAGE_DIR)
    c.equal(ctx.prefix.read(ws.ROUTE_FILE), EXAMPLE_ROUTES, "route file after the uninstall")


# Driver ---------------------------------------------------------------------

def run_scenario(name, args, template, work):
    fn, _ = SCENARIOS[name]
    started = time.monotonic()
    ctx = None
    try:
        ctx = Context(name, args, template, work)
        fn(ctx)
        problems, notes = ctx.check.problems, ctx.check.notes
    except Exception:  # a scenario that breaks is a failed scenario
        problems = ["scenario raised:\n" + traceback.format_exc()]
        notes = ctx.check.notes if ctx else []
    finally:
        if ctx is not None:
            ctx.prefix.close()
            if not args.keep:
                shutil.rmtree(ctx.prefix.path, ignore_errors=True)
    history = ctx.prefix.history if ctx else []
    notes = notes + (ctx.prefix.notes if ctx else [])
    return name, problems, notes, history, time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tolvane", required=True)
    parser.add_argument("--route-tool", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--version", required=True, help="the version tolvane.exe shows")
    parser.add_argument("--msi", required=True, help="the package, tolvane-<version>-x64.msi")
    parser.add_argument("--package-files", required=True,
                        help="the folder of the files the package installs")
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)),
                        help="scenarios at once (default: one per core; more starve "
                             "Wine's service manager on a small machine)")
    parser.add_argument("--logs", help="copy the logs of failed scenarios into this folder")
    parser.add_argument("--keep", action="store_true",
                        help="keep the work folder (prefixes and logs) and print its path")
    parser.add_argument("names", nargs="*", help="scenarios to run (default: all)")
    args = parser.parse_args()
    for attr in ("tolvane", "route_tool", "probe", "msi", "package_files"):
        setattr(args, attr, os.path.abspath(getattr(args, attr)))
        if not os.path.exists(getattr(args, attr)):
            parser.error("no such file: %s" % getattr(args, attr))
    global BANNER
    BANNER = "Tolvane  Version " + args.version
    names = args.names or list(SCENARIOS)
    unknown = [n for n in names if n not in SCENARIOS]
    if unknown:
        parser.error("unknown scenarios: %s (known: %s)" % (unknown, ", ".join(SCENARIOS)))
    names.sort(key=lambda n: -SCENARIOS[n][1])  # long ones first

    if args.logs:
        shutil.rmtree(args.logs, ignore_errors=True)
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="tolvane-e2e-")
    template = os.path.join(work, "template")
    os.makedirs(os.path.join(work, "logs"))
    failed = []
    try:
        ws.make_template(template, os.path.join(work, "logs"))
        print("template prefix ready in %.1f s" % (time.monotonic() - started), flush=True)
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = [pool.submit(run_scenario, n, args, template, work) for n in names]
            for future in concurrent.futures.as_completed(futures):
                name, problems, notes, history, seconds = future.result()
                print("%s %s (%.1f s)" % ("FAIL" if problems else "PASS", name, seconds),
                      flush=True)
                for note in notes:
                    print("    note: " + note)
                if problems:
                    failed.append(name)
                    for problem in problems:
                        print("    problem: " + problem)
                    logs = os.path.join(work, "logs", name)
                    if args.logs:
                        target = os.path.join(os.path.abspath(args.logs), name)
                        shutil.rmtree(target, ignore_errors=True)
                        shutil.copytree(logs, target)
                        logs = target
                    print("    commands run (output in %s):" % logs)
                    for line in history:
                        print("      " + line)
                sys.stdout.flush()
    finally:
        if args.keep:
            print("work folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    print("wall time %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (len(names) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
