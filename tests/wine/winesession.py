"""Wine prefixes for running tolvane.exe as a real service, and readers for
what such a run leaves behind.

Used by the end-to-end suite (e2e.py) and by tools/demo. Python standard
library only. Every wine command runs with its output redirected to files
(services.exe keeps the output of the command that started it open, so a pipe
would never close), with a timeout, and every prefix's wineserver is ended by
Prefix.close().

A boot is a cold start of the prefix's wineserver by `svcprobe wait`: Wine
starts services.exe, which starts every auto-start service, and the probe
stays alive (a server with no client process left exits and takes the
services with it) until the service has stopped. The boot runs with Wine's
service and event-log traces on, and with a relay trace of the few platform
calls listed in RELAY_INCLUDE; services inherit that standard error, so the
file holds, each line stamped with one clock, every status report the
service sent (`SetServiceStatus`), every control it received, every
event-log record (`ReportEventA` arguments, then one `err:eventlog` line per
insertion string), and each route tool launch, status read, wait, sleep and
termination, with its arguments and result, at the moment the service made
it. Those are the suite's oracles for what the service did and when: unlike
what the stand-in route tool writes, they cannot lag behind the service.
"""

import dataclasses
import glob
import ipaddress
import os
import re
import shutil
import subprocess
import threading
import time

SERVICE = "Tolvane"
# Every prefix runs in a network namespace of its own, whose routing table
# Wine reads: its loopback device has these addresses, on whose networks the
# gateways of the suite's route files lie.
ADDRESSES = ("192.168.1.1/24", "10.0.0.254/24")
INSTALL_DIR = "C:\\Tolvane"
PROBE_DIR = "C:\\probe"
ROUTE_FILE = "C:\\windows\\system32\\drivers\\etc\\ROUTE"

BOOT_DEBUG = "-all,err+eventlog,trace+eventlog,trace+service,+relay,+loaddll,+pid,+timestamp"
RELAY_INCLUDE = ";".join([
    "advapi32.ReportEventA", "advapi32.ReportEventW", "advapi32.StartServiceCtrlDispatcherA",
    "user32.MessageBoxA", "kernel32.CreateProcessA", "kernel32.GetExitCodeProcess",
    "kernel32.WaitForSingleObject", "kernel32.Sleep", "kernel32.TerminateProcess"])

# What the probe prints when Wine's service manager never answered.
NO_SERVICE_MANAGER = b"error call=OpenSCManagerA code=1722"

# How long a boot may take, from the cold start to the service's stop, before
# it counts as hung: far above what a run takes on a loaded machine.
BOOT_TIMEOUT_MS = 90000

STATE_NAMES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING",
               5: "CONTINUE_PENDING", 6: "PAUSE_PENDING", 7: "PAUSED"}


class WineError(Exception):
    """A wine command could not be run to its end (timeout, missing file)."""


@dataclasses.dataclass
class Result:
    rc: int            # exit status as the wine command returns it (low 8 bits)
    out: bytes
    err: bytes
    seconds: float

    @property
    def text(self):
        return self.out.decode("latin-1")


def base_env(prefix, debug="-all"):
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG=debug,
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def _quiet(args, env, timeout):
    subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout, check=False)


def end_server(prefix):
    """Ends the prefix's wineserver and every process in it, bounded."""
    env = base_env(prefix)
    try:
        _quiet(["wineserver", "-k"], env, 20)
    except subprocess.TimeoutExpired:
        pass
    try:
        _quiet(["wineserver", "-w"], env, 20)
    except subprocess.TimeoutExpired:
        pass


def remove_socket_dir(prefix):
    """Removes the server socket folder Wine made for this prefix under /tmp."""
    if not os.path.isdir(prefix):
        return
    st = os.stat(prefix)
    for server_dir in glob.glob("/tmp/wine-*/server-%x-%x" % (st.st_dev, st.st_ino)):
        shutil.rmtree(server_dir, ignore_errors=True)
        try:
            os.rmdir(os.path.dirname(server_dir))
        except OSError:
            pass


