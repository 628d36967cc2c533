/* test_transports.cpp - the Unix-domain socket: the kernel's word on who connected, the library's
 * choice of transport, and a daemon the library can tell from an impostor */
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <filesystem>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
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

/* Impostor listens on the abstract name of port as user uid (root only, for
 * another user than its own), in a child, and closes each connection it
 * accepts at once. */
class Impostor {
  public:
    Impostor(int port, uid_t uid) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = spawn([&] {
            close(ready[0]);
            if (uid != geteuid())
                REQUIRE(setgroups(0, nullptr) == 0 && setgid(gid_t(uid)) == 0 && setuid(uid) == 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            int n = snprintf(a.sun_path + 1, sizeof a.sun_path - 1, VORLEN_UNIX_NAME_FORMAT, port);
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

/* as_user takes the identity of uid in a forked child (root only). */
bool as_user(uid_t uid) {
    return setgroups(0, nullptr) == 0 && setgid(gid_t(uid)) == 0 && setuid(uid) == 0;
}

/* user_named is how the daemon and the library name user uid. */
std::string user_named(uid_t uid) {
    passwd *pw = getpwuid(uid);
    return (pw ? std::string(pw->pw_name) + " (uid " : "uid ") + std::to_string(uid) +
           (pw ? ")" : "");
}

/* run_vorlen runs the daemon with args on a port of its own and standard
 * output discarded; returns its exit status and standard error. It is for a
 * daemon that is to end at start-up. */
std::pair<int, std::string> run_vorlen(std::vector<std::string> args) {
    return run_captured([&] {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char *> argv{const_cast<char *>("vorlen")};
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin_path("vorlen").c_str(), argv.data());
        return 127;
    });
}

/* A socket file at path that nobody listens on any more. */
void stale_socket(const std::string &path) {
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    close(s);
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
    stale_socket(path);
    {
        Daemon d({"--unix", path});
        ASSERT_TRUE(d.alive());
        EXPECT_EQ(family_used({"VORLEN_TRANSPORT=unix", "VORLEN_UNIX=" + path}), AF_UNIX);
        /* A second daemon must not take the file of one that answers, and
         * says whose it is. */
        auto [st, err] = run_vorlen({"-p", std::to_string(free_port()), "--unix", path});
        EXPECT_EQ(st, 1);
        EXPECT_NE(err.find("vorlen: cannot listen on " + path + ": " + strerror(EADDRINUSE) +
                           ", held by user " + user_named(geteuid()) + "\n"),
                  std::string::npos)
            << err;
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
 * library talks to: it is passed over as if nobody listened there, said once,
 * and the client goes on over TCP; VORLEN_TRANSPORT=unix forbids that, and
 * the call fails. VORLEN_DAEMON_USER names a user to trust. */
TEST(Transports, TheLibraryRefusesADaemonImpostorUnderAnotherUserAndGoesOnOverTcp) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to listen as another user";
    Daemon d({"--no-unix"});
    Impostor fake(d.port(), NOBODY);
    ASSERT_TRUE(fake.ok());
    const std::string refused = "client (connect): the listener on @vorlen." +
                                std::to_string(d.port()) + " runs as " + user_named(NOBODY) +
                                ", not root, uid 0 or VORLEN_DAEMON_USER";
    const struct {
        const char *transport;
        int status; /* the family used, or 1 for none */
        std::string said;
    } cases[] = {
        {"", AF_INET, refused + "; going on over TCP\n"},
        {"unix", 1, refused + "\n"},
    };
    for (const auto &k : cases) {
        auto [st, err] = run_captured([&] {
            setenv("VORLEN_TRANSPORT", k.transport, 1);
            close_range(3, ~0u, 0);
            if (qnx_name_attach(0, "impostor-victim") < 1) return 50;
            return connection_family() + 10;
        });
        EXPECT_EQ(st >= 10 ? st - 10 : st, k.status) << "VORLEN_TRANSPORT=" << k.transport;
        EXPECT_EQ(err, k.said) << "VORLEN_TRANSPORT=" << k.transport;
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

/* A daemon that finds its abstract name taken says who holds it and ends
 * with status 1, as for a TCP port in use. */
TEST(Transports, ADaemonWhoseAbstractNameIsTakenNamesTheHolderAndEnds) {
    const int port = free_port();
    const uid_t holder = geteuid() == 0 ? NOBODY : geteuid();
    Impostor fake(port, holder);
    ASSERT_TRUE(fake.ok());
    auto [st, err] = run_vorlen({"-p", std::to_string(port)});
    EXPECT_EQ(st, 1);
    EXPECT_EQ(err, "vorlen: cannot listen on @vorlen." + std::to_string(port) + ": " +
                       strerror(EADDRINUSE) + ", held by user " + user_named(holder) + "\n");
}

/* --unix replaces only a socket on which nothing answers: anything else at
 * the path ends the daemon with status 1 and is left as it was, a symbolic
 * link even when it leads to a stale socket. */
TEST(Transports, AnythingButAStaleSocketAtTheUnixPathIsLeftAndEndsTheDaemon) {
    const std::string dir = make_tempdir();
    const std::string path = dir + "/vorlen.sock", aside = dir + "/aside";
    const struct {
        const char *kind;
        std::function<void()> make;
        mode_t type;
    } cases[] = {
        {"a regular file",
         [&] {
             int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
             ASSERT_EQ(write(fd, "keep", 4), 4);
             close(fd);
         },
         S_IFREG},
        {"a directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, S_IFDIR},
        {"a symbolic link",
         [&] {
             stale_socket(aside);
             ASSERT_EQ(symlink(aside.c_str(), path.c_str()), 0);
         },
         S_IFLNK},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.kind);
        k.make();
        auto [st, err] = run_vorlen({"-p", std::to_string(free_port()), "--unix", path});
        EXPECT_EQ(st, 1);
        EXPECT_EQ(err, "vorlen: cannot listen on " + path + ": " + k.kind +
                           " is there, not a socket; left as it is\n");
        struct stat after;
        ASSERT_EQ(lstat(path.c_str(), &after), 0) << "it was removed";
        EXPECT_EQ(after.st_mode & S_IFMT, k.type);
        if (k.type == S_IFREG) {
            EXPECT_EQ(read_file(path), "keep");
        }
        if (k.type == S_IFLNK) {
            EXPECT_EQ(lstat(aside.c_str(), &after), 0) << "the link's target was removed";
        }
        if (k.type == S_IFDIR)
            rmdir(path.c_str());
        else
            unlink(path.c_str());
        unlink(aside.c_str());
    }
    rmdir(dir.c_str());
}

/* Who is served is the kernel's word, not the file's mode: the socket file is
 * made 0666 whatever the umask, and a client of another user reaches a root
 * daemon through it; --unix-mode narrows it, and a client that the mode
 * keeps out goes on over TCP, unless VORLEN_TRANSPORT=unix forbids it. */
TEST(Transports, TheSocketFileIsForEveryUserWhateverTheUmaskAndUnixModeNarrowsIt) {
    const std::string dir = make_tempdir();
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string open_path = dir + "/open.sock", narrow_path = dir + "/narrow.sock";
    const mode_t umask_was = umask(022);
    Daemon open_d({"--unix", open_path});
    Daemon narrow({"--unix", narrow_path, "--unix-mode", "0600"});
    umask(umask_was);
    struct stat st;
    ASSERT_EQ(stat(open_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    ASSERT_EQ(stat(narrow_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to connect as another user";
    /* Each daemon's own port: VORLEN_PORT names the one the case is about. */
    const struct {
        const Daemon &daemon;
        std::string path;
        const char *transport;
        int status; /* the family used, or 1 for none */
        std::string said;
    } cases[] = {
        {open_d, open_path, "unix", AF_UNIX, ""},
        {open_d, open_path, "", AF_UNIX, ""},
        {narrow, narrow_path, "", AF_INET,
         "client (connect): " + narrow_path + ": " + strerror(EACCES) + "; going on over TCP\n"},
        {narrow, narrow_path, "unix", 1,
         "client (connect): " + narrow_path + ": " + strerror(EACCES) + "\n"},
    };
    for (const auto &k : cases) {
        auto [status, err] = run_captured([&] {
            REQUIRE(as_user(NOBODY));
            setenv("VORLEN_PORT", std::to_string(k.daemon.port()).c_str(), 1);
            setenv("VORLEN_UNIX", k.path.c_str(), 1);
            setenv("VORLEN_TRANSPORT", k.transport, 1);
            close_range(3, ~0u, 0);
            if (qnx_name_attach(0, "another-user") < 1) return 50;
            return connection_family() + 10;
        });
        EXPECT_EQ(status >= 10 ? status - 10 : status, k.status)
            << k.path << " VORLEN_TRANSPORT=" << k.transport << ": " << err;
        EXPECT_EQ(err, k.said) << k.path << " VORLEN_TRANSPORT=" << k.transport;
    }
}
