/* The far end of the test rig's virtual null-modem, preloaded into every wine
 * process (built 32- and 64-bit from this one file). It answers the modem-line
 * and counter ioctls that a pty lacks, makes EV_RXCHAR edge-triggered (unless
 * the peer asks for wine's own level behaviour on a line), records
 * the line settings a pty hides, plays "port in use", "port missing",
 * "adapter pulled" and an error storm (a wrong baud rate), makes the
 * program's writes take the time a line at its baud rate takes, fails
 * the N-th use of a device call (and a count after it) on request, and
 * makes a program's open of a port take seconds.
 *
 * Processes and threads: the 32-bit wine program does the device calls (any
 * of its threads, notably wine's WaitCommEvent poll thread); the 64-bit
 * wineserver opens the device path, after the program's thread in CreateFile
 * has looked the path up (and waited out a slow open there); the Linux peer
 * (tools/rig/peer.py) drives the far end. They meet only in one shared file,
 * $COMRELAY_RIG_DIR/state, mapped by all of them: the peer writes the far-end
 * lines, error counters, the attach generation, the busy/absent/vanished/
 * storm switches and the time an open takes; the program writes DTR/RTS, the
 * recorded c_cflag and custom rate, and adds to its read and purge counts
 * (and, in a storm, to the frame count) and to the use counts of the fault
 * records past the slots. Every field is an aligned 32-bit word, set with
 * atomic stores or atomic adds, so no lock spans processes. The edge-trigger
 * memory and the list of known rig fds are per process (the former under a
 * spinlock); the "TIOCINQ follows TIOCMGET" and "tcsetattr calls since
 * cfsetospeed" marks are per thread. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

/* The shared file's layout. peer.py packs the same offsets: keep them equal. */
#define RIG_SLOTS 4
#define RIG_MAGIC 0x31474952u /* "RIG1" */

struct rig_slot {
    uint32_t rdev_lo, rdev_hi;   /*  0 st_rdev of the pty slave; 0 = none */
    uint32_t far_lines;          /*  8 TIOCM_CTS|DSR|RI|CD, written by the peer */
    uint32_t near_lines;         /* 12 TIOCM_DTR|RTS, written by the program */
    uint32_t frame;              /* 16 error counters, bumped by the peer */
    uint32_t overrun;            /* 20 */
    uint32_t parity;             /* 24 */
    uint32_t brk;                /* 28 */
    uint32_t cts, dsr, rng, dcd; /* 32..44 line transition counts (peer) */
    uint32_t consumed;           /* 48 bytes the program has read (programs) */
    uint32_t busy;               /* 52 wineserver's open of the port fails */
    uint32_t vanished;           /* 56 every device call fails with this errno; 0: no */
    uint32_t cflag;              /* 60 c_cflag of SetCommState's line-control call */
    uint32_t cflag_seq;          /* 64 bumped after each record */
    uint32_t absent;             /* 68 no device: wineserver's open fails ENOENT */
    uint32_t flushes;            /* 72 input purges by the program (programs) */
    uint32_t generation;         /* 76 bumped by the peer at each attach */
    uint32_t level;              /* 80 EV_RXCHAR as wine raises it: while bytes wait */
    uint32_t paced;              /* 84 writes take the line's time at its rate (peer) */
    uint32_t slow_open;          /* 88 ms a program's open of the port takes (peer) */
    uint32_t reserved[7];        /* to 120 */
    uint32_t storm;              /* 120 the frame error count grows at every look (peer) */
    uint32_t custom_rate;        /* 124 rate of the last SetCommState if not a Bxxx one, else 0 */
};

struct rig_state {
    uint32_t magic;
    uint32_t reserved[31]; /* header of 128 bytes */
    struct rig_slot slot[RIG_SLOTS];
};

_Static_assert(sizeof(struct rig_slot) == 128, "slot layout is shared with peer.py");
_Static_assert(offsetof(struct rig_slot, generation) == 76, "slot layout is shared with peer.py");
_Static_assert(offsetof(struct rig_slot, level) == 80, "slot layout is shared with peer.py");
_Static_assert(offsetof(struct rig_slot, paced) == 84, "slot layout is shared with peer.py");
_Static_assert(offsetof(struct rig_slot, slow_open) == 88, "slot layout is shared with peer.py");
_Static_assert(offsetof(struct rig_slot, storm) == 120, "slot layout is shared with peer.py");
_Static_assert(offsetof(struct rig_slot, custom_rate) == 124, "slot layout is shared with peer.py");
_Static_assert(offsetof(struct rig_state, slot) == 128, "header layout is shared with peer.py");

