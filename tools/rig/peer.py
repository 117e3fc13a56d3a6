#!/usr/bin/env python3
r"""The Linux end of the test rig's virtual null-modem: owns one pty pair per
COM number, plays the far end's lines and answers test programs over TCP.

Usage from a test program (mingw, under wine):

    #include "support/PeerClient.h"
    PeerClient peer;                       // port from COMRELAY_PEER_PORT
    REQUIRE(peer.Attach(1));               // a fresh pty behind COM1
    HANDLE h = CreateFileA("\\\\.\\COM1", ..., FILE_FLAG_OVERLAPPED, ...);
    peer.Write(1, std::string("a\0b", 3));  // bytes arrive at the program
    std::string got = peer.Read(1, 100, 2000);  // what the program wrote
    peer.SetLines(1, true, false, false, false);  // CTS on: EV_CTS
    PeerClient::LineSettings t = peer.Termios(1);  // baud, csize, parity...

COM1..COM4 exist; each is missing (ERROR_FILE_NOT_FOUND) until attached.
`attach` gives a clean line (lines off, counters 0, not busy, not vanished,
not shared, nothing buffered); call it at the start of each test. A port
opens once, as on Windows: while a handle on it is open, in this program or
another, a second CreateFileA fails with ERROR_ACCESS_DENIED (wine itself
would open a tty twice). `share N 1` allows that, for a test that needs it
and says why. Streams use the pattern
byte i = (seed + 7*i + i // 251) & 0xFF (PeerClient::PatternByte), which has
every byte value, 0 included.

What a program sees under wine: a pending WaitCommEvent ends with EV_RXCHAR
once per arrival of bytes (as on Windows, not while old bytes wait unread),
with EV_CTS/EV_DSR/EV_RING/EV_RLSD when `setlines` changes a line, EV_ERR or
EV_BREAK after `error`, EV_TXEMPTY once after a write.

`vanish N 1` pulls the adapter out. A pending WaitCommEvent or ReadFile ends
with an error, and every further call on a handle on the pulled device
fails, for as long as the handle stays open, also after `vanish N 0` has
plugged a new adapter in: wine maps the default EIO to ERROR_NOT_READY;
`vanish N 1 EACCES` gives ERROR_ACCESS_DENIED, ENODEV ERROR_GEN_FAILURE,
ENXIO ERROR_NO_SUCH_DEVICE (a WaitCommEvent whose mask has no line or error
event goes pending and ends ERROR_OPERATION_ABORTED). CloseHandle works.
What a new CreateFileA meets until the plug is the pull's mode: `gone` (the
default) ERROR_FILE_NOT_FOUND; `opens` a handle on the pulled device, as dead
as the old one; `refused` ERROR_ACCESS_DENIED, and after the plug still for
as long as a handle on the pulled device stays open (then the new device,
or ERROR_FILE_NOT_FOUND before the plug). The edge memory of
EV_RXCHAR is kept per process and device: keep one pending wait per line.
After `rxmode N level` the line behaves as wine does with a real port: a
pending WaitCommEvent ends with EV_RXCHAR at once, again and again, for as
long as bytes wait unread. `attach` goes back to `edge`.
After `storm N 1` every look at the line's error counters finds one more
framing error, so a pending WaitCommEvent ends with EV_ERR at wine's first
poll, again and again, until `storm N 0` or `attach`.

A line is paced (unless the peer runs with --line instant, or after `pace N
0`): the program's writes take the time its baud rate and byte format take
(a WriteFile of 16 KiB at 9600 baud 8N1 about 17 s), and the far end's bytes
that the program leaves unread beyond the driver's input queue (16384 bytes,
the plug-in's size; `inqueue` sets another) are lost, each loss counted as an
overrun, so a pending WaitCommEvent ends with EV_ERR. `write` and `echo` lose
them; a stream waits for room instead. The far end's bytes are not paced in
time: a stream is as fast as the program reads. The instant pty takes every
write at once and holds whatever the kernel holds.

Every line's far end is also a device path for any Linux program (a
terminal program, sz/rz, a Modbus server): $BUILD/rig/farend/ttyCOMn leads
to a raw pty of its own that the peer relays to and from the line, the
program's bytes at the line's pace (class FarEnd tells who gets what).

Environment (set by tools/setup.d/rig.sh, which runs inside ./run.sh):
    COMRELAY_PEER_PORT  TCP port on 127.0.0.1 (also in $BUILD/rig/peer.port,
                        which PeerClient reads when the variable is unset)
    COMRELAY_RIG_DIR    $BUILD/rig; its file "state" is shared with the
                        interposer (tools/rig/interposer.c)
    LD_PRELOAD          $BUILD/rig/$LIB/librig.so, the interposer, 32-bit for
                        wine programs and 64-bit for wineserver
The wine prefix maps COMn to the stable link $BUILD/rig/links/comN, which
`attach` points at the new pty's slave side, and a missing port at the
placeholder links/absent. For a manual run, source tools/setup.d/rig.sh with
ROOT, BUILD and WINEPREFIX set, then start `wineserver -p`.

Protocol: one request line, one reply line ("ok ..." or "err ..."), bytes in
hex. N is the COM number.
    ping                                  -> ok
    clock                                 -> ok t=<ns>
    writestamp N <hex>                    -> ok <count> t=<ns> u=<ns>
    readstamp N <count> <timeout_ms>      -> ok got=<n> first=<ns> last=<ns> <hex>
    attach N                              -> ok <slave pty path>
    detach N                              -> ok
    write N <hex>                         -> ok <count>
    read N <max> <timeout_ms>             -> ok <hex>
    drain N                               -> ok <count dropped>
    stream N <count> <seed>               -> ok   (runs in the background)
    streampaced N <count> <chunk> <gap_ms> [seed]  -> ok   (background)
    streamrate N <count> <bytes_per_s> [seed]  -> ok   (background, paced by
                                          the clock: a line's own rate)
    streamstatus N                        -> ok sent=<n> done=<0|1>
    streamwait N <timeout_ms>             -> the same, once done or timed out
    echo N <0|1>                          -> ok  1: send back every byte the
                                               program writes (until 0 or attach)
    holders N                             -> ok <count>  descriptors that other
                                               processes hold on the port's pty
    setlines N <cts> <dsr> <ring> <rlsd>  -> ok
    getlines N                            -> ok dtr=<0|1> rts=<0|1>, then the far
                                               end's cts= dsr= ring= rlsd= as set
    termios N -> ok baud= cstopb= ixon= ixoff= crtscts= csize= parenb= parodd= custom=
                                          custom: a rate without a Bxxx constant that
                                          the last SetCommState asked for as a
                                          divisor (baud then reads 38400), else 0
    error N <frame|overrun|parity|break>  -> ok
    busy N <0|1>                          -> ok  (CreateFileA: access denied)
    share N <0|1>                         -> ok  1: the port opens again while
                                               open, as wine lets a tty; 0 (the
                                               default): a second open is
                                               refused. Kept by vanish 0,
                                               cleared by attach and detach
    vanish N 1 [errno] [gone|opens|refused]  -> ok  adapter pulled out: every
                                               handle on the device fails its
                                               calls with errno (a name or a
                                               number, EIO if not given) for
                                               good; a new open of the name
                                               fails ENOENT (gone, the default),
                                               opens the dead device (opens),
                                               or fails EACCES (refused: also
                                               after vanish 0, while a handle
                                               on the dead device is open)
    vanish N 0                            -> ok  plugged in: a fresh device
                                               under the name, as attach
    rxmode N <edge|level>                 -> ok  EV_RXCHAR once per arrival
                                               (edge, as Windows) or while
                                               bytes wait (level, as wine)
    storm N <0|1>                         -> ok  1: the frame error count grows
                                               at every look, as at a wrong
                                               baud rate (EV_ERR at every poll)
    fail N <call> <nth> <once|always|times> <errno>  -> ok  the nth use of
                                               call on the line since attach
                                               fails with errno (a name such
                                               as EIO, or a number), or every
                                               use from the nth on, or the nth
                                               and the times-1 uses after it
                                               (then the call works again).
                                               call: read write
                                               tcsetattr tcgetattr tcflush
                                               TIOCMGET TIOCMSET (also BIS,
                                               BIC) TIOCINQ TIOCOUTQ
                                               TIOCGICOUNT TIOCSERGETLSR
    slowopen N <ms>                       -> ok  a program's CreateFileA of the
                                               port waits ms first, then opens
                                               or fails (missing, pulled, busy);
                                               only the calling thread waits.
                                               0: no wait. Kept by vanish 0/1;
                                               attach and detach clear it
    pace N <0|1>                          -> ok  1: paced line (attach's default),
                                               0: the instant pty
    inqueue N <bytes>                     -> ok  the input queue of a paced line
                                               (16384 at attach; 0: no limit)
    queue N                               -> ok size=<n> unread=<n> dropped=<n>
                                               paced=<0|1>  bytes the program has
                                               not read, and those lost so far
    fail N off                            -> ok  no more failures (counts go on)
    fail N count                          -> ok read=<n> write=<n> ... fired=<n>
                                               uses of each call since attach,
                                               and how many were failed; uses
                                               are counted from the first fail
                                               request of the rig's life on

Times (<ns>) are CLOCK_MONOTONIC_RAW in nanoseconds, the clock wine's
QueryPerformanceCounter counts on Linux; a program still calibrates the
offset with `clock`. writestamp gives the time just before and just after
the bytes went into the pty; readstamp the times its first and last byte
came out (it waits up to timeout_ms for all count bytes).

Threads: one per client connection (socketserver), one per running stream,
one per line that echoes, one per paced line whose backlog waits for room
in the pty (the feeder), one relay per far end (FarEnd) and the open watch.
Each line's fds and stream are guarded by that line's lock; its byte counts,
backlog and the closing of its fds by its count lock, which every write of the
backlog into the pty holds; the feeder starts and ends under its feeder lock,
taken before the count lock, never after. The relay's use of the line's pty
and the pty's replacement hold the relay lock, taken after the line's lock
and before the feeder and count locks. The shared state file is written
under STATE_LOCK. The interposers only read what the peer
writes (the dead lists of pulled devices included); they write DTR/RTS, the
recorded c_cflag and their read and purge counts, which the peer only reads
or clears at attach.
"""

