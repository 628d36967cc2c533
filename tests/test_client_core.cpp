/* test_client_core.cpp - vorlenlib's connection: opening and requiring calls, fork, close, daemon
 * loss */
#include "vorlen_test.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

/* In a forked child: report the failed condition and end with status 1. */

namespace {

/* run_captured runs fn in a forked child whose standard error is captured;
 * returns the exit status and what the child wrote there. */
std::pair<int, std::string> run_captured(const std::function<int()> &fn) {
    int p[2];
    if (pipe(p) != 0) return {-1, "pipe failed"};
    pid_t c = vt::spawn([&] {
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        return fn();
    });
    close(p[1]);
    int st = vt::wait_exit(c);
    std::string err;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) err.append(buf, size_t(n));
    close(p[0]);
    return {st, err};
}

bool listed(int port, pid_t pid) {
    return vt::process_record(port, pid).pid == pid;
}

} // namespace

/* Each test starts unconnected, also when the tests of this file share one
 * process (a previous test's connection leads to a daemon that is gone), and
 * runs once over each transport. */
class ClientCore : public vt::TransportTest {
  protected:
    void SetUp() override {
        vt::TransportTest::SetUp();
        _qnx_close_socket();
    }
};
VT_ON_BOTH_TRANSPORTS(ClientCore);

/* A client that cannot reach the daemon says why and ends with status 1 at
 * its first opening call, so that a supervisor does not take it for one that
 * did its work. A VORLEN_PORT that is no port is named in sin's words. */
TEST_P(ClientCore, FailingToConnectEndsTheProcessWithStatus1AndTheReason) {
    /* A port bound but not listening refuses connections, and nobody else can
     * take it while the test holds it. */
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
    const std::pair<std::string, std::string> cases[] = {
        {std::to_string(ntohs(a.sin_port)),
         std::string("client (connect): ") +
             (GetParam() == vt::Transport::tcp ? "127.0.0.1:" : "@vorlen.") +
             std::to_string(ntohs(a.sin_port)) + ": " + strerror(ECONNREFUSED) + "\n"},
        {"abc", "client (connect): VORLEN_PORT is no port number: 'abc'\n"},
        {"65536", "client (connect): VORLEN_PORT is no port number: '65536'\n"},
    };
    setenv("HOSTNAME", "", 1);
    for (const auto &[port, message] : cases) {
        setenv("VORLEN_PORT", port.c_str(), 1);
        auto [st, err] = run_captured([] {
            char b[4] = {};
            Send(1, b, b, sizeof b, sizeof b);
            return 99;
        });
        EXPECT_EQ(st, 1) << "VORLEN_PORT=" << port;
        EXPECT_EQ(err, message);
    }
    close(s);
}

/* bash does not export HOSTNAME: under cron, systemd or env -i it is unset,
 * and that means this host as the empty string does. */
TEST_P(ClientCore, EmptyNamedOrUnsetHostnameReachesTheDaemon) {
    vt::Daemon d;
    for (const char *host : {"", "localhost", static_cast<const char *>(nullptr)}) {
        pid_t c = vt::spawn([&] {
            if (host)
                setenv("HOSTNAME", host, 1);
            else
                unsetenv("HOSTNAME");
            REQUIRE(qnx_name_attach(0, host ? (host[0] ? "core-named" : "core-empty")
                                            : "core-unset") >= 1);
            return 3; /* not a status the library ends a process with */
        });
        EXPECT_EQ(vt::wait_exit(c), 3) << "HOSTNAME=\"" << (host ? host : "(unset)") << "\"";
    }
}

