/* The far end of the test rig's virtual null-modem, preloaded into every wine
 * process (built 32- and 64-bit from this one file). It answers the modem-line
 * and counter ioctls that a pty lacks, makes EV_RXCHAR edge-triggered (unless
 * the peer asks for wine's own level behaviour on a line), records
 * the line settings a pty hides, makes a port open once as on Windows, plays
 * "port in use", "port missing", "adapter pulled" (whose handles never work
 * again) and an error storm (a wrong baud rate), makes the
 * program's writes take the time a line at its baud rate takes, fails
 * the N-th use of a device call (and a count after it) on request, and
 * makes a program's open of a port take seconds.
 *
 * Processes and threads: the 32-bit wine program does the device calls (any
 * of its threads, notably wine's WaitCommEvent poll thread) on fds it gets
 * from wineserver over its socket; the 64-bit wineserver opens the device
 * path, once per CreateFile, after the program's thread in CreateFile has
 * looked the path up (and waited out a slow open there), and closes that fd
 * when the last handle on it closes; the Linux peer (tools/rig/peer.py)
 * drives the far end. They meet only in one shared file,
 * $COMRELAY_RIG_DIR/state, mapped by all of them: the peer writes the far-end
 * lines, error counters, the attach generation, the busy/absent/shared/
 * storm switches, the time an open takes and the lists of pulled devices
 * with their errno and mode; the program writes DTR/RTS, the
 * recorded c_cflag and custom rate, and adds to its read and purge counts
 * (and, in a storm, to the frame count) and to the use counts of the fault
 * records past the slots. Every field is an aligned 32-bit word, set with
 * atomic stores or atomic adds, so no lock spans processes. Per process are
 * the edge-trigger memory (under a spinlock) and the table of the process's
 * fds on rig devices: in wineserver, the fds it opened, which makes a second
 * open of a live device fail while one is open and a handle left on a device
 * pulled in "refused" mode keep its name from opening; in a program, the fds
 * it was passed, which read() and write() look at. The "TIOCINQ follows
 * TIOCMGET" and "tcsetattr calls since cfsetospeed" marks are per thread. */
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
#include <sys/socket.h>
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
    uint32_t vanished;           /* 56 the pull's errno while pulled; 0: no (peer only) */
    uint32_t cflag;              /* 60 c_cflag of SetCommState's line-control call */
    uint32_t cflag_seq;          /* 64 bumped after each record */
    uint32_t absent;             /* 68 no device: wineserver's open fails ENOENT */
    uint32_t flushes;            /* 72 input purges by the program (programs) */
    uint32_t generation;         /* 76 bumped by the peer at each attach */
    uint32_t level;              /* 80 EV_RXCHAR as wine raises it: while bytes wait */
    uint32_t paced;              /* 84 writes take the line's time at its rate (peer) */
    uint32_t slow_open;          /* 88 ms a program's open of the port takes (peer) */
    uint32_t share;              /* 92 a second open is let through, as wine does (peer) */
    uint32_t reserved[6];        /* to 120 */
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
_Static_assert(offsetof(struct rig_slot, share) == 92, "slot layout is shared with peer.py");
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
typedef int (*close_fn)(int);
typedef ssize_t (*recvmsg_fn)(int, struct msghdr*, int);

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
REAL(close_fn, close)
REAL(recvmsg_fn, recvmsg)
#if defined(__i386__)
REAL(recvmsg_fn, __recvmsg64)
#endif

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
 * all of wine's server calls. So the process keeps a table of its fds that
 * are rig devices, live or pulled, and read() and write() look only at those.
 * A program gets each device fd from wineserver over its socket (recvmsg), a
 * Linux program and wineserver itself by open(); close() forgets one. A
 * device fd that came another way (a dup) is still found by the calls that
 * always look (the modem ioctls, tcsetattr, tcflush). An entry is checked
 * with an fstat at each use, so one outliving a close the table did not see
 * does no harm. "opened" marks the fds this process opened itself: in
 * wineserver, one per CreateFile, closed when the last handle goes. Entries
 * are claimed and freed with atomic operations; two threads opening one
 * port at once are not told apart, and wineserver, the process that opens
 * ports, has one thread. */
