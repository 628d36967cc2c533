/* test_peers.cpp - who is on the other end: peers on other hosts, and a daemon without privilege */
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "vorlen_test.h"

using namespace vt;

namespace {

/* Two addresses of this host that are not loopback ones: a client bound to
 * the second one that connects to the first is, to the daemon, a peer on
 * another host. */
const char *const HOST_ADDR = "10.77.0.1";
const char *const OTHER_ADDR = "10.77.0.2";

uint32_t addr(const char *a) {
    return inet_addr(a);
}

/* OwnNetwork moves this process into a network namespace of its own (and
 * back at the end), with loopback up and HOST_ADDR and OTHER_ADDR on it. The
 * daemons and clients started meanwhile live in it. */
class OwnNetwork {
  public:
    OwnNetwork() {
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (home_ < 0 || unshare(CLONE_NEWNET) != 0) {
            why_ = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
            return;
        }
        entered_ = true;
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq r{};
        strcpy(r.ifr_name, "lo");
        bool ok = ioctl(s, SIOCGIFFLAGS, &r) == 0;
        r.ifr_flags = short(r.ifr_flags | IFF_UP);
        ok = ok && ioctl(s, SIOCSIFFLAGS, &r) == 0;
        ok = ok && add(s, "lo:1", HOST_ADDR) && add(s, "lo:2", OTHER_ADDR);
        if (!ok) why_ = std::string("configuring loopback: ") + strerror(errno);
        close(s);
    }
    ~OwnNetwork() {
        if (entered_ && setns(home_, CLONE_NEWNET) != 0)
            ADD_FAILURE() << "cannot return to the original network namespace";
        if (home_ >= 0) close(home_);
    }
    /* Empty when the namespace is ready; else why it is not. */
    const std::string &why() const { return why_; }

  private:
    static bool add(int s, const char *label, const char *a) {
        ifreq r{};
        strcpy(r.ifr_name, label);
        auto *sin = reinterpret_cast<sockaddr_in *>(&r.ifr_addr);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = addr(a);
        return ioctl(s, SIOCSIFADDR, &r) == 0;
    }
    int home_ = -1;
    bool entered_ = false;
    std::string why_;
};

#define ENTER_OWN_NETWORK(net)                                                                     \
    OwnNetwork net;                                                                                \
    if (!net.why().empty()) GTEST_SKIP() << "no network namespace of our own: " << net.why()

void bind_to(RawClient &c, pid_t pid) {
    c.send_bytes(names_listing(pid));
    expect_names_listing(c);
}

/* Runs fn in a child that has become user uid (and its group) and is not
 * dumpable, as a process that changed its user or said so with prctl is:
 * then only root may read its descriptors. */
pid_t spawn_as(uid_t uid, const std::function<int()> &fn) {
    return spawn([=] {
        close_range(3, ~0u, 0);
        REQUIRE(setgroups(0, nullptr) == 0 && setgid(gid_t(uid)) == 0 && setuid(uid) == 0);
        REQUIRE(prctl(PR_SET_DUMPABLE, 0) == 0);
        return fn();
    });
}

/* The real user of process pid, or -1. */
long user_of(pid_t pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = st.find("\nUid:");
    return at == std::string::npos ? -1 : strtol(st.c_str() + at + 5, nullptr, 10);
}

/* A client of the daemon on port, in a child: connects, claims pid (0: its
 * own) and returns the retcode of the names listing it asks for. */
int claim(int port, pid_t pid) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
    auto r = names_listing(pid ? pid : getpid());
    if (write(s, r.data(), r.size()) != ssize_t(r.size())) return -1;
    QNX_MSG_HDR h;
    if (read(s, &h, sizeof h) != ssize_t(sizeof h)) return -1;
    close(s);
    return h.ev.retcode;
}

constexpr uid_t NOBODY = 65534;

/* A TCP connection to the daemon on port that the daemon has accepted: a
 * listing on a later connection is answered only after it was. */
int accepted_connection(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    list_processes(port);
    return s;
}

/* smuggle has a Send from claimed to server arrive at the daemon on port
 * over an accepted connection that then ends by how: the daemon is stopped
 * meanwhile, so that it finds the request only once the client's socket has
 * gone. */
void smuggle(const Daemon &d, pid_t claimed, pid_t server, const std::function<void(int)> &how) {
    int s = accepted_connection(d.port());
    kill(d.pid(), SIGSTOP);
    auto r = send_req(MT_SEND, claimed, server, {"smuggled"});
    EXPECT_EQ(write(s, r.data(), r.size()), ssize_t(r.size()));
    how(s);
    kill(d.pid(), SIGCONT);
}

} // namespace