TEST_P(ClientCore, RequiringCallsWhileUnconnectedFailAndSendNothing) {
    vt::Daemon d;
    int port = d.port();
    pid_t c = vt::spawn([port] {
        struct itimerspec v = {}, o = {};
        /* errno says why, also when it was 0 before: -1 never comes with 0. */
        errno = 0;
        REQUIRE(Trigger(-2) == -1 && errno == ENOTCONN);
        errno = 0;
        REQUIRE(rmtimer(1) == -1 && errno == ENOTCONN);
        errno = 0;
        REQUIRE(reltimer(1, &v, &o) == -1 && errno == ENOTCONN);
        errno = 0;
        REQUIRE(abstimer(1, &v, nullptr) == -1 && errno == ENOTCONN);
        errno = 0;
        REQUIRE(qnx_name_detach(0, 1) == -1 && errno == ENOTCONN);
        errno = 0;
        REQUIRE(qnx_proxy_detach(-2) == -1 && errno == ENOTCONN);
        REQUIRE(!listed(port, getpid()));

        /* Once an opening call has connected, the same call reaches the daemon. */
        REQUIRE(qnx_name_attach(0, "core-req") >= 1);
        REQUIRE(Trigger(-2) == -1 && errno == ESRCH);
        REQUIRE(listed(port, getpid()));
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(c), 0);
}

TEST_P(ClientCore, ForkedChildOpensItsOwnConnectionAndDropsTheInheritedOne) {
    vt::Daemon d;
    int port = d.port();
    int pids[2];
    /* Read once parent has ended: a parent that failed leaves it empty. */
    ASSERT_EQ(pipe2(pids, O_NONBLOCK), 0);

    /* parent connects, forks child, and ends once child has connected. The
     * child's first call, a Trigger, already opens its connection. */
    pid_t parent = vt::spawn([&] {
        REQUIRE(qnx_name_attach(0, "core-parent") >= 1);
        pid_t px = qnx_proxy_attach(0, "fork", 4, -1);
        REQUIRE(px < -1);
        int ready[2];
        REQUIRE(pipe(ready) == 0);
        pid_t child = fork();
        if (child == 0) {
            char ok = 'F';
            if (Trigger(px) == 0 && qnx_name_locate(0, "core-parent", 0, nullptr) == getppid())
                ok = 'k';
            if (write(ready[1], &ok, 1) != 1) _exit(1);
            char b[8];
            pid_t from = Receive(0, b, sizeof b);
            Reply(from, b, 0);
            _exit(0);
        }
        char ok = 0;
        REQUIRE(read(ready[0], &ok, 1) == 1 && ok == 'k');
        char m[8] = {};
        REQUIRE(Creceive(px, m, sizeof m) == px && memcmp(m, "fork", 4) == 0);
        REQUIRE(write(pids[1], &child, sizeof child) == sizeof child);
        /* The child's new connection leaves this process's own in service. */
        REQUIRE(qnx_name_locate(0, "core-parent", 0, nullptr) == getpid());
        return 0;
    });
    pid_t child = 0;
    EXPECT_EQ(vt::wait_exit(parent), 0);
    ASSERT_EQ(read(pids[0], &child, sizeof child), ssize_t(sizeof child));

    /* The parent's connection ends with the parent although the child, which
     * inherited its descriptor, lives on with a connection of its own. */
    EXPECT_TRUE(vt::wait_until([&] { return !listed(port, parent); }));
    EXPECT_TRUE(vt::wait_state(port, child, STATE_RECEIVE_BLOCKED));
    char b[4] = {};
    EXPECT_EQ(Send(child, "bye", b, 4, sizeof b), 0);
    close(pids[0]);
    close(pids[1]);
}

/* A worker child that never calls the library must not keep its parent's
 * connection open: the daemon sees the parent go when it does. */
TEST_P(ClientCore, AChildThatNeverCallsDoesNotHoldItsParentsConnection) {
    vt::Daemon d;
    int port = d.port();
    int pids[2], hold[2];
    /* Read once parent has ended: a parent that failed leaves it empty. */
    ASSERT_EQ(pipe2(pids, O_NONBLOCK), 0);
    ASSERT_EQ(pipe(hold), 0);
    pid_t parent = vt::spawn([&] {
        REQUIRE(qnx_name_attach(0, "core-worker") >= 1);
        pid_t worker = fork();
        if (worker == 0) {
            /* Lives until the test closes its end of hold. */
            close(hold[1]);
            char c;
            _exit(read(hold[0], &c, 1) == 0 ? 0 : 1);
        }
        REQUIRE(write(pids[1], &worker, sizeof worker) == sizeof worker);
        return 0;
    });
    close(hold[0]);
    pid_t worker = 0;
    EXPECT_EQ(vt::wait_exit(parent), 0);
    EXPECT_EQ(read(pids[0], &worker, sizeof worker), ssize_t(sizeof worker));
    EXPECT_TRUE(vt::wait_until([&] { return !listed(port, parent); }));
    EXPECT_EQ(kill(worker, 0), 0);
    close(hold[1]);
    close(pids[0]);
    close(pids[1]);
}

TEST_P(ClientCore, CloseSocketThenTheNextOpeningCallReconnects) {
    vt::Daemon d;
    int port = d.port();
    pid_t c = vt::spawn([port] {
        REQUIRE(qnx_name_attach(0, "core-again") >= 1);
        _qnx_close_socket();
        _qnx_close_socket();
        errno = 0;
        REQUIRE(Trigger(-2) == -1 && errno == ENOTCONN);
        /* The daemon took the closed connection for the end of the process... */
        REQUIRE(vt::wait_until([&] { return !listed(port, getpid()); }));
        /* ...so the name went with it and can be had again, on a new connection. */
        REQUIRE(qnx_name_attach(0, "core-again") >= 1);
        REQUIRE(listed(port, getpid()));
        return 0;
    });
    EXPECT_EQ(vt::wait_exit(c), 0);
}

/* restart starts a daemon on port, where the one before has just been
 * killed, and waits until it accepts connections. Returns its pid. */
static pid_t restart(int port) {
    pid_t p = vt::spawn([port] {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::string ps = std::to_string(port);
        execl(vt::bin_path("vorlen").c_str(), "vorlen", "-p", ps.c_str(), "-d",
              static_cast<char *>(nullptr));
        return 127;
    });
    vt::wait_until([port] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        return ok;
    });
    return p;
}

