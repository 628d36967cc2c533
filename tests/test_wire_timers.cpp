/* test_wire_timers.cpp - timers on the wire: creation, arming, expiry by proxy, sleep and signal */
#include "vorlen_test.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t0) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

using vt::Peer;

/* Catcher is a living pid that reports each SIGUSR1 it gets through a pipe. */
int catcher_pipe = -1;
void on_usr1(int) {
    char x = 'x';
    if (write(catcher_pipe, &x, 1) < 0) { /* nothing to do in a handler */
    }
}

struct Catcher {
    pid_t pid = -1;
    int rd = -1;
    Catcher() {
        int p[2];
        if (pipe(p) != 0) return;
        pid = fork();
        if (pid == 0) {
            close(p[0]);
            catcher_pipe = p[1];
            struct sigaction sa = {};
            sa.sa_handler = on_usr1;
            sigaction(SIGUSR1, &sa, nullptr);
            for (;;) pause();
        }
        close(p[1]);
        rd = p[0];
    }
    ~Catcher() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (rd >= 0) close(rd);
    }
    bool caught(int timeout_ms) {
        pollfd p{rd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return false;
        char x;
        return read(rd, &x, 1) == 1;
    }
};

QNX_ITIMERSPEC tspec(int32_t vs, int32_t vns, int32_t is = 0, int32_t ins = 0) {
    QNX_ITIMERSPEC v;
    v.it_value = {vs, vns};
    v.it_interval = {is, ins};
    return v;
}

/* send_settime sends an MT_RELABSTIMER with flags in its header. */
void send_settime(vt::RawClient &c, pid_t pid, int32_t nr, const QNX_ITIMERSPEC &v, int32_t typ = 0,
                  uint16_t flags = 0) {
    QNX_MSG_TIMER t;
    memset(&t, 0, sizeof t);
    t.typ = typ;
    t.timer_nr = nr;
    t.value = v;
    auto rq = vt::req(MT_RELABSTIMER, pid, t);
    memcpy(rq.data() + offsetof(QNX_MSG_HDR, flags), &flags, sizeof flags);
    c.send_bytes(rq);
}

/* settime arms a proxy or signal timer; returns the retcode and, on success,
 * the previous setting the answer carries. */
bool same(const QNX_ITIMERSPEC &a, const QNX_ITIMERSPEC &b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

int settime(vt::RawClient &c, pid_t pid, int32_t nr, const QNX_ITIMERSPEC &v,
            QNX_ITIMERSPEC *previous = nullptr, int32_t typ = 0, uint16_t flags = 0) {
    send_settime(c, pid, nr, v, typ, flags);
    QNX_MSG_HDR h = c.recv_hdr();
    if (h.ev.retcode != 0) {
        EXPECT_EQ(h.msg_len, 0u);
        return h.ev.retcode;
    }
    EXPECT_EQ(h.msg_len, sizeof(QNX_MSG_TIMER));
    auto b = c.recv_exact(sizeof(QNX_MSG_TIMER));
    QNX_MSG_TIMER ans;
    if (b.size() != sizeof ans) return -1;
    memcpy(&ans, b.data(), sizeof ans);
    EXPECT_EQ(ans.typ, typ);
    EXPECT_EQ(ans.timer_nr, nr);
    if (previous) *previous = ans.value;
    return 0;
}

int rmtimer(vt::RawClient &c, pid_t pid, int32_t nr) {
    QNX_MSG_RMTIMER b;
    memset(&b, 0, sizeof b);
    b.timer_nr = nr;
    c.send_bytes(vt::req(MT_RMTIMER, pid, b));
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.msg_len, 0u);
    return h.ev.retcode;
}

pid_t attach_proxy(Peer &p, const std::string &msg) {
    QNX_MSG_PROXY_ATTACH b;
    memset(&b, 0, sizeof b);
    b.to_pid = p.pid();
    b.nbytes = uint32_t(msg.size());
    memcpy(b.data, msg.data(), msg.size());
    p.c.send_bytes(vt::req(MT_PROXY_ATTACH, p.pid(), b));
    QNX_MSG_HDR h = p.c.recv_hdr();
    auto rec = p.c.recv_exact(h.msg_len);
    int32_t id = 0;
    if (h.ev.retcode == 0 && rec.size() >= 4) memcpy(&id, rec.data(), 4);
    return id;
}

