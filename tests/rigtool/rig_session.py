#!/usr/bin/env python3
r"""./run.sh rig as a user runs it: started in a shell of its own, a host run
from the lines it prints, the far end driven with tools/rig/farend, then
Ctrl-C (or SIGTERM) and nothing of it left behind.

Runs under ./run.sh test beside the suite's own rig, so this rig lives in
BUILD/rigtool (its own prefix, copied from the suite's, its own display and
peer) and nothing of the suite's environment reaches it.

usage: rig_session.py SOURCE_DIR BUILD_DIR
"""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT, BUILD = (os.path.abspath(p) for p in sys.argv[1:3])
SCRATCH = os.path.join(BUILD, "rigtool")
PREFIX = os.path.join(SCRATCH, "wineprefix")
RIG_DIR = os.path.join(SCRATCH, "rig")
FAREND = os.path.join(ROOT, "tools", "rig", "farend")
ERROR_TEXT = r"<- err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#"

# The margins are wide: other builds and test runs share this machine.
READY_S = 300
STOP_S = 120

failures = []


def check(ok, what, detail=""):
    print("%s %s" % ("ok  " if ok else "FAIL", what))
    if not ok:
        failures.append(what)
        if detail:
            print("     " + detail.replace("\n", "\n     "))
    return ok


class Abort(Exception):
    """A check that later ones depend on failed: the session ends there."""


def require(ok, what, detail=""):
    if not check(ok, what, detail):
        raise Abort(what)


