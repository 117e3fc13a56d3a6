#!/usr/bin/env python3
"""Packs the release zip for Windows users from a finished build:
make_dist.py SOURCE_DIR BUILD_DIR ZIP. Flat, so that minimal_host.c finds
comrelay.h beside it; docs/README-release.txt, written for the zip's reader,
becomes README.txt with Windows line ends.
Every entry carries the time of the sources' last commit and nothing of the
machine (no owner, no access times), so that packing the same build twice
gives the same zip and the same SHA-256."""
import os
import subprocess
import sys
import time
import zipfile


def commit_time(root):
    try:
        out = subprocess.run(["git", "-C", root, "log", "-1", "--format=%ct"],
                             capture_output=True, text=True, check=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return int(time.time())


def main():
    root, build, target = sys.argv[1:4]
    readme = open(os.path.join(root, "docs", "README-release.txt"), "rb").read()
    readme = readme.replace(b"\n", b"\r\n")
    files = [
        ("comrelay.dll", open(os.path.join(build, "comrelay.dll"), "rb").read()),
        ("comrelay-host.exe", open(os.path.join(build, "comrelay-host.exe"), "rb").read()),
        ("comrelay.h", open(os.path.join(root, "include", "comrelay.h"), "rb").read()),
        ("minimal_host.c", open(os.path.join(root, "examples", "minimal_host.c"), "rb").read()),
        ("README.txt", readme),
    ]
    # A zip holds local time with no zone; UTC is as good as any and the same
    # on every machine.
    stamp = time.gmtime(commit_time(root))[:6]
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    partial = target + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            info = zipfile.ZipInfo(name, stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS attributes: a plain file
            info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            z.writestr(info, data)
    os.replace(partial, target)


if __name__ == "__main__":
    main()
