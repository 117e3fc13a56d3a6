#!/usr/bin/env python3
"""Runs ./run.sh dist on a finished build and checks what a Windows user gets:
the zip's name and file list, the files as built, imports of Windows system
DLLs only, and the SHA-256 that it prints, the same for a second packing.
Usage: check_dist.py SOURCE_DIR BUILD_DIR VERSION"""
import hashlib
import os
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from check_exports import PE  # noqa: E402

EXPECTED = {"comrelay.dll", "comrelay-host.exe", "comrelay.h", "minimal_host.c", "README.txt"}
# What every Windows installation has; a C++ runtime or winpthreads DLL would
# be missing on a user's machine.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "winmm.dll", "msvcrt.dll",
               "comctl32.dll", "comdlg32.dll", "advapi32.dll", "shell32.dll", "version.dll"}


def imports(data):
    pe = PE(data)
    rva = pe.dirs[1][0]
    names = []
    while pe.u32(rva + 12):
        names.append(pe.cstr(pe.u32(rva + 12)))
        rva += 20
    return names


def main():
    root, build, version = sys.argv[1:4]
    env = dict(os.environ, COMRELAY_BUILD=build)
    failures = []
    path = os.path.join(build, "dist", "comrelay-%s-win32.zip" % version)
    digests = []
    for _ in range(2):
        run = subprocess.run([os.path.join(root, "run.sh"), "dist"], env=env,
                             capture_output=True, text=True, errors="replace")
        if run.returncode:
            print(run.stdout[-3000:], run.stderr[-3000:])
            failures.append("./run.sh dist ended with %d" % run.returncode)
        if os.path.exists(path):
            digests.append(hashlib.sha256(open(path, "rb").read()).hexdigest())
    print(run.stdout[-1500:])
    if len(set(digests)) > 1:
        failures.append("packing the same build twice gave %s" % " and ".join(digests))
    if not os.path.exists(path):
        failures.append("no %s" % path)
    else:
        data = open(path, "rb").read()
        digest = hashlib.sha256(data).hexdigest()
        if digest not in run.stdout:
            failures.append("the printed SHA-256 is not the zip's %s" % digest)
        with zipfile.ZipFile(path) as z:
            names = set(z.namelist())
            if names != EXPECTED:
                failures.append("files: missing %s, extra %s" % (sorted(EXPECTED - names),
                                                                 sorted(names - EXPECTED)))
            for name in sorted(names & EXPECTED):
                if name not in run.stdout:
                    failures.append("contents listing lacks %s" % name)
            packed = {n: z.read(n) for n in names & EXPECTED}
        sources = {"comrelay.dll": os.path.join(build, "comrelay.dll"),
                   "comrelay-host.exe": os.path.join(build, "comrelay-host.exe"),
                   "comrelay.h": os.path.join(root, "include", "comrelay.h"),
                   "minimal_host.c": os.path.join(root, "examples", "minimal_host.c")}
        for name, source in sources.items():
            if name in packed and packed[name] != open(source, "rb").read():
                failures.append("%s differs from %s" % (name, source))
        readme = open(os.path.join(root, "docs", "README-release.txt"), "rb").read()
        if packed.get("README.txt") != readme.replace(b"\n", b"\r\n"):
            failures.append("README.txt is not docs/README-release.txt with CR LF line ends")
        # Written for a Windows user: the zip's contents and the use of the
        # DLL first, the build on Debian last.
        text = readme.decode("utf-8", "replace")
        order = [text.find(s) for s in ("What is in this zip", "LoadLibraryA", "The reference host",
                                        "COMRELAY_TRACE", "./run.sh")]
        if -1 in order or order != sorted(order) or "./run.sh" in text[:text.find("./run.sh build")]:
            failures.append("README.txt does not put the zip and the DLL's use first, the build last")
        for name in ("comrelay.dll", "comrelay-host.exe"):
            if name in packed:
                foreign = [d for d in imports(packed[name]) if d.lower() not in SYSTEM_DLLS]
                if foreign:
                    failures.append("%s needs %s" % (name, ", ".join(foreign)))
    for f in failures:
        print("FAIL:", f)
    print("%d passed, %d failed" % (int(not failures), int(bool(failures))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
