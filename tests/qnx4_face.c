/* qnx4_face.c - a QNX 4 program's view of the library: each case checks one QNX 4 behaviour */
/* Built as old C with the QNX 4 header names only, as a ported program is.
 * `qnx4_face CASE` runs one case against the daemon of VORLEN_PORT and exits
 * 0 when the library behaved as QNX 4 does; otherwise it prints what it saw
 * and exits 1. */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <i86.h>
#include <sys/kernel.h>
#include <sys/proxy.h>
#include <sys/psinfo.h>
#include <sys/timers.h>

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

int main(int argc, char **argv) {
    const char *which = argc > 1 ? argv[1] : "";
    if (strcmp(which, "reply") == 0)
        reply_reports_errno();
    else if (strcmp(which, "proxy") == 0)
        proxy_counts_triggers();
    else if (strcmp(which, "timer") == 0)
        zero_value_disarms();
    else if (strcmp(which, "send-eintr") == 0)
        signal_breaks_reply_wait(0);
    else if (strcmp(which, "sigcatch") == 0)
        signal_breaks_reply_wait(1);
    else if (strcmp(which, "posix-timers") == 0)
        posix_timers();
    else if (strcmp(which, "writemsg-relay") == 0)
        writemsg_relay();
    else {
        printf("usage: qnx4_face reply|proxy|timer|send-eintr|sigcatch|posix-timers|"
               "writemsg-relay\n");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
