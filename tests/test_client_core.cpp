/* test_client_core.cpp - vorlenlib's connection: opening and requiring calls, fork, close, daemon
 * loss */
#include "vorlen_test.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
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
 * did its work. A VORLEN_PORT that is no port is named in sin's words. A
 * VORLEN_ON_DISCONNECT or VORLEN_RESTORE_WAIT the library does not take ends
 * the process with status 2 at that first call, before it connects (here to a
 * port where nothing listens), not when the daemon goes away. */
TEST_P(ClientCore, FailingToConnectOrABadSettingEndsTheProcessAtItsFirstCallWithTheReason) {
    /* A port bound but not listening refuses connections, and nobody else can
     * take it while the test holds it. */
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&a), &len), 0);
    const std::string refused = std::to_string(ntohs(a.sin_port));
    const std::string modes = "client: VORLEN_ON_DISCONNECT is none of restore, exit, reconnect "
                              "and fail: ";
    const std::string waits = "client: VORLEN_RESTORE_WAIT is no number of seconds: ";
    struct Case {
        const char *variable;
        std::string value;
        int status;
        std::string message;
    } cases[] = {
        {"VORLEN_PORT", refused, 1,
         std::string("client (connect): ") +
             (GetParam() == vt::Transport::tcp ? "127.0.0.1:" : "@vorlen.") + refused + ": " +
             strerror(ECONNREFUSED) + "\n"},
        {"VORLEN_PORT", "abc", 1, "client (connect): VORLEN_PORT is no port number: 'abc'\n"},
        {"VORLEN_PORT", "65536", 1, "client (connect): VORLEN_PORT is no port number: '65536'\n"},
        /* Each host runs its own daemon: another host's is not a client's. */
        {"HOSTNAME", "192.0.2.1", 1,
         "client (connect): HOSTNAME names 192.0.2.1, another host: each host runs its own "
         "daemon, which reaches the other hosts' processes (vorlen(8), SEVERAL HOSTS)\n"},
        {"VORLEN_ON_DISCONNECT", "reconect", 2, modes + "'reconect'\n"},
        {"VORLEN_ON_DISCONNECT", "Restore", 2, modes + "'Restore'\n"},
        {"VORLEN_RESTORE_WAIT", "abc", 2, waits + "'abc'\n"},
        {"VORLEN_RESTORE_WAIT", "-1", 2, waits + "'-1'\n"},
        {"VORLEN_RESTORE_WAIT", "1.2.3", 2, waits + "'1.2.3'\n"},
        {"VORLEN_RESTORE_WAIT", "0x10", 2, waits + "'0x10'\n"},
        {"VORLEN_RESTORE_WAIT", "99999999999", 2, waits + "'99999999999'\n"},
    };
    setenv("HOSTNAME", "", 1);
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.variable) + "=" + k.value);
        auto [st, err] = run_captured([&] {
            setenv("VORLEN_PORT", refused.c_str(), 1);
            setenv(k.variable, k.value.c_str(), 1);
            char b[4] = {};
            Send(1, b, b, sizeof b, sizeof b);
            return 99;
        });
        EXPECT_EQ(st, k.status);
        EXPECT_EQ(err, k.message);
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

/* With VORLEN_ON_DISCONNECT=restore, a process whose daemon goes away and
 * does not come back within VORLEN_RESTORE_WAIT ends with status 69 and one
 * line that says why, however often it tried to connect meanwhile. */
TEST_P(ClientCore, ARestoringProcessWhoseDaemonNeverComesBackEndsWithStatus69) {
    auto d = std::make_unique<vt::Daemon>();
    const int port = d->port();
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    pid_t c = vt::spawn([&] {
        dup2(err[1], 2);
        setenv("VORLEN_ON_DISCONNECT", "restore", 1);
        setenv("VORLEN_RESTORE_WAIT", "0.3", 1);
        char b[8];
        REQUIRE(qnx_name_attach(0, "gone/restoring") != -1);
        Receive(0, b, sizeof b);
        return 3; /* the Receive must not come back */
    });
    close(err[1]);
    ASSERT_TRUE(vt::wait_state(port, c, STATE_RECEIVE_BLOCKED));
    timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    d->kill_and_wait(SIGKILL);
    EXPECT_EQ(vt::wait_exit(c), 69);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_GE(double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) / 1e9, 0.3);
    std::string said;
    char buf[512];
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0) said.append(buf, size_t(n));
    close(err[0]);
    const std::string line = std::string("client: ") + program_invocation_short_name + " (pid " +
                             std::to_string(c) +
                             "): the daemon did not restore this process (no daemon answered "
                             "within 0.3 s: ";
    EXPECT_EQ(said.rfind(line, 0), 0u) << said;
    EXPECT_NE(said.find(strerror(ECONNREFUSED)), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
    EXPECT_EQ(said.substr(said.size() - std::min<size_t>(said.size(), 10)), "); ending\n");
}

