/* dev.cpp - vorlenlib's devices: proxies armed on descriptors, dev_read, dev_mode, dev_info, ... */
/* A process that arms a proxy gets one thread of the library's own, which
 * polls the armed descriptors and triggers their proxies. The thread blocks
 * every signal, so handlers keep running where the program's calls expect
 * them, and it writes its triggers with _qnx_trigger_from_thread: never
 * answered, never in the middle of a request, never in the way of the
 * program's own calls. The proxies arrive in the program's Receive like any
 * other. */
#include "../core.h"

#include "qnx/sys/dev.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

/* The events in the order of Arm::proxy, with the poll bits that make them
 * ready and the poll bits asked for to see them. */
struct EventBits {
    unsigned event;
    short ready;
    short asked;
};
constexpr EventBits EVENTS[] = {
    {_DEV_EVENT_INPUT, POLLIN | POLLHUP | POLLERR, POLLIN},
    {_DEV_EVENT_OUTPUT, POLLOUT | POLLERR, POLLOUT},
    {_DEV_EVENT_HANGUP, POLLHUP, 0},
    {_DEV_EVENT_EXRDY, POLLPRI, POLLPRI},
};
constexpr unsigned ALL_EVENTS =
    _DEV_EVENT_INPUT | _DEV_EVENT_OUTPUT | _DEV_EVENT_HANGUP | _DEV_EVENT_EXRDY;
constexpr size_t NEVENTS = std::size(EVENTS);

/* One armed descriptor: the proxy of each event (the wire's id), 0 when the
 * event is not armed. */
struct Arm {
    int fd;
    pid_t proxy[NEVENTS];
    bool empty() const {
        return std::all_of(std::begin(proxy), std::end(proxy), [](pid_t p) { return p == 0; });
    }
};

/* The armed descriptors, the eventfd that tells the thread they changed, and
 * whether the thread runs, all under table_lock. The table is never
 * destroyed: the thread may still look at it while the process exits. */
pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
std::vector<Arm> &arms = *new std::vector<Arm>;
int wake_fd = -1;
bool thread_running = false;
bool fork_registered = false;

/* Locked holds table_lock for its life. */
struct Locked {
    Locked() { pthread_mutex_lock(&table_lock); }
    ~Locked() { pthread_mutex_unlock(&table_lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

/* forked_child runs in the child of a fork: it has no thread, so it starts
 * with no arms, and its first dev_arm starts a thread of its own. The
 * thread may have held the lock at the fork; the child has no other thread
 * to release it. */
void forked_child() {
    pthread_mutex_init(&table_lock, nullptr);
    arms.clear();
    if (wake_fd != -1) close(wake_fd);
    wake_fd = -1;
    thread_running = false;
}

/* ready_events gives the events that poll's revents make ready. */
unsigned ready_events(short revents) {
    unsigned ready = 0;
    for (const EventBits &e : EVENTS)
        if (revents & e.ready) ready |= e.event;
    return ready;
}

/* fire triggers, once each, the proxies of the events of arm that revents
 * made ready, and disarms every event armed with such a proxy. A hangup or
 * an error fires every event: poll reports them whatever was asked, for as
 * long as the descriptor is open, and a read or write returns at once then.
 * table_lock is held, so that a proxy that dev_arm has disarmed is never
 * triggered after it returned. */
void fire(Arm &arm, short revents) {
    const bool broken = revents & (POLLHUP | POLLERR);
    for (size_t i = 0; i < NEVENTS; i++) {
        const pid_t proxy = arm.proxy[i];
        if (proxy == 0 || !(broken || (revents & EVENTS[i].ready))) continue;
        for (pid_t &p : arm.proxy)
            if (p == proxy) p = 0;
        /* A failure means the connection is gone, and the proxy with it. */
        _qnx_trigger_from_thread(proxy);
    }
}

/* device_thread polls the armed descriptors and the wake-up eventfd until
 * the process ends. */
void *device_thread(void *) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, pollfd{wake_fd, POLLIN, 0});
        {
            Locked lock;
            for (const Arm &arm : arms) {
                short asked = 0;
                for (size_t i = 0; i < NEVENTS; i++)
                    if (arm.proxy[i] != 0) asked |= EVENTS[i].asked;
                fds.push_back({arm.fd, asked, 0});
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents) {
            /* Resets the count; it cannot fail once poll found it set. */
            uint64_t changes;
            ssize_t got = read(wake_fd, &changes, sizeof changes);
            (void)got;
        }
        Locked lock;
        for (size_t i = 1; i < fds.size(); i++) {
            if (fds[i].revents == 0) continue;
            /* The table may have changed since the poll began: only what is
             * armed now is fired. */
            auto arm = std::find_if(arms.begin(), arms.end(),
                                    [&](const Arm &a) { return a.fd == fds[i].fd; });
            if (arm == arms.end()) continue;
            if (fds[i].revents & POLLNVAL) {
                arms.erase(arm); /* closed: nothing will ever happen on it */
                continue;
            }
            fire(*arm, fds[i].revents);
            if (arm->empty()) arms.erase(arm);
        }
    }
    return nullptr;
}

/* start_thread starts the device thread with every signal blocked, if it
 * does not run yet; table_lock is held. Returns 0, or -1 with errno EAGAIN. */
int start_thread() {
    if (thread_running) return 0;
    if (!fork_registered) fork_registered = pthread_atfork(nullptr, nullptr, forked_child) == 0;
    if (wake_fd == -1) wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd == -1) {
        errno = EAGAIN;
        return -1;
    }
    sigset_t all, caller;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &caller);
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&thread, &attr, device_thread, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &caller, nullptr);
    if (rc != 0) {
        errno = EAGAIN;
        return -1;
    }
    thread_running = true;
    return 0;
}