/* delivered reads one message: its origin, or minus the retcode. */
pid_t delivered(vt::RawClient &c, std::string *data = nullptr) {
    QNX_MSG_HDR h = c.recv_hdr();
    if (h.ev.retcode != 0) return -100 - int(h.ev.retcode);
    auto b = c.recv_exact(h.msg_len);
    if (data) *data = std::string(b.begin(), b.end());
    return h.from_pid;
}

QNX_MSG_SIN_RTIMERS timer_record(int port, int32_t nr) {
    for (auto &r : vt::list_timers(port))
        if (r.nr == nr) return r;
    QNX_MSG_SIN_RTIMERS none;
    memset(&none, 0, sizeof none);
    return none;
}

} // namespace

TEST(WireTimers, CreationLimitsAndRefusals) {
    vt::Daemon d;
    Peer a(d.port()), other(d.port());

    /* Out-of-range events are refused and take no slot. */
    for (int32_t sig : {64, 0, -1}) EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_SIGNAL, sig), -EINVAL);
    for (int32_t px : {-1, -52, 0, 5}) EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_PROXY, px), -EINVAL);
    EXPECT_TRUE(vt::list_timers(d.port()).empty());

    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_SIGNAL, 63), 1);
    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_PROXY, -2), 2); /* not attached: fine */
    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_PROXY, -51), 3);
    EXPECT_EQ(mktimer(a.c, a.pid(), 7, -1000, 4), 4); /* another kind only counts */
    for (int i = 5; i <= 50; i++) ASSERT_EQ(mktimer(a.c, a.pid(), NOTIFY_SLEEP, 0), i);
    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_SLEEP, 0), -EAGAIN);
    EXPECT_EQ(rmtimer(a.c, a.pid(), 3), 0);
    EXPECT_EQ(mktimer(other.c, other.pid(), NOTIFY_SLEEP, 0), 3);

    auto r = timer_record(d.port(), 4);
    EXPECT_EQ(r.pid, a.pid());
    EXPECT_EQ(r.timer_type, 4);
    EXPECT_EQ(r.notify_type, 7);
    EXPECT_EQ(r.evt_value, -1000);

    /* Numbers outside 1 ... 50, free slots and other processes' timers. */
    for (int32_t nr : {0, 51, -1, 3}) {
        EXPECT_EQ(rmtimer(a.c, a.pid(), nr), ESRCH) << nr;
        EXPECT_EQ(settime(a.c, a.pid(), nr, tspec(1, 0)), ESRCH) << nr;
        EXPECT_EQ(settime(a.c, a.pid(), nr, tspec(1, 0), nullptr, 1), ESRCH) << nr;
    }
    EXPECT_EQ(rmtimer(other.c, other.pid(), 1), ESRCH);
    EXPECT_EQ(timer_record(d.port(), 1).pid, a.pid());
    EXPECT_EQ(rmtimer(other.c, other.pid(), 3), 0);
    EXPECT_EQ(rmtimer(other.c, other.pid(), 3), ESRCH);
}

TEST(WireTimers, ProxyTimerFiresOnTimeAndAnswersThePreviousSetting) {
    vt::Daemon d;
    Peer owner(d.port());
    ASSERT_EQ(attach_proxy(owner, "tick"), -2);
    ASSERT_EQ(mktimer(owner.c, owner.pid(), NOTIFY_PROXY, -2), 1);

    /* A 0-second timer fires at the next scan. */
    QNX_ITIMERSPEC prev;
    ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(0, 1000), &prev), 0);
    EXPECT_TRUE(same(prev, tspec(0, 0)));
    receive(owner.c, owner.pid(), 0);
    std::string data;
    EXPECT_EQ(delivered(owner.c, &data), -2);
    EXPECT_EQ(data, "tick");
    auto r = timer_record(d.port(), 1);
    EXPECT_EQ(r.fire_cnt, 1);
    EXPECT_EQ(r.value.tv_sec, 0); /* fired once: no longer armed */
    EXPECT_EQ(r.value.tv_nsec, 0);

    /* Never before its deadline; the answer carries the setting before. */
    auto t0 = Clock::now();
    ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(0, 80000000), &prev), 0);
    EXPECT_TRUE(same(prev, tspec(0, 1000)));
    receive(owner.c, owner.pid(), 0);
    EXPECT_EQ(delivered(owner.c), -2);
    EXPECT_GE(ms_since(t0), 80);

    /* Periodic: each period counted from the deadline before it. */
    t0 = Clock::now();
    ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(0, 20000000, 0, 20000000), &prev), 0);
    EXPECT_TRUE(same(prev, tspec(0, 80000000)));
    for (int i = 0; i < 3; i++) {
        receive(owner.c, owner.pid(), 0);
        EXPECT_EQ(delivered(owner.c), -2);
    }
    EXPECT_GE(ms_since(t0), 60);
    r = timer_record(d.port(), 1);
    EXPECT_GE(r.fire_cnt, 5);
    EXPECT_EQ(r.repeat.tv_sec, 0);
    EXPECT_EQ(r.repeat.tv_nsec, 20000000);
    EXPECT_EQ(rmtimer(owner.c, owner.pid(), 1), 0);
    EXPECT_TRUE(vt::list_timers(d.port()).empty());
}