/* When the daemon goes away, a call in flight fails with ECONNRESET. Then, as
 * VORLEN_ON_DISCONNECT says: every later call fails (unset), the process
 * ends with status 69 and says why (exit), or the next call opens a new
 * connection to the restarted daemon, where nothing the process held is
 * left (reconnect). */
TEST_P(ClientCore, WhenTheDaemonGoesAwayTheProcessDoesWhatItWasToldTo) {
    struct Case {
        const char *mode;
        int status;
        const char *said;
    } cases[] = {{"", 0, ""}, {"exit", 69, ": the daemon went away ("}, {"reconnect", 0, ""}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.mode);
        auto d = std::make_unique<vt::Daemon>();
        const int port = d->port();
        int go[2], err[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(err), 0);
        std::string mode = k.mode;
        pid_t c = vt::spawn([&] {
            dup2(err[1], 2);
            if (!mode.empty()) setenv("VORLEN_ON_DISCONNECT", mode.c_str(), 1);
            char b[8];
            REQUIRE(qnx_name_attach(0, "gone/name") != -1);
            REQUIRE(Receive(0, b, sizeof b) == -1 && errno == ECONNRESET);
            REQUIRE(read(go[0], b, 1) == 1); /* the daemon is back */
            if (mode.empty()) {
                /* Writing to the dead connection fails; no SIGPIPE ends the process. */
                REQUIRE(Trigger(-2) == -1);
                REQUIRE(Trigger(-2) == -1 && (errno == EPIPE || errno == ECONNRESET));
                REQUIRE(qnx_name_attach(0, "gone/again") == -1);
            } else {
                REQUIRE(qnx_name_locate(0, "gone/name", 0, nullptr) == -1);
                REQUIRE(qnx_name_attach(0, "gone/again") != -1);
            }
            return 0;
        });
        close(err[1]);
        ASSERT_TRUE(vt::wait_state(port, c, STATE_RECEIVE_BLOCKED));
        d->kill_and_wait(SIGKILL);
        pid_t again = restart(port);
        EXPECT_EQ(write(go[1], "g", 1), 1);
        EXPECT_EQ(vt::wait_exit(c), k.status);
        std::string said;
        char buf[512];
        ssize_t n;
        while ((n = read(err[0], buf, sizeof buf)) > 0) said.append(buf, size_t(n));
        /* The process that ends names itself. */
        const std::string who = *k.said ? std::string("client: ") + program_invocation_short_name +
                                              " (pid " + std::to_string(c) + ")"
                                        : "";
        EXPECT_NE(said.find(who + k.said), std::string::npos) << said;
        kill(again, SIGTERM);
        vt::wait_exit(again);
        for (int fd : {go[0], go[1], err[0]}) close(fd);
    }
}
