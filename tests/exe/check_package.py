#!/usr/bin/env python3
"""Checks the package as an unzip program sees it: exactly its five files, in
order (the symbols stay out); the executable that was built and tested; text
with CR LF line ends; a README that is the administrator's part, without
Markdown marks; and checksums of every other file that `sha256sum -c` accepts.

    check_package.py PACKAGE EXE
"""

import hashlib
import re
import subprocess
import sys
import tempfile
import zipfile

CONTENTS = ["tolvane.exe", "README.txt", "ROUTE.example", "LICENSE.txt"]


def problems(package, exe):
    with zipfile.ZipFile(package) as z:
        names = z.namelist()
        if names != CONTENTS + ["SHA256SUMS.txt"]:
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
    if listed != [name.encode() for name in CONTENTS]:
        yield "SHA256SUMS.txt lists %s" % listed
    with open(exe, "rb") as f:
        if files["tolvane.exe"] != f.read():
            yield "its tolvane.exe is not %s" % exe
    for name in names[1:]:
        if re.search(rb"(?<!\r)\n|\r(?!\n)", files[name]) or not files[name].endswith(b"\r\n"):
            yield "%s has line ends other than CR LF" % name
    readme = files["README.txt"].decode("ascii", "replace")
    for mark in ("`", "**", "\n#", "\n|", "]("):
        if mark in readme:
            yield "README.txt still holds the Markdown mark %r" % mark
    if (not re.match(r"Tolvane\r\n=+\r\n", readme) or "\nService states and controls\r\n" not in readme
            or "For developers" in readme):
        yield "README.txt is not the title, introduction and the administrator's section"


def main():
    package, exe = sys.argv[1:3]
    found = list(problems(package, exe))
    for problem in found:
        print("%s: %s" % (package, problem))
    if not found:
        print("%s: %s" % (package, ", ".join(zipfile.ZipFile(package).namelist())))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