def user_env():
    """A shell of a user who has not sourced anything: none of the suite's
    wine or rig variables."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("WINE", "COMRELAY_")) and k not in ("LD_PRELOAD", "DISPLAY")}
    env["COMRELAY_BUILD"] = SCRATCH
    return env


def farend(*args):
    env = user_env()
    p = subprocess.run([FAREND] + list(args), env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True, timeout=120)
    print("     $ farend %s\n     %s" % (" ".join(args), p.stdout.strip()))
    return p.returncode, p.stdout


def seed_prefix():
    """A copy of the suite's prefix instead of a fresh one: creating one
    takes a minute or more here. The rig maps the ports to its own links."""
    if os.path.exists(os.path.join(PREFIX, "system.reg")):
        return
    source = os.environ.get("WINEPREFIX") or os.path.join(BUILD, "wineprefix")
    if not os.path.exists(os.path.join(source, "system.reg")):
        return  # the rig makes one
    os.makedirs(SCRATCH, exist_ok=True)
    partial = PREFIX + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    subprocess.run(["cp", "-a", source, partial], check=True)
    os.rename(partial, PREFIX)


def terminal_signals():
    # As in a terminal's shell: a test run started in the background has
    # SIGINT ignored, and a shell cannot trap a signal ignored at its start.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


class Rig:
    """./run.sh rig in a session of its own, as in a terminal of its own."""

    def __init__(self, *args):
        self.lines = []
        self.proc = subprocess.Popen(
            [os.path.join(ROOT, "run.sh"), "rig", "--no-build"] + list(args), env=user_env(),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            start_new_session=True, preexec_fn=terminal_signals)
        # Not read to its end: a program the rig starts may hold the pipe.
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            print("     rig| " + line)
            self.lines.append(line)

    def text(self):
        return "\n".join(self.lines)

    def wait_ready(self):
        deadline = time.monotonic() + READY_S
        while time.monotonic() < deadline and self.proc.poll() is None:
            if "Ctrl-C here stops" in self.text():
                return True
            time.sleep(0.2)
        return "Ctrl-C here stops" in self.text()

    def stop(self, sig, group):
        if group:
            os.killpg(self.proc.pid, sig)  # what Ctrl-C in its terminal does
        else:
            os.kill(self.proc.pid, sig)
        try:
            return self.proc.wait(STOP_S)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            return None


def started_by_rig(env):
    """Whether a process's environment is the rig's: run.sh passes
    COMRELAY_BUILD on to all it starts, its X server too."""
    return ("COMRELAY_BUILD=" + SCRATCH).encode() in env


def rig_processes(display):
    """Processes of the rig in SCRATCH: everything started with its prefix in
    the environment (Xvfb, the peer, wineserver, wine programs) or its
    directory on the command line, and its X server on its display (another
    run on this machine may take the number once the rig has let it go)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            with open("/proc/%s/environ" % pid, "rb") as f:
                env = f.read().split(b"\0")
            with open("/proc/%s/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    continue  # ended, only not reaped yet by its parent
        except OSError:
            continue
        if (("WINEPREFIX=" + PREFIX).encode() in env or SCRATCH in cmd
                or (display and re.search(r"\bX\w*\s+%s(\s|$)" % re.escape(display), cmd)
                    and started_by_rig(env))):
            found.append("%s %s" % (pid, cmd.strip()[:100]))
    return found


def display_of_rig():
    try:
        with open(os.path.join(RIG_DIR, "env")) as f:
            m = re.search(r"DISPLAY='(:\d+)'", f.read())
            return m.group(1) if m else None
    except OSError:
        return None


def check_nothing_left(display, rig_text):
    # wineserver and the X server go down with the rig's last step; allow a
    # loaded machine a moment for the kernel to finish them.
    deadline = time.monotonic() + 20
    left = rig_processes(display)
    while left and time.monotonic() < deadline:
        time.sleep(0.5)
        left = rig_processes(display)
    check(not left, "no process of the rig is left", "\n".join(left))
    n = display[1:]
    stale = [p for p in ("/tmp/.X%s-lock" % n, "/tmp/.X11-unix/X%s" % n) if os.path.exists(p)]
    try:  # the files of an X server that another run started on the number since
        with open("/tmp/.X%s-lock" % n) as f, open("/proc/%d/environ" % int(f.read()), "rb") as e:
            if not started_by_rig(e.read()):
                stale = []
    except (OSError, ValueError):
        pass
    check(not stale, "no X lock file or socket is left", " ".join(stale))
    check(not os.path.exists(os.path.join(RIG_DIR, "env")), "the env file is gone with the rig")
    check(not os.path.lexists(farend_path(1)), "the far-end paths are gone with the rig")
    check("== the rig has stopped" in rig_text, "the rig says it has stopped")
    rc, out = farend("status")
    check(rc == 3 and "no rig is running" in out, "farend finds no rig once it has stopped")


def host_log_has(path, text, count=1, timeout=60):
    deadline = time.monotonic() + timeout
    while True:
        try:
            with open(path, encoding="latin-1") as f:
                log = f.read()
        except OSError:
            log = ""
        if log.count(text) >= count or time.monotonic() > deadline:
            return log.count(text) >= count, log
        time.sleep(0.2)


def read_exactly(fd, count, timeout=60):
    """count bytes from fd, or what came before the deadline (a bound for a
    loaded machine)."""
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        if select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
            got += os.read(fd, count - len(got))
    return got


def farend_path(n):
    return os.path.join(RIG_DIR, "farend", "ttyCOM%d" % n)


def relay_every_byte(n, dev, what):
    """Every byte value from the program on the far-end path to the line and
    back; the line's own pty, opened from Linux, stands in for the host (by
    its pty's name: the suite's interposer plays its own COMn on comN)."""
    near = os.open(os.path.realpath(os.path.join(RIG_DIR, "links", "com%d" % n)),
                   os.O_RDWR | os.O_NOCTTY)
    try:
        data = bytes(range(256))
        os.write(dev, data)
        got = read_exactly(near, len(data))
        check(got == data, "%s: all 256 byte values of the far-end program reach the line" % what,
              got.hex())
        os.write(near, data[::-1])
        got = read_exactly(dev, len(data))
        check(got == data[::-1], "%s: all 256 byte values of the line reach the far-end program"
              % what, got.hex())
    finally:
        os.close(near)


def session_with_ctrl_c():
    """The README's session: an echoing COM1, a host on it, the far end
    driven by hand, then Ctrl-C."""
    print("== a session on an echoing COM1, ended with Ctrl-C")
    rig = Rig("--echo", "1")
    host = None
    try:
        require(rig.wait_ready(), "the rig comes up and prints what to paste", rig.text())
        env_file = os.path.join(RIG_DIR, "env")
        check(". %s" % env_file in rig.text() and "wine yourhost.exe" in rig.text()
              and "(echoing: COM1)" in rig.text(), "the lines to paste name the env file")
        display = display_of_rig()
        require(display is not None, "the env file gives the display")

        # The host as the user starts it: a fresh shell, the printed lines.
        host_log = os.path.join(SCRATCH, "host.log")
        script = '. "$0" && cd "$1" && shift && exec wine ./comrelay-host.exe "$@"'
        steps = ["--port", "COM1", "--baud", "19200", "--send", "hello",
                 "--wait-for", r"hello\r\n", "--wait-for", r"ping\r\n", "--send", "pong",
                 "--timeout", "600000", "--wait-for", r"dev \x00#\xFF\r\n",
                 "--send-hex", "23 FF 03 11 13 0D 0A", "--wait-for", "never"]
        with open(host_log, "w") as out:
            host = subprocess.Popen(["bash", "-c", script, env_file, BUILD] + steps,
                                    env=user_env(), stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.DEVNULL)
        ok, log = host_log_has(host_log, r'received "hello\r\n"')
        require(ok, "the host's hello comes back from the echoing far end", log)

        rc, out = farend("status")
        check(rc == 0 and "COM1 open" in out and "COM2 closed" in out,
              "farend status sees the host holding COM1")
        rc, out = farend("echo", "COM1", "off")
        check(rc == 0, "echo off")
        rc, out = farend("send", "1", r"ping\r\n")
        check(rc == 0 and "sent 6 bytes" in out, "send text")
        rc, out = farend("recv", "1", "--until", r"pong\r\n", "--timeout", "60000")
        require(rc == 0 and r'"pong\r\n"' in out, "recv gets the host's answer", out)
        # A program on the far end's device path and the host, both ways:
        # raw, so a zero byte, ^C, XON/XOFF and CR pass as they are.
        check("%s -> /dev/pts/" % farend_path(1) in rig.text(),
              "the rig prints the far ends' device paths", rig.text())
        dev = os.open(farend_path(1), os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(dev, b"dev \x00#\xff\r\n")
            ok, log = host_log_has(host_log, r'received "dev \x00#\xFF\r\n"')
            check(ok, "the host gets the bytes a program writes to the far-end path", log)
            want = b"#\xff\x03\x11\x13\r\n"
            got = read_exactly(dev, len(want))
            check(got == want, "the program on the far-end path gets the host's bytes", repr(got))
        finally:
            os.close(dev)
        rc, out = farend("settings", "1")
        check(rc == 0 and "19200 baud 8N1" in out, "settings shows the host's line", out)
        rc, out = farend("fail", "1", "count")
        check(rc == 0 and " read=" in out and " write=" in out, "fail count shows the uses", out)
        rc, out = farend("queue", "1")
        check(rc == 0 and "input queue 16384 bytes, 0 bytes unread, 0 lost" in out,
              "queue shows the host's input queue of a paced line", out)
        # The host holds COM1 only: COM2's faults reach no one.
        for args, said in ((["fail", "COM2", "TIOCMGET", "1", "8"], "uses 1 to 8 of TIOCMGET"),
                           (["slowopen", "COM2", "3000"], "an open takes 3000 ms"),
                           (["slowopen", "COM2", "off"], "opens at once"),
                           (["pull", "COM2", "ENODEV"], "calls fail with ENODEV"),
                           (["plug", "COM2"], "a fresh line")):
            rc, out = farend(*args)
            check(rc == 0 and said in out, "farend " + " ".join(args), out)
        rc, out = farend("pace", "1", "off")
        check(rc == 0 and "instant pty" in out, "pace off gives the instant pty", out)
        rc, out = farend("pace", "1", "on")
        check(rc == 0 and "paced" in out, "pace on paces the line again", out)

        rc, out = farend("error", "1", "frame")
        check(rc == 0, "error frame")
        ok, log = host_log_has(host_log, ERROR_TEXT)
        check(ok, "the host is told of the framing error", log)
        rc, out = farend("pull", "1")
        check(rc == 0, "pull")
        ok, log = host_log_has(host_log, ERROR_TEXT, 2)
        check(ok, "the host is told the adapter went", log)
        rc, out = farend("recv", "1", "--timeout", "200")
        check(rc == 1 and "missing or its adapter pulled out" in out,
              "a pulled port has no line to read")
        check(host.poll() is None, "the host still runs")

        # What the leftover check will look for is visible while the rig runs.
        running = rig_processes(display)
        check(any("wineserver" in p for p in running) and
              any("comrelay-host" in p for p in running),
              "the rig's wineserver and host are seen while it runs", "\n".join(running))

        status = rig.stop(signal.SIGINT, group=True)
        check(status == 130, "Ctrl-C ends the rig with status 130", str(status))
        try:
            host.wait(60)
        except subprocess.TimeoutExpired:
            pass
        check(host.poll() is not None, "the host on the rig ends with it")
        check_nothing_left(display, rig.text())
    finally:
        if rig.proc.poll() is None:
            rig.stop(signal.SIGTERM, group=False)
        if host is not None and host.poll() is None:
            host.kill()


def session_with_sigterm():
    """SIGTERM to the rig's shell alone, as a service manager or a script's
    kill sends it: the display and the peer get no signal of their own."""
    print("== a rig ended with SIGTERM to its shell alone")
    rig = Rig()
    try:
        require(rig.wait_ready(), "the rig comes up", rig.text())
        display = display_of_rig()
        require(display is not None, "the env file gives the display")
        check("echoing" not in rig.text(), "no port echoes unasked")
        check("paced at their baud rate" in rig.text(), "lines are paced unless asked", rig.text())
        # The far-end path outlives a fresh line behind it.
        dev = os.open(farend_path(2), os.O_RDWR | os.O_NOCTTY)
        try:
            relay_every_byte(2, dev, "COM2")
            rc, out = farend("plug", "2")
            check(rc == 0, "a fresh line behind COM2", out)
            relay_every_byte(2, dev, "COM2 after a fresh line")
        finally:
            os.close(dev)
        # A second start on the same build would take this one's peer and
        # wineserver down with its own setup.
        second = Rig()
        try:
            refused = second.proc.wait(120)
        except subprocess.TimeoutExpired:
            refused = second.stop(signal.SIGTERM, group=False)
        second.reader.join(10)  # the last lines, once nothing holds the pipe
        check(refused == 1 and "already running" in second.text(),
              "a second rig on the same build is refused", second.text())
        rc, out = farend("status")
        check(rc == 0, "the first rig still answers")
        status = rig.stop(signal.SIGTERM, group=False)
        check(status == 143, "SIGTERM ends the rig with status 143", str(status))
        check_nothing_left(display, rig.text())
    finally:
        if rig.proc.poll() is None:
            rig.stop(signal.SIGKILL, group=True)


def main():
    rc, out = farend("--help")
    check(rc == 0 and all(v in out for v in ("send-hex", "recv", "lines", "pull", "settings",
                                             "storm", "fail", "pace", "queue", "slowopen")),
          "farend --help lists the verbs")
    for args in (["send", "5", "x"], ["recv", "1", "--count"], ["flip", "1"],
                 ["lines", "1", "dtr=1"], ["send", "1", r"bad\q"], ["fail", "1", "read", "0"],
                 ["pace", "1", "fast"], ["queue", "1", "-3"], ["fail", "1", "read", "1", "0"],
                 ["slowopen", "1", "soon"], ["pull", "1", "gone"]):
        rc, out = farend(*args)
        check(rc == 2, "a wrong command line ends with status 2: %s" % " ".join(args))
    seed_prefix()
    for session in (session_with_ctrl_c, session_with_sigterm):
        try:
            session()
        except Abort:
            pass
    if failures:
        print("%d checks failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
