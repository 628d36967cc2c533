/* poll.cpp - the loop's event layer: epoll for the sockets, a timerfd for the next deadline */
#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "vorleni.h"

static int epfd = -1;
static int tfd = -1;

/* What an event's descriptor is: the high half of the event's data marks a
 * pidfd, whose readiness means its process has exited, never a request. */
constexpr uint64_t TAG_PROCESS = uint64_t(1) << 32;

/* sockinit creates the event set and the deadline timer; -1 on failure. */
int sockinit() {
    epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) return -1;
    /* A timerfd on the monotonic clock wakes the loop for the earliest timer
     * with nanosecond resolution; epoll's own timeout counts milliseconds. */
    tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (tfd < 0) return -1;
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = uint64_t(uint32_t(tfd));
    return epoll_ctl(epfd, EPOLL_CTL_ADD, tfd, &ev);
}

/* sockwant sets which events of fd the loop waits for; a socket not yet in
 * the set is added. Returns -1 when the kernel refuses. */
int sockwant(int fd, bool readable, bool writable) {
    struct epoll_event ev = {};
    ev.events = (readable ? EPOLLIN : 0u) | (writable ? EPOLLOUT : 0u);
    ev.data.u64 = uint64_t(uint32_t(fd));
    if (epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
    if (errno == ENOENT) return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
    return -1;
}

/* sockadd adds fd, a new connection, to the set, waiting for it to be readable. */
int sockadd(int fd) {
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = uint64_t(uint32_t(fd));
    return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
}

/* sockwatch_process adds pidfd, a process's pidfd, to the set: socknext
 * reports it, marked as a process, once that process has exited. Returns -1
 * when the kernel refuses; the sweep then finds the process gone later. */
int sockwatch_process(int pidfd) {
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = uint64_t(uint32_t(pidfd)) | TAG_PROCESS;
    return epoll_ctl(epfd, EPOLL_CTL_ADD, pidfd, &ev);
}

/* sockforget removes fd from the set (before it is closed). */
void sockforget(int fd) {
    epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
}

bool sockis_timer(int fd) {
    return fd == tfd;
}

/* sockdeadline arms the wake-up for a moment on the monotonic clock. The
 * timer is only set again when the moment comes sooner, or the one it is
 * set for has passed: a later moment keeps the earlier wake-up, after which
 * the loop asks again (a link's next heartbeat moves on with every byte it
 * reads, and must not cost a system call each time). */
static struct timeval armed = {-1, -1}; /* the moment the timer is set for */

void sockdeadline(const struct timeval *mono_deadline) {
    if (armed.tv_sec == mono_deadline->tv_sec && armed.tv_usec == mono_deadline->tv_usec) return;
    if (armed.tv_sec >= 0 && tv_le(armed, *mono_deadline) &&
        !tv_le(armed, now_clock(CLOCK_MONOTONIC)))
        return;
    armed = *mono_deadline;
    struct itimerspec its = {};
    its.it_value.tv_sec = mono_deadline->tv_sec;
    its.it_value.tv_nsec = long(mono_deadline->tv_usec) * 1000;
    /* A zero it_value would disarm the timer; the epoch of the monotonic
     * clock is long past, so one nanosecond means "now". */
    if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
    timerfd_settime(tfd, TFD_TIMER_ABSTIME, &its, nullptr);
}

/* socknext waits until a socket is ready or the deadline comes, at most
 * wait_ms milliseconds (-1: no bound), and returns the number of events
 * stored in evs (0 on interruption or when the time is up). */
int socknext(SOCKEV *evs, int maxevs, int wait_ms) {
    struct epoll_event ee[256];
    if (maxevs > 256) maxevs = 256;
    int n = epoll_wait(epfd, ee, maxevs, wait_ms);
    if (n < 0) return 0;
    int k = 0;
    for (int i = 0; i < n; i++) {
        int fd = int(uint32_t(ee[i].data.u64));
        if (fd == tfd && !(ee[i].data.u64 & TAG_PROCESS)) {
            uint64_t expirations;
            ssize_t r = read(tfd, &expirations, sizeof expirations);
            (void)r;
            armed = {-1, -1}; /* it has fired and must be set again */
            continue;
        }
        evs[k].fd = fd;
        evs[k].process = (ee[i].data.u64 & TAG_PROCESS) != 0;
        evs[k].readable = (ee[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
        evs[k].writable = (ee[i].events & EPOLLOUT) != 0;
        k++;
    }
    return k;
}