import argparse
import contextlib
import ctypes
import errno
import fcntl
import mmap
import os
import select
import signal
import socketserver
import stat
import struct
import sys
import termios
import threading
import time
import tty

PORTS = 4

# The shared file's layout, as in tools/rig/interposer.c.
MAGIC = 0x31474952
STATE_SIZE = 4096
SLOT_BASE, SLOT_SIZE = 128, 128
F_RDEV_LO, F_RDEV_HI, F_FAR, F_NEAR = 0, 4, 8, 12
F_FRAME, F_OVERRUN, F_PARITY, F_BRK = 16, 20, 24, 28
F_CTS_N, F_DSR_N, F_RNG_N, F_DCD_N = 32, 36, 40, 44
F_CONSUMED, F_BUSY, F_VANISHED, F_CFLAG, F_CFLAG_SEQ, F_ABSENT, F_FLUSHES = (
    48, 52, 56, 60, 64, 68, 72)
F_GENERATION = 76
F_LEVEL = 80
F_PACED = 84
F_SLOW_OPEN = 88
F_SHARE = 92
F_STORM = 120
F_CUSTOM_RATE = 124

# Fault records past the slots (interposer.c, "fault injection"): a word
# "active", then one record of 64 bytes per line at FAULT_SLOT_BASE.
FAULT_ACTIVE = 1024
FAULT_SLOT_BASE, FAULT_SLOT_SIZE = 1024 + 64, 64
FL_CALL, FL_NTH, FL_TIMES, FL_ERRNO, FL_FIRED, FL_COUNTS = 0, 4, 8, 12, 16, 20
FAULT_ALWAYS = 0xFFFFFFFF  # times: every use from nth on
# In the interposer's order (enum rig_call, from 1).
FAULT_CALLS = ("read", "write", "tcsetattr", "tcgetattr", "tcflush", "TIOCMGET", "TIOCMSET",
               "TIOCINQ", "TIOCOUTQ", "TIOCGICOUNT", "TIOCSERGETLSR")

# Pulled devices (interposer.c, "pulled adapters"): per line DEAD_PER_SLOT
# entries of a device number (low, high word), its handles' errno and the
# pull's mode, from DEAD_BASE on.
DEAD_BASE, DEAD_PER_SLOT, DEAD_SIZE = 2048, 8, 16
D_RDEV_LO, D_RDEV_HI, D_ERRNO, D_MODE = 0, 4, 8, 12
PULL_MODES = {"gone": 0, "opens": 1, "refused": 2}  # enum pull_mode