namespace {

/* FakeDaemon listens where the library looks for its daemon over the
 * transport of the test (a free TCP port, or a socket file named by
 * VORLEN_UNIX) and is served by the test by hand, record by record. */
struct FakeDaemon {
    int listener = -1;
    int port = 0;
    std::string dir, path;

    FakeDaemon() {
        if (vt::transport() == vt::Transport::tcp) {
            listener = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof a;
            EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
            EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len), 0);
            port = ntohs(a.sin_port);
        } else {
            dir = vt::make_tempdir();
            path = dir + "/fake.sock";
            listener = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
            EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
            port = vt::free_port();
        }
        EXPECT_EQ(listen(listener, 8), 0);
    }
    ~FakeDaemon() {
        close(listener);
        if (!path.empty()) unlink(path.c_str());
        if (!dir.empty()) rmdir(dir.c_str());
    }
    /* aim points the library of this process (and its children) here. */
    void aim() const {
        setenv("HOSTNAME", "", 1);
        setenv("VORLEN_PORT", std::to_string(port).c_str(), 1);
        if (!path.empty()) setenv("VORLEN_UNIX", path.c_str(), 1);
    }
    /* next takes the next connection, -1 when none comes within 5 s. */
    int next() const {
        pollfd p{listener, POLLIN, 0};
        return poll(&p, 1, 5000) == 1 ? accept(listener, nullptr, nullptr) : -1;
    }
};

/* readable tells whether fd has bytes (or its end) within ms. */
bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

/* take reads exactly n bytes of fd; fewer when it ends or 5 s pass. */
std::string take(int fd, size_t n) {
    std::string b;
    char buf[4096];
    while (b.size() < n && readable(fd, 5000)) {
        ssize_t k = read(fd, buf, std::min(sizeof buf, n - b.size()));
        if (k <= 0) break;
        b.append(buf, size_t(k));
    }
    return b;
}

/* A request as it came: its header and its body. */
struct Record {
    QNX_MSG_HDR hdr{};
    std::string body;
};
Record take_record(int fd) {
    Record r;
    std::string h = take(fd, sizeof r.hdr);
    if (h.size() != sizeof r.hdr) {
        ADD_FAILURE() << "no whole header came";
        return r;
    }
    memcpy(&r.hdr, h.data(), sizeof r.hdr);
    r.body = take(fd, r.hdr.msg_len);
    return r;
}

/* answer writes an answer header with retcode, from_pid and the body. */
void answer(int fd, int retcode, int32_t from_pid = 0, const std::string &body = "") {
    std::vector<uint8_t> b = vt::hdr(0, from_pid, uint32_t(body.size()));
    reinterpret_cast<QNX_MSG_HDR *>(b.data())->ev.retcode = uint16_t(retcode);
    b.insert(b.end(), body.begin(), body.end());
    EXPECT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
}

int32_t first_field(const Record &r) {
    int32_t v = 0;
    if (r.body.size() >= sizeof v) memcpy(&v, r.body.data(), sizeof v);
    return v;
}

int signal_pipe = -1;
extern "C" void trigger_and_tell(int) {
    const int saved = errno;
    Trigger(-5);
    if (write(signal_pipe, "s", 1) != 1) _exit(9);
    errno = saved;
}

} // namespace

extern "C" {
pid_t vorlen_qnx4_Receive(pid_t pid, void *msg, unsigned nbytes);
int vorlen_qnx4_Reply(pid_t pid, const void *msg, unsigned nbytes);
int vorlen_qnx4_Writemsg(pid_t pid, unsigned offset, const void *msg, unsigned nbytes);
int vorlen_qnx4_Send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes, unsigned rnbytes);
}

/* A process of the QNX 4 face restores by default when its connection fails.
 * The daemon here closes the connection on the process's Send. The process
 * connects again; its first request is MT_RESTORE naming the sender it holds
 * (4242), not the one whose reply it wrote into with Writemsg (4343), and
 * nothing follows it before its answer, neither the trigger of a signal
 * handler that ran meanwhile nor the mark of that handler. Answered 0, the
 * Send comes again marked VORLEN_FLAG_RESUMED, then the trigger, then the
 * mark, and its reply is the Send's; the Reply to the sender written into
 * fails with ESRCH without a word to the daemon, the Reply to the other one
 * goes to it. Answered ESRCH, or VORLEN_RETCODE_GONE by a daemon ending its
 * plant, the process ends with status 69 and says why. */