TEST(Peers, APeerOnAnotherHostIsRefused) {
    ENTER_OWN_NETWORK(net);
    /* Listening on the host's own address as well, the daemon is reachable
     * from another host; such a peer is refused all the same: each host runs
     * its own daemon. */
    Daemon d({"--listen", "127.0.0.1", "--listen", HOST_ADDR, "-v", "2"});
    RawClient far(d.port(), addr(HOST_ADDR), addr(OTHER_ADDR));
    EXPECT_TRUE(far.closed_by_peer());
    EXPECT_NE(d.stdout_text().find(std::string("Err: connection from ") + OTHER_ADDR +
                                   " refused: not a local peer"),
              std::string::npos);
    /* A client of this host that comes through the host's own address is
     * local, and is checked like any other. */
    RawClient near(d.port(), addr(HOST_ADDR), addr(HOST_ADDR));
    bind_to(near, near.pid());
    Sleeper other;
    RawClient liar(d.port(), addr(HOST_ADDR), addr(HOST_ADDR));
    liar.send_bytes(names_listing(other.pid()));
    expect_status(liar, ESRCH);
}

TEST(Peers, ADaemonThatCannotReadDescriptorsComparesUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run processes as other users";
    Daemon d({"-v", "2"}, {}, "", int(NOBODY));
    ASSERT_GT(d.pid(), 0);

    /* Root's processes are beyond its reach: their user must be the
     * socket's. */
    RawClient mine(d.port());
    bind_to(mine, mine.pid());
    pid_t stranger = spawn_as(NOBODY - 1, [] {
        pause();
        return 0;
    });
    ASSERT_TRUE(wait_until([&] { return user_of(stranger) == NOBODY - 1; }));
    RawClient liar(d.port());
    liar.send_bytes(names_listing(stranger));
    expect_status(liar, ESRCH);
    kill(stranger, SIGKILL);
    waitpid(stranger, nullptr, 0);

    /* A process that is not dumpable, even one of the daemon's own user,
     * shows its descriptors to no one but root; its user still counts. */
    for (uid_t uid : {NOBODY - 2, NOBODY}) {
        pid_t p = spawn_as(uid, [port = d.port()] { return claim(port, 0); });
        EXPECT_EQ(wait_exit(p), 0) << "uid " << uid;
    }

    /* A dumpable process of the daemon's own user gets the full check: a
     * sibling of the same user cannot pass for it. */
    pid_t sibling = spawn_as(NOBODY, [] {
        prctl(PR_SET_DUMPABLE, 1);
        pause();
        return 0;
    });
    ASSERT_TRUE(wait_until([&] { /* /proc/<pid> is its own once it is dumpable */
                                 struct stat st;
                                 return stat(("/proc/" + std::to_string(sibling)).c_str(), &st) ==
                                            0 &&
                                        st.st_uid == NOBODY;
    }));
    pid_t p = spawn_as(NOBODY, [port = d.port(), sibling] {
        REQUIRE(prctl(PR_SET_DUMPABLE, 1) == 0);
        REQUIRE(claim(port, sibling) == ESRCH);
        REQUIRE(claim(port, 0) == 0);
        return 0;
    });
    EXPECT_EQ(wait_exit(p), 0);
    kill(sibling, SIGKILL);
    waitpid(sibling, nullptr, 0);
}

/* A request followed at once by a reset: the daemon finds the request with
 * the peer already gone, and its address unreadable. It must bind nothing,
 * not take the peer for a remote one on trust, and deliver nothing. */
TEST(Peers, ARequestFollowedByAResetBindsNothingAndDeliversNothing) {
    Daemon d({"-v", "2"});
    RawClient server(d.port());
    bind_to(server, server.pid());
    receive(server, server.pid(), 0, 64);
    ASSERT_TRUE(wait_state(d.port(), server.pid(), STATE_RECEIVE_BLOCKED));
    Sleeper claimed;
    smuggle(d, claimed.pid(), server.pid(), [](int s) {
        linger l{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(s);
    });
    /* Listings served after the daemon went on: it has read the request. */
    EXPECT_TRUE(wait_until([&] {
        return d.stdout_text().find("is not the process on it") != std::string::npos ||
               !server.silent(0);
    }));
    EXPECT_EQ(process_record(d.port(), claimed.pid()).pid, 0);
    EXPECT_TRUE(server.silent(100)) << "the smuggled message was delivered";
}

/* A client that sent and closed at once leaves a socket in FIN_WAIT2 or
 * TIME_WAIT, which the kernel reports as root's with no inode. A daemon
 * that cannot read descriptors compares users: such an answer must never
 * vouch for root's init. */
TEST(Peers, ASocketInTimeWaitVouchesForNobody) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the daemon as another user";
    Daemon d({"-v", "2"}, {}, "", int(NOBODY));
    ASSERT_GT(d.pid(), 0);
    RawClient server(d.port());
    bind_to(server, server.pid());
    receive(server, server.pid(), 0, 64);
    ASSERT_TRUE(wait_state(d.port(), server.pid(), STATE_RECEIVE_BLOCKED));
    ASSERT_EQ(user_of(1), 0);
    smuggle(d, 1, server.pid(), [](int s) { close(s); });
    EXPECT_TRUE(wait_until([&] {
        return d.stdout_text().find("is not the process on it") != std::string::npos ||
               !server.silent(0);
    }));
    EXPECT_EQ(process_record(d.port(), 1).pid, 0);
    EXPECT_TRUE(server.silent(100)) << "a message from pid 1 was delivered";
}