TEST(WireTimers, AbsoluteTimerFollowsTheWallClock) {
    vt::Daemon d;
    Peer owner(d.port());
    ASSERT_EQ(attach_proxy(owner, "abs"), -2);
    ASSERT_EQ(mktimer(owner.c, owner.pid(), NOTIFY_PROXY, -2), 1);

    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec at = now;
    at.tv_nsec += 100000000;
    if (at.tv_nsec >= 1000000000) {
        at.tv_sec++;
        at.tv_nsec -= 1000000000;
    }
    ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(int32_t(at.tv_sec), int32_t(at.tv_nsec)),
                      nullptr, 1),
              0);
    receive(owner.c, owner.pid(), 0);
    EXPECT_EQ(delivered(owner.c), -2);
    struct timespec got;
    clock_gettime(CLOCK_REALTIME, &got);
    EXPECT_TRUE(got.tv_sec > at.tv_sec ||
                (got.tv_sec == at.tv_sec && got.tv_nsec / 1000 >= at.tv_nsec / 1000));

    /* A time of day already past fires at once. */
    ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(int32_t(now.tv_sec - 10), 0), nullptr, 1), 0);
    receive(owner.c, owner.pid(), 0);
    EXPECT_EQ(delivered(owner.c), -2);
}

TEST(WireTimers, SleepTimerAnswersItsOwnerOnce) {
    vt::Daemon d;
    Peer owner(d.port());
    ASSERT_EQ(mktimer(owner.c, owner.pid(), NOTIFY_SLEEP, 0), 1);

    auto t0 = Clock::now();
    send_settime(owner.c, owner.pid(), 1, tspec(0, 40000000, 0, 5000000));
    QNX_MSG_HDR h = owner.c.recv_hdr();
    EXPECT_GE(ms_since(t0), 40);
    EXPECT_EQ(h.ev.retcode, 0);
    EXPECT_EQ(h.msg_len, 0u);

    /* Later expiries only count: the owner waited for one answer. */
    ASSERT_TRUE(vt::wait_until([&] { return timer_record(d.port(), 1).fire_cnt >= 4; }));
    EXPECT_TRUE(owner.c.silent(20));
    EXPECT_EQ(rmtimer(owner.c, owner.pid(), 1), 0);
}