def make_template(path, log_dir):
    """Creates a fresh prefix at path (about 10 s) and leaves its server ended."""
    env = base_env(path)
    with open(os.path.join(log_dir, "template.out"), "wb") as out, \
            open(os.path.join(log_dir, "template.err"), "wb") as err:
        try:
            for args in (["wineboot", "-i"],
                         ["wine", "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v",
                          "RelayInclude", "/d", RELAY_INCLUDE, "/f"]):
                rc = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, timeout=180, check=False).returncode
                if rc != 0:
                    raise WineError("%s failed with status %d (see %s)"
                                    % (" ".join(args), rc, log_dir))
        except subprocess.TimeoutExpired as exc:
            raise WineError("%s timed out" % " ".join(exc.cmd)) from exc
        finally:
            end_server(path)
            if os.path.isdir(path):
                remove_socket_dir(path)


class Prefix:
    """A throwaway copy of the template prefix, in a network namespace of its own.

    The copy hard-links the big read-only part of the template; the registry
    files, which wineserver rewrites in place, are real copies. Every Wine
    command of the prefix runs in the namespace (`ip netns exec`, as root), so
    the service reads its routing table.
    """

    def __init__(self, template, path, log_dir):
        self.path = path
        self.log_dir = log_dir
        self.count = 0
        self.history = []
        self.notes = []  # what happened to the platform rather than to the product
        self.netns = "tolvane-%d-%s" % (os.getpid(), os.path.basename(path))
        self.closing = threading.Event()
        os.makedirs(log_dir, exist_ok=True)
        subprocess.run(["cp", "-al", template, path], check=True)
        for reg in glob.glob(os.path.join(path, "*.reg")):
            os.remove(reg)
            shutil.copy(os.path.join(template, os.path.basename(reg)), reg)
        wineserver_link = os.path.join(path, "wineserver")
        if os.path.lexists(wineserver_link):
            os.remove(wineserver_link)
        made = subprocess.run(["ip", "netns", "add", self.netns], capture_output=True, text=True)
        if made.returncode != 0:
            raise WineError("this machine cannot make a network namespace (ip netns add, as "
                            "root): %s" % made.stderr.strip())
        for args in [["link", "set", "lo", "up"]] + [["addr", "add", a, "dev", "lo"]
                                                      for a in ADDRESSES]:
            self.ip(*args)

    # The network namespace ------------------------------------------------

    def ip(self, *args):
        """Runs `ip ARGS...` in the namespace; returns its exit status."""
        return subprocess.run(["ip", "-n", self.netns] + list(args), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, check=False).returncode

    def routes(self):
        """The namespace's routes through a gateway, as `ip route` shows them."""
        text = subprocess.run(["ip", "-n", self.netns, "-4", "route", "show"], text=True,
                              capture_output=True, check=False).stdout
        return [line.strip() for line in text.splitlines() if " via " in line]

    def route_command(self, command):
        """Applies a route tool's command line to the namespace's routing table
        as the tool would; the kernel refuses what the tool refuses."""
        words = command.split()[1:]
        metric = []
        if len(words) > 2 and words[-2] == "IF":
            words = words[:-2]  # the address's own interface here
        if len(words) > 2 and words[-2] == "METRIC":
            metric, words = ["metric", words[-1]], words[:-2]
        if words == ["-f"]:
            self.ip("-4", "route", "flush", "scope", "global")
        elif len(words) in (3, 5) and words[0] == "ADD":
            try:
                mask = "/" + words[3] if len(words) == 5 else ""
                length = ipaddress.IPv4Network("0.0.0.0" + mask).prefixlen
            except ValueError:
                return
            self.ip("route", "add", "%s/%d" % (words[1], length), "via", words[-1], *metric)

    # Files ----------------------------------------------------------------

    def host(self, win_path):
        """Host path of a C: path inside the prefix."""
        drive, _, rest = win_path.partition(":")
        assert drive.upper() == "C", win_path
        return os.path.join(self.path, "drive_c", *[p for p in rest.split("\\") if p])

    def put(self, win_path, data=None, source=None):
        target = self.host(win_path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if source is not None:
            shutil.copyfile(source, target)
        else:
            with open(target, "wb") as f:
                f.write(data)

    def read(self, win_path):
        """Bytes of a file in the prefix, or None if it does not exist."""
        try:
            with open(self.host(win_path), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    # Commands -------------------------------------------------------------

    def _files(self, label):
        self.count += 1
        stem = os.path.join(self.log_dir, "%02d-%s" % (self.count, label))
        return stem + ".out", stem + ".err"

    def run(self, args, label, debug="-all", timeout=60, cwd=None, again=True):
        """Runs `wine ARGS...` to its end; output goes to files in the log folder.

        Once in a few hundred commands on a loaded machine, Wine ended one at
        once with status 1, silent, sooner than any program can start, or said
        "ShellExecuteEx failed"; such a command, which never reached the
        program, is run once more, noted."""
        out_path, err_path = self._files(label)
        started = time.monotonic()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            try:
                rc = subprocess.run(self.wine(args), env=base_env(self.path, debug),
                                    cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, timeout=timeout, check=False).returncode
            except subprocess.TimeoutExpired as exc:
                raise WineError("wine %s: no end after %d s" % (" ".join(args), timeout)) from exc
        seconds = time.monotonic() - started
        result = Result(rc, _slurp(out_path), _slurp(err_path), seconds)
        self.history.append("wine %s -> status %d in %.1f s [%s]"
                            % (" ".join(args), rc, seconds, os.path.basename(out_path)))
        # Now and then, too, Wine fails to start the program at all.
        unstarted = b"ShellExecuteEx failed" in result.err
        if again and rc == 1 and (seconds < 0.05 and not result.out + result.err or unstarted):
            self.notes.append("wine %s ended at once%s; run again"
                              % (" ".join(args), ", unstarted" if unstarted else ", silent"))
            return self.run(args, label, debug, timeout, cwd, again=False)
        return result

    def start(self, args, label, debug="-all"):
        """Starts `wine ARGS...` in the background; finish it with Running.finish()."""
        out_path, err_path = self._files(label)
        self.history.append("wine %s (background) [%s]"
                            % (" ".join(args), os.path.basename(out_path)))
        return Running(self, self.wine(args), out_path, err_path, debug)

    def wine(self, args, program="wine"):
        """The command line that runs `wine ARGS...` in the namespace."""
        return ["ip", "netns", "exec", self.netns, program] + list(args)

    def end_server(self):
        end_server(self.path)

    def keep_server(self):
        """Starts a server that stays up with no client left; end_server() ends it."""
        _quiet(self.wine(["-p"], "wineserver"), base_env(self.path), 20)

    def close(self):
        self.closing.set()
        self.end_server()
        remove_socket_dir(self.path)
        subprocess.run(["ip", "netns", "delete", self.netns], capture_output=True, check=False)


class Running:
    def __init__(self, prefix, args, out_path, err_path, debug):
        self.out_path, self.err_path = out_path, err_path
        self.started = time.monotonic()
        self._out = open(out_path, "wb")
        self._err = open(err_path, "wb")
        self.proc = subprocess.Popen(args, env=base_env(prefix.path, debug),
                                     stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=self._err)

    def output(self):
        """What the command has written to its standard output so far."""
        return _slurp(self.out_path)

    def finish(self, timeout):
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired as exc:
            self.proc.kill()
            self.proc.wait(timeout=10)
            raise WineError("%s: no end after %d s" % (" ".join(self.proc.args), timeout)) from exc
        finally:
            self._out.close()
            self._err.close()
        return Result(rc, _slurp(self.out_path), _slurp(self.err_path),
                      time.monotonic() - self.started)


def _slurp(path):
    with open(path, "rb") as f:
        return f.read()


# The probe's output --------------------------------------------------------

@dataclasses.dataclass
class Event:
    kind: str
    fields: dict

    def __getitem__(self, key):
        return self.fields[key]

    def get(self, key, default=None):
        return self.fields.get(key, default)


def parse_events(text):
    """`kind key=value ...` lines, as svcprobe prints them."""
    events = []
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        fields = {}
        for word in words[1:]:
            key, sep, value = word.partition("=")
            if sep:
                fields[key] = value
        events.append(Event(words[0], fields))
    return events


def parse_config(text):
    """`key=value` lines of `svcprobe config`; the value runs to the line end."""
    config = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep:
            config[key] = value
    return config


def parse_reg_query(text):
    """Values of one key as Wine's `reg query` prints them: name -> (type, data)."""
    values = {}
    for line in text.splitlines():
        m = re.match(r"^    (\S.*?)    (REG_\w+)    ?(.*)$", line)
        if m:
            values[m.group(1)] = (m.group(2), m.group(3))
    return values


def parse_route_log(data):
    """(pid, creation time in us, command line) of each stand-in run that
    logged its start (see fake_route.cpp), in the order of their launches."""
    runs = []
    for line in data.decode("latin-1").splitlines():
        pid, created, command = line.split(" ", 2)
        runs.append((int(pid), int(created), command))
    return sorted(runs, key=lambda run: run[1])


# Wine's trace of a boot ----------------------------------------------------

@dataclasses.dataclass
class Report:
    """One SetServiceStatus call of the service process."""
    tick: int
    service_type: int
    state: int
    controls: int
    exit_code: int
    specific: int
    checkpoint: int
    wait_hint: int

    @property
    def state_name(self):
        return STATE_NAMES.get(self.state, str(self.state))

    def brief(self):
        return "%s cp=%d hint=%d controls=0x%x exit=%d" % (
            self.state_name, self.checkpoint, self.wait_hint, self.controls, self.exit_code)


@dataclasses.dataclass
class Record:
    """One event-log record written by the service process."""
    tick: int
    event_type: int = None
    category: int = None
    event_id: int = None
    sid: int = None
    string_count: int = None
    data_size: int = None
    strings: list = dataclasses.field(default_factory=list)


TRACE_LINE = re.compile(r"^\s*(\d+)\.(\d{3}):([0-9a-f]{4,}):([0-9a-f]{4,}):(.*)$")


def unescape_wine_string(text):
    """The text of an L"..." or "..." literal as Wine's debug output writes it."""
    m = re.match(r'^L?"(.*)"(\.\.\.)?$', text)
    body = m.group(1) if m else text
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            nxt = body[i + 1]
            if nxt in simple:
                out.append(simple[nxt])
                i += 2
                continue
            hexdigits = re.match(r"[0-9a-fA-F]{4}", body[i + 1:i + 5])
            if hexdigits:
                out.append(chr(int(hexdigits.group(0), 16)))
                i += 5
                continue
        out.append(c)
        i += 1
    return "".join(out)


@dataclasses.dataclass
class Call:
    """One relayed platform call of the service process."""
    tick: int
    tid: int
    name: str         # without its module: CreateProcessA
    args: list        # values as printed: whole registers, so a WORD or DWORD
                      # argument can carry garbage above its own width
    texts: list       # per argument, the text Wine shows beside it, or None
    ret_tick: int = None
    retval: int = None

    def arg32(self, index):
        return self.args[index] & 0xFFFFFFFF


@dataclasses.dataclass
class Control:
    """A control request as the service process received it."""
    tick: int
    code: int


@dataclasses.dataclass
class Trace:
    service_pids: list
    reports: list
    records: list
    message_boxes: list
    calls: list
    controls: list
    modules: list  # the DLLs that tolvane.exe's processes loaded, in lower case

    def calls_to(self, name):
        return [c for c in self.calls if c.name == name]


MESSAGE_BOX_CALL = re.compile(
    r'Call user32\.MessageBoxA\(([0-9a-f]+),[0-9a-f]+ "(.*)",[0-9a-f]+ "(.*)",([0-9a-f]+)\)')
RELAY_LINE = re.compile(r"^(Call|Ret) +\w+\.(\w+)\((.*)\)(?: retval=([0-9a-f]+))? ret=[0-9a-f]+$")
RELAY_ARG = re.compile(r'([0-9a-f]+)(?: (L?"(?:[^"\\]|\\.)*"))?(?:,|$)')
CONTROL_LINE = re.compile(r'^trace:service:service_handle_control L"(\w+)" control (\d+) ')


def message_boxes(text):
    """(owner, text, caption, style) of each MessageBoxA call in a relay trace."""
    boxes = []
    for m in MESSAGE_BOX_CALL.finditer(text):
        boxes.append((int(m.group(1), 16), m.group(2), m.group(3), int(m.group(4), 16) & 0xFFFFFFFF))
    return boxes


def parse_relay(rest):
    """(kind, function, args, texts, retval) of a relay line, or None."""
    m = RELAY_LINE.match(rest)
    if not m or m.group(2) in ("DLL", "callback"):
        return None
    args, texts = [], []
    for a in RELAY_ARG.finditer(m.group(3)):
        args.append(int(a.group(1), 16))
        texts.append(unescape_wine_string(a.group(2)) if a.group(2) else None)
    return m.group(1), m.group(2), args, texts, int(m.group(4) or "0", 16)


def parse_trace(text, service=SERVICE):
    """What the service's process(es) did, from Wine's trace of a boot."""
    lines = []
    pids = []
    marker = 'RegisterServiceCtrlHandlerExW L"%s"' % service
    for line in text.splitlines():
        m = TRACE_LINE.match(line)
        if not m:
            continue
        tick = int(m.group(1)) * 1000 + int(m.group(2))
        pid, tid, rest = int(m.group(3), 16), int(m.group(4), 16), m.group(5)
        lines.append((tick, pid, tid, rest))
        if marker in rest and pid not in pids:
            pids.append(pid)
    reports, records, calls, controls, modules = [], [], [], [], []
    open_calls, open_records = {}, {}
    exes = {}  # the program each process id runs now: Wine gives ids out again
    for tick, pid, tid, rest in lines:
        if rest.startswith("trace:loaddll:") and 'Loaded L"' in rest:
            name = rest.split('"')[1].split("\\")[-1].lower()
            exes[pid] = name if name.endswith(".exe") else exes.get(pid)
            if exes[pid] == "tolvane.exe" and name != "tolvane.exe":
                modules.append(name)
        if pid not in pids:
            continue
        relay = parse_relay(rest)
        control = CONTROL_LINE.match(rest)
        if relay and relay[0] == "Call":
            call = Call(tick, tid, relay[1], relay[2], relay[3])
            calls.append(call)
            open_calls.setdefault(tid, []).append(call)
            if call.name == "ReportEventA":
                record = Record(tick, event_type=call.args[1] & 0xFFFF,
                                category=call.args[2] & 0xFFFF, event_id=call.arg32(3),
                                sid=call.args[4], string_count=call.args[5] & 0xFFFF,
                                data_size=call.arg32(6))
                records.append(record)
                open_records[tid] = record
        elif relay:
            stack = open_calls.get(tid, [])
            while stack:
                call = stack.pop()
                if call.name == relay[1]:
                    call.ret_tick, call.retval = tick, relay[4]
                    break
            if relay[1] == "ReportEventA":
                open_records.pop(tid, None)
        elif rest.startswith("trace:service:SetServiceStatus "):
            values = [int(v, 0) for v in rest.split()[2:9]]
            reports.append(Report(tick, *values))
        elif control:
            if control.group(1) == service and int(control.group(2)) != 0:  # 0: the start
                controls.append(Control(tick, int(control.group(2))))
        elif re.match(r"(err|trace):eventlog:ReportEventW ", rest):
            text_ = unescape_wine_string(rest.split(" ", 1)[1])
            record = open_records.get(tid)
            if record is None:  # a record whose call was not traced
                record = Record(tick)
                records.append(record)
                open_records[tid] = record
            record.strings.append(text_)
    return Trace(pids, reports, records, message_boxes(text), calls, controls, modules)


# A service run --------------------------------------------------------------

@dataclasses.dataclass
class Boot:
    probe: Result
    events: list
    trace: Trace
    route_log: list      # command lines the stand-in tool logged, in launch order;
                         # None without a log
    children: list       # (pid, creation time in us) of each stand-in run that
                         # logged it, oldest first; one killed at once never does

    def outcome(self):
        lines = [line for line in self.probe.text.splitlines() if line.startswith("result ")]
        return lines[-1].split()[1] if lines else None

    def states_seen(self):
        return [e["state"] for e in self.events if e.kind == "state"]

    def stopped_report(self):
        stops = [r for r in self.trace.reports if r.state == 1]
        return stops[-1] if stops else None

    def launches(self):
        """The service's CreateProcessA calls: every route tool run it began."""
        return self.trace.calls_to("CreateProcessA")

    def final_children(self):
        """pid -> (status, exit code or None) of each logged run, after the stop."""
        return {int(e["pid"]): (e["status"], e.get("code") and int(e["code"]))
                for e in self.events if e.kind == "final-child"}


class Install:
    """tolvane.exe, the stand-in route tool and the probe, laid into a prefix.

    The route tool goes into the system folder, or into tool_dir (beside
    tolvane.exe, where the service finds it first). Wine gives every other
    folder an owner that is not one of the machine's administrators, so the
    service runs a route tool from the system folder only.
    """

    def __init__(self, prefix, tolvane, route_tool, probe, install_dir=INSTALL_DIR,
                 tool_dir=None):
        self.prefix = prefix
        self.dir = install_dir
        self.tool_dir = tool_dir or "C:\\windows\\system32"
        self.exe = install_dir + "\\tolvane.exe"
        self.probe = PROBE_DIR + "\\svcprobe.exe"
        if tolvane is not None:
            prefix.put(self.exe, source=tolvane)
        prefix.put(self.tool_dir + "\\ROUTE.EXE", source=route_tool)
        prefix.put(self.probe, source=probe)
        threading.Thread(target=self._apply_route_runs, daemon=True).start()

    def _apply_route_runs(self):
        """Applies each stand-in run's command line to the prefix's routing
        table as the run logs it, in the order of the launches: the service's
        routes land in a real table, which its check and `ip route` read."""
        applied = set()
        while not self.prefix.closing.wait(0.02):
            for run in self.route_runs() or []:
                if run not in applied:
                    applied.add(run)
                    self.prefix.route_command(run[2])
                    with open(self.prefix.host(self.tool_dir + "\\ROUTE.APPLIED"), "a") as f:
                        f.write(" %d\n" % run[0])

    def remove_route_tool(self):
        os.remove(self.prefix.host(self.tool_dir + "\\ROUTE.EXE"))

    def set_route_file(self, data):
        self.prefix.put(ROUTE_FILE, data)

    def set_tool_behaviour(self, setting):
        """A number of milliseconds the stand-in takes, or "never"; then
        optionally "flush=" and one of those for its clearing run alone."""
        self.prefix.put(self.tool_dir + "\\ROUTE.CFG", setting.encode("ascii") + b"\n")

    def warm_server(self):
        """Starts a server that stays up and waits until services.exe answers.

        On a server that has only just started, a first client can find the
        service manager not answering yet; the product's command-line face is
        run on a warm server so that this start-up race of Wine's is not
        mistaken for a failure of its own. end_server() ends it again.
        """
        self.prefix.keep_server()
        self.svcprobe("status", SERVICE, label="warm-up")

    def tolvane(self, *args, label="tolvane", timeout=60, debug="-all"):
        return self.prefix.run([self.exe] + list(args), label, debug=debug, timeout=timeout)

    def svcprobe(self, *args, label="svcprobe", timeout=60):
        return self.prefix.run([self.probe] + list(args), label, timeout=timeout)

    def clear_route_logs(self):
        path = self.prefix.host(self.tool_dir + "\\ROUTE.LOG")
        if os.path.exists(path):
            os.remove(path)

    def route_runs(self):
        data = self.prefix.read(self.tool_dir + "\\ROUTE.LOG")
        return None if data is None else parse_route_log(data)

    def route_log(self):
        runs = self.route_runs()
        return None if runs is None else [command for _, _, command in runs]

    def children(self):
        return [(pid, created) for pid, created, _ in self.route_runs() or []]

    def start_boot(self, controls=(), timeout_ms=BOOT_TIMEOUT_MS, label="boot", keep_server=False):
        """Cold-starts the prefix's server through the probe, which waits for the run.

        controls: the probe's CONTROL@WHEN arguments, such as "pause@lines=2"
        or "continue@PAUSED+3000" (see svcprobe.cpp). keep_server: the server,
        and with it the service manager that ran the service, stays up after
        the run, so that other clients can ask it about the run;
        end_server() ends it.

        Returns once the probe has reached the service manager. Now and then
        (about one cold start in two hundred here) Wine starts no service
        manager at all, and the probe gives up after 20 s with 1722; that
        start, which never reached the product, is noted and made once more.
        """
        log = self.tool_dir + "\\ROUTE.LOG"
        args = [self.probe, "wait", SERVICE, str(timeout_ms), "log=" + log, "pids=" + log]
        args += list(controls)
        for attempt in (1, 2):
            self.prefix.end_server()
            if keep_server:
                self.prefix.keep_server()
            running = self.prefix.start(args, label, debug=BOOT_DEBUG)
            while not _slurp(running.out_path) and running.proc.poll() is None:
                time.sleep(0.02)
            if not _slurp(running.out_path).startswith(NO_SERVICE_MANAGER) or attempt == 2:
                return running
            running.finish(30)
            self.clear_route_logs()
            self.prefix.notes.append("Wine started no service manager for %s; booted again"
                                     % os.path.basename(running.out_path))

    def finish_boot(self, running, timeout_ms=BOOT_TIMEOUT_MS):
        probe = running.finish(timeout_ms / 1000 + 30)
        boot = Boot(probe, parse_events(probe.text),
                    parse_trace(probe.err.decode("latin-1")), self.route_log(),
                    self.children())
        return boot

    def boot(self, controls=(), timeout_ms=BOOT_TIMEOUT_MS, label="boot", keep_server=False):
        return self.finish_boot(self.start_boot(controls, timeout_ms, label, keep_server),
                                timeout_ms)