TIOCM_DTR, TIOCM_RTS, TIOCM_CTS, TIOCM_CAR, TIOCM_RNG, TIOCM_DSR = (
    0x002, 0x004, 0x020, 0x040, 0x080, 0x100)
TCGETS2 = 0x802C542A  # struct termios2: four flags, c_line, c_cc[19], speeds
CBAUD, BOTHER = 0o010017, 0o010000

STATE_LOCK = threading.Lock()
state = None  # mmap of the shared file
rig_dir = None
# Whether attach gives a paced line (--line); the plug-in's input queue size.
default_paced = True
INQUEUE = 16384


def field_addr(n, off):
    return SLOT_BASE + (n - 1) * SLOT_SIZE + off


def get(n, off):
    return struct.unpack_from("<I", state, field_addr(n, off))[0]


def put(n, off, value):
    struct.pack_into("<I", state, field_addr(n, off), value & 0xFFFFFFFF)


def bump(n, off):
    with STATE_LOCK:
        put(n, off, get(n, off) + 1)


def word(addr):
    return struct.unpack_from("<I", state, addr)[0]


def set_word(addr, value):
    struct.pack_into("<I", state, addr, value & 0xFFFFFFFF)


def dead_entries(n=None):
    """Addresses of the dead entries of line n, or of every line."""
    which = [n] if n else range(1, PORTS + 1)
    return [DEAD_BASE + ((i - 1) * DEAD_PER_SLOT + k) * DEAD_SIZE
            for i in which for k in range(DEAD_PER_SLOT)]


def dead_rdev(addr):
    return word(addr + D_RDEV_LO) | word(addr + D_RDEV_HI) << 32


def forget_dead(addr):
    set_word(addr + D_RDEV_LO, 0)
    set_word(addr + D_RDEV_HI, 0)


dead_age = {}  # entry address -> when it was written


def add_dead(n, rdev, err, mode):
    """Lists device rdev as pulled from line n: its handles' calls fail with
    err from now on, whatever comes after. A free entry, else the oldest;
    the number goes in last, low word last."""
    with STATE_LOCK:
        at = min(dead_entries(n), key=lambda a: (dead_rdev(a) != 0, dead_age.get(a, 0)))
        forget_dead(at)
        set_word(at + D_ERRNO, err)
        set_word(at + D_MODE, PULL_MODES[mode])
        set_word(at + D_RDEV_HI, rdev >> 32)
        set_word(at + D_RDEV_LO, rdev)
        dead_age[at] = time.monotonic()


def reset_slot(n, rdev, absent, paced=0):
    """Clears a slot and gives it a device; the device number goes in last so
    that the interposer never sees it beside stale lines or switches."""
    with STATE_LOCK:
        for i in range(1, PORTS + 1):
            if i != n and rdev and get(i, F_RDEV_LO) | get(i, F_RDEV_HI) << 32 == rdev:
                put(i, F_RDEV_LO, 0)  # a pty number reused after a vanish
                put(i, F_RDEV_HI, 0)
        # The kernel gives a pulled pty's number to a new one only once no fd
        # on the pulled one is left: the new line is not dead.
        for at in dead_entries():
            if rdev and dead_rdev(at) == rdev:
                forget_dead(at)
        put(n, F_RDEV_LO, 0)
        put(n, F_RDEV_HI, 0)
        clear_fault(n)
        for off in range(8, SLOT_SIZE, 4):
            if off != F_GENERATION:
                put(n, off, 0)
        # The interposers' memory of the line starts afresh: the kernel soon
        # gives a new pty the number of one just closed.
        put(n, F_GENERATION, get(n, F_GENERATION) + 1)
        put(n, F_ABSENT, absent)
        put(n, F_PACED, paced)
        put(n, F_RDEV_HI, rdev >> 32)
        put(n, F_RDEV_LO, rdev)


def fault_addr(n, off):
    return FAULT_SLOT_BASE + (n - 1) * FAULT_SLOT_SIZE + off


def clear_fault(n):
    """No fault and no counts on line n (under STATE_LOCK). The call goes
    first, so that no program fails a use by a half-cleared record."""
    for off in range(0, FAULT_SLOT_SIZE, 4):
        struct.pack_into("<I", state, fault_addr(n, off), 0)


def set_fault(n, call, nth, times, err):
    """Fails the nth use of call on line n (counted since attach) and the
    times-1 uses after it (FAULT_ALWAYS: all later ones); the call goes in
    last, so no program sees a record half written."""
    with STATE_LOCK:
        struct.pack_into("<I", state, FAULT_ACTIVE, 1)
        struct.pack_into("<I", state, fault_addr(n, FL_CALL), 0)
        struct.pack_into("<I", state, fault_addr(n, FL_NTH), nth)
        struct.pack_into("<I", state, fault_addr(n, FL_TIMES), times)
        struct.pack_into("<I", state, fault_addr(n, FL_ERRNO), err)
        struct.pack_into("<I", state, fault_addr(n, FL_CALL), call)


def fault_counts(n):
    counts = [struct.unpack_from("<I", state, fault_addr(n, FL_COUNTS + 4 * k))[0]
              for k in range(len(FAULT_CALLS))]
    fired = struct.unpack_from("<I", state, fault_addr(n, FL_FIRED))[0]
    return " ".join("%s=%d" % kv for kv in zip(FAULT_CALLS, counts)) + " fired=%d" % fired


def errno_value(text):
    """An errno given by name (EIO) or number."""
    err = int(text) if text.isdigit() else getattr(errno, text.upper(), None)
    if not isinstance(err, int) or err <= 0:
        raise RigError("expected an errno name or number, not %s" % text)
    return err


def fault_request(n, args):
    """fail N off | fail N count | fail N <call> <nth> <once|always|times> <errno>."""
    if args[0] == "off":
        with STATE_LOCK:
            struct.pack_into("<I", state, fault_addr(n, FL_CALL), 0)
        return ""
    if args[0] == "count":
        with STATE_LOCK:  # counting starts with the first request
            struct.pack_into("<I", state, FAULT_ACTIVE, 1)
        return fault_counts(n)
    if len(args) < 4:
        raise RigError("fail takes off, count, or <call> <nth> <once|always|times> <errno>")
    names = {c.lower(): k + 1 for k, c in enumerate(FAULT_CALLS)}
    call = names.get(args[0].lower())
    if call is None:
        raise RigError("unknown call (%s)" % " ".join(FAULT_CALLS))
    times = {"once": 1, "always": FAULT_ALWAYS}.get(args[2])
    if times is None:
        times = int(args[2]) if args[2].isdigit() else 0
        if not 1 <= times < FAULT_ALWAYS:
            raise RigError("expected once, always or a count of uses from 1")
    if int(args[1]) < 1:
        raise RigError("expected nth from 1")
    set_fault(n, call, int(args[1]), times, errno_value(args[3]))
    return ""


