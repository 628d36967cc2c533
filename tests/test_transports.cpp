/* test_transports.cpp - the Unix-domain socket: the kernel's word on who connected, the library's
 * choice of transport, and a daemon the library can tell from an impostor */
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <filesystem>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

constexpr uid_t NOBODY = 65534;

/* run_captured runs fn in a forked child whose standard error is captured;
 * returns the exit status and what the child wrote there. */
std::pair<int, std::string> run_captured(const std::function<int()> &fn) {
    int p[2];
    if (pipe(p) != 0) return {-1, "pipe failed"};
    pid_t c = spawn([&] {
        dup2(p[1], 2);
        close(p[0]);
        close(p[1]);
        return fn();
    });
    close(p[1]);
    int st = wait_exit(c);
    std::string err;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) err.append(buf, size_t(n));
    close(p[0]);
    return {st, err};
}

/* The address family of the library's connection, looked up among this
 * process's descriptors; -1 when it holds no socket. */
int connection_family() {
    for (int fd = 3; fd < 1024; fd++) {
        int domain;
        socklen_t len = sizeof domain;
        if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0) return domain;
    }
    return -1;
}

/* A client in a child under the given environment (name=value, or a bare
 * name to unset): it attaches a name and exits with the family of the
 * connection it used (AF_UNIX 1, AF_INET 2), or 1 when it found no daemon. */
int family_used(const std::vector<std::string> &env) {
    pid_t c = spawn([&] {
        for (const std::string &e : env) {
            size_t eq = e.find('=');
            if (eq == std::string::npos)
                unsetenv(e.c_str());
            else
                setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        close_range(3, ~0u, 0);
        if (qnx_name_attach(0, "transport-probe") < 1) return 50;
        return connection_family() + 10;
    });
    int st = wait_exit(c);
    return st >= 10 ? st - 10 : st;
}

/* Impostor listens on the abstract name of port as user uid, in a child, and
 * closes each connection it accepts at once. */
class Impostor {
  public:
    Impostor(int port, uid_t uid) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = spawn([&] {
            close(ready[0]);
            REQUIRE(setgroups(0, nullptr) == 0 && setgid(gid_t(uid)) == 0 && setuid(uid) == 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            int n = snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "vorlen.%d", port);
            int s = socket(AF_UNIX, SOCK_STREAM, 0);
            REQUIRE(bind(s, reinterpret_cast<sockaddr *>(&a),
                         socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(n))) == 0);
            REQUIRE(listen(s, 16) == 0);
            REQUIRE(write(ready[1], "r", 1) == 1);
            for (;;) {
                int c = accept(s, nullptr, nullptr);
                if (c >= 0) close(c);
            }
        });
        close(ready[1]);
        char r;
        ok_ = read(ready[0], &r, 1) == 1;
        close(ready[0]);
    }
    ~Impostor() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ok() const { return ok_; }

  private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

/* send_fd hands descriptor fd over Unix socket s; recv_fd takes one, -1
 * when none came. */
bool send_fd(int s, int fd) {
    char byte = 'f';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return sendmsg(s, &m, 0) == 1;
}

