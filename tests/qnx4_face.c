/* qnx4_face.c - a QNX 4 program's view of the library: each case checks one QNX 4 behaviour */
/* Built as old C with the QNX 4 header names only, as a ported program is.
 * `qnx4_face CASE` runs one case against the daemon of VORLEN_PORT and exits
 * 0 when the library behaved as QNX 4 does; otherwise it prints what it saw
 * and exits 1. */
#define _GNU_SOURCE /* posix_openpt and the rest of the host's pseudo-terminal calls */
#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <env.h>
#include <i86.h>
#include <process.h>
#include <sys/console.h>
#include <sys/dev.h>
#include <sys/kernel.h>
#include <sys/name.h>
#include <sys/osinfo.h>
#include <sys/proxy.h>
#include <sys/psinfo.h>
#include <sys/qioctl.h>
#include <sys/qnxterm.h>
#include <sys/sched.h>
#include <sys/sidinfo.h>
#include <sys/timers.h>
#include <sys/vc.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            printf("%s:%d: %s (errno %d: %s)\n", __FILE__, __LINE__, #cond, errno,                 \
                   strerror(errno));                                                               \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

/* Reply and Replymx report a failure as -1 with errno, as QNX 4's do. */
static void reply_reports_errno(void) {
    _MXFER_ENTRY mx;
    char c = 0;
    _setmx(&mx, &c, 1);
    errno = 0;
    CHECK(Reply(getpid(), "x", 1) == -1 && errno == ESRCH);
    errno = 0;
    CHECK(Replymx(getpid(), 1, &mx) == -1 && errno == ESRCH);
}

/* A proxy id is positive and never a process's; a proxy triggered three times
 * before it is received is received three times. */
static void proxy_counts_triggers(void) {
    char buf[16];
    pid_t proxy = qnx_proxy_attach(0, "tick", 5, -1);
    int i;
    CHECK(proxy > 0 && kill(proxy, 0) == -1 && errno == ESRCH);
    for (i = 0; i < 3; i++) CHECK(Trigger(proxy) == 0);
    for (i = 0; i < 3; i++) {
        memset(buf, 0, sizeof buf);
        CHECK(Creceive(0, buf, sizeof buf) == proxy && strcmp(buf, "tick") == 0);
    }
    errno = 0;
    CHECK(Creceive(0, buf, sizeof buf) == -1 && errno == ENOMSG);
    CHECK(qnx_proxy_detach(proxy) == 0);
}

static void set_time(struct itimerspec *t, long sec, long nsec) {
    memset(t, 0, sizeof *t);
    t->it_value.tv_sec = sec;
    t->it_value.tv_nsec = nsec;
}

/* A zero it_value disarms a timer, and ovalue tells the time that was left. */
static void zero_value_disarms(void) {
    struct itimercb cb;
    struct itimerspec value, old;
    char buf[8];
    timer_t id;
    pid_t proxy = qnx_proxy_attach(0, NULL, 0, -1);
    CHECK(proxy != -1);
    cb.itcb_event.evt_value = proxy;
    cb.itcb_count = 0;
    id = mktimer(TIMEOFDAY, _TNOTIFY_PROXY, &cb);
    CHECK(id != -1);

    set_time(&value, 10, 0);
    value.it_interval.tv_sec = 3;
    CHECK(reltimer(id, &value, NULL) == 0);
    set_time(&value, 0, 0);
    CHECK(reltimer(id, &value, &old) == 0);
    CHECK(old.it_value.tv_sec == 9); /* 9.99... s: time has passed since it was armed */
    CHECK(old.it_interval.tv_sec == 3);
    /* Not armed now: asked again, nothing is left. */
    CHECK(reltimer(id, &value, &old) == 0);
    CHECK(old.it_value.tv_sec == 0 && old.it_value.tv_nsec == 0);

    /* The timer names its proxy by the QNX 4 id. */
    set_time(&value, 0, 1000000);
    CHECK(reltimer(id, &value, NULL) == 0);
    CHECK(Receive(proxy, buf, sizeof buf) == proxy);

    /* Armed for 20 ms and disarmed at once, it never fires. */
    set_time(&value, 0, 20000000);
    CHECK(reltimer(id, &value, NULL) == 0);
    set_time(&value, 0, 0);
    CHECK(reltimer(id, &value, NULL) == 0);
    delay(100);
    errno = 0;
    CHECK(Creceive(proxy, buf, sizeof buf) == -1 && errno == ENOMSG);
    CHECK(rmtimer(id) == 0);
    CHECK(qnx_proxy_detach(proxy) == 0);
}

static int sig_pipe[2];
static volatile sig_atomic_t alarms = 0;

/* on_alarm tells the server that the signal has come (write is safe here). */
static void on_alarm(int sig) {
    (void)sig;
    alarms++;
    if (write(sig_pipe[1], "s", 1) < 0) alarms += 100;
}

/* wait_byte reads the pipe until byte want comes, for at most 5 s. */
static void wait_byte(char want) {
    struct pollfd p;
    char c = 0;
    p.fd = sig_pipe[0];
    p.events = POLLIN;
    while (c != want) {
        p.revents = 0;
        if (poll(&p, 1, 5000) != 1 || read(sig_pipe[0], &c, 1) != 1) return;
    }
}

/* serve_one receives one message, has a signal sent to its sender, which is
 * certainly waiting for the reply then, and replies once the sender's handler
 * has run (with sigcatch) or its Send has returned (without). It exits 0 when
 * the Reply's result is the one expected. */
static int serve_one(int sigcatch) {
    char buf[16];
    pid_t client;
    int rc;
    if (sigcatch && qnx_pflags(_PPF_SIGCATCH, _PPF_SIGCATCH, NULL, NULL) != 0) return 2;
    client = Receive(0, buf, sizeof buf);
    if (client <= 0) return 3;
    kill(getppid(), SIGALRM);
    wait_byte(sigcatch ? 's' : 'g');
    errno = 0;
    rc = Reply(client, "done", 5);
    if (sigcatch) return rc == 0 ? 0 : 4;
    return rc == -1 && errno == ESRCH ? 0 : 5;
}

/* A caught signal breaks off a Send waiting for its reply, unless the server
 * asked for _PPF_SIGCATCH; the server's Reply then finds nobody. */
static void signal_breaks_reply_wait(int sigcatch) {
    struct sigaction sa;
    char reply[16];
    pid_t server;
    int rc, status = -1;

    CHECK(pipe(sig_pipe) == 0);
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    fflush(NULL);
    server = fork();
    if (server == 0) _exit(serve_one(sigcatch));
    memset(reply, 0, sizeof reply);
    errno = 0;
    rc = Send(server, "hello", reply, 6, sizeof reply);
    if (sigcatch) {
        CHECK(rc == 0 && strcmp(reply, "done") == 0 && alarms == 1);
    } else {
        CHECK(rc == -1 && errno == EINTR && alarms == 1);
        CHECK(write(sig_pipe[1], "g", 1) == 1);
    }
    CHECK(waitpid(server, &status, 0) == server);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/* POSIX timers as QNX 4 wrote them: timer_create returns the id and takes a
 * signal or a proxy (negated) in sigev_signo. */
static void posix_timers(void) {
    struct sigevent ev;
    struct itimerspec v, o;
    struct sigaction sa;
    char buf[8];
    timer_t t;
    int i;
    pid_t proxy = qnx_proxy_attach(0, NULL, 0, -1);
    memset(&ev, 0, sizeof ev);
    ev.sigev_signo = -proxy;
    t = timer_create(CLOCK_REALTIME, &ev);
    CHECK(t > 0);

    set_time(&v, 10, 0);
    v.it_interval.tv_sec = 2;
    CHECK(timer_settime(t, 0, &v, NULL) == 0);
    CHECK(timer_gettime(t, &o) == 0 && o.it_value.tv_sec == 9 && o.it_interval.tv_sec == 2);
    set_time(&v, 5, 0);
    CHECK(timer_settime(t, TIMER_ADDREL, &v, &o) == 0 && o.it_value.tv_sec == 9);
    CHECK(timer_gettime(t, &o) == 0 && o.it_value.tv_sec == 14);
    set_time(&v, 0, 1000000);
    CHECK(timer_settime(t, 0, &v, NULL) == 0);
    CHECK(Receive(proxy, buf, sizeof buf) == proxy);
    CHECK(timer_delete(t) == 0);
    errno = 0;
    CHECK(timer_delete(t) == -1 && errno == EINVAL);

    /* Without an event the timer sends SIGALRM. */
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    CHECK(pipe(sig_pipe) == 0);
    t = timer_create(CLOCK_REALTIME, NULL);
    CHECK(t > 0 && timer_settime(t, 0, &v, NULL) == 0);
    for (i = 0; i < 500 && alarms == 0; i++) delay(10);
    CHECK(alarms == 1);
}

/* wait_psinfo asks about pid until it is in state (or 5 s have passed) and
 * leaves the last answer in *info. */
static void wait_psinfo(pid_t pid, int state, struct _psinfo *info) {
    int i;
    for (i = 0; i < 5000; i++) {
        if (qnx_psinfo(PROC_PID, pid, info, 0, NULL) == pid && info->state == state) return;
        delay(1);
    }
}

/* ms_since gives the milliseconds from *t0 to now. */
static long ms_since(const struct timespec *t0) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - t0->tv_sec) * 1000L + (t.tv_nsec - t0->tv_nsec) / 1000000L;
}