TEST_P(ClientCore, ARestoreComesFirstNamesTheHeldSendersAndTheSendGoesAgain) {
    const struct Case {
        int restore_answer;
        int status;
        const char *why;
    } cases[] = {
        {0, 0, ""},
        {ESRCH, 69, "it has no record of this process"},
        {VORLEN_RETCODE_GONE, 69, "the daemon ended the plant"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.restore_answer);
        FakeDaemon fake;
        int sig[2], err[2];
        ASSERT_EQ(pipe(sig), 0);
        ASSERT_EQ(pipe(err), 0);
        pid_t c = vt::spawn([&] {
            dup2(err[1], 2);
            fake.aim();
            unsetenv("VORLEN_ON_DISCONNECT");
            signal_pipe = sig[1];
            struct sigaction sa {};
            sa.sa_handler = trigger_and_tell;
            sigaction(SIGUSR1, &sa, nullptr);
            char b[16], r[8] = {};
            REQUIRE(vorlen_qnx4_Receive(0, b, sizeof b) == 4242);
            REQUIRE(vorlen_qnx4_Receive(0, b, sizeof b) == 4343);
            REQUIRE(vorlen_qnx4_Writemsg(4343, 0, "w", 1) == 1);
            REQUIRE(vorlen_qnx4_Send(77, "req", r, 3, sizeof r) == 0);
            REQUIRE(memcmp(r, "pong", 4) == 0);
            REQUIRE(vorlen_qnx4_Reply(4343, "x", 1) == -1 && errno == ESRCH);
            REQUIRE(vorlen_qnx4_Reply(4242, "ok", 2) == 0);
            return 0;
        });
        close(err[1]);
        close(sig[1]);

        int first = fake.next();
        ASSERT_GE(first, 0);
        for (int32_t sender : {4242, 4343}) {
            EXPECT_EQ(take_record(first).hdr.ev.typ, MT_RECEIVE);
            answer(first, 0, sender, "ping");
        }
        Record w = take_record(first);
        EXPECT_EQ(w.hdr.ev.typ, MT_REPLY);
        EXPECT_EQ(w.hdr.flags.all, VORLEN_FLAG_WRITEMSG);
        answer(first, 0);
        Record sent = take_record(first);
        EXPECT_EQ(sent.hdr.ev.typ, MT_SEND);
        EXPECT_EQ(sent.hdr.flags.all & VORLEN_FLAG_RESUMED, 0);
        close(first);

        int second = fake.next();
        ASSERT_GE(second, 0);
        ASSERT_TRUE(readable(second, 5000));
        /* The process waits for the restore's answer: a handler runs. */
        kill(c, SIGUSR1);
        char s;
        EXPECT_EQ(read(sig[0], &s, 1), 1);
        Record restore = take_record(second);
        EXPECT_EQ(restore.hdr.ev.typ, MT_RESTORE);
        EXPECT_EQ(restore.hdr.from_pid, c);
        QNX_MSG_RESTORE body{VORLEN_RESTORE_VERSION, 1};
        int32_t held = 4242;
        EXPECT_EQ(restore.body, std::string(reinterpret_cast<char *>(&body), sizeof body) +
                                    std::string(reinterpret_cast<char *>(&held), sizeof held));
        EXPECT_FALSE(readable(second, 100)) << "written before the restore's answer";
        answer(second, k.restore_answer);
        if (k.restore_answer == 0) {
            Record again = take_record(second);
            EXPECT_EQ(again.hdr.ev.typ, MT_SEND);
            EXPECT_EQ(again.hdr.flags.all, sent.hdr.flags.all | VORLEN_FLAG_RESUMED);
            EXPECT_EQ(again.body, sent.body);
            Record trigger = take_record(second);
            EXPECT_EQ(trigger.hdr.ev.typ, MT_TRIGGER);
            EXPECT_EQ(trigger.hdr.flags.all, VORLEN_FLAG_UNANSWERED);
            EXPECT_EQ(first_field(trigger), -5);
            Record mark = take_record(second);
            EXPECT_EQ(mark.hdr.ev.typ, 0);
            EXPECT_EQ(mark.hdr.flags.all, VORLEN_FLAG_INTERRUPT);
            answer(second, 0, 77, "pong");
            Record reply = take_record(second);
            EXPECT_EQ(reply.hdr.ev.typ, MT_REPLY);
            EXPECT_EQ(first_field(reply), 4242);
            answer(second, 0);
        }
        EXPECT_EQ(vt::wait_exit(c), k.status);
        EXPECT_EQ(take(second, 1), "") << "the process wrote on after its last call";
        close(second);
        std::string said;
        char buf[512];
        ssize_t n;
        while ((n = read(err[0], buf, sizeof buf)) > 0) said.append(buf, size_t(n));
        const std::string line = *k.why ? std::string("client: ") + program_invocation_short_name +
                                              " (pid " + std::to_string(c) +
                                              "): the daemon did not restore this process (" +
                                              k.why + "); ending\n"
                                        : "";
        EXPECT_EQ(said, line);
        for (int fd : {sig[0], err[0]}) close(fd);
    }
}

