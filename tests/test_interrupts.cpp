/* test_interrupts.cpp - signal handlers break off blocking calls as under QNX 4, without losing
 * step */
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

namespace {

volatile sig_atomic_t handled = 0;
void on_usr1(int) {
    handled = handled + 1;
}

/* catch_usr1 installs a handler the way signal() does on Linux: with
 * SA_RESTART, so a plain read would simply be restarted. */
void catch_usr1() {
    struct sigaction sa = {};
    sa.sa_handler = on_usr1;
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
}

/* With raise_after_send set, the next sendmsg of this process (the library's
 * way of writing requests) raises that signal as soon as the request has
 * left: a handler then runs before the wait for the answer begins, a moment
 * a real signal hits only by bad luck. */
volatile sig_atomic_t raise_after_send = 0;

/* proc_state is the state letter of pid in /proc (R, S, T, ...), or 0. */
char proc_state(pid_t pid) {
    std::string stat = vt::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

} // namespace

extern "C" ssize_t sendmsg(int fd, const struct msghdr *m, int flags) {
    ssize_t n = syscall(SYS_sendmsg, fd, m, flags);
    int sig = raise_after_send;
    if (n > 0 && sig != 0) {
        raise_after_send = 0;
        raise(sig);
    }
    return n;
}

namespace {

class Interrupts : public ::testing::Test {
  protected:
    void SetUp() override { _qnx_close_socket(); }
};

} // namespace

TEST_F(Interrupts, ARestartingHandlerStillBreaksOffReceiveAndSleep) {
    vt::Daemon d;
    int port = d.port();
    pid_t p = vt::spawn([] {
        catch_usr1();
        char m[8];
        REQUIRE(Receive(0, m, sizeof m) == -1 && errno == EINTR);
        struct itimercb cb = {};
        timer_t t = mktimer(0, NOTIFY_SLEEP, &cb);
        REQUIRE(t > 0);
        struct itimerspec ten = {};
        ten.it_value.tv_sec = 10;
        auto t0 = std::chrono::steady_clock::now();
        REQUIRE(reltimer(t, &ten, nullptr) == -1 && errno == EINTR);
        REQUIRE(std::chrono::steady_clock::now() - t0 < std::chrono::seconds(9));
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(port, p, STATE_RECEIVE_BLOCKED));
    kill(p, SIGUSR1);
    /* Sleeping leaves the process READY in the listing: wait for its timer. */
    ASSERT_TRUE(vt::wait_until([&] {
        for (auto &t : vt::list_timers(port))
            if (t.pid == p && t.value.tv_sec > 0) return true;
        return false;
    }));
    kill(p, SIGUSR1);
    EXPECT_EQ(vt::wait_exit(p), 0);
}

/* A handler that runs after the request has left but before the wait
 * begins still breaks off a Receive or a Send, with and without SA_RESTART,
 * and the caller's own signal mask is what it was. */
TEST_F(Interrupts, ASignalJustAfterTheRequestLeftStillBreaksOffTheWait) {
    vt::Daemon d;
    pid_t p = vt::spawn([] {
        for (int flags : {SA_RESTART, 0}) {
            struct sigaction sa = {};
            sa.sa_handler = on_usr1;
            sa.sa_flags = flags;
            sigaction(SIGUSR1, &sa, nullptr);
            sigset_t usr2, before, after;
            sigemptyset(&usr2);
            sigaddset(&usr2, SIGUSR2);
            sigprocmask(SIG_BLOCK, &usr2, &before);
            handled = 0;
            char m[8] = "x", r[8];
            raise_after_send = SIGUSR1;
            REQUIRE(Receive(0, m, sizeof m) == -1 && errno == EINTR);
            REQUIRE(handled == 1);
            raise_after_send = SIGUSR1;
            REQUIRE(Send(getppid(), m, r, sizeof m, sizeof r) == -1 && errno == EINTR);
            REQUIRE(handled == 2);
            sigprocmask(SIG_SETMASK, nullptr, &after);
            REQUIRE(sigismember(&after, SIGUSR2) && !sigismember(&after, SIGUSR1));
            sigprocmask(SIG_SETMASK, &before, nullptr);
        }
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(p), 0);
}

/* A storm of signals at both ends of a message stream: every request keeps
 * exactly one answer. An interrupted Send is withdrawn and never delivered;
 * a Send interrupted after delivery still gets its reply; the stream never
 * falls out of step. */
TEST_F(Interrupts, SignalsRacingDeliveryAndReplyLeaveEveryRequestOneAnswer) {
    vt::Daemon d;
    int port = d.port();
    constexpr int N = 1000;
    pid_t server = vt::spawn([] {
        catch_usr1();
        REQUIRE(qnx_name_attach(0, "storm") > 0);
        int expect = 0, interrupted = 0;
        for (;;) {
            int m[2];
            pid_t from = Receive(0, m, sizeof m);
            if (from == -1) {
                REQUIRE(errno == EINTR);
                interrupted++;
                continue;
            }
            if (m[0] == -1) {
                Reply(from, nullptr, 0);
                break;
            }
            /* Withdrawn Sends never arrive, so values only grow; a Send
             * interrupted after delivery is answered and not sent again. */
            REQUIRE(m[0] >= expect);
            expect = m[0] + 1;
            int r = m[0] * 2 + 1;
            if (m[0] % 3 == 0) usleep(200); /* the next Send waits in the queue */
            REQUIRE(Reply(from, &r, sizeof r) == 0);
        }
        fprintf(stderr, "server: %d receives interrupted\n", interrupted);
        REQUIRE(interrupted > 0);
        return 0;
    });
    pid_t client = vt::spawn([server] {
        catch_usr1();
        pid_t s;
        while ((s = qnx_name_locate(0, "storm", 0, nullptr)) == -1) usleep(1000);
        REQUIRE(s == server);
        int withdrawn = 0;
        for (int i = 0; i < N; i++) {
            int m[2] = {i, 0}, r = -1;
            for (;;) {
                int rc = Send(s, m, &r, sizeof m, sizeof r);
                if (rc == 0) break;
                REQUIRE(errno == EINTR);
                withdrawn++;
                /* Sent again under a higher value, as the server expects. */
            }
            REQUIRE(r == i * 2 + 1);
            if (i % 3 == 1) usleep(200); /* the server waits in Receive */
        }
        int stop[2] = {-1, 0};
        while (Send(s, stop, nullptr, sizeof stop, 0) != 0) REQUIRE(errno == EINTR);
        fprintf(stderr, "client: %d sends withdrawn\n", withdrawn);
        return 0;
    });
    /* Both have their handlers once the daemon knows them. */
    ASSERT_TRUE(vt::wait_until([&] {
        return vt::process_record(port, server).pid == server &&
               vt::process_record(port, client).pid == client;
    }));
    std::mt19937 rng(12345);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(client, &status, WNOHANG) == client) break;
        kill(rng() & 1 ? server : client, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the client did not finish";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(vt::wait_exit(server), 0);
}

/* A client writing a request larger than the sockets hold to a daemon that
 * has stopped reading still ends at SIGTERM's default action. */
TEST_F(Interrupts, SigtermEndsAClientWritingALargeRequestToAStoppedDaemon) {
    vt::Daemon d;
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t c = vt::spawn([&] {
        REQUIRE(qnx_name_attach(0, "writer") > 0);
        std::vector<char> big(16 << 20, 'x');
        char b = 0;
        REQUIRE(write(ready[1], "c", 1) == 1 && read(go[0], &b, 1) == 1);
        REQUIRE(write(ready[1], "s", 1) == 1);
        Send(getppid(), big.data(), nullptr, unsigned(big.size()), 0);
        return 2; /* SIGTERM must have ended it */
    });
    char b = 0;
    ASSERT_EQ(read(ready[0], &b, 1), 1);
    kill(d.pid(), SIGSTOP);
    ASSERT_TRUE(vt::wait_until([&] { return proc_state(d.pid()) == 'T'; }));
    ASSERT_EQ(write(go[1], "g", 1), 1);
    ASSERT_EQ(read(ready[0], &b, 1), 1);
    /* Asleep from here on: blocked writing the request. */
    ASSERT_TRUE(vt::wait_until([&] { return proc_state(c) == 'S'; }));
    kill(c, SIGTERM);
    int st = 0;
    bool ended = vt::wait_until([&] { return waitpid(c, &st, WNOHANG) == c; });
    if (!ended) {
        kill(c, SIGKILL);
        waitpid(c, &st, 0);
    }
    kill(d.pid(), SIGCONT);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << "status " << st;
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}