int recv_fd(int s) {
    char byte;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    if (recvmsg(s, &m, 0) != 1) return -1;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    if (!c || c->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

/* connect_tcp connects to the daemon on port over loopback; the socket
 * stays open across exec. -1 when it cannot. */
int connect_tcp(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return s;
    if (s >= 0) close(s);
    return -1;
}

/* The effective user of process pid, or -1. */
long effective_user(pid_t pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = st.find("\nUid:");
    if (at == std::string::npos) return -1;
    char *end;
    strtol(st.c_str() + at + 5, &end, 10);
    return strtol(end, nullptr, 10);
}

/* claim_on sends a names listing claiming pid on connection s and returns
 * the retcode of its answer, -1 when none came. */
int claim_on(int s, pid_t pid) {
    auto r = names_listing(pid);
    if (write(s, r.data(), r.size()) != ssize_t(r.size())) return -1;
    QNX_MSG_HDR h{};
    if (read(s, &h, sizeof h) != ssize_t(sizeof h)) return -1;
    return h.ev.retcode;
}

} // namespace

/* Over the Unix socket the kernel says who connected: a claim of another
 * pid is refused and the connection closed, even from a process that holds
 * the socket but did not make it. */
TEST(Transports, AClaimedPidThatIsNotTheConnectingProcessIsRefusedOverUnix) {
    Daemon d({"-v", "2"});
    Sleeper other;
    int s = connect_unix(d.port());
    ASSERT_GE(s, 0) << strerror(errno);
    auto r = names_listing(other.pid());
    ASSERT_EQ(write(s, r.data(), r.size()), ssize_t(r.size()));
    QNX_MSG_HDR h{};
    ASSERT_EQ(read(s, &h, sizeof h), ssize_t(sizeof h));
    EXPECT_EQ(h.ev.retcode, ESRCH);
    char b;
    EXPECT_EQ(read(s, &b, 1), 0) << "the refused connection stays open";
    close(s);

    /* A child that inherited the socket is not the process that connected. */
    s = connect_unix(d.port());
    ASSERT_GE(s, 0);
    pid_t child = spawn([s] {
        auto rq = names_listing(getpid());
        REQUIRE(write(s, rq.data(), rq.size()) == ssize_t(rq.size()));
        QNX_MSG_HDR a{};
        REQUIRE(read(s, &a, sizeof a) == ssize_t(sizeof a));
        REQUIRE(a.ev.retcode == ESRCH);
        return 0;
    });
    EXPECT_EQ(wait_exit(child), 0);
    close(s);

    /* The process that connected is served. */
    RawClient own(d.port(), Transport::unix_socket);
    own.send_bytes(names_listing(own.pid()));
    expect_names_listing(own);
    EXPECT_EQ(process_record(d.port(), own.pid()).pid, own.pid());
    EXPECT_EQ(process_record(d.port(), other.pid()).pid, 0);
}

/* A connection speaks only for the process that made it, as that process
 * was: handed to another process, it cannot take the record from a later
 * connection of its maker, nor claim its maker once that has exec'd a
 * setuid-root program (over TCP, one that holds the socket still). Each
 * claim is refused and the connection closed. */
TEST(Transports, AHandedOverConnectionCannotSpeakForItsMakerOnceItChanged) {
    Daemon d({"-v", "2"});
    int sp[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sp), 0);
    /* The maker connects twice, hands the first connection over and binds
     * the second. */
    pid_t maker = spawn([port = d.port(), s = sp[1], theirs = sp[0]] {
        close(theirs); /* so that the read below ends with the test */
        int first = connect_unix(port);
        REQUIRE(first >= 0 && send_fd(s, first));
        close(first);
        int second = connect_unix(port);
        REQUIRE(second >= 0 && claim_on(second, getpid()) == 0);
        char go;
        REQUIRE(read(s, &go, 1) == 1); /* until the test is done */
        return 0;
    });
    int first = recv_fd(sp[0]);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(wait_until([&] { return process_record(d.port(), maker).pid == maker; }));
    EXPECT_EQ(claim_on(first, maker), ESRCH);
    char b;
    EXPECT_EQ(read(first, &b, 1), 0) << "the refused connection stays open";
    close(first);
    EXPECT_NE(d.stdout_text().find("is held by a later connection"), std::string::npos);
    EXPECT_EQ(write(sp[0], "g", 1), 1);
    EXPECT_EQ(wait_exit(maker), 0);

    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to make a setuid-root program and run as another user";
    /* A copy of sleep that runs as root, in a directory others may enter. */
    std::string dir = make_tempdir();
    std::string prog = dir + "/sleep";
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    std::filesystem::copy_file("/bin/sleep", prog);
    ASSERT_EQ(chown(prog.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(prog.c_str(), 04755), 0);
    bool root = true;
    for (Transport t : {Transport::unix_socket, Transport::tcp}) {
        SCOPED_TRACE(t == Transport::tcp ? "tcp" : "unix");
        /* Over TCP the socket goes through the exec with the program. */
        pid_t child = spawn([port = d.port(), s = sp[1], t, &prog] {
            REQUIRE(setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0);
            int c = t == Transport::tcp ? connect_tcp(port) : connect_unix(port);
            REQUIRE(c >= 0 && send_fd(s, c));
            if (t == Transport::unix_socket) close(c);
            execl(prog.c_str(), "sleep", "60", static_cast<char *>(nullptr));
            return 1;
        });
        first = recv_fd(sp[0]);
        ASSERT_GE(first, 0);
        root = root && wait_until([&] { return effective_user(child) == 0; });
        if (root) {
            EXPECT_EQ(claim_on(first, child), ESRCH);
            EXPECT_EQ(read(first, &b, 1), 0) << "the refused connection stays open";
            EXPECT_EQ(process_record(d.port(), child).pid, 0);
        }
        close(first);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    close(sp[0]);
    close(sp[1]);
    std::filesystem::remove_all(dir);
    if (!root) GTEST_SKIP() << "the setuid program did not run as root (" << dir << " is nosuid?)";
}

/* The library takes the Unix socket for a daemon on this host, TCP when
 * VORLEN_TRANSPORT says so, and TCP when no Unix socket answers. */
TEST(Transports, TheLibraryPrefersTheUnixSocketOnThisHostAndVorlenTransportChooses) {
    char me[256] = "";
    ASSERT_EQ(gethostname(me, sizeof me), 0);
    {
        Daemon d;
        for (const char *host : {"", "127.0.0.1", "localhost", static_cast<const char *>(me)})
            EXPECT_EQ(family_used({"VORLEN_TRANSPORT", std::string("HOSTNAME=") + host}), AF_UNIX)
                << "HOSTNAME=" << host;
        EXPECT_EQ(family_used({"HOSTNAME"}), AF_UNIX);
        EXPECT_EQ(family_used({"VORLEN_TRANSPORT=tcp"}), AF_INET);
        EXPECT_EQ(family_used({"VORLEN_TRANSPORT=unix"}), AF_UNIX);
        auto [st, err] = run_captured([] {
            setenv("VORLEN_TRANSPORT", "udp", 1);
            qnx_name_attach(0, "transport-bad");
            return 0;
        });
        EXPECT_EQ(st, 1);
        EXPECT_EQ(err, "client (connect): VORLEN_TRANSPORT is neither tcp nor unix: 'udp'\n");
    }
    Daemon tcp_only({"--no-unix"});
    EXPECT_EQ(family_used({"VORLEN_TRANSPORT"}), AF_INET);
    auto [st, err] = run_captured([] {
        setenv("VORLEN_TRANSPORT", "unix", 1);
        qnx_name_attach(0, "transport-none");
        return 0;
    });
    EXPECT_EQ(st, 1);
    EXPECT_EQ(err, "client (connect): @vorlen." + std::to_string(tcp_only.port()) + ": " +
                       strerror(ECONNREFUSED) + "\n");
}

/* --unix names a socket file: one left behind is replaced, one a daemon
 * answers on is not, and it goes when the daemon does. VORLEN_UNIX leads the
 * library there. */
TEST(Transports, ASocketFileIsReplacedWhenStaleKeptWhenAnsweredAndRemovedAtExit) {
    std::string dir = make_tempdir();
    std::string path = dir + "/vorlen.sock";
    {
        /* A file nobody listens on any more. */
        int s = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, path.c_str(), path.size());
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        close(s);
    }
    {
        Daemon d({"--unix", path});
        ASSERT_TRUE(d.alive());
        EXPECT_EQ(family_used({"VORLEN_TRANSPORT=unix", "VORLEN_UNIX=" + path}), AF_UNIX);
        /* A second daemon must not take the file of one that answers. */
        pid_t second = spawn([&] {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(bin_path("vorlen").c_str(), "vorlen", "-p", std::to_string(free_port()).c_str(),
                  "--unix", path.c_str(), static_cast<char *>(nullptr));
            return 127;
        });
        EXPECT_EQ(wait_exit(second), 1);
        EXPECT_EQ(family_used({"VORLEN_TRANSPORT=unix", "VORLEN_UNIX=" + path}), AF_UNIX);
        EXPECT_EQ(d.kill_and_wait(SIGTERM), 0);
    }
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0) << "the socket file was left behind";
    {
        /* VORLEN_UNIX names the file for the daemon as --unix does. */
        Daemon d({}, {"VORLEN_UNIX=" + path});
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(family_used({"VORLEN_TRANSPORT=unix", "VORLEN_UNIX=" + path}), AF_UNIX);
    }
    EXPECT_NE(stat(path.c_str(), &st), 0);
    rmdir(dir.c_str());
}

