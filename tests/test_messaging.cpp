/* test_messaging.cpp - Send, Receive, Creceive and Reply through vorlenlib between forked processes
 */
#include "vorlen_test.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

/* In a forked child: report the failed condition and end with status 1. */

namespace {

/* A byte pattern that no shift of itself repeats within a message. */
std::vector<char> pattern(size_t n) {
    std::vector<char> v(n);
    for (size_t i = 0; i < n; i++) v[i] = char(i * 7 + i / 251);
    return v;
}

_MXFER_ENTRY mx(const void *p, size_t n) {
    _MXFER_ENTRY e;
    _setmx(&e, p, n);
    return e;
}

/* signal_handled tells whether signal sig sent to pid is no longer pending:
 * its handler has run. */
bool signal_handled(pid_t pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    unsigned long long pending = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0)
            pending |= std::stoull(line.substr(7), nullptr, 16);
    return (pending & (1ull << (sig - 1))) == 0;
}

} // namespace

/* Each test starts unconnected, also when the tests of this file share one
 * process (a previous test's connection leads to a daemon that is gone). */
class Messaging : public ::testing::Test {
  protected:
    void SetUp() override { _qnx_close_socket(); }
};

TEST_F(Messaging, ReceiveFirstThenSendAndReply) {
    vt::Daemon d;
    pid_t server = vt::spawn([] {
        char buf[32] = {};
        pid_t from = Receive(0, buf, sizeof buf);
        REQUIRE(from == getppid() && strcmp(buf, "ping") == 0);
        REQUIRE(Reply(from, "pong!", 6) == 0);
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(d.port(), server, STATE_RECEIVE_BLOCKED));
    /* One buffer both ways: the message has gone before the reply lands. */
    char buf[16] = "ping";
    errno = 4711;
    EXPECT_EQ(Send(server, buf, buf, 5, sizeof buf), 0);
    EXPECT_STREQ(buf, "pong!");
    EXPECT_EQ(errno, 4711);
    EXPECT_EQ(vt::wait_exit(server), 0);
}

TEST_F(Messaging, QueuedMessagesComeInOrderOrByPid) {
    vt::Daemon d;
    int port = d.port();
    pid_t server = vt::spawn([] {
        /* Wait for the test alone, so that the others' messages queue up. */
        pid_t s[3];
        REQUIRE(Receive(getppid(), s, sizeof s) == getppid());
        REQUIRE(Reply(getppid(), nullptr, 0) == 0);
        char m[8];
        for (int i : {2, 0, 1}) {
            pid_t want = i == 2 ? s[2] : 0;
            memset(m, 0, sizeof m);
            REQUIRE(Receive(want, m, sizeof m) == s[i]);
            REQUIRE(m[0] == 's' && m[1] == '0' + i);
            REQUIRE(Reply(s[i], m, 3) == 0);
        }
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, server, STATE_RECEIVE_BLOCKED));
    pid_t senders[3];
    for (int i = 0; i < 3; i++) {
        senders[i] = vt::spawn([i, server] {
            char m[3] = {'s', char('0' + i), 0}, r[8] = {};
            REQUIRE(Send(server, m, r, sizeof m, sizeof r) == 0 && strcmp(r, m) == 0);
            return 0;
        });
        ASSERT_TRUE(vt::wait_state(port, senders[i], STATE_SEND_BLOCKED)) << i;
    }
    EXPECT_EQ(Send(server, senders, nullptr, sizeof senders, 0), 0);
    EXPECT_EQ(vt::wait_exit(server), 0);
    for (pid_t s : senders) EXPECT_EQ(vt::wait_exit(s), 0);
}

TEST_F(Messaging, MultipartScatterGatherAndEmptyMessages) {
    vt::Daemon d;
    pid_t server = vt::spawn([] {
        /* Parts of 3, 0 and 4 bytes arrive as one 7-byte message. */
        char a[4], b[8];
        memset(a, '.', sizeof a), memset(b, '.', sizeof b);
        _MXFER_ENTRY in[2] = {mx(a, sizeof a), mx(b, sizeof b)};
        pid_t from = Receivemx(0, 2, in);
        REQUIRE(from == getppid());
        REQUIRE(memcmp(a, "abcd", 4) == 0 && memcmp(b, "efg.....", 8) == 0);
        _MXFER_ENTRY out[2] = {mx("12", 2), mx("3456", 4)};
        REQUIRE(Replymx(from, 2, out) == 0);

        /* An empty message, then an empty reply. */
        memset(a, '.', sizeof a);
        REQUIRE(Receive(0, a, sizeof a) == from && memcmp(a, "....", 4) == 0);
        REQUIRE(Replymx(from, 0, nullptr) == 0);
        REQUIRE(Receive(0, a, sizeof a) == from && memcmp(a, "....", 4) == 0);
        REQUIRE(Reply(from, a, 0) == 0);
        return 0;
    });
    char r1[4], r2[8];
    memset(r1, '-', sizeof r1), memset(r2, '-', sizeof r2);
    _MXFER_ENTRY out[3] = {mx("abc", 3), mx("", 0), mx("defg", 4)};
    _MXFER_ENTRY in[2] = {mx(r1, sizeof r1), mx(r2, sizeof r2)};
    EXPECT_EQ(Sendmx(server, 3, 2, out, in), 0);
    EXPECT_EQ(std::string(r1, 4), "1234");
    EXPECT_EQ(std::string(r2, 8), "56------");

    EXPECT_EQ(Sendmx(server, 0, 2, nullptr, in), 0);
    EXPECT_EQ(std::string(r1, 4) + std::string(r2, 8), "123456------");
    EXPECT_EQ(Send(server, "x", r1, 0, sizeof r1), 0);
    EXPECT_EQ(std::string(r1, 4), "1234");
    EXPECT_EQ(vt::wait_exit(server), 0);
}

TEST_F(Messaging, LongAndShortAnswersAreCutOrLeaveTheRestAlone) {
    vt::Daemon d;
    const size_t big = 300000; /* far beyond one socket read */
    pid_t server = vt::spawn([big] {
        std::vector<char> p = pattern(big), m(big + 16, '.');
        /* A message longer than the receive buffer arrives cut. */
        pid_t from = Receive(0, m.data(), 10);
        REQUIRE(from == getppid());
        REQUIRE(memcmp(m.data(), p.data(), 10) == 0 && m[10] == '.');
        REQUIRE(Reply(from, "ABCDEFGHIJKLMNOPQRST", 20) == 0);

        REQUIRE(Receive(0, m.data(), unsigned(m.size())) == from);
        REQUIRE(memcmp(m.data(), p.data(), big) == 0 && m[big] == '.');
        REQUIRE(Reply(from, "xyz", 3) == 0);

        REQUIRE(Receive(0, m.data(), unsigned(m.size())) == from);
        REQUIRE(Reply(from, p.data(), unsigned(big)) == 0);

        REQUIRE(Receive(0, m.data(), unsigned(m.size())) == from);
        REQUIRE(Reply(from, "in step", 8) == 0);
        return 0;
    });
    std::vector<char> p = pattern(big);
    char r[16];

    /* A reply longer than the buffer: what fits, the rest dropped. */
    memset(r, '-', sizeof r);
    EXPECT_EQ(Send(server, p.data(), r, 100, 8), 0);
    EXPECT_EQ(std::string(r, 10), "ABCDEFGH--");

    /* A reply shorter than the buffer leaves the rest of it alone. */
    EXPECT_EQ(Send(server, p.data(), r, unsigned(big), sizeof r), 0);
    EXPECT_EQ(std::string(r, 10), "xyzDEFGH--");

    /* A long reply to a short buffer, then an exchange that must start clean. */
    EXPECT_EQ(Send(server, "x", r, 1, sizeof r), 0);
    EXPECT_EQ(memcmp(r, p.data(), sizeof r), 0);
    EXPECT_EQ(Send(server, "x", r, 1, sizeof r), 0);
    EXPECT_STREQ(r, "in step");
    EXPECT_EQ(vt::wait_exit(server), 0);
}

TEST_F(Messaging, PartnerDyingReleasesEveryoneBlockedOnIt) {
    vt::Daemon d;
    int port = d.port();
    /* victim takes one message without replying, then waits for the test only. */
    pid_t victim = vt::spawn([] {
        char m[8];
        REQUIRE(Receive(0, m, sizeof m) > 0);
        Receive(getppid(), m, sizeof m);
        return 2;
    });
    ASSERT_TRUE(vt::wait_state(port, victim, STATE_RECEIVE_BLOCKED));
    auto sender = [victim] {
        char m[4] = "hi";
        REQUIRE(Send(victim, m, m, sizeof m, sizeof m) == -1 && errno == ESRCH);
        return 0;
    };
    pid_t reply_blocked = vt::spawn(sender);
    ASSERT_TRUE(vt::wait_state(port, reply_blocked, STATE_REPLY_BLOCKED));
    ASSERT_TRUE(vt::wait_state(port, victim, STATE_RECEIVE_BLOCKED));
    pid_t send_blocked = vt::spawn(sender);
    ASSERT_TRUE(vt::wait_state(port, send_blocked, STATE_SEND_BLOCKED));
    pid_t receive_blocked = vt::spawn([victim] {
        char m[4];
        REQUIRE(Receive(victim, m, sizeof m) == -1 && errno == ESRCH);
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, receive_blocked, STATE_RECEIVE_BLOCKED));

    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
    EXPECT_EQ(vt::wait_exit(reply_blocked), 0);
    EXPECT_EQ(vt::wait_exit(send_blocked), 0);
    EXPECT_EQ(vt::wait_exit(receive_blocked), 0);
}

TEST_F(Messaging, ReplyReturnsTheRetcodeAndCreceiveNeverWaits) {
    vt::Daemon d;
    vt::Sleeper stranger; /* a living pid that never connected */
    char m[8] = {};

    errno = 4711;
    EXPECT_EQ(Reply(getpid(), "x", 1), ESRCH); /* READY, not awaiting a reply */
    EXPECT_EQ(Reply(stranger.pid(), "x", 1), ESRCH);
    EXPECT_EQ(Replymx(-2, 0, nullptr), ESRCH);
    EXPECT_EQ(errno, 4711);

    EXPECT_EQ(Creceive(0, m, sizeof m), -1);
    EXPECT_EQ(errno, ENOMSG);
    pid_t sender = vt::spawn([] {
        char r[8] = {};
        REQUIRE(Send(getppid(), "queued", r, 7, sizeof r) == 0 && strcmp(r, "ok") == 0);
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(d.port(), sender, STATE_SEND_BLOCKED));
    EXPECT_EQ(Creceive(0, m, sizeof m), sender);
    EXPECT_STREQ(m, "queued");
    EXPECT_EQ(Reply(sender, "ok", 3), 0);
    _MXFER_ENTRY in = mx(m, sizeof m);
    EXPECT_EQ(Creceivemx(0, 1, &in), -1);
    EXPECT_EQ(errno, ENOMSG);
    EXPECT_EQ(vt::wait_exit(sender), 0);
}

TEST_F(Messaging, SignalHandlerBreaksOffAWaitButNotAPendingReply) {
    vt::Daemon d;
    int port = d.port();
    pid_t waiter = vt::spawn([] {
        struct sigaction sa = {};
        sa.sa_handler = [](int) {}; /* no SA_RESTART: the read is broken off */
        sigaction(SIGUSR1, &sa, nullptr);
        char m[8], r[8] = {};
        REQUIRE(Receive(0, m, sizeof m) == -1 && errno == EINTR);
        REQUIRE(Send(getppid(), "hold", r, 5, sizeof r) == 0 && strcmp(r, "done") == 0);
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, waiter, STATE_RECEIVE_BLOCKED));
    kill(waiter, SIGUSR1);
    char m[8] = {};
    EXPECT_EQ(Receive(waiter, m, sizeof m), waiter);
    EXPECT_STREQ(m, "hold");
    /* Waiting for the reply, the waiter takes the signal and waits on. */
    ASSERT_TRUE(vt::wait_state(port, waiter, STATE_REPLY_BLOCKED));
    kill(waiter, SIGUSR1);
    ASSERT_TRUE(vt::wait_until([&] { return signal_handled(waiter, SIGUSR1); }));
    EXPECT_EQ(Reply(waiter, "done", 5), 0);
    EXPECT_EQ(vt::wait_exit(waiter), 0);
}
