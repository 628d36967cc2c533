/* unit_timer.cpp - the daemon's timer scan on its own, under a clock that only moves when told */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <gtest/gtest.h>

#include "vorleni.h"

namespace {

/* The daemon's clocks: both move together unless a test steps one alone. The
 * wall clock is far from the monotonic one, as on a real machine, so that a
 * deadline read on the wrong clock shows. */
struct timespec mono = {1000, 0}, wall = {1700000000, 250000000};

int fake_clock(int clock, struct timespec *ts) {
    *ts = clock == CLOCK_REALTIME ? wall : mono;
    return 0;
}

void advance_us(int64_t us) {
    for (struct timespec *t : {&mono, &wall}) {
        int64_t ns = int64_t(t->tv_sec) * 1000000000 + t->tv_nsec + us * 1000;
        t->tv_sec = time_t(ns / 1000000000);
        t->tv_nsec = long(ns % 1000000000);
    }
}

int64_t us_of(const struct timeval &t) {
    return int64_t(t.tv_sec) * 1000000 + t.tv_usec;
}

int64_t us_of(const struct timespec &t) {
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

constexpr int ACT_FD = 7; /* the requests' connection: not in the table, so answers go nowhere */
constexpr pid_t OWNER_PID = 4242;

/* TimerScan drives the request path and the scan the way the daemon's loop
 * does, with one owner process that is never listed. */
class TimerScan : public ::testing::Test {
  protected:
    PGLOB *pg = &_pglob;
    QNX_PSTATE owner{};
    QNX_CONN conn; /* bound to owner */
    REQUEST rq{};  /* the request being served */

    void SetUp() override {
        static bool once = false;
        if (!once) {
            pglob_init(pg, "unit_timer");
            pg->nodisp = 1;
            vorlen_clock_gettime = fake_clock;
            once = true;
        }
        owner.pid = OWNER_PID;
        owner.state = STATE_READY;
        owner.pidfd = -1;
        conn.fd = ACT_FD;
        conn.ps = &owner;
        pg->next_timeout = {mono.tv_sec + SWEEP_INTERVAL, 0};
    }

    void TearDown() override {
        while (!pg->timers_used.empty()) do_tdetach(pg, pg->timers_used.front());
        conn.ps = nullptr;
    }

    /* mktimer makes a proxy timer whose proxy is not attached: its expiries
     * are only counted. Returns its slot. */
    QNX_TIMER_STATE *mktimer() {
        rq = REQUEST{};
        QNX_MSG_HDR *h = &rq.hdr;
        h->ev.typ = MT_MKTIMER;
        h->from_pid = OWNER_PID;
        h->msg_len = sizeof(QNX_MSG_MKTIMER);
        auto *b = rq.body<QNX_MSG_MKTIMER>();
        b->notify_type = NOTIFY_PROXY;
        b->itimercb.itcb_event.evt_value = -2;
        process_mktimer(pg, &conn, rq);
        EXPECT_EQ(h->ev.retcode, 0);
        return &pg->timers[b->timer_nr - 1];
    }

    void settime(QNX_TIMER_STATE *p, int32_t typ, QNX_TIMESPEC value, QNX_TIMESPEC interval) {
        rq = REQUEST{};
        QNX_MSG_HDR *h = &rq.hdr;
        h->ev.typ = MT_RELABSTIMER;
        h->from_pid = OWNER_PID;
        h->msg_len = sizeof(QNX_MSG_TIMER);
        auto *b = rq.body<QNX_MSG_TIMER>();
        b->typ = typ;
        b->timer_nr = int32_t(p - pg->timers.data()) + 1;
        b->value.it_value = value;
        b->value.it_interval = interval;
        process_relabstimer(pg, &conn, rq);
    }

    /* loop_pass is one pass of the daemon's loop at the current time: the
     * scan runs only once the earliest deadline has passed. */
    void loop_pass() {
        struct timeval now = now_clock(CLOCK_MONOTONIC);
        if (!tv_le(now, pg->next_timeout)) process_timers(pg);
    }
};

/* Each case arms a periodic timer, first due one period ahead, and lets the
 * loop come round step microseconds after the pass before, a little late
 * each time, so that periods are missed now and then too. */
struct PhaseCase {
    const char *name;
    int32_t interval_ns;
    int64_t period_us; /* the period the daemon keeps */
    int64_t step_us;
};

const PhaseCase phase_cases[] = {
    {"10 ms, the loop 0.3 ms late on each", 10000000, 10000, 10300},
    {"10 ms, the loop 9.9 ms late on each", 10000000, 10000, 19900},
    {"0.1 ms, stretched to the shortest period", 100000, 1000, 1700},
};

TEST_F(TimerScan, PeriodicTimerKeepsItsPhase) {
    for (const PhaseCase &c : phase_cases) {
        SCOPED_TRACE(c.name);
        QNX_TIMER_STATE *p = mktimer();
        const int64_t armed = us_of(mono);
        settime(p, 0, {0, int32_t(c.period_us * 1000)}, {0, c.interval_ns});

        int32_t fired = 0;
        for (int step = 1; step <= 1000; step++) {
            advance_us(c.step_us);
            loop_pass();
            /* Every pass finds a deadline passed and handles it once. */
            ASSERT_EQ(p->fire_cnt, ++fired) << "step " << step;
            ASSERT_EQ(p->clock, CLOCK_MONOTONIC);
            const int64_t next = us_of(p->timeval) - armed;
            const int64_t ahead = us_of(p->timeval) - us_of(mono);
            /* On the grid armed + k x period, and the first point of it ahead. */
            ASSERT_EQ(next % c.period_us, 0) << "step " << step << ": " << next;
            ASSERT_GT(ahead, 0) << "step " << step;
            ASSERT_LE(ahead, c.period_us) << "step " << step;
        }

        /* Five and a half periods behind the deadline: one expiry for all
         * the missed periods, no burst, and still on the grid. */
        advance_us(us_of(p->timeval) - us_of(mono) + c.period_us * 5 + c.period_us / 2);
        loop_pass();
        EXPECT_EQ(p->fire_cnt, fired + 1);
        const int64_t next = us_of(p->timeval) - armed;
        EXPECT_EQ(next % c.period_us, 0) << next;
        EXPECT_EQ(us_of(p->timeval) - us_of(mono), c.period_us / 2);
        loop_pass();
        EXPECT_EQ(p->fire_cnt, fired + 1);
        do_tdetach(pg, p);
    }
}

/* An interval of 1/60 s is 16666666.67 ns: kept to the microsecond alone it
 * would lose 0.67 us a period, 0.67 ms over 1000 periods. */
TEST_F(TimerScan, AFractionOfAMicrosecondIsCarriedFromPeriodToPeriod) {
    QNX_TIMER_STATE *p = mktimer();
    const int64_t armed_ns = us_of(mono) * 1000;
    constexpr int32_t SIXTIETH_NS = 16666667;
    settime(p, 0, {0, SIXTIETH_NS}, {0, SIXTIETH_NS});
    for (int k = 2; k <= 1001; k++) {
        advance_us(us_of(p->timeval) - us_of(mono) + 300);
        loop_pass();
        const int64_t due = armed_ns + int64_t(k) * SIXTIETH_NS;
        const int64_t next = us_of(p->timeval) * 1000 + p->deadline_ns;
        ASSERT_EQ(next, due) << "period " << k;
    }
}

TEST_F(TimerScan, AbsoluteTimerPeriodsRunFromItsTimeOfDay) {
    QNX_TIMER_STATE *p = mktimer();
    const int64_t mono0 = us_of(mono);
    /* Due 25 ms from now on the wall clock. */
    struct timespec at = wall;
    at.tv_nsec += 25000000;
    settime(p, 1, {int32_t(at.tv_sec), int32_t(at.tv_nsec)}, {0, 10000000});
    EXPECT_EQ(p->clock, CLOCK_REALTIME);

    /* Handled 2.5 ms late: the next period counts from 25 ms, not from 27.5. */
    advance_us(27500);
    loop_pass();
    EXPECT_EQ(p->fire_cnt, 1);
    EXPECT_EQ(p->clock, CLOCK_MONOTONIC);
    EXPECT_EQ(us_of(p->timeval), mono0 + 35000);

    /* Stepping the wall clock back an hour moves the periods no more. */
    wall.tv_sec -= 3600;
    advance_us(10000);
    loop_pass();
    EXPECT_EQ(p->fire_cnt, 2);
    EXPECT_EQ(us_of(p->timeval), mono0 + 45000);
}

} // namespace