TEST(WireTimers, SignalInterruptsItsOwnerAndLeavesItsClientsBlocked) {
    vt::Daemon d;
    vt::RawClient owner(d.port());
    Catcher owner_proc; /* forked after the connection: the process that holds it */
    Peer held(d.port()), queued(d.port()), awaited(d.port()), server(d.port());
    pid_t o = owner_proc.pid;
    std::string data;
    ASSERT_EQ(mktimer(owner, o, NOTIFY_SIGNAL, SIGUSR1), 1);

    /* held waits for its reply from the owner, queued for its message to be taken. */
    held.c.send_bytes(vt::send_req(MT_SEND, held.pid(), o, {"held"}));
    receive(owner, o, 0);
    EXPECT_EQ(delivered(owner, &data), held.pid());
    EXPECT_EQ(data, "held");
    queued.c.send_bytes(vt::send_req(MT_SEND, queued.pid(), o, {"queued"}));
    ASSERT_TRUE(vt::wait_state(d.port(), queued.pid(), STATE_SEND_BLOCKED));

    /* Periodic, so that some expiry finds the owner waiting in its Receive. */
    ASSERT_EQ(settime(owner, o, 1, tspec(0, 20000000, 0, 20000000)), 0);
    receive(owner, o, awaited.pid());
    QNX_MSG_HDR ho = owner.recv_hdr(10000);
    EXPECT_EQ(ho.ev.retcode, EINTR);
    EXPECT_EQ(ho.msg_len, 0u);
    EXPECT_TRUE(owner_proc.caught(5000));

    /* The signal was the owner's: its clients wait on, and the owner's reply
     * and Receive still find them. */
    EXPECT_EQ(vt::process_record(d.port(), held.pid()).block_state, STATE_REPLY_BLOCKED);
    EXPECT_EQ(vt::process_record(d.port(), queued.pid()).block_state, STATE_SEND_BLOCKED);
    EXPECT_TRUE(held.c.silent(5));
    EXPECT_TRUE(queued.c.silent(5));
    owner.send_bytes(vt::send_req(MT_REPLY, o, held.pid(), {"done"}));
    EXPECT_EQ(owner.recv_hdr().ev.retcode, 0);
    EXPECT_EQ(delivered(held.c, &data), 0);
    EXPECT_EQ(data, "done");
    receive(owner, o, 0);
    EXPECT_EQ(delivered(owner, &data), queued.pid());
    EXPECT_EQ(data, "queued");

    /* The owner's own Send, once received, waits for its reply through
     * expiries. The server waits first, so that no expiry can find the Send
     * still unreceived (which it would break off). */
    receive(server.c, server.pid(), 0);
    ASSERT_TRUE(vt::wait_state(d.port(), server.pid(), STATE_RECEIVE_BLOCKED));
    owner.send_bytes(vt::send_req(MT_SEND, o, server.pid(), {"ask"}));
    EXPECT_EQ(delivered(server.c), o);
    int32_t fired = timer_record(d.port(), 1).fire_cnt;
    ASSERT_TRUE(vt::wait_until([&] { return timer_record(d.port(), 1).fire_cnt > fired; }));
    EXPECT_TRUE(owner.silent(5));
    server.c.send_bytes(vt::send_req(MT_REPLY, server.pid(), o, {"answer"}));
    EXPECT_EQ(server.c.recv_hdr().ev.retcode, 0);
    EXPECT_EQ(delivered(owner, &data), 0);
    EXPECT_EQ(data, "answer");
    /* Unless it asked for QNX 4 semantics: then an expiry answers it EINTR and
     * the server's reply finds no one. */
    auto marked = vt::send_req(MT_SEND, o, server.pid(), {"ask again"});
    reinterpret_cast<QNX_MSG_HDR *>(marked.data())->flags.all = VORLEN_FLAG_QNX4;
    receive(server.c, server.pid(), 0);
    ASSERT_TRUE(vt::wait_state(d.port(), server.pid(), STATE_RECEIVE_BLOCKED));
    owner.send_bytes(marked);
    EXPECT_EQ(delivered(server.c), o);
    ho = owner.recv_hdr(10000);
    EXPECT_EQ(ho.ev.retcode, EINTR);
    EXPECT_EQ(ho.msg_len, 0u);
    server.c.send_bytes(vt::send_req(MT_REPLY, server.pid(), o, {"too late"}));
    EXPECT_EQ(server.c.recv_hdr().ev.retcode, ESRCH);
    EXPECT_EQ(rmtimer(owner, o, 1), 0);
}