/* The whole shared file; parts past the slots have layouts of their own. */
#define RIG_FILE_SIZE 4096

#define LOAD(field) __atomic_load_n(&(field), __ATOMIC_ACQUIRE)
#define STORE(field, v) __atomic_store_n(&(field), (v), __ATOMIC_RELEASE)

/* ---- the real functions -------------------------------------------------- */

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef ssize_t (*rw_fn)(int, void*, size_t);
typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

static void* next_symbol(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

#define REAL(type, name)                                                                           \
    static type real_##name(void) {                                                                \
        static type fn;                                                                            \
        if (!fn) fn = (type)next_symbol(#name);                                                    \
        return fn;                                                                                 \
    }
REAL(ioctl_fn, ioctl)
REAL(ioctl_fn, __ioctl_time64)
REAL(rw_fn, read)
REAL(rw_fn, write)
REAL(open_fn, open)
REAL(open_fn, open64)
REAL(openat_fn, openat)
REAL(openat_fn, openat64)

/* ---- the shared state ---------------------------------------------------- */

static struct rig_state* mapped;
static unsigned map_attempts;

/* Maps the state file on first use. Uses raw syscalls: the open interposer
 * below would otherwise call back in here. A missing file (no rig running)
 * leaves every call passing through; it is looked for again now and then. */
static struct rig_state* state(void) {
    struct rig_state* st = __atomic_load_n(&mapped, __ATOMIC_ACQUIRE);
    if (st) return st;
    if (__atomic_fetch_add(&map_attempts, 1, __ATOMIC_RELAXED) % 64 != 0) return NULL;
    const char* dir = getenv("COMRELAY_RIG_DIR");
    if (!dir) return NULL;
    char path[4096];
    size_t n = strlen(dir);
    if (n + sizeof("/state") > sizeof path) return NULL;
    memcpy(path, dir, n);
    memcpy(path + n, "/state", sizeof("/state"));
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return NULL;
    void* p = mmap(NULL, RIG_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    syscall(SYS_close, fd);
    if (p == MAP_FAILED) return NULL;
    st = p;
    if (LOAD(st->magic) != RIG_MAGIC) {
        munmap(p, RIG_FILE_SIZE);
        return NULL;
    }
    struct rig_state* expected = NULL;
    if (!__atomic_compare_exchange_n(&mapped, &expected, st, 0, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        munmap(p, RIG_FILE_SIZE);
        st = expected;
    }
    return st;
}

static uint64_t slot_rdev(struct rig_slot* s) {
    return (uint64_t)LOAD(s->rdev_hi) << 32 | LOAD(s->rdev_lo);
}

/* The rig slot of a device number, or -1. */
static int slot_of_rdev(struct rig_state* st, uint64_t rdev) {
    if (!rdev) return -1;
    for (int i = 0; i < RIG_SLOTS; i++)
        if (slot_rdev(&st->slot[i]) == rdev) return i;
    return -1;
}

/* read() runs for every fd of the process, and an fstat on each would slow
 * all of wine's server calls. So the fds that an ioctl or tcsetattr showed to
 * be rig devices are remembered, and read() checks only those: wine keeps one
 * unix fd per handle and uses it for both. */
#define KNOWN_FDS 16
static int known_fds[KNOWN_FDS] = {[0 ... KNOWN_FDS - 1] = -1};
static unsigned known_next;

static int is_known_fd(int fd) {
    for (int k = 0; k < KNOWN_FDS; k++)
        if (LOAD(known_fds[k]) == fd) return 1;
    return 0;
}

static int slot_of_fd(struct rig_state* st, int fd) {
    struct stat64 sb;
    if (fstat64(fd, &sb) != 0 || !S_ISCHR(sb.st_mode)) return -1;
    int i = slot_of_rdev(st, (uint64_t)sb.st_rdev);
    if (i >= 0 && !is_known_fd(fd))
        STORE(known_fds[__atomic_fetch_add(&known_next, 1, __ATOMIC_RELAXED) % KNOWN_FDS], fd);
    return i;
}

static int any_flag(struct rig_state* st, size_t offset) {
    for (int i = 0; i < RIG_SLOTS; i++)
        if (LOAD(*(uint32_t*)((char*)&st->slot[i] + offset))) return 1;
    return 0;
}

/* A pulled adapter: the errno with which the device calls of fd fail when it
 * belongs to a slot the peer marked vanished, else 0. The peer picks the
 * errno, as a driver picks its code for a handle whose device went. Cheap
 * when nothing is vanished, which keeps read/write of every fd fast. */
static int vanished_fd(int fd) {
    struct rig_state* st = state();
    if (!st || !any_flag(st, offsetof(struct rig_slot, vanished))) return 0;
    int i = slot_of_fd(st, fd);
    return i >= 0 ? (int)LOAD(st->slot[i].vanished) : 0;
}

/* ---- fault injection ----------------------------------------------------- */

/* The peer can make the N-th use of one device call on a line fail, and a
 * number of uses after it (a device that fails for a while after the open),
 * or every use from then on, with an errno of its choice, and reads how
 * often each call was used, so that a test can fail every use in turn. Its
 * records lie past the slots, at FAULT_BASE of the shared file; peer.py
 * packs the same offsets. The peer writes a record's call, nth, times and
 * errno (call last, so a record is never seen half written) and clears the
 * whole record
 * at attach; the programs only add to its counts and fired. "active" is set
 * by the peer at its first fail request and never cleared: until then no
 * call is looked at that the rig would not look at anyway. */
enum rig_call {
    CALL_NONE,
    CALL_READ,
    CALL_WRITE,
    CALL_TCSETATTR,
    CALL_TCGETATTR,
    CALL_TCFLUSH,
    CALL_TIOCMGET,
    CALL_TIOCMSET, /* with TIOCMBIS and TIOCMBIC */
    CALL_TIOCINQ,
    CALL_TIOCOUTQ,
    CALL_TIOCGICOUNT,
    CALL_TIOCSERGETLSR,
    CALL_COUNT
};

#define FAULT_BASE 1024
#define FAULT_ALWAYS 0xFFFFFFFFu

struct rig_fault {
    uint32_t call;                  /*  0 enum rig_call to fail; 0 = none */
    uint32_t nth;                   /*  4 the first use that fails, counted from 1 since attach */
    uint32_t times;                 /*  8 uses that fail from nth on; FAULT_ALWAYS: all */
    uint32_t err;                   /* 12 the errno */
    uint32_t fired;                 /* 16 uses failed so far */
    uint32_t count[CALL_COUNT - 1]; /* 20 uses of each call since attach */
};

struct rig_faults {
    uint32_t active;
    uint32_t reserved[15];
    struct rig_fault slot[RIG_SLOTS]; /* at 64, 64 bytes each */
};

_Static_assert(sizeof(struct rig_fault) == 64, "fault layout is shared with peer.py");
_Static_assert(offsetof(struct rig_faults, slot) == 64, "fault layout is shared with peer.py");
_Static_assert(FAULT_BASE >= sizeof(struct rig_state) &&
                   FAULT_BASE + sizeof(struct rig_faults) <= RIG_FILE_SIZE,
               "the fault records lie past the slots, inside the file");

static struct rig_faults* faults(struct rig_state* st) {
    return (struct rig_faults*)((char*)st + FAULT_BASE);
}

/* Whether calls outside the rig's usual set must be looked up. */
static int faults_active(struct rig_state* st) {
    return st && LOAD(faults(st)->active);
}

/* Counts one use of a call on slot i; the errno it must fail with, or 0. */
static int injected(struct rig_state* st, int i, int call) {
    struct rig_fault* f = &faults(st)->slot[i];
    uint32_t n = __atomic_add_fetch(&f->count[call - 1], 1, __ATOMIC_ACQ_REL);
    if (LOAD(f->call) != (uint32_t)call) return 0;
    uint32_t nth = LOAD(f->nth);
    if (n < nth || n - nth >= LOAD(f->times)) return 0;
    __atomic_fetch_add(&f->fired, 1, __ATOMIC_ACQ_REL);
    return (int)LOAD(f->err);
}

/* The slot of a device fd while faults are active, for the calls that the
 * rig does not look at otherwise; -1 when it is none of the rig's. */
static int fault_slot(struct rig_state* st, int fd) {
    return faults_active(st) ? slot_of_fd(st, fd) : -1;
}

/* The fault call of an ioctl request, or CALL_NONE. */
static int ioctl_call(unsigned long req) {
    switch (req) {
    case TIOCMGET:
        return CALL_TIOCMGET;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
        return CALL_TIOCMSET;
    case TIOCINQ:
        return CALL_TIOCINQ;
    case TIOCOUTQ:
        return CALL_TIOCOUTQ;
    case TIOCGICOUNT:
        return CALL_TIOCGICOUNT;
    case TIOCSERGETLSR:
        return CALL_TIOCSERGETLSR;
    }
    return CALL_NONE;
}

/* Fails the calling function with the injected errno, if any. */
#define FAIL_IF_INJECTED(st, i, call)                                                              \
    do {                                                                                           \
        int injected_errno = (i) >= 0 ? injected((st), (i), (call)) : 0;                           \
        if (injected_errno) {                                                                      \
            errno = injected_errno;                                                                \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

/* ---- edge-triggered EV_RXCHAR ------------------------------------------ */

/* Wine's WaitCommEvent poll raises EV_RXCHAR whenever TIOCINQ is non-zero, so
 * a wait completes again and again while old bytes wait unread. Windows raises
 * it once per arrival. The poll's TIOCINQ is the one that directly follows
 * TIOCMGET in the same thread (ClearCommError's follows TIOCOUTQ and stays
 * exact); it is answered with the count only when bytes arrived since the
 * poll last looked, and 0 otherwise.
 *
 * "Arrived" is measured as the total ever received: bytes the program has
 * read (counted by read() below) plus bytes waiting. That total only grows,
 * whatever the program reads in between and however late the kernel moves
 * written bytes into the queue; comparing bare counts would miss an arrival
 * that is smaller than what the program read meanwhile, and the wait would
 * then stall with bytes unread. The total is sampled read count first, so a
 * read racing with the poll can only make it low for a moment, never high.
 * A purge discards bytes unread, so after one the poll starts afresh.
 *
 * A line that the peer switched to level mode gets the real count, which is
 * what wine does with a real serial port: EV_RXCHAR for as long as bytes
 * wait. The edge memory still follows along, so switching back mid-line
 * reports nothing old. */
struct edge {
    uint32_t generation; /* of the slot: a pty number is soon used again */
    uint32_t seen;       /* the total at the last report */
    uint32_t flushes;
};
static struct edge edges[RIG_SLOTS];
static int edge_lock;
static __thread int mget_slot = -1; /* slot of this thread's last ioctl, if TIOCMGET */

static int edge_filter(struct rig_slot* s, int i, uint32_t consumed, int count) {
    while (__atomic_exchange_n(&edge_lock, 1, __ATOMIC_ACQUIRE)) {
    }
    struct edge* e = &edges[i];
    uint32_t generation = LOAD(s->generation);
    uint32_t flushes = LOAD(s->flushes);
    uint32_t total = consumed + (uint32_t)count;
    int report;
    int level = LOAD(s->level) != 0;
    if (e->generation != generation || e->flushes != flushes) {
        /* A new device behind the slot, or input purged: what waits is new. */
        e->generation = generation;
        e->flushes = flushes;
        e->seen = total;
        report = count > 0;
    } else {
        report = (int32_t)(total - e->seen) > 0;
        if (report) e->seen = total;
    }
    __atomic_store_n(&edge_lock, 0, __ATOMIC_RELEASE);
    return report || level ? count : 0;
}

/* ---- ioctl --------------------------------------------------------------- */

static int fill_counters(struct rig_slot* s, struct serial_icounter_struct* c) {
    memset(c, 0, sizeof *c);
    c->cts = (int)LOAD(s->cts);
    c->dsr = (int)LOAD(s->dsr);
    c->rng = (int)LOAD(s->rng);
    c->dcd = (int)LOAD(s->dcd);
    c->frame = (int)LOAD(s->frame);
    c->overrun = (int)LOAD(s->overrun);
    c->parity = (int)LOAD(s->parity);
    c->brk = (int)LOAD(s->brk);
    return 0;
}

/* ---- error storm ----------------------------------------------------------- */

/* A line at the wrong baud rate: every byte is a framing error, so whoever
 * reads the counters finds them grown since the last look. The storm adds one
 * frame error per look, before the answer, so wine's poll, which compares
 * each look with the one its wait began with, raises EV_ERR at every poll. */
static void storm_look(struct rig_slot* s) {
    if (LOAD(s->storm)) __atomic_fetch_add(&s->frame, 1, __ATOMIC_ACQ_REL);
}

/* Answers a modem-line or counter ioctl that the pty refused. */
static int answer(struct rig_slot* s, unsigned long req, void* arg) {
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    if (req == TIOCGICOUNT) {
        storm_look(s);
        return fill_counters(s, arg);
    }
    if (req == TIOCMGET) {
        *(int*)arg = (int)(LOAD(s->far_lines) | LOAD(s->near_lines));
        return 0;
    }
    uint32_t bits = (uint32_t) * (int*)arg & (TIOCM_DTR | TIOCM_RTS);
    if (req == TIOCMSET)
        STORE(s->near_lines, bits);
    else if (req == TIOCMBIS)
        __atomic_fetch_or(&s->near_lines, bits, __ATOMIC_ACQ_REL);
    else
        __atomic_fetch_and(&s->near_lines, ~bits, __ATOMIC_ACQ_REL);
    return 0;
}

/* A rate that has no Bxxx constant reaches a Linux tty as a custom divisor:
 * wine asks TIOCGSERIAL for the base, sets the divisor with TIOCSSERIAL and
 * then the speed B38400. A pty has neither call, so play a UART whose base
 * every rate of the plug-in's table divides exactly, and keep the rate asked
 * for until tcsetattr records it (below). */
#define RIG_BAUD_BASE 16128000 /* 2^11 * 3^2 * 5^3 * 7 */
static __thread uint32_t pending_custom_rate;

static int serial_info(struct rig_slot* s, unsigned long req, void* arg) {
    struct serial_struct* info = arg;
    if (!info) {
        errno = EFAULT;
        return -1;
    }
    if (LOAD(s->vanished)) {
        errno = (int)LOAD(s->vanished);
        return -1;
    }
    if (req == TIOCGSERIAL) {
        memset(info, 0, sizeof *info);
        info->baud_base = RIG_BAUD_BASE;
    } else if ((info->flags & ASYNC_SPD_MASK) == ASYNC_SPD_CUST && info->custom_divisor > 0) {
        pending_custom_rate = (uint32_t)(RIG_BAUD_BASE / info->custom_divisor);
    }
    return 0;
}

static int rig_ioctl(ioctl_fn real, int fd, unsigned long req, void* arg) {
    int after_mget = mget_slot;
    mget_slot = -1;
    struct rig_state* st = state();
    if (!st) return real(fd, req, arg);
    if (req == TIOCGSERIAL || req == TIOCSSERIAL) {
        int i = slot_of_fd(st, fd);
        int r = real(fd, req, arg);
        if (i >= 0 && r != 0 && (errno == ENOTTY || errno == EINVAL || errno == 515))
            r = serial_info(&st->slot[i], req, arg);
        return r;
    }

    int ours = req == TIOCMGET || req == TIOCMSET || req == TIOCMBIS || req == TIOCMBIC ||
               req == TIOCGICOUNT || req == TIOCINQ;
    int call = faults_active(st) ? ioctl_call(req) : CALL_NONE;
    if (!ours && !call && !any_flag(st, offsetof(struct rig_slot, vanished)))
        return real(fd, req, arg);
    int i = slot_of_fd(st, fd);
    if (i < 0) return real(fd, req, arg);
    struct rig_slot* s = &st->slot[i];
    if (LOAD(s->vanished)) {
        errno = (int)LOAD(s->vanished);
        return -1;
    }
    if (call) FAIL_IF_INJECTED(st, i, call);
    if (!ours) return real(fd, req, arg);

    if (req == TIOCINQ) {
        uint32_t consumed = LOAD(s->consumed); /* before the count: see edge_filter */
        int r = real(fd, req, arg);
        if (r == 0 && arg && after_mget == i) *(int*)arg = edge_filter(s, i, consumed, *(int*)arg);
        return r;
    }
    int r = real(fd, req, arg);
    if (r != 0 && (errno == ENOTTY || errno == EINVAL || errno == 515 /* ENOIOCTLCMD */))
        r = answer(s, req, arg);
    if (r == 0 && req == TIOCMGET) mget_slot = i;
    return r;
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return rig_ioctl(real_ioctl(), fd, req, arg);
}

/* Wine's 32-bit ntdll.so calls glibc's time64 entry point, not ioctl. */
int __ioctl_time64(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    ioctl_fn real = real___ioctl_time64();
    return rig_ioctl(real ? real : real_ioctl(), fd, req, arg);
}

/* ---- termios ------------------------------------------------------------- */

/* The pty forces CS8 and clears PARENB, so the peer cannot read byte size or
 * parity back. Wine's SetCommState makes four tcsetattr calls: baud rate
 * (after cfsetospeed), line control, handshake, special characters. Each
 * reads the termios first, so only the second carries the requested CSIZE,
 * PARENB and PARODD: record that one. */
static __thread int calls_since_speed = -1;

int cfsetospeed(struct termios* t, speed_t speed) {
    static int (*real)(struct termios*, speed_t);
    if (!real) real = (int (*)(struct termios*, speed_t))next_symbol("cfsetospeed");
    calls_since_speed = 0;
    return real(t, speed);
}

int tcsetattr(int fd, int action, const struct termios* t) {
    static int (*real)(int, int, const struct termios*);
    if (!real) real = (int (*)(int, int, const struct termios*))next_symbol("tcsetattr");
    struct rig_state* st = state();
    int i = st ? slot_of_fd(st, fd) : -1;
    if (i >= 0) {
        struct rig_slot* s = &st->slot[i];
        if (LOAD(s->vanished)) {
            errno = (int)LOAD(s->vanished);
            return -1;
        }
        if (faults_active(st)) FAIL_IF_INJECTED(st, i, CALL_TCSETATTR);
        if (calls_since_speed == 0) {
            /* The baud-rate call: a custom rate came just before, or none. */
            STORE(s->custom_rate, pending_custom_rate);
            pending_custom_rate = 0;
        }
        if (calls_since_speed >= 0 && ++calls_since_speed == 2) {
            STORE(s->cflag, (uint32_t)t->c_cflag);
            __atomic_fetch_add(&s->cflag_seq, 1, __ATOMIC_ACQ_REL);
            calls_since_speed = -1;
        }
    }
    return real(fd, action, t);
}

/* glibc's termios calls reach the kernel directly, not through ioctl, so a
 * pulled adapter has to fail them here. */
#define FAIL_IF_VANISHED(fd)                                                                       \
    do {                                                                                           \
        int gone_errno = vanished_fd(fd);                                                          \
        if (gone_errno) {                                                                          \
            errno = gone_errno;                                                                    \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

int tcgetattr(int fd, struct termios* t) {
    static int (*real)(int, struct termios*);
    if (!real) real = (int (*)(int, struct termios*))next_symbol("tcgetattr");
    FAIL_IF_VANISHED(fd);
    struct rig_state* st = state();
    FAIL_IF_INJECTED(st, fault_slot(st, fd), CALL_TCGETATTR);
    return real(fd, t);
}

int tcflush(int fd, int queue) {
    static int (*real)(int, int);
    if (!real) real = (int (*)(int, int))next_symbol("tcflush");
    struct rig_state* st = state();
    int i = st ? slot_of_fd(st, fd) : -1;
    if (i < 0) return real(fd, queue);
    if (LOAD(st->slot[i].vanished)) {
        errno = (int)LOAD(st->slot[i].vanished);
        return -1;
    }
    if (faults_active(st)) FAIL_IF_INJECTED(st, i, CALL_TCFLUSH);
    int r = real(fd, queue);
    if (r == 0 && (queue == TCIFLUSH || queue == TCIOFLUSH))
        __atomic_fetch_add(&st->slot[i].flushes, 1, __ATOMIC_ACQ_REL);
    return r;
}

int tcdrain(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))next_symbol("tcdrain");
    FAIL_IF_VANISHED(fd);
    return real(fd);
}

/* ---- a line at its rate ----------------------------------------------------- */

/* A pty takes a write at once; a line takes start bit, data bits, parity and
 * stop bits per byte at its baud rate. On a paced line the program's writes
 * are let through no faster: each write() takes only what fits into a short
 * transmit queue (PACE_QUEUE_NS of line time, at least PACE_QUEUE_MIN bytes)
 * beyond what the line is still sending, and waits for room first when there
 * is none. So a WriteFile completes when its last bytes have gone into that
 * queue, a few ms before the line is done with them, as on a UART with a
 * FIFO. Wine writes the rest of a partial write itself, and it does so inside
 * WriteFile, even an overlapped one, for as long as the device takes bytes:
 * the thread that writes stays there for the line's time.
 *
 * When the line will be free is kept per process and slot, under a spinlock
 * that is never held across a system call; only the process that has the
 * port open writes to it. */
#define PACE_QUEUE_NS 10000000ull /* 10 ms */
#define PACE_QUEUE_MIN 16

struct pace {
    uint32_t generation; /* of the slot, as for the edge memory */
    uint64_t free_at;    /* CLOCK_MONOTONIC ns at which the line has sent all */
};
static struct pace paces[RIG_SLOTS];
static int pace_lock;

static uint64_t monotonic_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

static uint32_t rate_of(speed_t speed) {
    static const struct {
        speed_t code;
        uint32_t rate;
    } rates[] = {{B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},
                 {B150, 150},       {B200, 200},       {B300, 300},         {B600, 600},
                 {B1200, 1200},     {B1800, 1800},     {B2400, 2400},       {B4800, 4800},
                 {B9600, 9600},     {B19200, 19200},   {B38400, 38400},     {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800},   {B500000, 500000},
                 {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B2000000, 2000000},
                 {B4000000, 4000000}};
    for (size_t k = 0; k < sizeof rates / sizeof rates[0]; k++)
        if (rates[k].code == speed) return rates[k].rate;
    return 0;
}

/* The time one byte takes on the line in ns, from the rate and format the
 * program set; 0 (not paced) when the rate cannot be told. The pty shows
 * the rate and the stop bits; data bits and parity come from the recorded
 * line-control call, 8N when none was recorded. */
static uint64_t byte_time_ns(struct rig_slot* s, int fd) {
    static int (*get)(int, struct termios*);
    if (!get) get = (int (*)(int, struct termios*))next_symbol("tcgetattr");
    struct termios t;
    if (get(fd, &t) != 0) return 0;
    uint32_t rate = LOAD(s->custom_rate);
    if (!rate) rate = rate_of(cfgetospeed(&t));
    if (!rate) return 0;
    uint32_t line = LOAD(s->cflag_seq) ? LOAD(s->cflag) : (uint32_t)(CS8);
    unsigned data = (line & CSIZE) == CS5 ? 5 : (line & CSIZE) == CS6 ? 6 : (line & CSIZE) == CS7 ? 7 : 8;
    unsigned bits = 1 + data + ((line & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
    return (uint64_t)bits * 1000000000ull / rate;
}

/* The slot of a paced line that fd leads to, or -1. Cheap for every other fd
 * of the process while no line is paced, and for fds the rig never saw. */
static int paced_slot(struct rig_state* st, int fd) {
    if (!st || !any_flag(st, offsetof(struct rig_slot, paced)) || !is_known_fd(fd)) return -1;
    int i = slot_of_fd(st, fd);
    return i >= 0 && LOAD(st->slot[i].paced) ? i : -1;
}

static void lock_paces(void) {
    while (__atomic_exchange_n(&pace_lock, 1, __ATOMIC_ACQUIRE)) {
    }
}

static void unlock_paces(void) {
    __atomic_store_n(&pace_lock, 0, __ATOMIC_RELEASE);
}

static ssize_t paced_write(struct rig_slot* s, int i, int fd, const void* buf, size_t n) {
    uint64_t byte_ns = byte_time_ns(s, fd);
    if (!byte_ns || !n) return real_write()(fd, (void*)buf, n);
    uint64_t queue_ns = PACE_QUEUE_NS;
    if (queue_ns < PACE_QUEUE_MIN * byte_ns) queue_ns = PACE_QUEUE_MIN * byte_ns;
    struct pace* p = &paces[i];
    size_t take;
    for (;;) {
        lock_paces();
        uint32_t generation = LOAD(s->generation);
        if (p->generation != generation) {
            p->generation = generation;
            p->free_at = 0;
        }
        uint64_t now = monotonic_ns();
        if (p->free_at < now) p->free_at = now;
        uint64_t backlog = p->free_at - now;
        if (backlog + byte_ns <= queue_ns) {
            /* Room: the bytes are booked on the line before they are written. */
            take = (size_t)((queue_ns - backlog) / byte_ns);
            if (take > n) take = n;
            p->free_at += take * byte_ns;
            unlock_paces();
            break;
        }
        unlock_paces();
        /* Full: wait until half the queue has gone, so that each write
         * moves a useful amount. */
        uint64_t wait = backlog - queue_ns / 2;
        struct timespec ts = {(time_t)(wait / 1000000000ull), (long)(wait % 1000000000ull)};
        nanosleep(&ts, NULL);
    }
    ssize_t r = real_write()(fd, (void*)buf, take);
    size_t unsent = r < 0 ? take : take - (size_t)r;
    if (unsent) {
        lock_paces();
        if (p->generation == LOAD(s->generation)) p->free_at -= unsent * byte_ns;
        unlock_paces();
    }
    return r;
}

/* ---- read / write ---------------------------------------------------------- */

ssize_t read(int fd, void* buf, size_t n) {
    struct rig_state* st = state();
    int i = -1;
    if (st &&
        (is_known_fd(fd) || any_flag(st, offsetof(struct rig_slot, vanished)) || faults_active(st)))
        i = slot_of_fd(st, fd);
    if (i >= 0 && LOAD(st->slot[i].vanished)) {
        errno = (int)LOAD(st->slot[i].vanished);
        return -1;
    }
    if (i >= 0 && faults_active(st)) FAIL_IF_INJECTED(st, i, CALL_READ);
    ssize_t r = real_read()(fd, buf, n);
    if (r > 0 && i >= 0) __atomic_fetch_add(&st->slot[i].consumed, (uint32_t)r, __ATOMIC_ACQ_REL);
    return r;
}

ssize_t write(int fd, const void* buf, size_t n) {
    FAIL_IF_VANISHED(fd);
    struct rig_state* st = state();
    FAIL_IF_INJECTED(st, fault_slot(st, fd), CALL_WRITE);
    int i = paced_slot(st, fd);
    if (i >= 0) return paced_write(&st->slot[i], i, fd, buf, n);
    return real_write()(fd, (void*)buf, n);
}

/* ---- open: a port in use, a port missing ------------------------------- */

/* The 64-bit wineserver opens the device through dosdevices/comN. Wine does
 * not make a tty exclusive, so "in use" is played here: EACCES reaches the
 * program as ERROR_ACCESS_DENIED. A missing port cannot be a missing link:
 * when dosdevices/comN leads nowhere, wine falls back to the device object
 * its mount manager made for a mapped port, and the open succeeds. So the
 * peer points the link of a missing port at a placeholder file, and ENOENT
 * here gives ERROR_FILE_NOT_FOUND. */
/* The slot whose dosdevices name (comN) path ends in, or -1. */
static int slot_of_name(const char* path) {
    const char* base = strrchr(path, '/');
    base = base ? base + 1 : path;
    if (strlen(base) == 4 && strncasecmp(base, "com", 3) == 0 && base[3] >= '1' &&
        base[3] < '1' + RIG_SLOTS)
        return base[3] - '1';
    return -1;
}

static int refused_open(const char* path) {
    struct rig_state* st = state();
    if (!st || !path) return 0;
    int busy = any_flag(st, offsetof(struct rig_slot, busy));
    if (!busy && !any_flag(st, offsetof(struct rig_slot, absent))) return 0;
    int named = slot_of_name(path);
    if (named >= 0) {
        struct rig_slot* s = &st->slot[named];
        if (LOAD(s->absent)) return ENOENT;
        if (LOAD(s->busy)) return EACCES;
    }
    if (!busy) return 0;
    struct stat64 sb; /* the device reached under another name */
    if (stat64(path, &sb) != 0 || !S_ISCHR(sb.st_mode)) return 0;
    int i = slot_of_rdev(st, (uint64_t)sb.st_rdev);
    return i >= 0 && LOAD(st->slot[i].busy) ? EACCES : 0;
}

/* wineserver is a session leader: without O_NOCTTY the first pty it opens
 * becomes its controlling terminal, and the hangup when the peer closes that
 * pty sends it SIGHUP, on which it dumps every object it holds to stderr. */
static int ttyless(void) {
    return state() ? O_NOCTTY : 0;
}

static mode_t mode_arg(int flags, va_list ap) {
    return (flags & (O_CREAT | __O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

#define OPEN_BODY(real, ...)                                                                       \
    va_list ap;                                                                                    \
    va_start(ap, flags);                                                                           \
    mode_t mode = mode_arg(flags, ap);                                                             \
    va_end(ap);                                                                                    \
    int refusal = refused_open(path);                                                              \
    if (refusal) {                                                                                 \
        errno = refusal;                                                                           \
        return -1;                                                                                 \
    }                                                                                              \
    return real(__VA_ARGS__, flags | ttyless(), mode);

int open(const char* path, int flags, ...) {
    OPEN_BODY(real_open(), path)
}
int open64(const char* path, int flags, ...) {
    OPEN_BODY(real_open64(), path)
}
int openat(int dir, const char* path, int flags, ...) {
    OPEN_BODY(real_openat(), dir, path)
}
int openat64(int dir, const char* path, int flags, ...) {
    OPEN_BODY(real_openat64(), dir, path)
}

/* ---- a slow open --------------------------------------------------------- */

/* Some ports take seconds to open (a virtual port of a Bluetooth link whose
 * device is off). On Windows only the thread in CreateFile waits; wineserver,
 * which opens the device for every program, must not, or every program's
 * every server call would wait with it. So the wait is played in the
 * program, at its one look-up of the device path before it asks wineserver
 * for the open (wine's 32-bit ntdll calls glibc's time64 stat for it): a
 * port that opens, or one missing or busy that fails after the wait. */
#if defined(__i386__)
int __stat64_time64(const char* path, void* buf) {
    static int (*real)(const char*, void*);
    if (!real) real = (int (*)(const char*, void*))next_symbol("__stat64_time64");
    struct rig_state* st = state();
    if (st && path && any_flag(st, offsetof(struct rig_slot, slow_open))) {
        int i = slot_of_name(path);
        uint32_t ms = i >= 0 ? LOAD(st->slot[i].slow_open) : 0;
        struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
        int saved = errno;
        while (ms && nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        errno = saved;
    }
    return real(path, buf);
}
#endif