def open_state(path):
    global state
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
    # Zeroed in place, never replaced: programs that mapped it keep working.
    os.ftruncate(fd, STATE_SIZE)
    state = mmap.mmap(fd, STATE_SIZE, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
    os.close(fd)
    state[0:STATE_SIZE] = bytes(STATE_SIZE)
    struct.pack_into("<I", state, 0, MAGIC)


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW)


# ---- the pattern ------------------------------------------------------------

PERIOD = 251 * 256
BASE_PATTERN = bytes((i * 7 + i // 251) & 0xFF for i in range(PERIOD))


def pattern(seed, start, count):
    """Bytes start..start+count of the stream pattern for seed."""
    shift = bytes((b + seed) & 0xFF for b in range(256))
    base = BASE_PATTERN.translate(shift)
    out = bytearray()
    pos = start % PERIOD
    while len(out) < count:
        take = min(count - len(out), PERIOD - pos)
        out += base[pos:pos + take]
        pos = 0
    return bytes(out)


# ---- one COM line -----------------------------------------------------------

class RigError(Exception):
    pass


def read_master(master, limit):
    """One read of a ready master: the bytes (b"" when another reader was
    quicker), or None once no slave is open any more (EIO) or at the end."""
    try:
        chunk = os.read(master, limit)
    except BlockingIOError:
        return b""
    except OSError as e:
        if e.errno == errno.EIO:
            return None
        raise
    return chunk or None


class Line:
    def __init__(self, n):
        self.n = n
        self.lock = threading.RLock()
        self.master = self.slave = None
        # A pulled device kept under the name ("opens" mode), until the plug.
        self.corpse = []
        self.stream_thread = None
        self.stream_stop = threading.Event()
        self.sent = 0
        self.echo_thread = None
        self.echo_stop = threading.Event()
        self.link = os.path.join(rig_dir, "links", "com%d" % n)
        # The input queue of the driver behind the line (see unread()).
        self.count_lock = threading.Lock()
        self.inqueue = INQUEUE
        self.delivered = 0  # bytes put into the pty since attach, mod 2**32
        self.discount = 0  # of those, bytes a purge discarded
        self.flushes_seen = 0
        self.dropped = 0
        # The pty holds less than a driver's queue (about 13 KiB): what it
        # cannot take yet waits here, and a feeder thread moves it on.
        self.backlog = bytearray()
        self.feeder = None
        self.feeder_lock = threading.Lock()
        # The far end's relay (FarEnd) reads and writes the line's pty under
        # the relay lock, which attach holds from the old pty's close until
        # the new one is in place: the relay never meets a closed fd, nor
        # loses the program's bytes in between. While a read request runs
        # (read, readstamp, drain: verb_reads counts them), the host's bytes
        # are its, not the relay's.
        self.relay_lock = threading.RLock()
        self.verb_reads = 0

    def need_master(self):
        if self.master is None:
            raise RigError("not attached")
        return self.master

    def close_pty(self):
        self.stop_stream()
        self.stop_echo()
        # Under the count lock, which feed() writes under: a feeder can never
        # write this pty's backlog into a closed fd, or into the next pty that
        # reuses its number.
        with self.relay_lock, self.count_lock:
            for fd in [self.master, self.slave] + self.corpse:
                if fd is not None:
                    os.close(fd)
            self.master = self.slave = None
            self.corpse = []
            self.backlog = bytearray()

    def point_link(self, target):
        tmp = self.link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(target, tmp)
        os.replace(tmp, self.link)

    def mark_absent(self):
        """The port is missing. Its link leads to a placeholder, not nowhere:
        wine would open its own device object for a mapped port whose link
        is dangling; the interposer fails wineserver's open of it instead."""
        with STATE_LOCK:
            put(self.n, F_ABSENT, 1)
        self.point_link(os.path.join(rig_dir, "links", "absent"))

    def attach(self, replug=False):
        """A fresh line; a replugged one keeps the time its opens take, which
        belongs to the device, not to the line, and whether it may be opened
        twice, which belongs to the test."""
        with self.lock, self.relay_lock:
            slow_open = get(self.n, F_SLOW_OPEN) if replug else 0
            share = get(self.n, F_SHARE) if replug else 0
            self.close_pty()
            master, slave = os.openpty()
            # Raw both ways: a pty's termios is the slave's, shared with the
            # master, so this also keeps the master from echoing.
            tty.setraw(slave)
            os.set_blocking(master, False)
            path = os.ttyname(slave)
            # The peer keeps the slave open so the pty and its settings live
            # while no program has the port open.
            self.master, self.slave = master, slave
            with self.count_lock:
                self.inqueue = INQUEUE
                self.delivered = self.discount = self.flushes_seen = self.dropped = 0
                self.backlog = bytearray()
            reset_slot(self.n, os.fstat(slave).st_rdev, 1, 1 if default_paced else 0)
            self.point_link(path)
            with STATE_LOCK:
                put(self.n, F_SLOW_OPEN, slow_open)
                put(self.n, F_SHARE, share)
                put(self.n, F_ABSENT, 0)
            return path

    def detach(self):
        with self.lock:
            self.mark_absent()
            self.close_pty()
            reset_slot(self.n, 0, 1)

    def vanish(self, err, mode):
        """A pulled USB adapter. Its device goes on the line's dead list, so
        that the calls of every handle on it fail with err for good
        (interposer). Closing the pty hangs its handles up, which wakes the
        reads that wine left pending in wineserver, and the name is missing
        until the plug (in "refused" mode, which the interposer plays, also
        refused while a handle on the dead device is open). In "opens" mode
        the pty stays under the name until the plug, so that new opens reach
        the dead device; a byte waits on it, never read (every read fails),
        which wakes those reads instead: a hangup would only reach the
        handles open now."""
        with self.lock:
            if self.slave is not None:
                add_dead(self.n, os.fstat(self.slave).st_rdev, err, mode)
            with STATE_LOCK:
                put(self.n, F_VANISHED, err)
            if mode != "opens":
                self.mark_absent()
                self.close_pty()
            elif self.slave is not None:
                self.stop_stream()
                self.stop_echo()
                with self.relay_lock, self.count_lock:
                    os.write(self.master, b"\0")
                    self.corpse = [self.master, self.slave]
                    self.master = self.slave = None
                    self.backlog = bytearray()

    def holders(self):
        """Open descriptors of the pty's slave outside this process: wineserver
        holds one while a program has the port open, so 0 means it is closed."""
        with self.lock:
            if self.slave is None:
                return 0
            rdev = os.fstat(self.slave).st_rdev
        count, me = 0, str(os.getpid())
        for pid in os.listdir("/proc"):
            if not pid.isdigit() or pid == me:
                continue
            try:
                fds = os.listdir("/proc/%s/fd" % pid)
            except OSError:
                continue
            for fd in fds:
                try:
                    st = os.stat("/proc/%s/fd/%s" % (pid, fd))
                except OSError:
                    continue
                if stat.S_ISCHR(st.st_mode) and st.st_rdev == rdev:
                    count += 1
        return count

    def write(self, data, deadline):
        """Writes all of data; returns the count written when the deadline or
        a stop request comes first."""
        master = self.need_master()
        done = 0
        while done < len(data):
            if self.stream_stop.is_set() and threading.current_thread() is self.stream_thread:
                break
            try:
                wrote = os.write(master, data[done:done + 4096])
                done += wrote
                with self.count_lock:
                    self.delivered = (self.delivered + wrote) & 0xFFFFFFFF
            except BlockingIOError:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                select.select([], [master], [], min(left, 0.1))
        return done

    def paced(self):
        return get(self.n, F_PACED) != 0

    def unread(self):
        """Bytes put into the line that the program has neither read nor
        purged. The pty cannot tell (its input count stops at 4 KiB, the rest
        waits in the kernel's buffers), so it is counted: delivered here,
        read as the interposers count, and after a purge only what the pty
        holds by then."""
        with self.count_lock:
            consumed = get(self.n, F_CONSUMED)
            flushes = get(self.n, F_FLUSHES)
            if flushes != self.flushes_seen and self.slave is not None:
                # A purge empties the driver's queue, the part held here too.
                self.flushes_seen = flushes
                self.backlog = bytearray()
                raw = fcntl.ioctl(self.slave, termios.FIONREAD, bytes(4))
                held = struct.unpack("i", raw)[0]
                self.discount = (self.delivered - consumed - held) & 0xFFFFFFFF
            left = (self.delivered - consumed - self.discount) & 0xFFFFFFFF
            return (0 if left >= 1 << 31 else left) + len(self.backlog)

    def enqueue(self, data):
        """Into the driver's queue: the pty, and past what it takes, the
        backlog."""
        with self.count_lock:
            self.backlog += data
        # The feeder lock (not the line's: stop_echo joins under that) spans
        # the feeder's last feed and its end, so a backlog left behind by a
        # feeder that is just ending always gets a new one.
        with self.feeder_lock:
            if not self.feed() and self.feeder is None:
                self.feeder = threading.Thread(target=self.run_feeder, daemon=True)
                self.feeder.start()

    def feed(self):
        """Moves the backlog into the pty as far as it takes it; whether
        all went."""
        with self.count_lock:
            master = self.master
            while self.backlog and master is not None:
                try:
                    wrote = os.write(master, bytes(self.backlog[:4096]))
                except BlockingIOError:
                    return False
                del self.backlog[:wrote]
                self.delivered = (self.delivered + wrote) & 0xFFFFFFFF
            return True

    def run_feeder(self):
        while True:
            with self.feeder_lock:
                try:
                    done = self.feed()
                except (OSError, ValueError):
                    done = True  # the pty went (detach, vanish)
                if done:
                    self.feeder = None
                    return
            time.sleep(0.005)

    def deliver(self, data, deadline, wait_for_room):
        """Puts data on the line. A paced line holds no more unread input
        than the driver's input queue: a device that just sends (write, echo)
        loses the rest, which the driver counts as an overrun; a stream waits
        for room, as a sender under flow control would. Returns the count the
        far end sent."""
        if not self.paced() or self.inqueue <= 0:
            return self.write(data, deadline)
        done = 0
        while done < len(data):
            room = self.inqueue - self.unread()
            if room <= 0:
                if not wait_for_room:
                    with self.count_lock:
                        self.dropped += len(data) - done
                    bump(self.n, F_OVERRUN)
                    return len(data)
                if time.monotonic() >= deadline or self.stream_stop.wait(0.005):
                    break
                continue
            piece = data[done:done + room]
            self.enqueue(piece)
            done += len(piece)
        return done

    def queue_status(self):
        return "size=%d unread=%d dropped=%d paced=%d" % (
            self.inqueue, self.unread(), self.dropped, 1 if self.paced() else 0)

    def read(self, limit, timeout):
        master = self.need_master()
        out = bytearray()
        wait = timeout
        while len(out) < limit:
            ready, _, _ = select.select([master], [], [], wait)
            if not ready:
                break
            chunk = read_master(master, limit - len(out))
            if chunk is None:
                break
            if not chunk:
                continue
            out += chunk
            wait = 0.05  # then a short quiet gap ends the read
        return bytes(out)

    def read_stamped(self, count, timeout):
        """Up to count bytes within timeout; the times of the first and the
        last read that brought bytes."""
        master = self.need_master()
        out = bytearray()
        first = last = 0
        deadline = time.monotonic() + timeout
        while len(out) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([master], [], [], left)
            if not ready:
                continue
            chunk = read_master(master, count - len(out))
            if chunk is None:
                break
            if not chunk:
                continue
            last = now_ns()
            first = first or last
            out += chunk
        return bytes(out), first, last

    def drain(self):
        master = self.need_master()
        dropped = 0
        while True:
            try:
                chunk = os.read(master, 65536)
            except (BlockingIOError, OSError):
                break
            if not chunk:
                break
            dropped += len(chunk)
        return dropped

    # Streams run in a thread of their own, so that the client is free to
    # drive the program meanwhile.
    def start_stream(self, count, seed, chunk, gap):
        with self.lock:
            self.need_master()
            self.stop_stream()
            self.sent = 0
            self.stream_stop.clear()
            self.stream_thread = threading.Thread(
                target=self.run_stream, args=(count, seed, chunk, gap), daemon=True)
            self.stream_thread.start()

    def run_stream(self, count, seed, chunk, gap):
        try:
            while self.sent < count and not self.stream_stop.is_set():
                data = pattern(seed, self.sent, min(chunk, count - self.sent))
                self.sent += self.deliver(data, time.monotonic() + 3600, True)
                if gap and self.sent < count:
                    self.stream_stop.wait(gap)
        except (OSError, RigError):
            pass

    def start_rate_stream(self, count, seed, rate):
        with self.lock:
            self.need_master()
            self.stop_stream()
            self.sent = 0
            self.stream_stop.clear()
            self.stream_thread = threading.Thread(
                target=self.run_rate_stream, args=(count, seed, rate), daemon=True)
            self.stream_thread.start()

    def run_rate_stream(self, count, seed, rate):
        """Writes what a line at rate bytes/s would have carried by now, every
        few ms, so sleeping late never lowers the rate."""
        tick = 0.005
        try:
            start = time.monotonic()
            while self.sent < count and not self.stream_stop.is_set():
                due = min(count, int((time.monotonic() - start) * rate))
                if due > self.sent:
                    data = pattern(seed, self.sent, due - self.sent)
                    self.sent += self.deliver(data, time.monotonic() + 3600, True)
                if self.sent < count:
                    self.stream_stop.wait(tick)
        except (OSError, RigError):
            pass

    def stop_stream(self):
        t = self.stream_thread
        if t is not None:
            self.stream_stop.set()
            if t is not threading.current_thread():
                t.join(5)
            self.stream_thread = None

    def stream_status(self, wait=0):
        t = self.stream_thread
        if t is not None and wait > 0:
            t.join(wait)
        done = t is None or not t.is_alive()
        return "sent=%d done=%d" % (self.sent, 1 if done else 0)

    # An echoing line answers every byte the program writes with the same
    # byte, as a device with a loopback plug does.
    def start_echo(self):
        with self.lock:
            self.need_master()
            self.stop_echo()
            self.echo_stop.clear()
            self.echo_thread = threading.Thread(target=self.run_echo, daemon=True)
            self.echo_thread.start()

    def run_echo(self):
        master = self.master
        try:
            while not self.echo_stop.is_set():
                ready, _, _ = select.select([master], [], [], 0.05)
                if not ready:
                    continue
                try:
                    data = os.read(master, 4096)
                except BlockingIOError:
                    continue
                if not data:
                    break
                self.deliver(data, time.monotonic() + 10, False)
        except (OSError, ValueError, RigError):
            pass  # the pty went (detach, vanish): the echo ends with it

    def stop_echo(self):
        t = self.echo_thread
        if t is not None:
            self.echo_stop.set()
            if t is not threading.current_thread():
                t.join(5)
            self.echo_thread = None

    @contextlib.contextmanager
    def verb_read(self):
        with self.count_lock:
            self.verb_reads += 1
        try:
            yield
        finally:
            with self.count_lock:
                self.verb_reads -= 1

    def byte_seconds(self):
        """The time a byte takes on the line at the rate and format the
        program set, as the interposer paces the program's writes; 0 when
        the line is not paced or its rate cannot be told."""
        master = self.master
        if master is None or not self.paced():
            return 0
        baud, cflag, _ = self.rate(master)
        baud = get(self.n, F_CUSTOM_RATE) or baud
        if not baud:
            return 0
        line = get(self.n, F_CFLAG) if get(self.n, F_CFLAG_SEQ) else termios.CS8
        data = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7}.get(line & termios.CSIZE, 8)
        bits = 1 + data + bool(line & termios.PARENB) + (2 if cflag & termios.CSTOPB else 1)
        return bits / baud

    def rate(self, master):
        """The pty's baud rate, c_cflag and c_iflag."""
        attrs = termios.tcgetattr(master)
        cflag, iflag = attrs[2], attrs[0]
        baud = 0
        try:  # termios2 gives the rate as a number, custom rates included
            raw = fcntl.ioctl(master, TCGETS2, bytes(44))
            cflag = struct.unpack_from("<I", raw, 8)[0]
            baud = struct.unpack_from("<I", raw, 40)[0]
        except OSError:
            pass
        if not baud:
            code = cflag & CBAUD
            for name in dir(termios):
                if name.startswith("B") and name[1:].isdigit() and getattr(termios, name) == code:
                    baud = int(name[1:])
        return baud, cflag, iflag

    def termios(self):
        baud, cflag, iflag = self.rate(self.need_master())
        line_cflag = get(self.n, F_CFLAG) if get(self.n, F_CFLAG_SEQ) else cflag
        size = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}
        return ("baud=%d cstopb=%d ixon=%d ixoff=%d crtscts=%d csize=%d parenb=%d parodd=%d"
                " custom=%d") % (
            baud, bool(cflag & termios.CSTOPB), bool(iflag & termios.IXON),
            bool(iflag & termios.IXOFF), bool(cflag & termios.CRTSCTS),
            size[line_cflag & termios.CSIZE], bool(line_cflag & termios.PARENB),
            bool(line_cflag & termios.PARODD), get(self.n, F_CUSTOM_RATE))