/* wake tells the thread that the table changed. */
void wake() {
    uint64_t one = 1;
    ssize_t put = write(wake_fd, &one, sizeof one);
    (void)put; /* fails only when the count is full, and that wakes the thread too */
}

/* copy_text copies src into dest of size bytes, cut short where it does not
 * fit. */
void copy_text(char *dest, size_t size, const char *src) {
    size_t n = strnlen(src, size - 1);
    memcpy(dest, src, n);
    dest[n] = '\0';
}

/* now_ms is the monotonic clock in milliseconds. */
long long now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

/* read_there reads what fd holds now into buf, at most n bytes, without
 * waiting: only as many as FIONREAD says are there, so that a terminal's own
 * MIN and TIME never hold the read back. A descriptor that is readable with
 * nothing to read is at its end, and the read that tells so consumes the
 * end-of-file mark. Returns the count, -1 with errno, or sets eof. */
ssize_t read_there(int fd, char *buf, size_t n, bool &eof) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) < 0) return -1;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) return 0;
    int there = 0;
    if (ioctl(fd, FIONREAD, &there) == 0 && there > 0) n = std::min(n, size_t(there));
    ssize_t got = read(fd, buf, n);
    if (got == 0) eof = true;
    return got;
}

} // namespace

extern "C" {

/* dev_arm, with the wire's proxy ids (the QNX 4 face translates), records
 * the arm and wakes the thread, starting it first if need be. Fails with
 * EBADF, EINVAL, ESRCH or EAGAIN, as <sys/dev.h> says, changing nothing. */
int dev_arm(int fd, pid_t proxy, unsigned events) {
    if (fcntl(fd, F_GETFD) < 0) return -1;
    if (events & ~ALL_EVENTS) {
        errno = EINVAL;
        return -1;
    }
    if (proxy != _DEV_DISARM && !VORLEN_IS_PROXY_ID(proxy)) {
        errno = ESRCH;
        return -1;
    }
    if (proxy != _DEV_DISARM) _qnx_open();
    Locked lock;
    auto arm = std::find_if(arms.begin(), arms.end(), [fd](const Arm &a) { return a.fd == fd; });
    if (proxy == _DEV_DISARM) {
        if (arm == arms.end()) return 0;
        for (size_t i = 0; i < NEVENTS; i++)
            if (events & EVENTS[i].event) arm->proxy[i] = 0;
        if (arm->empty()) arms.erase(arm);
        return 0; /* the thread stops watching at its next wake-up */
    }
    if (events == 0) return 0;
    if (start_thread() != 0) return -1;
    if (arm == arms.end()) arm = arms.insert(arms.end(), Arm{fd, {}});
    for (size_t i = 0; i < NEVENTS; i++)
        if (events & EVENTS[i].event) arm->proxy[i] = proxy;
    wake();
    return 0;
}

/* dev_read, with the wire's proxy ids, waits in poll and reads only what
 * is there each time (see read_there). Fails as read or dev_arm does, or
 * with EINTR when a signal came before any byte. */
int dev_read(int fd, void *buf, unsigned n, unsigned minimum, unsigned time, unsigned timeout,
             pid_t proxy, int *armed) {
    if (armed) *armed = 0;
    char *out = static_cast<char *>(buf);
    const size_t want = std::min(minimum, n);
    const long long start = now_ms();
    long long last = start; /* when the last byte came */
    size_t got = 0;
    bool eof = false;
    for (;;) {
        ssize_t r = read_there(fd, out + got, n - got, eof);
        if (r < 0) return got > 0 ? static_cast<int>(got) : -1;
        if (r > 0) last = now_ms();
        got += static_cast<size_t>(r);
        if (got == n || eof) return static_cast<int>(got);
        if (proxy != 0) {
            if (got > 0 && got >= want) return static_cast<int>(got);
            if (dev_arm(fd, proxy, _DEV_EVENT_INPUT) != 0)
                return got > 0 ? static_cast<int>(got) : -1;
            if (armed) *armed = 1;
            return static_cast<int>(got);
        }
        if (minimum == 0 && time == 0 && timeout == 0) return static_cast<int>(got);
        if (got > 0 && got >= want) return static_cast<int>(got);
        /* The earliest of the limits that run. */
        long long deadline = -1;
        if (timeout != 0) deadline = start + timeout * 100LL;
        if (time != 0 && (minimum == 0 || got > 0)) {
            long long after_last = last + time * 100LL;
            deadline = deadline < 0 ? after_last : std::min(deadline, after_last);
        }
        int wait_ms = -1;
        if (deadline >= 0) {
            long long left = deadline - now_ms();
            if (left <= 0) return static_cast<int>(got);
            wait_ms = static_cast<int>(std::min(left, 1000000LL));
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) < 0) {
            if (errno == EINTR && got > 0) return static_cast<int>(got);
            return -1;
        }
    }
}

