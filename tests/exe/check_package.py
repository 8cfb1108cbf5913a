#!/usr/bin/env python3
"""Checks the zip as an unzip program sees it: exactly its files, in order
(the symbols stay out); the executable that was built and tested; text with
CR LF line ends; pages without Markdown marks, a README.txt that is the
administrator's part and names the other pages; and checksums of every other
file that `sha256sum -c` accepts.
Then the MSI as msitools read it: the zip's files but its scripts, installed
per machine under Program Files, the executable with its version; the service
registered as `tolvane /REGISTER` registers it, stopped and removed at
uninstall, and started only with `repair`, its failure ignored, when a route
file exists; the event-log source; the
version, publisher and upgrade code Windows Installer goes by; the launch
conditions that refuse a downgrade and a service that /REGISTER made; and
KeepRoutes and ClearTable each written as a REG_DWORD 1 or 0 from KEEPROUTES
and CLEARTABLE, else from the value the machine has. And
the checksum file beside the packages, which `sha256sum -c` accepts for both.

    check_package.py PACKAGE EXE MSI VERSION
"""

import os
import re
import subprocess
import sys
import tempfile
import zipfile

CONTENTS = ["tolvane.exe", "README.txt", "ADMIN-GUIDE.txt", "FLEET-GUIDE.txt", "REFERENCE.txt",
            "SECURITY.txt", "ROUTE.example", "LICENSE.txt"]
ZIP_CONTENTS = CONTENTS + ["scripts/" + name for name in
                           ("install.cmd", "detect.ps1", "remediate.ps1", "discover.ps1")] + \
    ["policy/tolvane.admx", "policy/en-US/tolvane.adml"]
# Windows Installer knows every version of Tolvane by it: it never changes.
UPGRADE_CODE = "{6B1F3E0A-7C52-4D8B-9E34-2A5D8C1F07B6}"
SERVICE_KEY = "SYSTEM\\CurrentControlSet\\Services\\Tolvane"
EVENT_SOURCE_KEY = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tolvane"
# The condition of the component that writes a setting as the integer 0 or 1:
# its property given, or else the raw value found ({1}, "#1" for a REG_DWORD
# 1). Any value but 0 stays on.
SETTINGS = {"KEEPROUTES": "KeepRoutes", "CLEARTABLE": "ClearTable"}
WRITES = {0: '{0} = "0" OR (NOT {0} AND {1} = "#0")',
          1: '{0} = "1" OR (NOT {0} AND {1} AND {1} <> "#0")'}
# ServiceControl events: stop at install 0x2, and stop and delete at
# uninstall 0x20 and 0x80. No start: a failed one fails the install.
CONTROLS = {("Tolvane", 0xA2, "", "1", "Program")}
# The start without a boot run: sc.exe, run deferred as LocalSystem (34 +
# 0x400 + 0x800), its failure ignored (0x40), after StartServices (5900), when
# a route file was found and the package is not being removed.
START_REPAIR = [("StartRepair", "3170", "TolvaneFolder",
                 '"[System64Folder]sc.exe" start Tolvane repair', "", "TOLVANE_ROUTE_FILE AND NOT "
                 'REMOVE~="ALL"', "5950", "RouteFile", "ROUTE", "[System64Folder]drivers\\etc")]
TRANSITIVE = 0x40
# Windows Installer's Restart Manager stops and starts nothing of its own accord.
RESTART_MANAGER = {"MSIRESTARTMANAGERCONTROL": "Disable", "MSIDISABLERMRESTART": "1"}