/* wait_receiving waits, for at most 5 s, until the program's thread of
 * process pid sleeps: in Receive, as the caller knows it goes there next. */
static void wait_receiving(pid_t pid) {
    char path[64], stat[512], *paren;
    FILE *f;
    size_t n;
    int i;
    sprintf(path, "/proc/%d/task/%d/stat", (int)pid, (int)pid);
    for (i = 0; i < 5000; i++) {
        f = fopen(path, "r");
        if (!f) return;
        n = fread(stat, 1, sizeof stat - 1, f);
        fclose(f);
        stat[n] = '\0';
        paren = strrchr(stat, ')');
        if (paren && paren[1] == ' ' && paren[2] == 'S') return;
        delay(1);
    }
}

/* qnx_psinfo: the caller itself, its parent from /proc, the message-passing
 * states the daemon knows (in QNX 4's numbering), the family, a stopped and
 * an ended process, and the walk over all processes. */
static void psinfo(void) {
    struct _psinfo info;
    struct _seginfo seg;
    sigset_t usr1;
    char buf[8];
    pid_t me = getpid(), p, last = 0, server, client, held;
    int found = 0, status;
    siginfo_t si;

    /* Itself, with the signal sets in QNX 4's layout: signal n is bit n - 1. */
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, NULL);
    raise(SIGUSR1);
    signal(SIGUSR2, SIG_IGN);
    memset(&seg, 0xff, sizeof seg);
    CHECK(qnx_psinfo(PROC_PID, me, &info, 0, &seg) == me);
    CHECK(info.pid == me && info.un.proc.father == getppid() && info.state == STATE_READY);
    CHECK(info.pid_group == getpgrp() && info.sid == getsid(0) && info.nid == getnid());
    CHECK(info.ruid == getuid() && info.euid == geteuid() && info.rgid == getgid());
    CHECK(info.priority == getprio(0) && strstr(info.un.proc.name, "qnx4_face") != NULL);
    CHECK(info.flags == 0 && info.blocked_on == 0);
    CHECK(info.signal_mask & info.signal_pending & (1L << (SIGUSR1 - 1)));
    CHECK(info.signal_ignore & (1L << (SIGUSR2 - 1)));
    CHECK(seg.selector == 0 && seg.flags == 0 && seg.addr == 0 && seg.nbytes == 0);
    signal(SIGUSR1, SIG_IGN);
    sigprocmask(SIG_UNBLOCK, &usr1, NULL);
    errno = 0;
    CHECK(qnx_psinfo(me, me, &info, 0, NULL) == -1 && errno == ESRCH);

    /* Its parent, which the daemon does not know. */
    CHECK(qnx_psinfo(0, getppid(), &info, 0, NULL) == getppid());
    CHECK(info.state == STATE_READY && info.un.proc.son == me && info.flags == 0);

    /* A server that takes one message of this process, then the one of a
     * client without replying, then waits for this process again. */
    fflush(NULL);
    server = fork();
    if (server == 0) {
        p = Receive(me, buf, sizeof buf);
        Reply(p, NULL, 0);
        Receive(0, buf, sizeof buf);
        Receive(me, buf, sizeof buf);
        _exit(1);
    }
    client = fork();
    if (client == 0) _exit(Send(server, "c", buf, 1, sizeof buf) != 0);
    wait_psinfo(server, STATE_RECEIVE_BLOCKED, &info);
    CHECK(info.state == STATE_RECEIVE_BLOCKED && info.blocked_on == me);
    CHECK(info.un.proc.father == me && info.un.proc.son == 0);
    wait_psinfo(client, STATE_SEND_BLOCKED, &info);
    CHECK(info.state == STATE_SEND_BLOCKED && info.blocked_on == server);
    CHECK(info.un.proc.brother == server);
    CHECK(qnx_psinfo(PROC_PID, me, &info, 0, NULL) == me && info.un.proc.son == client);
    CHECK(Send(server, "go", buf, 3, sizeof buf) == 0);
    wait_psinfo(client, STATE_REPLY_BLOCKED, &info);
    CHECK(info.state == STATE_REPLY_BLOCKED && info.blocked_on == server);
    wait_psinfo(server, STATE_RECEIVE_BLOCKED, &info);
    CHECK(info.state == STATE_RECEIVE_BLOCKED && info.blocked_on == me);
    kill(server, SIGKILL);
    kill(client, SIGKILL);
    CHECK(waitpid(server, &status, 0) == server && waitpid(client, &status, 0) == client);

    /* Stopped, it is HELD; ended and not yet waited for, DEAD. */
    held = fork();
    if (held == 0)
        for (;;) pause();
    kill(held, SIGSTOP);
    CHECK(waitpid(held, &status, WUNTRACED) == held && WIFSTOPPED(status));
    CHECK(qnx_psinfo(PROC_PID, held, &info, 0, NULL) == held && info.state == STATE_HELD);
    kill(held, SIGKILL);
    CHECK(waitid(P_PID, held, &si, WEXITED | WNOWAIT) == 0);
    CHECK(qnx_psinfo(PROC_PID, held, &info, 0, NULL) == held && info.state == STATE_DEAD);
    CHECK(waitpid(held, &status, 0) == held);

    /* The walk: rising pids, this process among them, ESRCH at the end. */
    for (p = 0; (p = qnx_psinfo(PROC_PID, p, &info, 0, NULL)) != -1; p++) {
        CHECK(p > last && info.pid == p);
        last = p;
        if (p == me) found = 1;
    }
    CHECK(found && errno == ESRCH);
    errno = 0;
    CHECK(qnx_psinfo(PROC_PID, INT_MAX, &info, 0, NULL) == -1 && errno == ESRCH);

    /* The flags the caller set, which it reads back. */
    qnx_pflags(_PPF_SERVER, _PPF_SERVER, NULL, NULL);
    CHECK(qnx_psinfo(PROC_PID, me, &info, 0, NULL) == me && info.flags == _PPF_SERVER);
}

/* A virtual circuit to this node is the process itself; a node not in the
 * net map (there is none) is unreachable. */
