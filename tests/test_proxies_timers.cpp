/* test_proxies_timers.cpp - proxies and timers through vorlenlib */
#include "vorlen_test.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

/* In a forked child: report the failed condition and end with status 1. */

namespace {

struct itimerspec after(time_t sec, long nsec, time_t isec = 0, long insec = 0) {
    struct itimerspec v;
    v.it_value.tv_sec = sec;
    v.it_value.tv_nsec = nsec;
    v.it_interval.tv_sec = isec;
    v.it_interval.tv_nsec = insec;
    return v;
}

bool same(const struct itimerspec &a, const struct itimerspec &b) {
    return a.it_value.tv_sec == b.it_value.tv_sec && a.it_value.tv_nsec == b.it_value.tv_nsec &&
           a.it_interval.tv_sec == b.it_interval.tv_sec &&
           a.it_interval.tv_nsec == b.it_interval.tv_nsec;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

/* Each test starts unconnected, also when the tests of this file share one
 * process (a previous test's connection leads to a daemon that is gone). */
class Proxies : public ::testing::Test {
  protected:
    void SetUp() override { _qnx_close_socket(); }
};
using Timers = Proxies;

TEST_F(Proxies, AttachTriggerReceiveDetach) {
    vt::Daemon d;
    char data100[100];
    for (int i = 0; i < 100; i++) data100[i] = char('A' + i % 26);
    pid_t hello = qnx_proxy_attach(0, "hello", 5, 0);
    EXPECT_EQ(hello, -2);
    EXPECT_EQ(errno, 0);
    pid_t empty = qnx_proxy_attach(0, nullptr, 0, -1);
    EXPECT_EQ(empty, -3);
    pid_t full = qnx_proxy_attach(0, data100, 100, 0);
    EXPECT_EQ(full, -4);
    pid_t zeros = qnx_proxy_attach(getpid(), nullptr, 4, 0);
    EXPECT_EQ(zeros, -5);
    for (int bad : {101, -1}) {
        errno = 0;
        EXPECT_EQ(qnx_proxy_attach(0, data100, bad, 0), -1) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
    }

    char m[128];
    memset(m, '.', sizeof m);
    EXPECT_EQ(Trigger(full), 0);
    EXPECT_EQ(Receive(0, m, 100), full);
    EXPECT_EQ(memcmp(m, data100, 100), 0);
    /* A proxy's message comes whole; what exceeds the buffer is dropped. */
    memset(m, '.', sizeof m);
    EXPECT_EQ(Trigger(hello), 0);
    EXPECT_EQ(Receive(0, m, 2), hello);
    EXPECT_EQ(std::string(m, 3), "he.");
    EXPECT_EQ(Trigger(zeros), 0);
    EXPECT_EQ(Receive(0, m, sizeof m), zeros);
    EXPECT_EQ(std::string(m, 5), std::string(4, '\0') + "."); /* nbytes of zero bytes */
    EXPECT_EQ(Trigger(empty), 0);
    memset(m, '.', sizeof m);
    EXPECT_EQ(Receive(0, m, sizeof m), empty);
    EXPECT_EQ(m[0], '.');

    /* Anybody may trigger, the owner alone detaches. */
    int port = d.port();
    pid_t other = vt::spawn([hello, port] {
        REQUIRE(qnx_name_locate(0, "proxies-none", 0, nullptr) == -1); /* connects */
        REQUIRE(vt::wait_state(port, getppid(), STATE_RECEIVE_BLOCKED));
        REQUIRE(Trigger(hello) == 0 && errno == 0);
        REQUIRE(qnx_proxy_detach(hello) == -1 && errno == ESRCH);
        return 0;
    });
    EXPECT_EQ(Receive(0, m, sizeof m), hello);
    EXPECT_EQ(vt::wait_exit(other), 0);

    EXPECT_EQ(qnx_proxy_detach(empty), 0);
    EXPECT_EQ(errno, 0);
    for (pid_t gone : {empty, pid_t(-1), pid_t(-52)}) {
        EXPECT_EQ(Trigger(gone), -1) << gone;
        EXPECT_EQ(errno, ESRCH) << gone;
    }
    EXPECT_EQ(qnx_proxy_detach(empty), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(Timers, ProxyTimerFiresAndReportsThePreviousSetting) {
    vt::Daemon d;
    pid_t proxy = qnx_proxy_attach(0, "tick", 5, 0);
    ASSERT_EQ(proxy, -2);
    struct itimercb cb = {};
    cb.itcb_event.evt_value = proxy;
    qnx_timer_t t = mktimer(0, NOTIFY_PROXY, &cb);
    EXPECT_EQ(t, 1);
    EXPECT_EQ(errno, 0);

    struct itimerspec first = after(0, 200000000), o;
    memset(&o, 0x55, sizeof o);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(reltimer(t, &first, &o), 0);
    EXPECT_TRUE(same(o, after(0, 0))) << "never armed before";
    char m[8] = {};
    EXPECT_EQ(Receive(0, m, sizeof m), proxy);
    EXPECT_STREQ(m, "tick");
    EXPECT_GE(seconds_since(t0), 0.15);

    /* Absolute: a wall-clock time a fifth of a second ahead. */
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct itimerspec at =
        after(now.tv_sec + (now.tv_nsec >= 800000000), (now.tv_nsec + 200000000) % 1000000000);
    EXPECT_EQ(abstimer(t, &at, &o), 0);
    EXPECT_TRUE(same(o, first));
    EXPECT_EQ(Receive(0, m, sizeof m), proxy);

    struct itimerspec later = after(30, 5, 1, 7);
    EXPECT_EQ(reltimer(t, &later, &o), 0);
    EXPECT_TRUE(same(o, at));
    EXPECT_EQ(reltimer(t, nullptr, &o), 0); /* a null setting is all zero */
    EXPECT_TRUE(same(o, later));
    EXPECT_EQ(reltimer(t, nullptr, &o), 0);
    EXPECT_TRUE(same(o, after(0, 0)));

    /* Seconds beyond the 32 bits of the wire are refused here. */
    struct itimerspec far = after(time_t(1) << 40, 0);
    EXPECT_EQ(reltimer(t, &far, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(rmtimer(t), 0);
    EXPECT_EQ(rmtimer(t), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(Timers, SleepTimerBlocksForItsTime) {
    vt::Daemon d;
    qnx_timer_t t = mktimer(0, NOTIFY_SLEEP, nullptr);
    ASSERT_GE(t, 1);
    struct itimerspec nap = after(0, 300000000);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(reltimer(t, &nap, nullptr), 0);
    double slept = seconds_since(t0);
    EXPECT_GE(slept, 0.25);
    EXPECT_LT(slept, 5.0);
}

TEST_F(Timers, OnlyTheOwnerArmsOrRemovesATimer) {
    vt::Daemon d;
    qnx_timer_t mine = mktimer(0, NOTIFY_SLEEP, nullptr);
    ASSERT_EQ(mine, 1);
    pid_t other = vt::spawn([mine] {
        qnx_timer_t own = mktimer(0, NOTIFY_SLEEP, nullptr);
        REQUIRE(own == 2);
        struct itimerspec v = after(10, 0);
        REQUIRE(reltimer(mine, &v, nullptr) == -1 && errno == ESRCH);
        REQUIRE(rmtimer(mine) == -1 && errno == ESRCH);
        REQUIRE(rmtimer(own) == 0);
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(other), 0);
    EXPECT_EQ(rmtimer(mine), 0);
}