def problems(package, exe):
    with zipfile.ZipFile(package) as z:
        names = z.namelist()
        if names != ZIP_CONTENTS + ["SHA256SUMS.txt"]:
            yield "holds %s" % names
            return
        files = {name: z.read(name) for name in names}
        with tempfile.TemporaryDirectory() as work:
            z.extractall(work)
            check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS.txt"],
                                   cwd=work, capture_output=True, text=True)
    if check.returncode != 0:
        yield "sha256sum -c fails:\n%s%s" % (check.stdout, check.stderr)
    listed = re.findall(rb"^[0-9a-f]{64}  (\S+)\r$", files["SHA256SUMS.txt"], re.M)
    if listed != [name.encode() for name in ZIP_CONTENTS]:
        yield "SHA256SUMS.txt lists %s" % listed
    with open(exe, "rb") as f:
        if files["tolvane.exe"] != f.read():
            yield "its tolvane.exe is not %s" % exe
    for name in names[1:]:
        if re.search(rb"(?<!\r)\n|\r(?!\n)", files[name]) or not files[name].endswith(b"\r\n"):
            yield "%s has line ends other than CR LF" % name
    pages = {name: files[name].decode("utf-8", "replace") for name in CONTENTS[1:6]}
    for name, page in pages.items():
        for mark in ("`", "**", "\n#", "\n|", "]("):
            if mark in page:
                yield "%s still holds the Markdown mark %r" % (name, mark)
    readme = pages["README.txt"]
    if not re.match(r"Tolvane\r\n=+\r\n", readme) or "For developers" in readme or \
            not all(name in readme for name in CONTENTS[2:6]):
        yield "README.txt is not the front page, without the developers' part, linking the others"


def table(msi, name):
    """The rows of a table as msiinfo exports it (names, types, keys, then rows)."""
    text = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True,
                          check=True).stdout
    lines = text.replace("\r\n", "\n").split("\n")
    names = lines[0].split("\t")
    return [dict(zip(names, line.split("\t"))) for line in lines[3:] if line]