static void virtual_circuits(void) {
    struct _psinfo info;
    pid_t vid;
    CHECK(qnx_vc_attach(0, getpid(), 0, 0) == getpid());
    vid = qnx_vc_attach(getnid(), PROC_PID, 1000, 0);
    CHECK(vid == PROC_PID && qnx_psinfo(vid, getpid(), &info, 0, NULL) == getpid());
    CHECK(qnx_vc_detach(vid) == 0);
    errno = 0;
    CHECK(qnx_vc_attach(getnid() + 2, PROC_PID, 0, 0) == -1 && errno == EHOSTUNREACH);
}

/* qnx_osinfo describes this node (another, not in the net map, is
 * unreachable); qnx_sid_query a session of a child's own and walks to the
 * end. */
static void osinfo_and_sessions(void) {
    struct _osinfo os;
    struct _sidinfo sid;
    struct passwd *pw = getpwuid(getuid());
    int go[2];
    char c;
    pid_t leader;

    CHECK(qnx_osinfo(0, &os) == 0);
    CHECK(os.totmemk > 0 && os.freememk > 0 && os.freememk <= os.totmemk);
    CHECK(os.num_procs >= 2 && os.tick_size > 0 && os.nodename == getnid());
    CHECK(os.boot_time > 0 && os.boot_time <= time(NULL) && os.version >= 300);
    CHECK(os.machine[0] != '\0' && (os.sflags & _PSF_PROTECTED));
    CHECK(os.max_nodes == getnid() && os.bootsrc == 'H' && os.num_names > 0 && os.num_timers > 0);
    CHECK(os.num_sessions > 0 && os.num_fds[0] > 2 && os.num_fds[2] == os.num_fds[0]);
    errno = 0;
    CHECK(qnx_osinfo(getnid() + 1, &os) == -1 && errno == EHOSTUNREACH);

    CHECK(qnx_sid_query(PROC_PID, getsid(0), &sid) == getsid(0) && sid.links >= 1);
    CHECK(pipe(go) == 0);
    fflush(NULL);
    leader = fork();
    if (leader == 0) {
        setsid();
        CHECK(write(go[1], "s", 1) == 1);
        for (;;) pause();
    }
    CHECK(read(go[0], &c, 1) == 1);
    CHECK(qnx_sid_query(0, leader, &sid) == leader);
    CHECK(sid.sid == leader && sid.pid == leader && sid.links == 1);
    CHECK(pw == NULL || strcmp(sid.name, pw->pw_name) == 0);
    kill(leader, SIGKILL);
    waitpid(leader, NULL, 0);
    errno = 0;
    CHECK(qnx_sid_query(PROC_PID, INT_MAX, &sid) == -1 && errno == ESRCH);
}

/* getprio reads back what setprio set, for the caller and for another
 * process, and qnx_psinfo shows the same: 10 - the nice value, at least 1.
 * Only lowering priorities, which needs no privilege, from any nice value. */
/* getprio_of is the QNX priority of nice value nice. */
static int getprio_of(int nice) {
    return nice >= 9 ? 1 : 10 - nice;
}

static void priorities(void) {
    struct _psinfo info;
    int nice0 = getpriority(PRIO_PROCESS, 0), nice1 = nice0 < 19 ? nice0 + 1 : 19;
    pid_t child;
    CHECK(getprio(0) == (nice0 >= 9 ? 1 : 10 - nice0) && getprio(getpid()) == getprio(0));
    /* setprio answers with the priority the process had before. */
    CHECK(setprio(0, 10 - nice1) == getprio_of(nice0));
    CHECK(getpriority(PRIO_PROCESS, 0) == nice1);
    CHECK(getprio(0) == (nice1 >= 9 ? 1 : 10 - nice1));
    fflush(NULL);
    child = fork();
    if (child == 0)
        for (;;) pause();
    setprio(child, 10 - 19);
    CHECK(getpriority(PRIO_PROCESS, child) == 19 && getprio(child) == 1);
    CHECK(qnx_psinfo(PROC_PID, child, &info, 0, NULL) == child && info.priority == 1);
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
    errno = 0;
    CHECK(getprio(INT_MAX) == -1 && errno == ESRCH);
    errno = 0;
    CHECK(setprio(INT_MAX, 5) == -1 && errno == ESRCH);
}

/* send_at sends one message at priority prio (lowered from the caller's, as
 * any process may) and exits 0 once it is replied to. */
static int send_at(pid_t to, int prio) {
    char c = 0;
    setprio(0, prio);
    if (getprio(0) != prio) return 2;
    return Send(to, &c, &c, 1, 1) == 0 ? 0 : 3;
}

/* receive_order queues senders at priorities base - 2, base and base - 1
 * (in that order of arrival) and a proxy attached at base + 1, triggered
 * last, then receives all four and checks who came when: with
 * _PPF_PRIORITY_REC the highest priority first, FIFO among equals; without
 * it in the order they came. */