# ---- the far end as a device path -------------------------------------------

class FarEnd:
    """The far end of line n as a device path for any Linux program (a
    terminal program, a Modbus server, sz/rz): a pty of its own, whose slave
    farend/ttyCOMn in the rig directory leads to. Its relay thread moves what
    the program writes onto the line, at the line's pace on a paced line
    (the time the host's rate and byte format take, as for the host's own
    writes), and what the host writes to the program. The pty lives as long
    as the peer, so the path outlasts attach, detach and vanish; the relay
    always uses the line's current pty.

    Nobody else holds the slave, so the master hangs up while no program has
    it open. The relay then leaves the host's bytes on the line for read and
    echo, and sleeps until the open watch reports an open. While a program
    has it open, the host's bytes go to the program, except while a read of
    the peer (read, readstamp, drain) or the echo runs: these take them then.
    The program's bytes and the peer's own (write, stream, echo) all reach
    the host, in the order they come; on a paced line the program's meet the
    input queue as a device that just sends does (what does not fit is
    lost, counted as an overrun). While the port is missing or pulled out,
    the program's bytes are lost, as on an unplugged cable.

    Threads: the relay alone uses the master and the fields below; the open
    watch only sets `opened`."""

    def __init__(self, line):
        self.line = line
        self.master, slave = os.openpty()
        # Raw: no echo and no line discipline, so binary protocols pass
        # byte-exact. The pty keeps it while the program comes and goes.
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        self.opened = threading.Event()
        watch_opens(self)  # before letting go of the slave: no open unseen
        os.close(slave)
        os.set_blocking(self.master, False)
        # Not named comN: the interposer, which a shell that sourced the
        # rig's env file hands to every program, plays a missing or busy
        # port on such names.
        self.link = os.path.join(rig_dir, "farend", "ttyCOM%d" % line.n)
        tmp = self.link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(self.path, tmp)
        os.replace(tmp, self.link)
        self.held = False
        self.to_program = bytearray()
        self.free_at = 0.0  # when the line has carried the program's last bytes
        threading.Thread(target=self.run, daemon=True).start()

    def host_fd(self):
        """The line's pty, when the host's bytes are the program's to take."""
        line = self.line
        if self.to_program or line.echo_thread is not None or line.verb_reads:
            return None
        return line.master

    def run(self):
        while True:
            if not self.held:
                self.opened.wait()
                self.opened.clear()
                self.held = True
            wait = self.free_at - time.monotonic()
            poller = select.poll()
            poller.register(self.master, (select.POLLIN if wait <= 0 else 0) |
                            (select.POLLOUT if self.to_program else 0))
            host = self.host_fd()
            if host is not None:
                poller.register(host, select.POLLIN)
            # A short timeout: attach, the end of a read or of the echo
            # change where the host's bytes go.
            for fd, ev in poller.poll(1000 * min(max(wait, 0.001), 0.1) if wait > 0 else 100):
                try:
                    if fd == self.master:
                        if ev & select.POLLOUT:
                            self.flush()
                        if ev & select.POLLIN:
                            self.from_program()
                        elif ev & (select.POLLHUP | select.POLLERR):
                            if wait > 0:
                                time.sleep(wait)  # its last bytes, at the line's pace
                            else:
                                self.hang_up()
                    elif fd == host:
                        self.from_host(host)
                except (OSError, ValueError, RigError):
                    pass  # the line went under the relay: it follows at the next turn

    def hang_up(self):
        """No program has the slave open any more: what the host sent for it
        is lost with it."""
        self.held = False
        self.to_program = bytearray()

    def from_program(self):
        line = self.line
        with line.relay_lock:
            step = line.byte_seconds()
        # On a paced line, a piece the line carries in 10 ms, as the
        # interposer's transmit queue holds.
        data = read_master(self.master, max(1, int(0.01 / step)) if step else 4096)
        if data is None:
            self.hang_up()
            return
        if step:
            self.free_at = max(self.free_at, time.monotonic()) + len(data) * step
        while data:
            with line.relay_lock:
                if line.master is None:
                    return  # no line: lost
                done = line.deliver(data, time.monotonic() + 0.2, False)
            data = data[done:]

    def from_host(self, fd):
        line = self.line
        with line.relay_lock:
            if self.host_fd() != fd:
                return  # a new line, a read or the echo came since the poll
            data = read_master(fd, 4096)
        if data:
            self.to_program += data
            self.flush()

    def flush(self):
        try:
            while self.to_program:
                wrote = os.write(self.master, bytes(self.to_program[:4096]))
                del self.to_program[:wrote]
        except BlockingIOError:
            pass
        except OSError:
            self.hang_up()

    def unlink(self):
        try:
            if os.readlink(self.link) == self.path:
                os.unlink(self.link)
        except OSError:
            pass