TEST(WireTimers, SignalBreaksASleep) {
    vt::Daemon d;
    vt::RawClient owner(d.port());
    Catcher owner_proc; /* forked after the connection: the process that holds it */
    pid_t o = owner_proc.pid;

    ASSERT_EQ(mktimer(owner, o, NOTIFY_SIGNAL, SIGUSR1), 1);
    ASSERT_EQ(mktimer(owner, o, NOTIFY_SLEEP, 0), 2);
    ASSERT_EQ(settime(owner, o, 1, tspec(0, 50000000)), 0);
    auto t0 = Clock::now();
    send_settime(owner, o, 2, tspec(0, 400000000));
    QNX_MSG_HDR h = owner.recv_hdr();
    EXPECT_EQ(h.ev.retcode, EINTR);
    EXPECT_LT(ms_since(t0), 400);
    EXPECT_TRUE(owner_proc.caught(5000));

    /* The sleep's own expiry then answers nothing. */
    ASSERT_TRUE(vt::wait_until([&] { return timer_record(d.port(), 2).fire_cnt == 1; }));
    EXPECT_TRUE(owner.silent(20));
}

TEST(WireTimers, RemovedOwnerTakesItsTimers) {
    vt::Daemon d;
    Peer a(d.port());
    auto leaving = std::make_unique<Peer>(d.port());
    ASSERT_EQ(mktimer(leaving->c, leaving->pid(), NOTIFY_SLEEP, 0), 1);
    ASSERT_EQ(mktimer(a.c, a.pid(), NOTIFY_SLEEP, 0), 2);
    ASSERT_EQ(mktimer(leaving->c, leaving->pid(), NOTIFY_SLEEP, 0), 3);
    /* It leaves in the middle of a sleep. */
    send_settime(leaving->c, leaving->pid(), 1, tspec(5, 0));
    ASSERT_TRUE(vt::wait_until([&] { return timer_record(d.port(), 1).value.tv_sec > 0; }));
    leaving->c.close();

    ASSERT_TRUE(vt::wait_until([&] { return vt::list_timers(d.port()).size() == 1; }));
    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_SLEEP, 0), 1);
    EXPECT_EQ(mktimer(a.c, a.pid(), NOTIFY_SLEEP, 0), 3);
}

/* What the answer to a re-arm holds, with and without the QNX 4 mark: the
 * previous setting, or the time that was left and the previous interval. */
TEST(WireTimers, QnxMarkAnswersTheTimeLeft) {
    struct Case {
        const char *name;
        uint16_t flags;
        int32_t typ;
        QNX_ITIMERSPEC first; /* the setting before; an absolute one counts from now */
        bool expire;          /* let the first setting expire before the re-arm */
        int64_t left_min_ms;  /* marked: the answer's it_value in [min, max] */
        int64_t left_max_ms;
    };
    /* 20 ms pass between the first setting and the re-arm, so that the time
     * left is short of the setting's 10 s. */
    const Case cases[] = {
        {"marked, armed for 10 s", VORLEN_FLAG_QNX4, 0, tspec(10, 0, 3, 0), false, 8000, 9990},
        {"marked, armed at a time of day", VORLEN_FLAG_QNX4, 1, tspec(10, 0, 0, 5), false, 8000,
         9990},
        {"marked, expired and not armed", VORLEN_FLAG_QNX4, 0, tspec(0, 1000000), true, 0, 0},
        {"unmarked, armed for 10 s", 0, 0, tspec(10, 0, 3, 0), false, 0, 0},
        {"unmarked, armed at a time of day", 0, 1, tspec(10, 0, 0, 5), false, 0, 0},
        {"unmarked, expired", 0, 0, tspec(0, 1000000), true, 0, 0},
    };
    vt::Daemon d;
    Peer owner(d.port());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QNX_ITIMERSPEC first = c.first;
        if (c.typ != 0) {
            struct timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            first.it_value.tv_sec += int32_t(now.tv_sec);
        }
        ASSERT_EQ(mktimer(owner.c, owner.pid(), NOTIFY_PROXY, -2), 1);
        ASSERT_EQ(settime(owner.c, owner.pid(), 1, first, nullptr, c.typ), 0);
        if (c.expire)
            ASSERT_TRUE(vt::wait_until([&] { return timer_record(d.port(), 1).fire_cnt == 1; }));
        else
            usleep(20000);
        QNX_ITIMERSPEC prev;
        ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(20, 0), &prev, 0, c.flags), 0);
        if (c.flags) {
            const QNX_TIMESPEC &v = prev.it_value;
            EXPECT_TRUE(v.tv_nsec >= 0 && v.tv_nsec < 1000000000) << v.tv_nsec;
            const int64_t left_ns = int64_t(v.tv_sec) * 1000000000 + v.tv_nsec;
            EXPECT_GE(left_ns, c.left_min_ms * 1000000);
            EXPECT_LE(left_ns, c.left_max_ms * 1000000);
            EXPECT_EQ(prev.it_interval.tv_sec, first.it_interval.tv_sec);
            EXPECT_EQ(prev.it_interval.tv_nsec, first.it_interval.tv_nsec);
        } else {
            EXPECT_TRUE(same(prev, first));
        }
        EXPECT_EQ(rmtimer(owner.c, owner.pid(), 1), 0);
    }
}