static void receive_order(int by_priority) {
    int base = getprio(0), prios[3], i, status;
    pid_t senders[3], got[4], proxy, want[4];
    struct _psinfo info;
    char c;
    CHECK(base >= 3);
    prios[0] = base - 2;
    prios[1] = base;
    prios[2] = base - 1;
    CHECK(qnx_pflags(by_priority ? _PPF_PRIORITY_REC : 0, _PPF_PRIORITY_REC, NULL, NULL) == 0);
    proxy = qnx_proxy_attach(0, "p", 1, base + 1);
    CHECK(proxy > 0);
    for (i = 0; i < 3; i++) {
        fflush(NULL);
        senders[i] = fork();
        if (senders[i] == 0) _exit(send_at(getppid(), prios[i]));
        wait_psinfo(senders[i], STATE_SEND_BLOCKED, &info);
        CHECK(info.state == STATE_SEND_BLOCKED);
    }
    CHECK(Trigger(proxy) == 0);
    for (i = 0; i < 4; i++) {
        got[i] = Receive(0, &c, 1);
        if (got[i] > 0 && got[i] != proxy) CHECK(Reply(got[i], &c, 1) == 0);
    }
    if (by_priority) {
        want[0] = proxy;
        want[1] = senders[1];
        want[2] = senders[2];
        want[3] = senders[0];
    } else {
        want[0] = senders[0];
        want[1] = senders[1];
        want[2] = senders[2];
        want[3] = proxy;
    }
    for (i = 0; i < 4; i++) CHECK(got[i] == want[i]);
    for (i = 0; i < 3; i++) {
        CHECK(waitpid(senders[i], &status, 0) == senders[i]);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    CHECK(qnx_proxy_detach(proxy) == 0);
}

#define BIG_MESSAGE (32L << 20)
static pid_t tick_proxy;
static volatile sig_atomic_t ticks_sent = 0, ticks_failed = 0;

/* on_tick triggers tick_proxy, as a QNX 4 program's handler may. */
static void on_tick(int sig) {
    int saved = errno;
    (void)sig;
    if (Trigger(tick_proxy) == 0)
        ticks_sent++;
    else
        ticks_failed++;
    errno = saved;
}

/* send_big sends BIG_MESSAGE bytes, each its offset's low byte, and exits 0
 * once the 1-byte reply 'r' has come. */
static int send_big(pid_t to) {
    char *m = malloc(BIG_MESSAGE), r = 0;
    long i;
    if (!m) return 2;
    for (i = 0; i < BIG_MESSAGE; i++) m[i] = (char)i;
    if (Send(to, m, &r, BIG_MESSAGE, 1) != 0) return 3;
    return r == 'r' ? 0 : 4;
}

/* A message queued before a trigger is received before it, whole, however
 * large, while a handler triggers every 2 ms; the Reply reaches the sender,
 * and each trigger arrives once, after it. */
static void message_before_trigger(void) {
    struct sigaction sa;
    struct itimerval it;
    struct _psinfo info;
    char *m = malloc(BIG_MESSAGE), c;
    pid_t sender, got;
    long i, bad = 0, received = 0;
    int status = -1;
    CHECK(m != NULL);
    if (!m) return;
    tick_proxy = qnx_proxy_attach(0, "t", 1, -1);
    CHECK(tick_proxy > 0);
    fflush(NULL);
    sender = fork();
    if (sender == 0) _exit(send_big(getppid()));
    wait_psinfo(sender, STATE_SEND_BLOCKED, &info);
    CHECK(info.state == STATE_SEND_BLOCKED);
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_tick;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    memset(&it, 0, sizeof it);
    it.it_interval.tv_usec = 2000;
    it.it_value.tv_usec = 2000;
    setitimer(ITIMER_REAL, &it, NULL);
    do {
        errno = 0;
        got = Receive(0, m, BIG_MESSAGE);
    } while (got == -1 && errno == EINTR);
    CHECK(got == sender);
    for (i = 0; i < BIG_MESSAGE; i++)
        if (m[i] != (char)i) bad++;
    CHECK(bad == 0);
    c = 'r';
    while (Reply(sender, &c, 1) == -1 && errno == EINTR) {
    }
    memset(&it, 0, sizeof it);
    setitimer(ITIMER_REAL, &it, NULL);
    CHECK(waitpid(sender, &status, 0) == sender);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(ticks_failed == 0);
    for (;;) {
        errno = 0;
        got = Creceive(0, &c, 1);
        if (got == -1 && errno == EINTR) continue;
        if (got != tick_proxy) break;
        received++;
    }
    CHECK(got == -1 && errno == ENOMSG);
    CHECK(ticks_sent > 0 && received == ticks_sent);
    if (received != ticks_sent) printf("%ld of %d triggers received\n", received, (int)ticks_sent);
    CHECK(qnx_proxy_detach(tick_proxy) == 0);
    free(m);
}

/* send_for_writes sends to parent with a 20-byte reply buffer of 'S's and
 * exits 0 when the reply and the writes left it as writes_into_reply wants. */
static int send_for_writes(pid_t parent) {
    char r[20];
    memset(r, 'S', sizeof r);
    if (Send(parent, "q", r, 1, sizeof r) != 0) return 2;
    return memcmp(r, "RzSSSmmSSSSSSSSABCDE", sizeof r) == 0 ? 0 : 3;
}

/* Writemsg writes into the sender's reply buffer as QNX 4's kernel did: it
 * counts what fits there (0 at or past its end), and bytes that neither it
 * nor the Reply wrote stay as they were. */
static void writes_into_reply(void) {
    char q;
    int status = -1;
    pid_t sender;
    fflush(NULL);
    sender = fork();
    if (sender == 0) _exit(send_for_writes(getppid()));
    CHECK(Receive(0, &q, 1) == sender);
    CHECK(Writemsg(sender, 15, "ABCDEF", 6) == 5);
    CHECK(Writemsg(sender, 25, "xy", 2) == 0);
    CHECK(Writemsg(sender, 20, "xy", 2) == 0);
    CHECK(Writemsg(sender, 5, "mm", 2) == 2);
    CHECK(Writemsg(sender, 0, "zz", 2) == 2); /* the reply goes over its first byte */
    CHECK(Reply(sender, "R", 1) == 0);
    CHECK(waitpid(sender, &status, 0) == sender);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/* priority_receive checks the order of receipt without and with
 * _PPF_PRIORITY_REC. */
static void priority_receive(void) {
    receive_order(0);
    receive_order(1);
}

/* The spawn calls in each mode, with and without a PATH lookup, qnx_spawn
 * with a priority and a session, and searchenv. */
static void spawning(void) {
    char *exit3[4], *env[2], *report[4], *none[2];
    char cmd[64], buf[64], path[PATH_MAX];
    int fds[2], status, n, got = 0;
    int nice1 = getpriority(PRIO_PROCESS, 0) + 1; /* one step lower needs no privilege */
    pid_t pid;

    CHECK(setenv("PATH", "/usr/bin:/bin", 1) == 0); /* to look up in, whoever runs this */
    CHECK(spawnl(P_WAIT, "/bin/sh", "sh", "-c", "exit 7", (char *)NULL) == 7);
    CHECK(spawnl(P_WAIT, "/bin/sh", "sh", "-c", "kill -9 $$", (char *)NULL) == 128 + SIGKILL);
    env[0] = "QNX4_FACE=yes";
    env[1] = NULL;
    CHECK(spawnle(P_WAIT, "/bin/sh", "sh", "-c", "test \"$QNX4_FACE\" = yes", (char *)NULL, env) ==
          0);
    CHECK(spawnlpe(P_WAIT, "sh", "sh", "-c", "test \"$QNX4_FACE\" = yes", (char *)NULL, env) == 0);
    exit3[0] = "sh";
    exit3[1] = "-c";
    exit3[2] = "exit 3";
    exit3[3] = NULL;
    CHECK(spawnvp(P_WAIT, "sh", exit3) == 3);
    CHECK(spawnvpe(P_WAIT, "sh", exit3, env) == 3);
    errno = 0;
    CHECK(spawnlp(P_WAIT, "no-such-program-qnx4-face", "x", (char *)NULL) == -1 && errno == ENOENT);
    errno = 0;
    CHECK(spawnv(7, "/bin/sh", exit3) == -1 && errno == EINVAL);

    pid = spawnv(P_NOWAIT, "/bin/sh", exit3);
    CHECK(pid > 0 && waitpid(pid, &status, 0) == pid && WEXITSTATUS(status) == 3);

    /* P_NOWAITO: the program tells its pid and ends; it was nobody's child. */
    CHECK(pipe(fds) == 0);
    sprintf(cmd, "echo $$ >&%d", fds[1]);
    pid = spawnl(P_NOWAITO, "/bin/sh", "sh", "-c", cmd, (char *)NULL);
    close(fds[1]);
    while (got < (int)sizeof buf - 1 && (n = read(fds[0], buf + got, sizeof buf - 1 - got)) > 0)
        got += n;
    buf[got] = '\0';
    close(fds[0]);
    CHECK(pid > 0 && atoi(buf) == pid);
    errno = 0;
    CHECK(waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD);

    /* qnx_spawn: the program checks its session and exits with its nice value. */
    report[0] = "sh";
    report[1] = "-c";
    report[2] = "set -- $(cat /proc/$$/stat); [ \"$6\" = $$ ] || exit 100; exit ${19}";
    report[3] = NULL;
    if (nice1 > 19) nice1 = 19;
    if (10 - nice1 == -1) nice1++; /* priority -1 means "as the caller's" */
    pid = qnx_spawn(0, NULL, 0, 10 - nice1, -1, _SPAWN_SETSID, "/bin/sh", report, NULL, NULL, -1);
    CHECK(pid > 0 && waitpid(pid, &status, 0) == pid && WEXITSTATUS(status) == nice1);
    none[0] = "x";
    none[1] = NULL;
    errno = 0;
    CHECK(qnx_spawn(0, NULL, 0, -1, -1, 0, "/no/such/program", none, NULL, NULL, -1) == -1 &&
          errno == ENOENT);
    errno = 0;
    CHECK(qnx_spawn(0, NULL, getnid() + 1, -1, -1, 0, "/bin/sh", exit3, NULL, NULL, -1) == -1 &&
          errno == ESRCH);
    pid = qnx_spawn(0, NULL, 0, -1, -1, _SPAWN_NOZOMBIE, "/bin/sh", exit3, NULL, NULL, -1);
    errno = 0;
    CHECK(pid > 0 && waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD);

    /* searchenv: along the list, past a directory that is not there. */
    CHECK(setenv("QNX4_FACE_PATH", "/no/such/dir::/bin", 1) == 0);
    searchenv("sh", "QNX4_FACE_PATH", path);
    CHECK(strcmp(path, "/bin/sh") == 0);
    searchenv("no-such-program-qnx4-face", "QNX4_FACE_PATH", path);
    CHECK(path[0] == '\0');
}

/* A process whose very first call is Trigger (a small program handed a proxy
 * id, forked before its parent connected) connects as any first call does,
 * and the proxy is delivered. */
static void trigger_first(void) {
    char buf[8];
    int go[2], status = -1;
    pid_t kick, proxy = 0;
    CHECK(pipe(go) == 0);
    fflush(NULL);
    kick = fork();
    if (kick == 0) {
        close(go[1]);
        if (read(go[0], &proxy, sizeof proxy) != sizeof proxy) _exit(2);
        errno = 0;
        _exit(Trigger(proxy) == 0 ? 0 : 1);
    }
    close(go[0]);
    proxy = qnx_proxy_attach(0, "kick", 5, -1);
    CHECK(proxy > 0 && write(go[1], &proxy, sizeof proxy) == sizeof proxy);
    CHECK(waitpid(kick, &status, 0) == kick && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    memset(buf, 0, sizeof buf);
    CHECK(Creceive(proxy, buf, sizeof buf) == proxy && strcmp(buf, "kick") == 0);
}

/* qnx_name_locate tells how many registrations it found (1 for this node),
 * finds QNX 4's global names ("/...") here, and searches this node for 0 and
 * for getnid() alike; another node is not in the net map (there is none). */
static void names_located(void) {
    unsigned copies = 99;
    pid_t me = getpid();
    CHECK(qnx_name_attach(0, "/qnx4face/global") != -1);
    CHECK(qnx_name_attach(getnid(), "qnx4face/local") != -1);
    CHECK(qnx_name_locate(0, "/qnx4face/global", 0, &copies) == me && copies == 1);
    copies = 99;
    CHECK(qnx_name_locate(getnid(), "qnx4face/local", 0, &copies) == me && copies == 1);
    CHECK(qnx_name_locate(getnid(), "/qnx4face/global", 100, NULL) == me);
    copies = 99;
    errno = 0;
    CHECK(qnx_name_locate(0, "qnx4face/none", 0, &copies) == -1 && errno == ESRCH && copies == 0);
    errno = 0;
    CHECK(qnx_name_locate(getnid() + 1, "qnx4face/local", 0, NULL) == -1 && errno == EHOSTUNREACH);
}

/* QNX 4 numbers nodes from 1: without a net map this is node 1, and every
 * call that names a node takes 0 and getnid() for it. */
static void node_ids(void) {
    struct _osinfo os;
    struct _psinfo info;
    pid_t me = getpid();
    CHECK(getnid() == 1);
    CHECK(qnx_vc_attach(0, me, 0, 0) == me && qnx_vc_attach(getnid(), me, 0, 0) == me);
    CHECK(qnx_osinfo(0, &os) == 0 && os.nodename == getnid());
    CHECK(qnx_osinfo(getnid(), &os) == 0 && os.nodename == getnid());
    CHECK(qnx_psinfo(qnx_vc_attach(getnid(), PROC_PID, 0, 0), me, &info, 0, NULL) == me);
    CHECK(info.nid == getnid());
    CHECK(qnx_name_attach(0, "qnx4face/node") != -1);
    CHECK(qnx_name_locate(0, "qnx4face/node", 0, NULL) == me);
    CHECK(qnx_name_locate(getnid(), "qnx4face/node", 0, NULL) == me);
}

/* The network calls in their forms for this node: a remote proxy of this
 * node is the proxy itself, node ids read and print in decimal, the one node
 * is up and runs the name locator, and a circuit by name is the process. */
static void network_calls(void) {
    char alive[8], text[4], *end = NULL;
    nid_t nids[10], n;
    pid_t me = getpid(), proxy = qnx_proxy_attach(0, "rem", 4, -1), other;
    int count, up = 0, status = -1, ids[2];

    CHECK(proxy > 0);
    CHECK(qnx_proxy_rem_attach(0, proxy) == proxy);
    CHECK(qnx_proxy_rem_attach(getnid(), proxy) == proxy && Trigger(proxy) == 0);
    CHECK(Receive(proxy, text, sizeof text) == proxy && strcmp(text, "rem") == 0);
    CHECK(qnx_proxy_rem_detach(getnid(), proxy) == 0 && Trigger(proxy) == 0);
    CHECK(Receive(proxy, text, sizeof text) == proxy);
    errno = 0;
    CHECK(qnx_proxy_rem_attach(getnid() + 1, proxy) == -1 && errno == EHOSTUNREACH);
    errno = 0;
    CHECK(qnx_proxy_rem_detach(getnid() + 1, proxy) == -1 && errno == EHOSTUNREACH);
    CHECK(qnx_proxy_detach(proxy) == 0);
    errno = 0;
    CHECK(qnx_proxy_rem_attach(0, proxy) == -1 && errno == ESRCH);
    /* Another process's proxy is not the caller's to attach. */
    CHECK(pipe(ids) == 0);
    fflush(NULL);
    other = fork();
    if (other == 0) {
        proxy = qnx_proxy_attach(0, NULL, 0, -1);
        if (write(ids[1], &proxy, sizeof proxy) != sizeof proxy) _exit(1);
        for (;;) pause();
    }
    CHECK(read(ids[0], &proxy, sizeof proxy) == sizeof proxy && proxy > 0);
    errno = 0;
    CHECK(qnx_proxy_rem_attach(0, proxy) == -1 && errno == EPERM);
    kill(other, SIGKILL);
    CHECK(waitpid(other, &status, 0) == other);

    CHECK(qnx_strtonid(" 42x", &end) == 42 && *end == 'x');
    CHECK(qnx_strtonid("7", NULL) == 7);
    errno = 0;
    CHECK(qnx_strtonid("node", &end) == -1 && errno == EINVAL && strcmp(end, "node") == 0);
    errno = 0;
    CHECK(qnx_strtonid("99999999999", NULL) == -1 && errno == EINVAL);
    CHECK(qnx_nidtostr(getnid(), text, sizeof text) == 0 && strcmp(text, "1") == 0);
    errno = 0;
    CHECK(qnx_nidtostr(12345, text, sizeof text) == -1 && errno == EINVAL);

    memset(alive, 7, sizeof alive);
    count = qnx_net_alive(alive, sizeof alive);
    CHECK(count == getnid() + 1 && alive[0] == 0);
    for (n = 1; n < count; n++)
        if (alive[n]) up++;
    CHECK(up == 1 && alive[getnid()] == 1 && alive[count] == 0);
    errno = 0;
    CHECK(qnx_net_alive(alive, 1) == -1 && errno == EINVAL);
    CHECK(qnx_name_locators(nids) == 1 && nids[0] == getnid());

    CHECK(qnx_name_attach(0, "/qnx4face/vc") != -1);
    CHECK(qnx_vc_name_attach(0, 0, "/qnx4face/vc") == me);
    CHECK(qnx_vc_name_attach(getnid(), 1000, "/qnx4face/vc") == me);
    errno = 0;
    CHECK(qnx_vc_name_attach(getnid(), 0, "qnx4face/none") == -1 && errno == ESRCH);
    errno = 0;
    CHECK(qnx_vc_name_attach(getnid() + 1, 0, "/qnx4face/vc") == -1 && errno == EHOSTUNREACH);
}

/* child_result is what a forked child exits with: 0 when its checks held. */
static int child_result(void) {
    fflush(NULL);
    return failures == 0 ? 0 : 1;
}

/* serve_second receives the request that the first server relayed, as sent
 * by the client itself, and replies to it. */
static void serve_second(void) {
    char buf[16];
    pid_t client;
    memset(buf, 0, sizeof buf);
    client = Receive(0, buf, sizeof buf);
    CHECK(client == getppid() && strcmp(buf, "request") == 0);
    CHECK(Readmsg(client, 3, buf, sizeof buf) == 5 && memcmp(buf, "uest", 5) == 0);
    CHECK(Reply(client, "AB", 2) == 0);
}

/* serve_first receives the request, writes into its reply and relays it to
 * the second server; the client is then no longer its to reply to or read. */
static void serve_first(pid_t second) {
    char buf[16];
    _MXFER_ENTRY mx[2];
    pid_t client;
    memset(buf, 0, sizeof buf);
    client = Receive(0, buf, sizeof buf);
    CHECK(client == getppid() && strcmp(buf, "request") == 0);
    _setmx(&mx[0], "mx", 2);
    _setmx(&mx[1], "parts", 5);
    CHECK(Writemsg(client, 8, "tail", 4) == 4);
    CHECK(Writemsgmx(client, 12, 2, mx) == 7);
    errno = 0;
    CHECK(Writemsg(second, 0, "x", 1) == -1 && errno == ESRCH);
    CHECK(Relay(client, second) == 0);
    errno = 0;
    CHECK(Reply(client, "late", 5) == -1 && errno == ESRCH);
    errno = 0;
    CHECK(Readmsg(client, 0, buf, sizeof buf) == -1 && errno == ESRCH);
}

/* A server writes part of the reply with Writemsg and relays the request to
 * a second server, whose Reply then completes it: the client's Send returns
 * with the reply's bytes at 0 and the written ones where they were written,
 * and its buffer is untouched beyond them. */
static void writemsg_relay(void) {
    char reply[32];
    pid_t first, second;
    int status = -1;
    fflush(NULL);
    second = fork();
    if (second == 0) {
        serve_second();
        _exit(child_result());
    }
    first = fork();
    if (first == 0) {
        serve_first(second);
        _exit(child_result());
    }
    memset(reply, '.', sizeof reply);
    CHECK(Send(first, "request", reply, 8, sizeof reply) == 0);
    CHECK(memcmp(reply, "AB", 2) == 0 && memcmp(reply + 8, "tailmxparts", 11) == 0);
    CHECK(reply[19] == '.');
    CHECK(waitpid(first, &status, 0) == first && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    status = -1;
    CHECK(waitpid(second, &status, 0) == second && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/* settle makes sure the library's device thread has looked at every armed
 * descriptor since the last change: it arms sync on always_ready, which the
 * thread fires in the same round as anything else that is ready, after the
 * descriptors armed before it, and receives it. */
static void settle(pid_t sync, int always_ready) {
    char buf[8];
    CHECK(dev_arm(always_ready, sync, _DEV_EVENT_INPUT) == 0);
    CHECK(Receive(sync, buf, sizeof buf) == sync);
}

/* open_pty gives the slave side of a new pseudo-terminal and its master in
 * *master, or -1. */
static int open_pty(int *master) {
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0 || grantpt(*master) != 0 || unlockpt(*master) != 0) return -1;
    return open(ptsname(*master), O_RDWR | O_NOCTTY);
}

/* fork_arms_its_own: a child forked while the parent's device thread runs
 * has no thread and no arms of the parent's; its own dev_arm starts its own
 * thread, whose proxy the child receives. */
static int fork_arms_its_own(int always_ready) {
    char buf[8];
    pid_t mine = qnx_proxy_attach(0, NULL, 0, -1);
    int i;
    if (mine == -1 || dev_arm(always_ready, mine, _DEV_EVENT_INPUT) != 0) return 2;
    for (i = 0; i < 5000; i++) {
        if (Creceive(mine, buf, sizeof buf) == mine) return 0;
        delay(1);
    }
    return 3;
}

/* Input on a descriptor arrives as a proxy armed with dev_arm, once per arm,
 * also in a Receive that waits already; disarmed, it never comes. */
static void devices_arm(pid_t proxy, pid_t sync, int in[2], int always_ready) {
    char buf[16];
    pid_t writer;
    int status = -1;

    CHECK(dev_state(in[0], 0, 0) == 0);
    CHECK(dev_arm(in[0], proxy, _DEV_EVENT_INPUT) == 0);
    fflush(NULL);
    writer = fork();
    if (writer == 0) {
        wait_receiving(getppid());
        _exit(write(in[1], "abc", 3) == 3 ? 0 : 1);
    }
    memset(buf, 0, sizeof buf);
    CHECK(Receive(0, buf, sizeof buf) == proxy && strcmp(buf, "in") == 0);
    CHECK(waitpid(writer, &status, 0) == writer && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    /* The input is still there, yet the proxy came once. */
    settle(sync, always_ready);
    errno = 0;
    CHECK(Creceive(proxy, buf, sizeof buf) == -1 && errno == ENOMSG);
    CHECK(dev_state(in[0], 0, 0) == _DEV_EVENT_INPUT);
    CHECK(read(in[0], buf, sizeof buf) == 3);

    /* Armed again, it comes again. */
    CHECK(dev_arm(in[0], proxy, _DEV_EVENT_INPUT) == 0);
    CHECK(write(in[1], "d", 1) == 1);
    CHECK(Receive(proxy, buf, sizeof buf) == proxy);
    CHECK(read(in[0], buf, sizeof buf) == 1);

    /* Disarmed, it does not. */
    CHECK(dev_arm(in[0], proxy, _DEV_EVENT_INPUT) == 0);
    CHECK(dev_arm(in[0], _DEV_DISARM, _DEV_EVENT_INPUT) == 0);
    CHECK(write(in[1], "e", 1) == 1);
    settle(sync, always_ready);
    errno = 0;
    CHECK(Creceive(proxy, buf, sizeof buf) == -1 && errno == ENOMSG);
    CHECK(read(in[0], buf, sizeof buf) == 1);

    /* Neither a descriptor that is not open nor a pid is armed. */
    errno = 0;
    CHECK(dev_arm(-1, proxy, _DEV_EVENT_INPUT) == -1 && errno == EBADF);
    errno = 0;
    CHECK(dev_arm(in[0], getpid(), _DEV_EVENT_INPUT) == -1 && errno == ESRCH);

    fflush(NULL);
    writer = fork();
    if (writer == 0) _exit(fork_arms_its_own(always_ready));
    CHECK(waitpid(writer, &status, 0) == writer && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

/* dev_read returns at minimum bytes, time tenths of a second after the last
 * byte, timeout tenths after the call, or at once with a proxy armed. */
static void devices_read(pid_t proxy, int in[2]) {
    struct timespec t0;
    char buf[16];
    int armed = -1;
    long ms;

    clock_gettime(CLOCK_MONOTONIC, &t0);
    CHECK(dev_read(in[0], buf, 10, 3, 0, 2, 0, NULL) == 0);
    ms = ms_since(&t0);
    CHECK(ms >= 200 && ms < 5000);
    CHECK(dev_read(in[0], buf, 10, 0, 0, 0, 0, NULL) == 0);

    CHECK(write(in[1], "12345", 5) == 5);
    CHECK(dev_read(in[0], buf, 10, 3, 0, 0, 0, NULL) == 5 && memcmp(buf, "12345", 5) == 0);
    CHECK(write(in[1], "67", 2) == 2);
    clock_gettime(CLOCK_MONOTONIC, &t0);
    CHECK(dev_read(in[0], buf, 10, 3, 0, 3, 0, NULL) == 2 && memcmp(buf, "67", 2) == 0);
    CHECK(ms_since(&t0) >= 300);
    /* Without an overall limit, time ends the wait after the last byte. */
    CHECK(write(in[1], "8", 1) == 1);
    clock_gettime(CLOCK_MONOTONIC, &t0);
    CHECK(dev_read(in[0], buf, 10, 5, 1, 0, 0, NULL) == 1 && buf[0] == '8');
    ms = ms_since(&t0);
    CHECK(ms >= 100 && ms < 5000);
    /* n bytes satisfy any minimum. */
    CHECK(write(in[1], "9a", 2) == 2);
    CHECK(dev_read(in[0], buf, 1, 5, 0, 0, 0, NULL) == 1 && buf[0] == '9');
    CHECK(dev_read(in[0], buf, 10, 0, 0, 0, 0, NULL) == 1 && buf[0] == 'a');

    /* With a proxy the call returns at once, armed when nothing came. */
    CHECK(dev_read(in[0], buf, 10, 1, 0, 0, proxy, &armed) == 0 && armed == 1);
    CHECK(write(in[1], "x", 1) == 1);
    CHECK(Receive(proxy, buf, sizeof buf) == proxy);
    CHECK(dev_read(in[0], buf, 10, 1, 0, 0, proxy, &armed) == 1 && armed == 0 && buf[0] == 'x');

    /* The output side is ready for writing; the end of input comes at once. */
    CHECK(dev_state(in[1], 0, 0) == _DEV_EVENT_OUTPUT);
    close(in[1]);
    CHECK(dev_state(in[0], 0, 0) == (_DEV_EVENT_INPUT | _DEV_EVENT_HANGUP));
    CHECK(dev_read(in[0], buf, 10, 3, 0, 0, 0, NULL) == 0);
}

/* dev_mode turns a terminal's modes off and on and tells the modes it had;
 * dev_info names the terminal. */
static void devices_terminal(void) {
    struct _dev_info_entry info;
    struct termios t;
    int master, slave = open_pty(&master), old;
    const char *name;

    CHECK(slave >= 0);
    old = dev_mode(slave, 0, 0);
    CHECK(old != -1 && (old & _DEV_ECHO) && (old & _DEV_EDIT) && !(old & ~_DEV_MODES));
    CHECK(dev_mode(slave, _DEV_ECHO, 0) == old);
    CHECK(tcgetattr(slave, &t) == 0 && !(t.c_lflag & ECHO) && (t.c_lflag & ICANON));
    CHECK(dev_mode(slave, _DEV_ECHO, _DEV_ECHO) == (old & ~_DEV_ECHO));
    CHECK(tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO));
    CHECK(dev_mode(slave, 0, 0) == old);

    name = ptsname(master);
    CHECK(dev_info(slave, &info) == 0);
    CHECK(strcmp(info.tty_name, name) == 0 && strcmp(info.driver_type, "pty_slave") == 0);
    CHECK(info.unit == atoi(strrchr(name, '/') + 1) && info.tty == info.unit);
    close(slave);
    close(master);
}

/* poke_while_writing, in a child, writes a byte to fd for each byte that
 * comes on go, once its parent's thread sleeps: in the middle of the large
 * request it writes then. */
static int poke_while_writing(int go, int fd) {
    char c;
    while (read(go, &c, 1) == 1) {
        wait_receiving(getppid());
        if (write(fd, "p", 1) != 1) return 1;
    }
    return 0;
}

/* Many proxies fired by the device thread while the program's own calls
 * run: none of them fails with EBUSY, none writes into the middle of the
 * program's request (a reply of 16 MiB to nobody, which the daemon takes
 * from the socket in many pieces), and each arm comes once. */
static void devices_race(pid_t proxy, int always_ready) {
    static char big[16 << 20];
    char buf[8];
    long tries;
    int round, input[2], go[2], status = -1;
    pid_t got, poker;

    for (round = 0; round < 2000 && failures == 0; round++) {
        CHECK(dev_arm(always_ready, proxy, _DEV_EVENT_INPUT) == 0);
        for (tries = 0; tries < 1000000L; tries++) {
            errno = 0;
            got = Creceive(0, buf, sizeof buf);
            if (got == proxy) break;
            if (got != -1 || errno != ENOMSG) {
                CHECK(got == -1 && errno == ENOMSG);
                break;
            }
        }
    }

    CHECK(pipe(input) == 0 && pipe(go) == 0);
    memset(big, 'x', sizeof big); /* read as a header, no type is all 'x' */
    fflush(NULL);
    poker = fork();
    if (poker == 0) {
        close(go[1]);
        _exit(poke_while_writing(go[0], input[1]));
    }
    close(go[0]);
    for (round = 0; round < 10 && failures == 0; round++) {
        CHECK(dev_arm(input[0], proxy, _DEV_EVENT_INPUT) == 0);
        CHECK(write(go[1], "g", 1) == 1);
        errno = 0;
        CHECK(Reply(getpid(), big, sizeof big) == -1 && errno == ESRCH);
        CHECK(Receive(0, buf, sizeof buf) == proxy);
        CHECK(read(input[0], buf, 1) == 1);
    }
    close(go[1]);
    CHECK(waitpid(poker, &status, 0) == poker && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    errno = 0;
    CHECK(Creceive(0, buf, sizeof buf) == -1 && errno == ENOMSG);
}

static void devices(void) {
    int in[2], ready[2];
    pid_t proxy = qnx_proxy_attach(0, "in", 3, -1);
    pid_t sync = qnx_proxy_attach(0, "sync", 5, -1);
    CHECK(proxy > 0 && sync > 0);
    CHECK(pipe(in) == 0 && pipe(ready) == 0 && write(ready[1], "r", 1) == 1);
    devices_arm(proxy, sync, in, ready[0]);
    devices_read(proxy, in);
    devices_terminal();
    devices_race(proxy, ready[0]);
}

/* A console's size is read and set; its input arrives as the proxy armed
 * with console_arm; a pseudo-terminal has no virtual consoles to switch. */
static void console(void) {
    struct _console_ctrl *cc;
    struct _console_info ci;
    struct _dev_info_entry info;
    struct winsize ws;
    int master, slave = open_pty(&master), rows = -1, columns = -1, fds[2];
    char buf[8];
    pid_t proxy = qnx_proxy_attach(0, "key", 4, -1);

    CHECK(slave >= 0 && proxy > 0);
    cc = console_open(slave, O_RDWR);
    CHECK(cc != NULL);
    if (!cc) return;
    CHECK(console_size(cc, -1, 25, 80, &rows, &columns) == 0 && rows == 0 && columns == 0);
    CHECK(console_size(cc, -1, 0, 132, &rows, &columns) == 0 && rows == 25 && columns == 80);
    CHECK(ioctl(slave, TIOCGWINSZ, &ws) == 0 && ws.ws_row == 25 && ws.ws_col == 132);

    CHECK(console_arm(cc, -1, proxy, _DEV_EVENT_INPUT) == 0);
    CHECK(write(master, "k\n", 2) == 2);
    memset(buf, 0, sizeof buf);
    CHECK(Receive(0, buf, sizeof buf) == proxy && strcmp(buf, "key") == 0);
    CHECK(read(slave, buf, sizeof buf) == 2 && buf[0] == 'k');

    errno = 0;
    CHECK(console_active(cc, -1) == -1 && errno == ENOSYS);
    errno = 0;
    CHECK(dev_info(slave, &info) == 0);
    CHECK(console_arm(cc, info.unit + 1, proxy, _DEV_EVENT_INPUT) == -1 && errno == ENOSYS);
    /* What the host can tell of a pseudo-terminal; it has no screen to read. */
    CHECK(console_info(cc, 0, &ci) == 0 && ci.console == info.unit && ci.rows == 25);
    CHECK(ci.cols == 132 && ci.protocol == _CON_PROT_ANSI && ci.type == _CON_TYPE_TERMINAL);
    errno = 0;
    CHECK(console_read(cc, 0, 0, buf, sizeof buf, &rows, &columns, NULL) == -1 && errno == ENOSYS);
    CHECK(console_protocol(cc, -1, -1) == _CON_PROT_ANSI);
    errno = 0;
    CHECK(console_protocol(cc, 0, _CON_PROT_QNX4) == -1 && errno == EINVAL);
    CHECK(console_ctrl(cc, 0, CONSOLE_NOSWITCH, CONSOLE_NOSWITCH) == 0);
    CHECK(console_ctrl(cc, 0, 0, CONSOLE_NOSWITCH) == CONSOLE_NOSWITCH);
    CHECK(console_state(cc, 0, 0, 0) == 0);
    CHECK(console_close(cc) == 0);
    CHECK(pipe(fds) == 0);
    errno = 0;
    CHECK(console_open(fds[0], O_RDONLY) == NULL && errno == ENOTTY);
}

static volatile sig_atomic_t own_signals = 0;

/* on_own_signal counts the signals of our own numbers that arrive. */
static void on_own_signal(int sig) {
    (void)sig;
    own_signals++;
}

/* QNX 4's additions to the C library's headers: its error and signal names,
 * NAME_MAX and PATH_MAX in any mode, its termios bits and calls, qnx_ioctl,
 * and the defaults the spawn calls take from qnx_spawn_options. */
static void c_library(void) {
    static char path[PATH_MAX], name[NAME_MAX + 1];
    char *sleeper[4];
    struct sigaction sa;
    struct termios t;
    struct pollfd ready;
    unsigned lines = _CTL_DTR_CHG;
    int master, slave = open_pty(&master), rows = 0, cols = 0, status = -1;
    pid_t pid;

    CHECK(EOK == 0 && ENOREMOTE == EREMOTE && EBADFSYS == EUCLEAN && ENOLIC != ENOVPE);
    CHECK(strcmp(strerror(ENOREMOTE), strerror(EREMOTE)) == 0 && sizeof path >= 256);
    CHECK(getcwd(path, sizeof path) != NULL && sizeof name > 48);

    /* The signals of our own numbers are real: caught and delivered. */
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_own_signal;
    sigemptyset(&sa.sa_mask);
    CHECK(sigaction(SIGDEV, &sa, NULL) == 0 && sigaction(SIGEMT, &sa, NULL) == 0);
    CHECK(raise(SIGDEV) == 0 && raise(SIGEMT) == 0 && own_signals == 2);
    CHECK(_SIGMIN == 1 && SIGDEV <= _SIGMAX && SIGEMT <= _SIGMAX && SIGDEV != SIGEMT);
    CHECK(sigaction(_SIGMAX, NULL, &sa) == 0);

    /* Stick parity and hardware flow control are the host's bits. */
    CHECK(slave >= 0 && tcgetattr(slave, &t) == 0);
    t.c_cflag |= PARENB | PARSTK | IHFLOW;
    CHECK(tcsetattr(slave, TCSANOW, &t) == 0 && tcgetattr(slave, &t) == 0);
    CHECK((t.c_cflag & PARSTK) && (t.c_cflag & OHFLOW));
    CHECK(write(master, "ab\n", 3) == 3);
    ready.fd = slave;
    ready.events = POLLIN;
    CHECK(poll(&ready, 1, 5000) == 1 && tcischars(slave) == 3);
    CHECK(tcsetsize(slave, 30, 90) == 0 && tcgetsize(slave, &rows, &cols) == 0);
    CHECK(rows == 30 && cols == 90);
    errno = 0;
    CHECK(tcsetct(slave, getppid()) == -1 && errno == ENOSYS);
    errno = 0;
    CHECK(qnx_ioctl(slave, QCTL_DEV_CTL + 100, &lines, sizeof lines, NULL, 0) == -1 &&
          errno == ENOSYS);
    errno = 0;
    CHECK(qnx_ioctl(slave, QCTL_DEV_CTL, &lines, 1, NULL, 0) == -1 && errno == EINVAL);
    close(slave);
    close(master);

    /* The spawn calls take node and priority from qnx_spawn_options. */
    CHECK(qnx_spawn_options.node == 0 && qnx_spawn_options.priority == -1);
    sleeper[0] = "sh";
    sleeper[1] = "-c";
    sleeper[2] = "sleep 5";
    sleeper[3] = NULL;
    qnx_spawn_options.node = getnid() + 1;
    errno = 0;
    CHECK(spawnv(P_NOWAIT, "/bin/sh", sleeper) == -1 && errno == ESRCH);
    qnx_spawn_options.node = getnid();
    qnx_spawn_options.priority = (char)(getprio(0) > 1 ? getprio(0) - 1 : 1);
    qnx_spawn_options.flags = _SPAWN_NEWPGRP;
    pid = spawnv(P_NOWAIT, "/bin/sh", sleeper);
    CHECK(pid > 0 && getprio(pid) == qnx_spawn_options.priority && getpgid(pid) == pid);
    qnx_spawn_options.priority = -1;
    qnx_spawn_options.flags = 0;
    qnx_spawn_options.node = 0;
    kill(pid, SIGKILL);
    CHECK(waitpid(pid, &status, 0) == pid);
}

/* draw, in a child whose standard output is a terminal, puts text where
 * QNX 4's terminal library is told to, for terminal type term. */
static int draw(int out, const char *term) {
    if (dup2(out, 1) != 1 || setenv("TERM", term, 1) != 0) return 1;
    if (term_load() != 0 || term_state.num_cols <= 0 || term_state.num_rows <= 0) return 2;
    if (term_printf(2, 4, TERM_NORMAL, "hi %d", 7) != 4) return 3;
    if (term_type(5, 0, "x", 1, TERM_INVERSE) != 1 || term_state.attr != TERM_NORMAL) return 4;
    errno = 0;
    if (term_cur(term_state.num_rows, 0) != -1 || errno != EINVAL) return 5;
    return term_flush() == 0 ? 0 : 6;
}

/* QNX 4's terminal library draws with the codes of the terminfo entry TERM
 * names (xterm's cursor address and inverse video here), and knows when TERM
 * names no terminal. */
static void terminal_library(void) {
    char out[512];
    size_t got = 0;
    ssize_t n;
    struct pollfd p;
    int master, slave = open_pty(&master), status = -1;
    pid_t child;

    CHECK(slave >= 0);
    fflush(NULL);
    child = fork();
    if (child == 0) _exit(draw(slave, "xterm"));
    CHECK(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    p.fd = master;
    p.events = POLLIN;
    memset(out, 0, sizeof out);
    while (got < sizeof out - 1 && !strstr(out, "\033[7mx") && poll(&p, 1, 5000) == 1 &&
           (n = read(master, out + got, sizeof out - 1 - got)) > 0)
        got += (size_t)n;
    CHECK(strstr(out, "\033[3;5Hhi 7") != NULL && strstr(out, "\033[6;1H\033") != NULL);
    CHECK(strstr(out, "\033[7mx") != NULL);
    close(slave);
    close(master);

    CHECK(setenv("TERM", "no-such-terminal-qnx4", 1) == 0);
    errno = 0;
    CHECK(term_load() == -1 && errno == ENOENT);
}

static void send_eintr(void) {
    signal_breaks_reply_wait(0);
}

static void sigcatch(void) {
    signal_breaks_reply_wait(1);
}

/* The cases, by the names test_porting gives them. */
static const struct {
    const char *name;
    void (*run)(void);
} cases[] = {
    {"reply", reply_reports_errno},
    {"proxy", proxy_counts_triggers},
    {"timer", zero_value_disarms},
    {"send-eintr", send_eintr},
    {"sigcatch", sigcatch},
    {"posix-timers", posix_timers},
    {"psinfo", psinfo},
    {"vc", virtual_circuits},
    {"osinfo-sid", osinfo_and_sessions},
    {"prio", priorities},
    {"priority-receive", priority_receive},
    {"writes-into-reply", writes_into_reply},
    {"message-before-trigger", message_before_trigger},
    {"spawn", spawning},
    {"writemsg-relay", writemsg_relay},
    {"devices", devices},
    {"console", console},
    {"trigger-first", trigger_first},
    {"names", names_located},
    {"node-ids", node_ids},
    {"network", network_calls},
    {"c-library", c_library},
    {"qnxterm", terminal_library},
};

int main(int argc, char **argv) {
    const char *which = argc > 1 ? argv[1] : "";
    size_t i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        if (strcmp(which, cases[i].name) != 0) continue;
        cases[i].run();
        return failures == 0 ? 0 : 1;
    }
    printf("usage: qnx4_face CASE, one of:");
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) printf(" %s", cases[i].name);
    printf("\n");
    return 2;
}