# One inotify instance for the peer (a user gets few) tells each far end of
# the opens of its pty.
IN_OPEN = 0x20
libc = ctypes.CDLL(None, use_errno=True)
notify_fd = -1
watched = {}  # watch descriptor -> FarEnd


def watch_opens(far):
    global notify_fd
    if notify_fd < 0:
        notify_fd = libc.inotify_init1(os.O_CLOEXEC)
        if notify_fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        threading.Thread(target=run_open_watch, daemon=True).start()
    wd = libc.inotify_add_watch(notify_fd, far.path.encode(), IN_OPEN)
    if wd < 0:
        raise OSError(ctypes.get_errno(), "inotify_add_watch " + far.path)
    watched[wd] = far


def run_open_watch():
    while True:
        events = os.read(notify_fd, 4096)
        at = 0
        while at + 16 <= len(events):
            wd, _, _, size = struct.unpack_from("iIII", events, at)
            at += 16 + size
            far = watched.get(wd)
            if far is not None:
                far.opened.set()

lines = {}
farends = {}

LINE_BITS = ((TIOCM_CTS, F_CTS_N), (TIOCM_DSR, F_DSR_N), (TIOCM_RNG, F_RNG_N),
             (TIOCM_CAR, F_DCD_N))
ERRORS = {"frame": F_FRAME, "overrun": F_OVERRUN, "parity": F_PARITY, "break": F_BRK}