/* dev_mode maps QNX 4's modes onto termios flags. Fails as tcgetattr or
 * tcsetattr does. */
int dev_mode(int fd, unsigned mask, unsigned mode) {
    struct Mode {
        unsigned bit;
        tcflag_t termios::*field;
        tcflag_t flag;
    };
    static constexpr Mode MODES[] = {
        {_DEV_ECHO, &termios::c_lflag, ECHO},   {_DEV_EDIT, &termios::c_lflag, ICANON},
        {_DEV_ISIG, &termios::c_lflag, ISIG},   {_DEV_OPOST, &termios::c_oflag, OPOST},
        {_DEV_OSFLOW, &termios::c_iflag, IXON},
    };
    termios t;
    if (tcgetattr(fd, &t) != 0) return -1;
    unsigned old = 0;
    for (const Mode &m : MODES)
        if (t.*m.field & m.flag) old |= m.bit;
    if ((mask & _DEV_MODES) == 0) return static_cast<int>(old);
    for (const Mode &m : MODES) {
        if (!(mask & m.bit)) continue;
        if (mode & m.bit)
            t.*m.field |= m.flag;
        else
            t.*m.field &= ~m.flag;
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) return -1;
    return static_cast<int>(old);
}

/* dev_info fills info as far as the host tells. Fails with EBADF, or
 * ENOTTY for anything but a terminal with a name in /dev. */
int dev_info(int fd, struct _dev_info_entry *info) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    char name[256];
    if (ttyname_r(fd, name, sizeof name) != 0) {
        errno = ENOTTY; /* also for a terminal whose name is not in /dev */
        return -1;
    }
    memset(info, 0, sizeof *info);
    info->nid = getnid();
    info->tty = static_cast<int>(minor(st.st_rdev));
    info->major = static_cast<int>(major(st.st_rdev));
    copy_text(info->tty_name, sizeof info->tty_name, name);
    const char *digits = name + strlen(name);
    while (digits > name && digits[-1] >= '0' && digits[-1] <= '9') digits--;
    info->unit = atoi(digits);
    pid_t group = tcgetpgrp(fd);
    info->pgrp = group > 0 ? group : 0;
    /* The host's driver of the device: the line of /proc/tty/drivers whose
     * major number and minor range hold it. */
    copy_text(info->driver_type, sizeof info->driver_type, "tty");
    if (FILE *drivers = fopen("/proc/tty/drivers", "re")) {
        char line[256], driver[64], node[64], minors[64];
        unsigned maj, lo, hi;
        while (fgets(line, sizeof line, drivers)) {
            if (sscanf(line, "%63s %63s %u %63s", driver, node, &maj, minors) != 4) continue;
            int ranges = sscanf(minors, "%u-%u", &lo, &hi);
            if (ranges == 1) hi = lo;
            if (ranges < 1 || maj != major(st.st_rdev) || minor(st.st_rdev) < lo ||
                minor(st.st_rdev) > hi)
                continue;
            copy_text(info->driver_type, sizeof info->driver_type, driver);
            break;
        }
        fclose(drivers);
    }
    return 0;
}

/* dev_state asks poll without waiting. Fails with EBADF. */
int dev_state(int fd, unsigned bits, unsigned mask) {
    (void)bits;
    (void)mask;
    pollfd p{fd, POLLIN | POLLOUT | POLLPRI, 0};
    if (poll(&p, 1, 0) < 0) return -1;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(ready_events(p.revents));
}

} // extern "C"