/* A sleep the restart broke off is sent again for the time that was left:
 * the process sleeps until the moment it asked for, not for the whole time
 * once more. The time the process had slept is at least the time between
 * the daemon's reading the sleep and closing the connection. */
TEST_P(ClientCore, ASleepSentAgainAfterARestoreEndsWhenItWasToEnd) {
    FakeDaemon fake;
    pid_t c = vt::spawn([&] {
        fake.aim();
        setenv("VORLEN_ON_DISCONNECT", "restore", 1);
        qnx_timer_t t = mktimer(0, NOTIFY_SLEEP, nullptr);
        REQUIRE(t == 1);
        itimerspec v{};
        v.it_value.tv_sec = 10;
        REQUIRE(reltimer(t, &v, nullptr) == 0);
        return 0;
    });
    int first = fake.next();
    ASSERT_GE(first, 0);
    EXPECT_EQ(take_record(first).hdr.ev.typ, MT_MKTIMER);
    QNX_MSG_MKTIMER made{};
    made.timer_nr = 1;
    answer(first, 0, 0, std::string(reinterpret_cast<char *>(&made), sizeof made));
    Record sleep = take_record(first);
    timespec read_at, closed_at;
    clock_gettime(CLOCK_MONOTONIC, &read_at);
    EXPECT_EQ(sleep.hdr.ev.typ, MT_RELABSTIMER);
    clock_gettime(CLOCK_MONOTONIC, &closed_at);
    close(first);
    const int64_t slept =
        (closed_at.tv_sec - read_at.tv_sec) * 1000000000LL + (closed_at.tv_nsec - read_at.tv_nsec);

    int second = fake.next();
    ASSERT_GE(second, 0);
    Record restore = take_record(second);
    EXPECT_EQ(restore.hdr.ev.typ, MT_RESTORE);
    answer(second, 0);
    Record again = take_record(second);
    EXPECT_EQ(again.hdr.ev.typ, MT_RELABSTIMER);
    QNX_MSG_TIMER before{}, after{};
    ASSERT_EQ(sleep.body.size(), sizeof before);
    ASSERT_EQ(again.body.size(), sizeof after);
    memcpy(&before, sleep.body.data(), sizeof before);
    memcpy(&after, again.body.data(), sizeof after);
    EXPECT_EQ(after.typ, 0);
    EXPECT_EQ(after.timer_nr, 1);
    const int64_t left = after.value.it_value.tv_sec * 1000000000LL + after.value.it_value.tv_nsec;
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 10 * 1000000000LL - slept);
    EXPECT_LT(left, 10 * 1000000000LL);
    EXPECT_EQ(before.value.it_value.tv_sec, 10);
    answer(second, 0);
    EXPECT_EQ(vt::wait_exit(c), 0);
    close(second);
}

extern "C" int dev_arm(int fd, pid_t proxy, unsigned events);

/* The library's own thread (here the one that triggers the proxies armed on
 * descriptors) writes nothing into the new connection before the restore is
 * answered: its trigger follows the answer, beside the Receive sent again. */
TEST_P(ClientCore, TheLibrarysThreadTriggersOnlyAfterTheRestore) {
    FakeDaemon fake;
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    pid_t c = vt::spawn([&] {
        fake.aim();
        setenv("VORLEN_ON_DISCONNECT", "restore", 1);
        REQUIRE(dev_arm(input[0], -5, 1 /* _DEV_EVENT_INPUT */) == 0);
        char b[8];
        REQUIRE(Receive(0, b, sizeof b) == -5);
        return 0;
    });
    int first = fake.next();
    ASSERT_GE(first, 0);
    EXPECT_EQ(take_record(first).hdr.ev.typ, MT_RECEIVE);
    close(first);
    int second = fake.next();
    ASSERT_GE(second, 0);
    ASSERT_TRUE(readable(second, 5000));
    Record restore = take_record(second);
    EXPECT_EQ(restore.hdr.ev.typ, MT_RESTORE);
    /* The descriptor becomes ready while the process waits for the answer. */
    EXPECT_EQ(write(input[1], "x", 1), 1);
    EXPECT_FALSE(readable(second, 100)) << "written before the restore's answer";
    answer(second, 0);
    bool received = false, triggered = false;
    for (int i = 0; i < 2; i++) {
        Record r = take_record(second);
        if (r.hdr.ev.typ == MT_RECEIVE) received = true;
        if (r.hdr.ev.typ == MT_TRIGGER && r.hdr.flags.all == VORLEN_FLAG_UNANSWERED &&
            first_field(r) == -5)
            triggered = true;
    }
    EXPECT_TRUE(received && triggered);
    answer(second, 0, -5);
    EXPECT_EQ(vt::wait_exit(c), 0);
    for (int fd : {second, input[0], input[1]}) close(fd);
}