def flag(text):
    if text not in ("0", "1"):
        raise RigError("expected 0 or 1")
    return text == "1"


def command(words):
    if not words:
        raise RigError("empty request")
    cmd, args = words[0], words[1:]
    if cmd == "ping":
        return ""
    if cmd == "clock":
        return "t=%d" % now_ns()
    if not args:
        raise RigError("missing port number")
    try:
        line = lines[int(args[0])]
    except (ValueError, KeyError):
        raise RigError("no such port")
    n, args = line.n, args[1:]
    need = {"attach": 0, "detach": 0, "write": 1, "read": 2, "drain": 0, "stream": 2,
            "streampaced": 3, "streamrate": 2, "writestamp": 1, "readstamp": 2, "streamstatus": 0,
            "streamwait": 1, "echo": 1, "holders": 0, "setlines": 4, "getlines": 0, "termios": 0,
            "error": 1, "busy": 1, "share": 1, "vanish": 1, "rxmode": 1, "storm": 1, "fail": 1,
            "pace": 1, "inqueue": 1, "queue": 0, "slowopen": 1}
    if cmd not in need:
        raise RigError("unknown command")
    if len(args) < need[cmd]:
        raise RigError("missing arguments")
    if cmd == "attach":
        return line.attach()
    if cmd == "detach":
        line.detach()
        return ""
    if cmd == "write":
        data = bytes.fromhex(args[0])
        done = line.deliver(data, time.monotonic() + 10, False)
        if done < len(data):
            raise RigError("line full after %d bytes" % done)
        return str(done)
    if cmd == "writestamp":
        data = bytes.fromhex(args[0])
        before = now_ns()
        done = line.deliver(data, time.monotonic() + 10, False)
        after = now_ns()
        if done < len(data):
            raise RigError("line full after %d bytes" % done)
        return "%d t=%d u=%d" % (done, before, after)
    if cmd == "readstamp":
        with line.verb_read():
            data, first, last = line.read_stamped(int(args[0]), int(args[1]) / 1000.0)
        return "got=%d first=%d last=%d %s" % (len(data), first, last, data.hex())
    if cmd == "read":
        with line.verb_read():
            return line.read(int(args[0]), int(args[1]) / 1000.0).hex()
    if cmd == "drain":
        with line.verb_read():
            return str(line.drain())
    if cmd == "stream":
        line.start_stream(int(args[0]), int(args[1]), 4096, 0)
        return ""
    if cmd == "streampaced":
        seed = int(args[3]) if len(args) > 3 else 0
        line.start_stream(int(args[0]), seed, max(1, int(args[1])), int(args[2]) / 1000.0)
        return ""
    if cmd == "streamrate":
        seed = int(args[2]) if len(args) > 2 else 0
        line.start_rate_stream(int(args[0]), seed, max(1, int(args[1])))
        return ""
    if cmd == "streamstatus":
        return line.stream_status()
    if cmd == "streamwait":
        return line.stream_status(int(args[0]) / 1000.0)
    if cmd == "holders":
        return str(line.holders())
    if cmd == "echo":
        if flag(args[0]):
            line.start_echo()
        else:
            line.stop_echo()
        return ""
    if cmd == "setlines":
        with STATE_LOCK:
            old = get(n, F_FAR)
            new = 0
            for (bit, counter), text in zip(LINE_BITS, args[:4]):
                if flag(text):
                    new |= bit
                if (old ^ new) & bit:
                    put(n, counter, get(n, counter) + 1)
            put(n, F_FAR, new)
        return ""
    if cmd == "getlines":
        near, far = get(n, F_NEAR), get(n, F_FAR)
        return "dtr=%d rts=%d cts=%d dsr=%d ring=%d rlsd=%d" % (
            bool(near & TIOCM_DTR), bool(near & TIOCM_RTS), bool(far & TIOCM_CTS),
            bool(far & TIOCM_DSR), bool(far & TIOCM_RNG), bool(far & TIOCM_CAR))
    if cmd == "termios":
        return line.termios()
    if cmd == "error":
        if args[0] not in ERRORS:
            raise RigError("unknown error kind")
        bump(n, ERRORS[args[0]])
        return ""
    if cmd == "busy":
        with STATE_LOCK:
            put(n, F_BUSY, flag(args[0]))
        return ""
    if cmd == "share":
        with STATE_LOCK:
            put(n, F_SHARE, flag(args[0]))
        return ""
    if cmd == "rxmode":
        if args[0] not in ("edge", "level"):
            raise RigError("expected edge or level")
        with STATE_LOCK:
            put(n, F_LEVEL, args[0] == "level")
        return ""
    if cmd == "storm":
        with STATE_LOCK:
            put(n, F_STORM, flag(args[0]))
        return ""
    if cmd == "fail":
        return fault_request(n, args)
    if cmd == "pace":
        with STATE_LOCK:
            put(n, F_PACED, flag(args[0]))
        return ""
    if cmd == "inqueue":
        size = int(args[0])
        if size < 0:
            raise RigError("expected a size in bytes, 0 for no limit")
        line.inqueue = size
        return ""
    if cmd == "queue":
        return line.queue_status()
    if cmd == "slowopen":
        ms = int(args[0])
        if not 0 <= ms < 1 << 31:
            raise RigError("expected the time in ms, 0 for none")
        with STATE_LOCK:
            put(n, F_SLOW_OPEN, ms)
        return ""
    if cmd == "vanish":
        if flag(args[0]):
            err, mode = errno.EIO, "gone"
            for word_ in args[1:3]:  # either order
                if word_ in PULL_MODES:
                    mode = word_
                else:
                    err = errno_value(word_)
            line.vanish(err, mode)
        else:
            line.attach(replug=True)
        return ""
    raise RigError("unknown command")


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        for raw in self.rfile:
            try:
                result = command(raw.decode("ascii", "replace").split())
                reply = ("ok " + result) if result else "ok"
            except (RigError, ValueError, OSError, termios.error) as e:
                reply = "err " + str(e).replace("\n", " ")
            self.wfile.write((reply + "\n").encode())
            self.wfile.flush()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global rig_dir
    ap = argparse.ArgumentParser(description="virtual null-modem peer")
    ap.add_argument("--dir", required=True, help="rig directory (state, links, peer.port)")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--line", choices=("paced", "instant"), default="paced",
                    help="what attach gives: a line at its baud rate, or the bare pty")
    opts = ap.parse_args()
    global default_paced
    default_paced = opts.line == "paced"
    rig_dir = os.path.abspath(opts.dir)
    os.makedirs(os.path.join(rig_dir, "links"), exist_ok=True)
    with open(os.path.join(rig_dir, "links", "absent"), "w") as f:
        f.write("placeholder of a missing port\n")
    open_state(os.path.join(rig_dir, "state"))
    os.makedirs(os.path.join(rig_dir, "farend"), exist_ok=True)
    for n in range(1, PORTS + 1):
        lines[n] = Line(n)
        lines[n].detach()  # every port starts missing
        try:
            farends[n] = FarEnd(lines[n])
        except OSError as e:  # no ptys or inotify left: the rig runs without it
            print("peer: no far-end device path for COM%d: %s" % (n, e), file=sys.stderr)

    server = Server(("127.0.0.1", opts.port), Handler)
    port = server.server_address[1]
    with open(os.path.join(rig_dir, "peer.pid"), "w") as f:
        f.write("%d\n" % os.getpid())
    tmp = os.path.join(rig_dir, "peer.port.new")
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, os.path.join(rig_dir, "peer.port"))

    def stop(signum, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        # A link left behind would lead the next program to whichever pty
        # reuses the number.
        for far in farends.values():
            far.unlink()
        for path in ("peer.port", "peer.pid"):
            try:
                os.unlink(os.path.join(rig_dir, path))
            except OSError:
                pass


if __name__ == "__main__":
    sys.exit(main())
