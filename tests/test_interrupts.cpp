/* test_interrupts.cpp - signal handlers break off blocking calls as under QNX 4, without losing
 * step */
#include <algorithm>
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
#include <sys/uio.h>
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

/* With raise_after_read set, the next readv of this process (the library's
 * way of reading answers) takes at most a few bytes and then raises that
 * signal: its handler runs while the rest of the answer is still to come. */
volatile sig_atomic_t raise_after_read = 0;

/* The results of the library calls made by handlers, for the test to check. */
volatile sig_atomic_t handler_proxy = 0;
volatile sig_atomic_t handler_trigger = 1;
volatile sig_atomic_t handler_locate = 0, handler_locate_errno = 0;

/* on_signal_trigger triggers handler_proxy, as QNX 4 programs do from their
 * handlers. */
void on_signal_trigger(int) {
    int saved = errno;
    handler_trigger = Trigger(handler_proxy);
    errno = saved;
}

/* on_signal_calls makes a call that needs an answer of its own, then a
 * Trigger. */
void on_signal_calls(int) {
    int saved = errno;
    handler_locate = qnx_name_locate(0, "big", 0, nullptr);
    handler_locate_errno = errno;
    handler_trigger = Trigger(handler_proxy);
    errno = saved;
}

void catch_with(int sig, void (*handler)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigaction(sig, &sa, nullptr);
}

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

extern "C" ssize_t readv(int fd, const struct iovec *iov, int n) {
    int sig = raise_after_read;
    if (sig == 0 || n < 1) return syscall(SYS_readv, fd, iov, n);
    struct iovec few = iov[0];
    few.iov_len = std::min<size_t>(few.iov_len, 64);
    ssize_t r = syscall(SYS_readv, fd, &few, 1);
    if (r > 0) {
        raise_after_read = 0;
        raise(sig);
    }
    return r;
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

/* A handler that triggers its own process's proxy while the process waits in
 * Receive: the trigger is neither refused nor lost, and that very Receive
 * gets the proxy, once. */
TEST_F(Interrupts, AHandlerTriggeringDuringReceiveDeliversTheProxyToThatReceiveOnce) {
    vt::Daemon d;
    pid_t p = vt::spawn([] {
        pid_t px = qnx_proxy_attach(0, "alarm", 5, -1);
        REQUIRE(px < -1);
        handler_proxy = px;
        catch_with(SIGALRM, on_signal_trigger);
        char m[8] = {};
        REQUIRE(Receive(0, m, sizeof m) == px);
        REQUIRE(memcmp(m, "alarm", 5) == 0);
        REQUIRE(handler_trigger == 0);
        REQUIRE(Creceive(0, m, sizeof m) == -1 && errno == ENOMSG);
        return 0;
    });
    ASSERT_TRUE(vt::wait_state(d.port(), p, STATE_RECEIVE_BLOCKED));
    kill(p, SIGALRM);
    EXPECT_EQ(vt::wait_exit(p), 0);
}

/* A handler that runs while a large answer is being read: a call that needs
 * an answer of its own fails with EBUSY and sends nothing, a Trigger is fired
 * once the answer is in, and the interrupted call gets its whole answer. */
TEST_F(Interrupts, AHandlerDuringALargeAnswerGetsEbusyAndTheAnswerStaysWhole) {
    vt::Daemon d;
    constexpr size_t N = 1 << 20;
    auto pattern = [](size_t i) { return char('a' + (i * 7 + i / 4096) % 26); };
    pid_t server = vt::spawn([&] {
        REQUIRE(qnx_name_attach(0, "big") > 0);
        std::vector<char> big(N);
        for (size_t i = 0; i < N; i++) big[i] = pattern(i);
        char m[4];
        pid_t from = Receive(0, m, sizeof m);
        REQUIRE(from > 0);
        REQUIRE(Reply(from, big.data(), N) == 0);
        /* Stays until the client is done with it. */
        from = Receive(0, m, sizeof m);
        REQUIRE(from > 0 && Reply(from, nullptr, 0) == 0);
        return 0;
    });
    pid_t client = vt::spawn([&] {
        pid_t px = qnx_proxy_attach(0, "late", 4, -1);
        REQUIRE(px < -1);
        handler_proxy = px;
        pid_t s;
        while ((s = qnx_name_locate(0, "big", 0, nullptr)) == -1) usleep(1000);
        catch_with(SIGUSR2, on_signal_calls);
        std::vector<char> r(N);
        raise_after_read = SIGUSR2;
        REQUIRE(Send(s, "go", r.data(), 3, N) == 0);
        REQUIRE(raise_after_read == 0);
        REQUIRE(handler_locate == -1 && handler_locate_errno == EBUSY);
        REQUIRE(handler_trigger == 0);
        for (size_t i = 0; i < N; i++) REQUIRE(r[i] == pattern(i));
        REQUIRE(qnx_name_locate(0, "big", 0, nullptr) == s);
        char m[8] = {};
        REQUIRE(Creceive(0, m, sizeof m) == px && memcmp(m, "late", 4) == 0);
        REQUIRE(Creceive(0, m, sizeof m) == -1 && errno == ENOMSG);
        REQUIRE(Send(s, "end", nullptr, 4, 0) == 0);
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(client), 0);
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