/* A listener on the daemon's Unix name under another user is no daemon the
 * library talks to: the call fails as with no daemon, and it does not fall
 * back to TCP either, unless VORLEN_DAEMON_USER names that user. */
TEST(Transports, TheLibraryRefusesADaemonImpostorUnderAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to listen as another user";
    Daemon d({"--no-unix"});
    Impostor fake(d.port(), NOBODY);
    ASSERT_TRUE(fake.ok());
    const std::string port = std::to_string(d.port());
    for (const char *transport : {"", "unix"}) {
        auto [st, err] = run_captured([&] {
            setenv("VORLEN_TRANSPORT", transport, 1);
            qnx_name_attach(0, "impostor-victim");
            return 0;
        });
        EXPECT_EQ(st, 1) << "VORLEN_TRANSPORT=" << transport;
        EXPECT_EQ(err, "client (connect): the daemon on @vorlen." + port + " runs as uid " +
                           std::to_string(NOBODY) + ", not root, uid 0 or VORLEN_DAEMON_USER\n");
    }
    /* Named, by name or number, it is trusted: the call reaches it (and fails
     * as the impostor hangs up). */
    for (const char *user : {"nobody", "65534"}) {
        auto [st, err] = run_captured([&] {
            setenv("VORLEN_TRANSPORT", "", 1);
            setenv("VORLEN_DAEMON_USER", user, 1);
            return qnx_name_attach(0, "impostor-friend") == -1 ? 7 : 0;
        });
        EXPECT_EQ(st, 7) << "VORLEN_DAEMON_USER=" << user << ": " << err;
    }
}