#define RIG_FDS 64
struct rig_fd {
    int fd; /* -1 free, -2 being filled */
    int opened;
    uint64_t rdev;
};
static struct rig_fd rig_fds[RIG_FDS] = {[0 ... RIG_FDS - 1] = {.fd = -1}};
static int rig_fds_top; /* entries from here on were never used */

static int is_known_fd(int fd) {
    int top = LOAD(rig_fds_top);
    for (int k = 0; k < top; k++)
        if (LOAD(rig_fds[k].fd) == fd) return 1;
    return 0;
}

static void forget(int fd) {
    int top = LOAD(rig_fds_top);
    for (int k = 0; k < top; k++) {
        int expected = fd;
        __atomic_compare_exchange_n(&rig_fds[k].fd, &expected, -1, 0, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE);
    }
}

/* Records fd as a rig device; whether this process opened it. */
static int remember(int fd, uint64_t rdev, int opened) {
    int top = LOAD(rig_fds_top);
    for (int k = 0; k < top; k++)
        if (LOAD(rig_fds[k].fd) == fd) {
            struct rig_fd* e = &rig_fds[k];
            if (opened || e->rdev != rdev) { /* the number was closed behind the table's back */
                e->rdev = rdev;
                STORE(e->opened, opened);
            }
            return LOAD(e->opened);
        }
    for (int k = 0; k < RIG_FDS; k++) {
        int expected = -1;
        if (!__atomic_compare_exchange_n(&rig_fds[k].fd, &expected, -2, 0, __ATOMIC_ACQ_REL,
                                         __ATOMIC_ACQUIRE))
            continue;
        rig_fds[k].rdev = rdev;
        rig_fds[k].opened = opened;
        STORE(rig_fds[k].fd, fd);
        while (top < k + 1 && !__atomic_compare_exchange_n(&rig_fds_top, &top, k + 1, 0,
                                                           __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        }
        break;
    }
    return opened;
}

/* Whether this process holds an fd it opened on device rdev, other than
 * except. */
static int held_here(uint64_t rdev, int except) {
    int top = LOAD(rig_fds_top);
    for (int k = 0; k < top; k++) {
        int fd = LOAD(rig_fds[k].fd);
        if (fd < 0 || fd == except || !LOAD(rig_fds[k].opened) || rig_fds[k].rdev != rdev) continue;
        struct stat64 sb;
        if (fstat64(fd, &sb) == 0 && (uint64_t)sb.st_rdev == rdev) return 1;
        forget(fd);
    }
    return 0;
}

static int any_flag(struct rig_state* st, size_t offset) {
    for (int i = 0; i < RIG_SLOTS; i++)
        if (LOAD(*(uint32_t*)((char*)&st->slot[i] + offset))) return 1;
    return 0;
}

/* ---- pulled adapters ----------------------------------------------------- */

/* A pulled USB adapter's handles never work again: their calls fail with
 * the driver's code for as long as they stay open, also after an adapter is
 * plugged in again under the name (a new device). So the peer lists each
 * pulled device per slot, with that errno and the pull's mode, past the
 * slots at DEAD_BASE; peer.py packs the same offsets. The peer writes an
 * entry's errno and mode before its device number (low word last), and
 * clears the number when the kernel gives it to a new line of the rig: by
 * then no fd on the pulled device is left. An entry is never reused while
 * the list has room; when full, the oldest goes. */
#define DEAD_BASE 2048
#define DEAD_PER_SLOT 8

enum pull_mode {
    PULL_GONE,   /* the name is gone until the plug */
    PULL_OPENS,  /* the name still opens, on the pulled device */
    PULL_REFUSED /* opens of the name fail EACCES while a handle on it is open */
};

struct rig_dead {
    uint32_t rdev_lo, rdev_hi; /* 0 = free */
    uint32_t err;
    uint32_t mode; /* enum pull_mode */
};

struct rig_deads {
    struct rig_dead slot[RIG_SLOTS][DEAD_PER_SLOT];
};

_Static_assert(sizeof(struct rig_dead) == 16, "dead list layout is shared with peer.py");
_Static_assert(offsetof(struct rig_dead, err) == 8 && offsetof(struct rig_dead, mode) == 12,
               "dead list layout is shared with peer.py");
_Static_assert(DEAD_BASE + sizeof(struct rig_deads) <= RIG_FILE_SIZE,
               "the dead lists fit the file");

static struct rig_dead* dead_list(struct rig_state* st, int i) {
    return ((struct rig_deads*)((char*)st + DEAD_BASE))->slot[i];
}

static uint64_t dead_rdev(struct rig_dead* d) {
    return (uint64_t)LOAD(d->rdev_hi) << 32 | LOAD(d->rdev_lo);
}

/* The errno of a pulled device's handles, or 0. */
static int dead_errno(struct rig_state* st, uint64_t rdev) {
    for (int i = 0; i < RIG_SLOTS; i++)
        for (int k = 0; k < DEAD_PER_SLOT; k++)
            if (dead_rdev(&dead_list(st, i)[k]) == rdev) return (int)LOAD(dead_list(st, i)[k].err);
    return 0;
}

/* The slot of fd's device while it is live, else -1; *dead is the errno
 * with which a program's calls on a pulled device fail, else 0. wineserver's
 * own fds are left alone: it looks at the device at each open (tcgetattr,
 * which decides that the handle is a port), and in "opens" mode a pulled
 * device must still open as a port. */
static int slot_of_fd(struct rig_state* st, int fd, int* dead) {
    *dead = 0;
    struct stat64 sb;
    uint64_t rdev = fstat64(fd, &sb) == 0 && S_ISCHR(sb.st_mode) ? (uint64_t)sb.st_rdev : 0;
    int err = rdev ? dead_errno(st, rdev) : 0;
    int i = slot_of_rdev(st, rdev);
    if (i < 0 && !err) {
        forget(fd); /* a number the table kept past a close it did not see */
        return -1;
    }
    int opened = remember(fd, rdev, 0);
    if (!err) return i;
    if (!opened) *dead = err;
    return -1;
}

/* Declares i, the slot of fd's live device (-1: none), for a device call
 * that the rig fails when fd is a pulled device's or a fault is due. Only
 * known fds are looked at, unless faults are active. */
#define DEVICE_CALL(st, fd, i, call)                                                               \
    int i = -1;                                                                                    \
    if ((st) && (is_known_fd(fd) || faults_active(st))) {                                          \
        int gone;                                                                                  \
        i = slot_of_fd((st), (fd), &gone);                                                         \
        if (gone) {                                                                                \
            errno = gone;                                                                          \
            return -1;                                                                             \
        }                                                                                          \
        if (faults_active(st)) FAIL_IF_INJECTED((st), i, (call));                                  \
    }

/* A pulled device's errno: fails the calling function with it. */
#define FAIL_IF_DEAD(dead)                                                                         \
    do {                                                                                           \
        if (dead) {                                                                                \
            errno = (dead);                                                                        \
            return -1;                                                                             \
        }                                                                                          \
    } while (0)

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
                   FAULT_BASE + sizeof(struct rig_faults) <= DEAD_BASE,
               "the fault records lie between the slots and the dead lists");

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