/* A zero it_value: with the QNX 4 mark it disarms the timer; without it the
 * timer fires at once, as it always did. */
TEST(WireTimers, QnxMarkZeroValueDisarms) {
    for (uint16_t flags : {uint16_t(VORLEN_FLAG_QNX4), uint16_t(0)}) {
        SCOPED_TRACE(flags ? "marked" : "unmarked");
        vt::Daemon d;
        Peer owner(d.port());
        ASSERT_EQ(attach_proxy(owner, "zero"), -2);
        ASSERT_EQ(mktimer(owner.c, owner.pid(), NOTIFY_PROXY, -2), 1);
        ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(10, 0, 2, 0)), 0);

        QNX_ITIMERSPEC prev;
        ASSERT_EQ(settime(owner.c, owner.pid(), 1, tspec(0, 0, 2, 0), &prev, 0, flags), 0);
        EXPECT_EQ(prev.it_interval.tv_sec, 2);
        receive(owner.c, owner.pid(), 0);
        if (flags) {
            EXPECT_GE(prev.it_value.tv_sec, 5);
            EXPECT_TRUE(owner.c.silent(200));
            auto r = timer_record(d.port(), 1);
            EXPECT_EQ(r.fire_cnt, 0);
            EXPECT_EQ(r.value.tv_sec, 0); /* not armed */
            EXPECT_EQ(r.value.tv_nsec, 0);
            EXPECT_EQ(r.repeat.tv_sec, 2);
        } else {
            EXPECT_TRUE(same(prev, tspec(10, 0, 2, 0)));
            EXPECT_EQ(delivered(owner.c), -2);
            EXPECT_GE(timer_record(d.port(), 1).fire_cnt, 1);
        }
    }
}

/* A sleep timer disarmed with the QNX 4 mark has nothing to wait for: its
 * owner is answered at once, with the time that was left. */
TEST(WireTimers, QnxMarkZeroValueAnswersASleeperAtOnce) {
    vt::Daemon d;
    Peer owner(d.port());
    ASSERT_EQ(mktimer(owner.c, owner.pid(), NOTIFY_SLEEP, 0), 1);
    /* A short sleep, then the timer runs on with a 7 s period. */
    send_settime(owner.c, owner.pid(), 1, tspec(0, 1000000, 7, 0));
    QNX_MSG_HDR h = owner.c.recv_hdr();
    ASSERT_EQ(h.ev.retcode, 0);
    ASSERT_EQ(h.msg_len, 0u);

    send_settime(owner.c, owner.pid(), 1, tspec(0, 0), 0, VORLEN_FLAG_QNX4);
    h = owner.c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0);
    ASSERT_EQ(h.msg_len, sizeof(QNX_MSG_TIMER));
    auto b = owner.c.recv_exact(sizeof(QNX_MSG_TIMER));
    QNX_MSG_TIMER ans;
    ASSERT_EQ(b.size(), sizeof ans);
    memcpy(&ans, b.data(), sizeof ans);
    /* The next period was due 7 s after the first expiry. */
    const int64_t left_ns =
        int64_t(ans.value.it_value.tv_sec) * 1000000000 + ans.value.it_value.tv_nsec;
    EXPECT_GT(left_ns, 5000000000);
    EXPECT_LE(left_ns, 7000000000);
    EXPECT_EQ(ans.value.it_interval.tv_sec, 7);
    EXPECT_EQ(ans.value.it_interval.tv_nsec, 0);
    auto r = timer_record(d.port(), 1);
    EXPECT_EQ(r.value.tv_sec, 0);
    EXPECT_EQ(r.value.tv_nsec, 0);
    EXPECT_EQ(r.fire_cnt, 1);
    EXPECT_TRUE(owner.c.silent(20));
}