def msi_problems(msi, package, version):
    props = {row["Property"]: row["Value"] for row in table(msi, "Property")}
    expected = {"ProductName": "Tolvane", "ProductVersion": version, "ALLUSERS": "1",
                "Manufacturer": "The Tolvane developers", "UpgradeCode": UPGRADE_CODE,
                **RESTART_MANAGER}
    got = {name: props.get(name) for name in expected}
    if got != expected:
        yield "Property table: %s, expected %s" % (got, expected)
    summary = {row["PropertyId"]: row["Value"] for row in table(msi, "_SummaryInformation")}
    if summary.get("7") != "x64;1033":
        yield "platform and language %r, expected x64;1033" % summary.get("7")

    components = {row["Component"]: row for row in table(msi, "Component")}
    program = [c for c, row in components.items() if row["KeyPath"] == "tolvane.exe"]
    services = [(r["Name"], r["DisplayName"], r["ServiceType"], r["StartType"], r["ErrorControl"],
                 r["StartName"], r["Password"], r["Arguments"], r["LoadOrderGroup"],
                 r["Dependencies"], [r["Component_"]]) for r in table(msi, "ServiceInstall")]
    # Own process, automatic start, normal error control, no account (the
    # local system), run as "<the installed tolvane.exe>" mode=Service.
    if services != [("Tolvane", "Tolvane", "16", "2", "1", "", "", "mode=Service", "", "",
                     program)]:
        yield "ServiceInstall rows %s" % services
    controls = {(r["Name"], int(r["Event"]), r["Arguments"], r["Wait"], r["Component_"])
                for r in table(msi, "ServiceControl")}
    if controls != CONTROLS or program != ["Program"]:
        yield "ServiceControl rows %s, expected %s" % (controls, CONTROLS)
    sequence = {r["Action"]: r for r in table(msi, "InstallExecuteSequence")}
    found = {r["Property"]: r["Signature_"] for r in table(msi, "AppSearch")}
    signature = {r["Signature"]: r["FileName"] for r in table(msi, "Signature")}
    folder = {r["Signature_"]: r["Path"] for r in table(msi, "DrLocator")}
    start = [tuple(r.values()) + (sequence[r["Action"]]["Condition"], sequence[r["Action"]]["Sequence"],
                                  found["TOLVANE_ROUTE_FILE"]) for r in table(msi, "CustomAction")]
    start = [row + (signature.get(row[-1]), folder.get(row[-1])) for row in start]
    if start != START_REPAIR:
        yield "the start with repair and the search for the route file: %s" % start
    versioned = [(r["Version"], r["File"] in {h["File_"] for h in table(msi, "MsiFileHash")})
                 for r in table(msi, "File") if r["File"] == "tolvane.exe"]
    if versioned != [(version + ".0", False)]:
        yield "tolvane.exe's version in the File table, and whether it is hashed: %s" % versioned
    transitive = {c for c, row in components.items() if int(row["Attributes"]) & TRANSITIVE}
    if transitive != {n + state for n in SETTINGS.values() for state in ("On", "Off")}:
        yield "transitive components %s, expected those of the settings" % transitive
    # Raw searches (type 2): a REG_DWORD 1 is found as "#1".
    searches = {(r["Property"], r["Signature_"]) for r in table(msi, "AppSearch")}
    keys = {r["Signature_"]: (r["Root"], r["Key"], r["Name"], r["Type"])
            for r in table(msi, "RegLocator")}
    registered = [p for p, s in searches
                  if keys.get(s) == ("2", SERVICE_KEY, "ImagePath", "2")]
    kept = {prop: [p for p, s in searches if keys.get(s) == ("2", SERVICE_KEY + "\\Parameters",
                                                               name, "2")] + [None]
            for prop, name in SETTINGS.items()}
    if not {*SETTINGS, *(k[0] for k in kept.values())} <= \
            set(props.get("SecureCustomProperties", "").split(";")):
        yield "%s and their searches %s are not secure properties" % (list(SETTINGS), kept)
    # Rows of the program's component, or the condition of their own component.
    source = sorted((r["Root"], r["Key"], r["Name"], r["Value"],
                     components[r["Component_"]]["Condition"] or r["Component_"])
                    for r in table(msi, "Registry"))
    expected = sorted([("2", EVENT_SOURCE_KEY, "EventMessageFile", "#%[#tolvane.exe]", program[0]),
                       ("2", EVENT_SOURCE_KEY, "TypesSupported", "#5", program[0])] +
                      [("2", SERVICE_KEY + "\\Parameters", name, "#%d" % n,
                        WRITES[n].format(prop, kept[prop][0])) for n in (0, 1)
                       for prop, name in SETTINGS.items()]) if program else []
    if source != expected:
        yield "Registry rows %s, expected %s" % (source, expected)

    conditions = {r["Condition"]: r["Description"] for r in table(msi, "LaunchCondition")}
    if "A newer version of Tolvane is already installed" not in \
            conditions.get("NOT WIX_DOWNGRADE_DETECTED", ""):
        yield "no launch condition refuses a downgrade: %s" % conditions
    for prop in SETTINGS:
        if prop + " must be 1" not in conditions.get(
                'NOT {0} OR {0} = "0" OR {0} = "1"'.format(prop), ""):
            yield "no launch condition refuses a %s other than 0 or 1: %s" % (prop, conditions)
    refusal = [c for c in conditions if registered and registered[0] in c]
    if len(refusal) != 1 or "tolvane /DELETE" not in conditions[refusal[0]] or \
            not all(p in refusal[0] for p in ("Installed", "WIX_UPGRADE_DETECTED")):
        yield "no launch condition refuses a service registered by /REGISTER: %s" % conditions

    folders = {r["Directory"]: (r["Directory_Parent"], r["DefaultDir"])
               for r in table(msi, "Directory")}
    installed = {r["FileName"]: folders.get(components[r["Component_"]]["Directory_"])
                 for r in table(msi, "File")}
    if installed != {name: ("ProgramFiles64Folder", "Tolvane") for name in CONTENTS}:
        yield "installs %s" % installed
    with tempfile.TemporaryDirectory() as work, zipfile.ZipFile(package) as z:
        subprocess.run(["msiextract", "-C", work, msi], capture_output=True, check=True)
        for name in CONTENTS:
            path = os.path.join(work, "Tolvane", name)
            if not os.path.exists(path) or open(path, "rb").read() != z.read(name):
                yield "its %s is not the zip's" % name


def main():
    package, exe, msi, version = sys.argv[1:5]
    found = [(package, p) for p in problems(package, exe)]
    found += [(msi, p) for p in msi_problems(msi, package, version)]
    sums = "tolvane-%s-SHA256SUMS.txt" % version
    check = subprocess.run(["sha256sum", "--check", "--strict", sums], capture_output=True,
                           text=True, cwd=os.path.dirname(os.path.abspath(package)))
    if check.stdout != "".join("%s: OK\n" % os.path.basename(p) for p in (package, msi)):
        found.append((sums, "sha256sum -c gives %r %r" % (check.stdout, check.stderr)))
    for path, problem in found:
        print("%s: %s" % (path, problem))
    if not found:
        print("%s: %s" % (package, ", ".join(zipfile.ZipFile(package).namelist())))
        print("%s: %s, as the service and its event-log source" % (msi, ", ".join(CONTENTS)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