static int serial_info(unsigned long req, void* arg) {
    struct serial_struct* info = arg;
    if (!info) {
        errno = EFAULT;
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
    int dead;
    if (req == TIOCGSERIAL || req == TIOCSSERIAL) {
        int i = slot_of_fd(st, fd, &dead);
        FAIL_IF_DEAD(dead);
        int r = real(fd, req, arg);
        if (i >= 0 && r != 0 && (errno == ENOTTY || errno == EINVAL || errno == 515))
            r = serial_info(req, arg);
        return r;
    }

    int ours = req == TIOCMGET || req == TIOCMSET || req == TIOCMBIS || req == TIOCMBIC ||
               req == TIOCGICOUNT || req == TIOCINQ;
    int call = faults_active(st) ? ioctl_call(req) : CALL_NONE;
    if (!ours && !call && !is_known_fd(fd)) return real(fd, req, arg);
    int i = slot_of_fd(st, fd, &dead);
    FAIL_IF_DEAD(dead);
    if (i < 0) return real(fd, req, arg);
    struct rig_slot* s = &st->slot[i];
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
    int dead = 0, i = st ? slot_of_fd(st, fd, &dead) : -1;
    FAIL_IF_DEAD(dead);
    if (i >= 0) {
        struct rig_slot* s = &st->slot[i];
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
int tcgetattr(int fd, struct termios* t) {
    static int (*real)(int, struct termios*);
    if (!real) real = (int (*)(int, struct termios*))next_symbol("tcgetattr");
    struct rig_state* st = state();
    DEVICE_CALL(st, fd, i, CALL_TCGETATTR);
    (void)i;
    return real(fd, t);
}

int tcflush(int fd, int queue) {
    static int (*real)(int, int);
    if (!real) real = (int (*)(int, int))next_symbol("tcflush");
    struct rig_state* st = state();
    int dead = 0, i = st ? slot_of_fd(st, fd, &dead) : -1;
    FAIL_IF_DEAD(dead);
    if (i < 0) return real(fd, queue);
    if (faults_active(st)) FAIL_IF_INJECTED(st, i, CALL_TCFLUSH);
    int r = real(fd, queue);
    if (r == 0 && (queue == TCIFLUSH || queue == TCIOFLUSH))
        __atomic_fetch_add(&st->slot[i].flushes, 1, __ATOMIC_ACQ_REL);
    return r;
}

int tcdrain(int fd) {
    static int (*real)(int);
    if (!real) real = (int (*)(int))next_symbol("tcdrain");
    struct rig_state* st = state();
    DEVICE_CALL(st, fd, i, CALL_NONE);
    (void)i;
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
    } rates[] = {{B50, 50},          {B75, 75},         {B110, 110},         {B134, 134},
                 {B150, 150},        {B200, 200},       {B300, 300},         {B600, 600},
                 {B1200, 1200},      {B1800, 1800},     {B2400, 2400},       {B4800, 4800},
                 {B9600, 9600},      {B19200, 19200},   {B38400, 38400},     {B57600, 57600},
                 {B115200, 115200},  {B230400, 230400}, {B460800, 460800},   {B500000, 500000},
                 {B576000, 576000},  {B921600, 921600}, {B1000000, 1000000}, {B2000000, 2000000},
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
    unsigned data = (line & CSIZE) == CS5   ? 5
                    : (line & CSIZE) == CS6 ? 6
                    : (line & CSIZE) == CS7 ? 7
                                            : 8;
    unsigned bits = 1 + data + ((line & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
    return (uint64_t)bits * 1000000000ull / rate;
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
    DEVICE_CALL(st, fd, i, CALL_READ);
    ssize_t r = real_read()(fd, buf, n);
    if (r > 0 && i >= 0) __atomic_fetch_add(&st->slot[i].consumed, (uint32_t)r, __ATOMIC_ACQ_REL);
    return r;
}

ssize_t write(int fd, const void* buf, size_t n) {
    struct rig_state* st = state();
    DEVICE_CALL(st, fd, i, CALL_WRITE);
    if (i >= 0 && LOAD(st->slot[i].paced)) return paced_write(&st->slot[i], i, fd, buf, n);
    return real_write()(fd, (void*)buf, n);
}

/* ---- where a program's device fds come from -------------------------------- */

/* A wine program gets each handle's fd from wineserver as SCM_RIGHTS, and
 * its first call on it may be a read: learn the rig's among them here.
 * Wine's 32-bit ntdll calls glibc's time64 entry point. */
static ssize_t learn_passed_fds(ssize_t r, struct msghdr* msg) {
    struct rig_state* st = r >= 0 && msg && msg->msg_controllen ? state() : NULL;
    if (!st) return r;
    int saved = errno;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t k = 0; k < count; k++) {
            int fd, dead;
            memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof fd);
            slot_of_fd(st, fd, &dead);
        }
    }
    errno = saved;
    return r;
}

ssize_t recvmsg(int s, struct msghdr* msg, int flags) {
    return learn_passed_fds(real_recvmsg()(s, msg, flags), msg);
}

#if defined(__i386__)
ssize_t __recvmsg64(int s, struct msghdr* msg, int flags) {
    recvmsg_fn real = real___recvmsg64();
    return learn_passed_fds((real ? real : real_recvmsg())(s, msg, flags), msg);
}
#endif

int close(int fd) {
    forget(fd);
    return real_close()(fd);
}

/* ---- open: a port in use, a port missing ------------------------------- */

/* The 64-bit wineserver opens the device through dosdevices/comN, once per
 * CreateFile, and closes that fd when the last handle on it is closed (a
 * DuplicateHandle opens nothing). Wine lets a tty be opened again while it
 * is open; Windows gives a COM port to one handle at a time, whoever asks.
 * So a second open of a live device fails with EACCES (ERROR_ACCESS_DENIED)
 * while this process holds one, unless the peer lets the line be shared.
 * A pulled device is not exclusive: in "opens" mode its name keeps opening
 * it. In "refused" mode a handle still open on it keeps its name from
 * opening, the next adapter's too, as a dead handle on Windows can.
 *
 * "In use" is also played on request (busy): EACCES. A missing port cannot be a missing link:
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

/* Whether this process holds a handle on a device pulled from slot i in
 * "refused" mode. */
static int held_refusing(struct rig_state* st, int i) {
    for (int k = 0; k < DEAD_PER_SLOT; k++) {
        struct rig_dead* d = &dead_list(st, i)[k];
        uint64_t rdev = dead_rdev(d);
        if (rdev && LOAD(d->mode) == PULL_REFUSED && held_here(rdev, -1)) return 1;
    }
    return 0;
}

static int refused_open(const char* path) {
    struct rig_state* st = state();
    if (!st || !path) return 0;
    int named = slot_of_name(path);
    if (named >= 0 && held_refusing(st, named)) return EACCES;
    int busy = any_flag(st, offsetof(struct rig_slot, busy));
    if (!busy && !any_flag(st, offsetof(struct rig_slot, absent))) return 0;
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

/* The fd of an open that succeeded, or -1 with EACCES when it is a second
 * one of a live device that is not shared. */
static int claim_open(int fd, int flags) {
    struct rig_state* st = fd >= 0 && !(flags & O_PATH) ? state() : NULL;
    struct stat64 sb;
    if (!st || fstat64(fd, &sb) != 0 || !S_ISCHR(sb.st_mode)) return fd;
    uint64_t rdev = (uint64_t)sb.st_rdev;
    int i = slot_of_rdev(st, rdev), dead = dead_errno(st, rdev);
    if (i < 0 && !dead) return fd;
    if (!dead && !LOAD(st->slot[i].share) && held_here(rdev, fd)) {
        real_close()(fd);
        errno = EACCES;
        return -1;
    }
    remember(fd, rdev, 1);
    return fd;
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
    return claim_open(real(__VA_ARGS__, flags | ttyless(), mode), flags);

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
