/* test_nodes.cpp - the node links of a plant: three daemons in network namespaces of their own */
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "link.h"
#include "node_client.h"
#include "vorlen_test.h"

using namespace vt;

namespace {

/* The node links' timing in these tests: short, so that a link's death is
 * seen in half a second. */
const int HEARTBEAT_MS = 100;
const int TIMEOUT_MS = 400;

double now_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool run(const std::string &cmd) {
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

std::string node_addr(int n) {
    return "10.99.0." + std::to_string(n);
}

/* Plant is three network namespaces, node 1 to 3, each with its address
 * 10.99.0.N on a veth whose other end is on a bridge in a fourth, and a
 * certificate set made with the openssl command: the plant's CA and a key
 * and certificate per node, and another CA with a certificate for node 1.
 * Its daemons are stopped, and the namespaces deleted, at its end; so are
 * the clients forked into its nodes (Client), before them. */
class Plant {
  public:
    Plant() {
        std::string tag = "vl" + std::to_string(getpid());
        hub_ = tag + "h";
        for (int n = 1; n <= 3; n++) ns_.push_back(tag + "n" + std::to_string(n));
        dir_ = make_tempdir();
        if (geteuid() != 0) {
            why_ = "needs root, for network namespaces";
            return;
        }
        made_ = true;
        bool ok = run("ip netns add " + hub_) &&
                  run("ip -n " + hub_ + " link add br0 type bridge") &&
                  run("ip -n " + hub_ + " link set br0 up");
        for (int n = 1; ok && n <= 3; n++) {
            const std::string &ns = ns_[size_t(n - 1)], v = "v" + std::to_string(n);
            ok =
                run("ip netns add " + ns) &&
                run("ip -n " + hub_ + " link add " + v + " type veth peer name eth0 netns " + ns) &&
                run("ip -n " + hub_ + " link set " + v + " master br0 up") &&
                run("ip -n " + ns + " addr add " + node_addr(n) + "/24 dev eth0") &&
                run("ip -n " + ns + " link set eth0 up") && run("ip -n " + ns + " link set lo up");
        }
        if (!ok) {
            why_ = "cannot make network namespaces with ip netns (no privilege or no veth)";
            return;
        }
        ok = certs("ca", "") && certs("other", "");
        for (int n = 1; ok && n <= 3; n++) ok = certs("node" + std::to_string(n), "ca");
        ok = ok && certs("rogue1", "other", "node1");
        FILE *f = fopen((dir_ + "/netmap").c_str(), "w");
        ok = ok && f;
        for (int n = 1; f && n <= 3; n++)
            fprintf(f, "%d %s node%d  # node %d\n", n, node_addr(n).c_str(), n, n);
        if (f) fclose(f);
        if (!ok) why_ = "cannot make the certificates with the openssl command";
    }
    ~Plant() {
        daemons_.clear(); /* stopped before their namespaces go */
        if (made_) {
            for (auto &ns : ns_) run("ip netns del " + ns);
            run("ip netns del " + hub_);
        }
        run("rm -rf '" + dir_ + "'");
    }
    const std::string &why() const { return why_; }
    const std::string &dir() const { return dir_; }
    const std::string &ns(int n) const { return ns_[size_t(n - 1)]; }

    /* start runs a daemon as node n in n's namespace with the key and
     * certificate of cert (nodeN unless said) and the plant's CA. */
    Daemon &start(int n, const std::string &cert = "") {
        std::string c = cert.empty() ? "node" + std::to_string(n) : cert;
        std::vector<std::string> args = {"-v",
                                         "2",
                                         "--no-state",
                                         "--netmap",
                                         dir_ + "/netmap",
                                         "--node",
                                         std::to_string(n),
                                         "--tls-cert",
                                         dir_ + "/" + c + ".pem",
                                         "--tls-key",
                                         dir_ + "/" + c + ".key",
                                         "--tls-ca",
                                         dir_ + "/ca.pem",
                                         "--node-heartbeat",
                                         std::to_string(HEARTBEAT_MS),
                                         "--node-timeout",
                                         std::to_string(TIMEOUT_MS)};
        int home = enter(n);
        daemons_.push_back(std::make_unique<Daemon>(args));
        leave(home);
        by_node_[n] = daemons_.back().get();
        return *daemons_.back();
    }
    /* daemon is the daemon last started as node n. */
    Daemon &daemon(int n) { return *by_node_.at(n); }
    /* in runs fn in node n's namespace: the sockets it makes are n's. */
    template <typename F> auto in(int n, F fn) {
        int home = enter(n);
        auto r = fn();
        leave(home);
        return r;
    }
    /* listen_in makes a TCP listener on node n's address and link port in
     * n's namespace; -1 when it cannot. */
    int listen_in(int n) {
        return in(n, [&] {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(VORLEN_NODE_PORT);
            a.sin_addr.s_addr = inet_addr(node_addr(n).c_str());
            int on = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (s >= 0 &&
                (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 16) != 0)) {
                close(s);
                s = -1;
            }
            return s;
        });
    }
    /* restart starts daemon d of node n again in n's namespace. */
    bool restart(int n, Daemon &d) {
        int home = enter(n);
        bool ok = d.restart();
        leave(home);
        return ok;
    }
    /* connect_from makes a plain TCP connection from node from's namespace to
     * node to's link port; -1 when it cannot. */
    int connect_from(int from, int to) {
        int home = enter(from);
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        leave(home);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(VORLEN_NODE_PORT);
        a.sin_addr.s_addr = inet_addr(node_addr(to).c_str());
        if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(s);
            return -1;
        }
        return s;
    }
    /* status_in runs the shell command cmd in node n's namespace and waits
     * for it: its exit status, or -1 when it did not exit. */
    int status_in(int n, const std::string &cmd) {
        int st =
            system(("ip netns exec " + ns(n) + " sh -c \"" + cmd + "\" >/dev/null 2>&1").c_str());
        return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    /* exec_in is status_in, true when cmd succeeded. */
    bool exec_in(int n, const std::string &cmd) { return status_in(n, cmd) == 0; }
    /* link sets node n's interface up or down. */
    bool link(int n, bool up) {
        return run("ip -n " + ns(n) + " link set dev eth0 " + (up ? "up" : "down"));
    }

  private:
    /* certs makes name.key and name.pem, signed by ca (self-signed: none),
     * naming dns (name unless said) in its subject and alternative names. */
    bool certs(const std::string &name, const std::string &ca, std::string dns = "") {
        if (dns.empty()) dns = name;
        std::string d = dir_ + "/", key = d + name + ".key", pem = d + name + ".pem";
        std::string newkey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
                             key + " -subj /CN=" + dns;
        if (ca.empty()) return run("openssl req -x509 " + newkey + " -days 2 -out " + pem);
        FILE *f = fopen((d + name + ".ext").c_str(), "w");
        if (!f) return false;
        fprintf(f, "subjectAltName=DNS:%s\n", dns.c_str());
        fclose(f);
        return run("openssl req " + newkey + " -out " + d + name + ".csr") &&
               run("openssl x509 -req -in " + d + name + ".csr -CA " + d + ca + ".pem -CAkey " + d +
                   ca + ".key -CAcreateserial -days 2 -out " + pem + " -extfile " + d + name +
                   ".ext") &&
               chmod(key.c_str(), 0600) == 0;
    }
    int enter(int n) {
        int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = open(("/run/netns/" + ns(n)).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot enter " << ns(n);
        if (fd >= 0) close(fd);
        return home;
    }
    void leave(int home) {
        if (home < 0 || setns(home, CLONE_NEWNET) != 0)
            ADD_FAILURE() << "cannot return to the test's network namespace";
        if (home >= 0) close(home);
    }
    std::string hub_, dir_, why_;
    std::vector<std::string> ns_;
    bool made_ = false;
    std::vector<std::unique_ptr<Daemon>> daemons_;
    std::map<int, Daemon *> by_node_;
};

#define MAKE_PLANT(p)                                                                              \
    Plant p;                                                                                       \
    if (!p.why().empty()) GTEST_SKIP() << p.why()

bool logged(Daemon &d, const std::string &text) {
    return d.stdout_text().find(text) != std::string::npos;
}

/* times counts the lines of d's log that hold text. */
int times(Daemon &d, const std::string &text) {
    std::string t = d.stdout_text();
    int k = 0;
    for (size_t at = t.find(text); at != std::string::npos; at = t.find(text, at + 1)) k++;
    return k;
}

/* wait_logged waits up to ms for text in d's log; false (the test failed,
 * with the log) when it did not come. */
bool wait_logged(Daemon &d, const std::string &text, int ms = 15000) {
    if (wait_until([&] { return logged(d, text); }, ms)) return true;
    ADD_FAILURE() << "no \"" << text << "\" in the log of node daemon " << d.pid() << ":\n"
                  << d.stdout_text();
    return false;
}

std::string up(int n) {
    return "node " + std::to_string(n) + " up: ";
}
std::string down(int n) {
    return "node " + std::to_string(n) + " down: ";
}

/* all_up starts the three nodes and waits for each to see the other two. */
bool all_up(Plant &p, std::vector<Daemon *> &d) {
    for (int n = 1; n <= 3; n++) d.push_back(&p.start(n));
    for (int n = 1; n <= 3; n++)
        for (int m = 1; m <= 3; m++)
            if (m != n && !wait_logged(*d[size_t(n - 1)], up(m))) return false;
    return true;
}

TEST(NodeLinks, ComeUpBetweenThreeNodes) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    /* The lower id dials: node 1's links are its own, node 3 accepted both. */
    EXPECT_TRUE(logged(*d[0], "node 2 up: link to 10.99.0.2"));
    EXPECT_TRUE(logged(*d[0], "node 3 up: link to 10.99.0.3"));
    EXPECT_TRUE(logged(*d[2], "node 1 up: link from 10.99.0.1"));
    EXPECT_TRUE(logged(*d[2], "node 2 up: link from 10.99.0.2"));
    for (Daemon *x : d) EXPECT_FALSE(logged(*x, " down: ")) << x->stdout_text();
    /* The operator sees it: sin nodes on node 1 lists both links up, the
     * bytes of their hellos counted each way. */
    const std::string out = p.dir() + "/sin-nodes.txt";
    ASSERT_TRUE(p.exec_in(1, "VORLEN_PORT=" + std::to_string(d[0]->port()) + " " +
                                 vt::bin_path("sin") + " nodes > " + out));
    const std::string table = vt::read_file(out);
    for (int n : {2, 3}) {
        const std::string addr = "10.99.0." + std::to_string(n) + ":7780";
        size_t at = table.find(addr);
        ASSERT_NE(at, std::string::npos) << table;
        std::istringstream line(table.substr(at, table.find('\n', at) - at));
        std::string a, state, inc, rtt, in, out_bytes;
        line >> a >> state >> inc >> rtt >> in >> out_bytes;
        EXPECT_EQ(state, "up") << table;
        EXPECT_NE(in, "0") << table;
        EXPECT_NE(out_bytes, "0") << table;
    }
}

/* A peer node 2 must refuse: how node 1 comes (a daemon with the key and
 * certificate named; a TLS client with node 1's sending a hello of its own;
 * or plain TCP), and what node 2's log line says. */
struct Refusal {
    const char *name;
    const char *cert;  /* null: a client of the test's */
    const char *hello; /* that client's hello, in printf's octal escapes; null: plain TCP */
    const char *why;
    const char *heard; /* what node 1's log says of it */
};
/* How ctest names the case: by its name, not its bytes. */
void PrintTo(const Refusal &r, std::ostream *os) {
    *os << r.name;
}
/* A hello's frame header and magic, on this host's byte order (little-endian). */
#define HELLO_HEAD "\\030\\000\\000\\000\\001\\000\\000\\000VORLENNL"
#define HELLO_TAIL "\\001\\000\\000\\000\\001\\000\\000\\000\\000\\000\\000\\000"

const Refusal refusals[] = {
    {"OtherCa", "rogue1", nullptr,
     "Err: node link from 10.99.0.1: certificate: ", "Err: node link to 10.99.0.2: TLS: "},
    {"NamesAnotherNode", "node3", nullptr,
     "Err: node link from 10.99.0.1: it claims node 1, but its certificate does not name node1",
     "Err: node link to 10.99.0.2: refused by the peer: it claims node 1, but its certificate "
     "does not name node1"},
    {"OtherProtocolVersion", nullptr, HELLO_HEAD "\\143\\000\\002\\001" HELLO_TAIL,
     "Err: node link from 10.99.0.1: protocol version 99, this node speaks 1", nullptr},
    {"OtherByteOrder", nullptr, HELLO_HEAD "\\001\\000\\001\\002" HELLO_TAIL,
     "Err: node link from 10.99.0.1: its byte order is not this node's", nullptr},
    {"PlainTcp", nullptr, nullptr, "Err: node link from 10.99.0.1: TLS: ", nullptr},
};

class NodeRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(NodeRefusal, IsLoggedAndTheNodeNeverUp) {
    MAKE_PLANT(p);
    const Refusal &r = GetParam();
    Daemon &two = p.start(2);
    if (r.cert) {
        Daemon &one = p.start(1, r.cert);
        ASSERT_TRUE(wait_logged(two, r.why));
        /* The dialler hears the refusal too, and names node 2's address. */
        EXPECT_TRUE(wait_logged(one, r.heard));
        EXPECT_FALSE(logged(one, up(2)));
    } else if (r.hello) {
        const std::string d = p.dir() + "/";
        /* Its status is not the point: the daemon may close first. */
        p.exec_in(1, "printf '" + std::string(r.hello) +
                         "' | openssl s_client -connect 10.99.0.2:7780 -cert " + d +
                         "node1.pem -key " + d + "node1.key -CAfile " + d + "ca.pem");
        ASSERT_TRUE(wait_logged(two, r.why));
    } else {
        int s = p.connect_from(1, 2);
        ASSERT_GE(s, 0);
        const char junk[] = "HELLO node 2, this is node 1\r\n\r\n";
        ASSERT_EQ(write(s, junk, sizeof junk), ssize_t(sizeof junk));
        ASSERT_TRUE(wait_logged(two, r.why));
        close(s);
    }
    EXPECT_FALSE(logged(two, up(1))) << two.stdout_text();
}

INSTANTIATE_TEST_SUITE_P(Peers, NodeRefusal, ::testing::ValuesIn(refusals),
                         [](const ::testing::TestParamInfo<Refusal> &i) { return i.param.name; });

/* first_seen polls the logs of ds for text until ms after start and returns,
 * for each, when it was first seen (ms after start; -1: never). */
std::vector<double> first_seen(const std::vector<Daemon *> &ds, const std::string &text,
                               double start, double ms) {
    std::vector<double> at(ds.size(), -1);
    for (;;) {
        bool all = true;
        for (size_t i = 0; i < ds.size(); i++) {
            if (at[i] < 0 && logged(*ds[i], text)) at[i] = now_ms() - start;
            all = all && at[i] >= 0;
        }
        if (all || now_ms() - start > ms) return at;
        usleep(2000); /* a poll of the logs, not a wait for the outcome */
    }
}

TEST(NodeLinks, LinkTakenDownIsDeclaredDownAfterTheTimeoutAndWithinOneHeartbeat) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    double t0 = now_ms();
    ASSERT_TRUE(p.link(3, false));
    /* Polling and the ip command take a few milliseconds of their own. */
    const double slack = 100;
    std::vector<double> at = first_seen({d[0], d[1]}, down(3), t0, 5000);
    for (size_t i = 0; i < at.size(); i++) {
        printf("node %zu said node 3 down %.1f ms after its link went down\n", i + 1, at[i]);
        EXPECT_GE(at[i], TIMEOUT_MS) << "node " << i + 1 << ":\n" << d[i]->stdout_text();
        EXPECT_LE(at[i], TIMEOUT_MS + HEARTBEAT_MS + slack) << "node " << i + 1 << ":\n"
                                                            << d[i]->stdout_text();
    }
    /* Node 3 lost its peers the same way: its own heartbeats go unanswered. */
    EXPECT_TRUE(wait_logged(*d[2], down(1), 3000));
    EXPECT_TRUE(wait_logged(*d[2], down(2), 3000));
    /* Back up, node 1 and node 2 dial again. */
    ASSERT_TRUE(p.link(3, true));
    EXPECT_TRUE(wait_until([&] { return times(*d[2], up(1)) == 2; }, 15000)) << d[2]->stdout_text();
}

TEST(NodeLinks, FlapShorterThanTheTimeoutIsNoticedByNoOne) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    ASSERT_TRUE(p.link(3, false));
    double t0 = now_ms();
    /* The flap itself: down for a quarter of the timeout, so that TCP's
     * first retransmission (200 ms at least) finds the link back. */
    while (now_ms() - t0 < TIMEOUT_MS / 4) usleep(5000);
    ASSERT_TRUE(p.link(3, true));
    /* Watched for as long as a down would take to be said, and more. */
    std::vector<double> at = first_seen(d, " down: ", now_ms(), 2 * (TIMEOUT_MS + HEARTBEAT_MS));
    for (size_t i = 0; i < at.size(); i++)
        EXPECT_LT(at[i], 0) << "node " << i + 1 << ":\n" << d[i]->stdout_text();
}

TEST(NodeLinks, DaemonKilledAndRestartedIsSeenWithItsNewIncarnation) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    d[2]->kill_and_wait(SIGKILL);
    ASSERT_TRUE(wait_logged(*d[0], down(3), 5000));
    ASSERT_TRUE(p.restart(3, *d[2]));
    /* Its peers name the incarnation the new daemon says it started with:
     * the last start line of its log, which holds both runs. */
    const std::string own = d[2]->stdout_text();
    const std::regex start("This host is node 3 .*incarnation ([0-9a-f]{16})");
    std::string now;
    for (auto it = std::sregex_iterator(own.begin(), own.end(), start);
         it != std::sregex_iterator(); ++it)
        now = (*it)[1];
    ASSERT_FALSE(now.empty()) << own;
    EXPECT_TRUE(wait_logged(*d[0], "node 3 restarted: incarnation " + now + ", was "));
    EXPECT_TRUE(wait_logged(*d[1], "node 3 restarted: incarnation " + now + ", was "));
    /* Node 3 itself is new: it has never seen its peers before. */
    EXPECT_TRUE(wait_until([&] { return times(*d[2], up(1)) == 2; }, 15000)) << d[2]->stdout_text();
    EXPECT_FALSE(logged(*d[2], "restarted"));
}

/* Client is a process forked into node n's network namespace that runs fn
 * there, with the library's QNX 4 face, against node n's daemon; it exits
 * with fn's result (0: its checks held). The test and fn talk in numbers
 * through a socket pair (tell, hear), each waiting for the other's with a
 * deadline, never for a while. The destructor ends it if it still runs. */
class Client {
  public:
    Client(Plant &p, int n, const std::function<int(Client &)> &fn) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            ADD_FAILURE() << "socketpair: " << strerror(errno);
            return;
        }
        const std::string port = std::to_string(p.daemon(n).port());
        const std::string ns = "/run/netns/" + p.ns(n);
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(sv[0]);
            fd_ = sv[1];
            int nsfd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
            if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0) {
                fprintf(stderr, "cannot enter %s: %s\n", ns.c_str(), strerror(errno));
                _exit(3);
            }
            close(nsfd);
            setenv("VORLEN_PORT", port.c_str(), 1);
            int rc = fn(*this);
            fflush(nullptr);
            exit(rc);
        }
        close(sv[1]);
        fd_ = sv[0];
        if (pid_ < 0) ADD_FAILURE() << "fork: " << strerror(errno);
    }
    ~Client() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    pid_t pid() const { return pid_; }
    /* tell sends v to the other side; false when it has gone. */
    bool tell(int64_t v) { return write(fd_, &v, sizeof v) == ssize_t(sizeof v); }
    /* hear takes the other side's next number within ms; false (in the
     * test, a failure) when none came: it ended, or the time passed. After
     * one such failure the test hears nothing more from it, at once. */
    bool hear(int64_t &v, int ms = 15000) {
        pollfd pf{fd_, POLLIN, 0};
        if (!silent_ && poll(&pf, 1, ms) == 1 && read(fd_, &v, sizeof v) == ssize_t(sizeof v))
            return true;
        if (pid_ > 0 && !silent_)
            ADD_FAILURE() << "client " << pid_ << " said nothing (it ended, or " << ms
                          << " ms passed)";
        silent_ = pid_ > 0;
        return false;
    }
    /* ready tells whether the other side has said something not yet heard. */
    bool ready() {
        pollfd pf{fd_, POLLIN, 0};
        return poll(&pf, 1, 0) == 1;
    }
    int64_t heard(int ms = 15000) {
        int64_t v = -12345;
        hear(v, ms);
        return v;
    }
    /* wait is the client's exit status (-1: it did not end by itself). */
    int wait(int ms = 15000) {
        reaped_ = true;
        return wait_exit(pid_, ms);
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false, silent_ = false;
};

/* The messages of the circuit tests: empty, short, as long as a part of a
 * frame, past 64 KiB, and the largest the issue names. */
const size_t sizes[] = {0, 1, 100, 4096, 65536 + 3, 1 << 20};

uint8_t pattern(size_t i, size_t n, int salt) {
    return uint8_t(i * 131 + n * 7 + size_t(salt));
}

int64_t mono_us() {
    return int64_t(now_ms() * 1000);
}

/* locate (in a client) looks name up on node nid until it is found in
 * copies registrations, for as long as its global name takes to reach this
 * node; the VID or pid, or -1 with errno. Earlier finds are detached. */
pid_t locate(int nid, const char *name, unsigned size, unsigned want = 1,
             unsigned *copies = nullptr) {
    unsigned got = 0;
    pid_t id = -1;
    wait_until(
        [&] {
            if (id != -1) q4::vc_detach(id);
            id = q4::name_locate(nid, name, size, &got);
            return (id != -1 && got >= want) || (id == -1 && errno != ESRCH);
        },
        5000);
    if (copies) *copies = got;
    return id;
}

/* exchange (in a client) sends n bytes of its pattern to id in three parts
 * and takes the reply in two; 0 when the reply is the server's pattern. */
int exchange(pid_t id, size_t n) {
    std::vector<uint8_t> m(n), r(n, 0xEE);
    for (size_t i = 0; i < n; i++) m[i] = pattern(i, n, 1);
    _MXFER_ENTRY sm[3], rm[2];
    _setmx(&sm[0], m.data(), n / 3);
    _setmx(&sm[1], m.data() + n / 3, n * 2 / 3 - n / 3);
    _setmx(&sm[2], m.data() + n * 2 / 3, n - n * 2 / 3);
    _setmx(&rm[0], r.data(), n / 2);
    _setmx(&rm[1], r.data() + n / 2, n - n / 2);
    REQUIRE(q4::sendmx(id, 3, 2, sm, rm) == 0);
    for (size_t i = 0; i < n; i++) REQUIRE(r[i] == pattern(i, n, 2));
    return 0;
}

/* serve (in a server) takes one message of n bytes: 16 by Receive from
 * *from (0: anyone), the rest by Readmsg from offset 16, its last 7 again
 * at their offset; it answers with its own pattern, the back half by
 * Writemsg at offset n / 2 and the front half by Replymx in two parts. The
 * sender in *from; 0 when the message was the client's pattern and every
 * call did its part. */
int serve(size_t n, pid_t *from) {
    std::vector<uint8_t> m(n + 16), a(n);
    pid_t who = q4::receive(*from, m.data(), 16);
    REQUIRE(who > 0 && (*from == 0 || who == *from));
    *from = who;
    if (n > 16) REQUIRE(q4::readmsg(who, 16, m.data() + 16, unsigned(n - 16)) == int(n - 16));
    for (size_t i = 0; i < n; i++) REQUIRE(m[i] == pattern(i, n, 1));
    if (n >= 16) {
        uint8_t last[7];
        REQUIRE(q4::readmsg(who, unsigned(n - 7), last, 7) == 7);
        for (size_t i = 0; i < 7; i++) REQUIRE(last[i] == pattern(n - 7 + i, n, 1));
    }
    for (size_t i = 0; i < n; i++) a[i] = pattern(i, n, 2);
    const size_t half = n / 2;
    if (n > half)
        REQUIRE(q4::writemsg(who, unsigned(half), a.data() + half, unsigned(n - half)) ==
                int(n - half));
    _MXFER_ENTRY rm[2];
    _setmx(&rm[0], a.data(), half / 2);
    _setmx(&rm[1], a.data() + half / 2, half - half / 2);
    REQUIRE(q4::replymx(who, 2, rm) == 0);
    return 0;
}

/* How a client on node 2 finds the server on node 1: by that node's id and
 * a name of its own, or by a global name with nid 0. */
struct Lookup {
    const char *name;
    int nid;
    const char *server_name;
};
void PrintTo(const Lookup &l, std::ostream *os) {
    *os << l.name;
}
const Lookup lookups[] = {
    {"ByNode", 1, "nc/server"},
    {"ByGlobalName", 0, "/nc/server"},
};

class NodeCircuit : public ::testing::TestWithParam<Lookup> {};

TEST_P(NodeCircuit, CarriesMessagesOfEverySizeAndTheServerSeesItsClientsNode) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    const Lookup &l = GetParam();
    Client server(p, 1, [&](Client &c) {
        REQUIRE(q4::name_attach(l.server_name) != -1);
        c.tell(1);
        pid_t from = 0; /* after the first message, Receive by the client's VID */
        for (size_t n : sizes) REQUIRE(serve(n, &from) == 0);
        q4::Vproc v;
        c.tell(from);
        c.tell(q4::psinfo(1, from, &v));
        c.tell(v.is_vid);
        c.tell(v.remote_nid);
        c.tell(v.remote_pid);
        c.tell(v.remote_vid);
        return 0;
    });
    ASSERT_EQ(server.heard(), 1);
    Client client(p, 2, [&](Client &c) {
        c.tell(q4::getnid());
        unsigned copies = 0;
        pid_t id = locate(l.nid, l.server_name, 4096, 1, &copies);
        c.tell(id == -1 ? -errno : id);
        c.tell(copies);
        REQUIRE(id != -1);
        for (size_t n : sizes) REQUIRE(exchange(id, n) == 0);
        c.tell(0);
        int64_t end;
        c.hear(end); /* the circuit stays until the server has looked at it */
        return 0;
    });
    ASSERT_EQ(client.heard(), 2) << "getnid() on node 2";
    const int64_t vid = client.heard();
    ASSERT_TRUE(VORLEN_IS_VID(vid)) << vid;
    EXPECT_EQ(client.heard(), 1) << "copies";
    ASSERT_EQ(client.heard(60000), 0) << "every message and its reply as sent";
    /* The server's sender is a VID of node 1 that stands for the client. */
    const int64_t from = server.heard();
    EXPECT_TRUE(VORLEN_IS_VID(from)) << from;
    EXPECT_EQ(server.heard(), from) << "qnx_psinfo of the sender's VID";
    EXPECT_EQ(server.heard(), 1) << "_PPF_VID";
    EXPECT_EQ(server.heard(), 2) << "un.vproc.remote_nid";
    EXPECT_EQ(server.heard(), client.pid()) << "un.vproc.remote_pid";
    EXPECT_EQ(server.heard(), vid) << "un.vproc.remote_vid";
    client.tell(0);
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(server.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lookups, NodeCircuit, ::testing::ValuesIn(lookups),
                         [](const ::testing::TestParamInfo<Lookup> &i) { return i.param.name; });

TEST(NodeVc, AttachedByPidSharedDetachedByNameRelayedAndToTheProcessManager) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    Client server(p, 1, [&](Client &c) {
        REQUIRE(q4::name_attach("nc/vc") != -1);
        c.tell(getpid());
        for (;;) {
            char b[8];
            pid_t who = q4::receive(0, b, sizeof b);
            REQUIRE(who > 0 && q4::reply(who, "ok", 3) == 0);
        }
    });
    const pid_t server_pid = pid_t(server.heard());
    /* A server that hands what a far client sends on to the other. */
    Client relay(p, 1, [&](Client &c) {
        REQUIRE(q4::name_attach("nc/relay") != -1);
        c.tell(1);
        char b[8];
        pid_t who = q4::receive(0, b, sizeof b);
        REQUIRE(VORLEN_IS_VID(who) && q4::relay(who, server_pid) == 0);
        int64_t end;
        c.hear(end); /* the circuit is this process's: it stays while it lives */
        return 0;
    });
    ASSERT_EQ(relay.heard(), 1);
    /* Node 3 is down, and node 2 knows it. */
    d[2]->kill_and_wait(SIGKILL);
    ASSERT_TRUE(wait_logged(*d[1], down(3), 5000));
    Client client(p, 2, [&](Client &c) {
        char r[4];
        pid_t vid = q4::vc_attach(1, server_pid, 100, false);
        REQUIRE(VORLEN_IS_VID(vid));
        /* Shared: the same circuit with a second link. */
        REQUIRE(q4::vc_attach(1, server_pid, 100, true) == vid);
        REQUIRE(q4::send(vid, "a", r, 1, sizeof r) == 0 && strcmp(r, "ok") == 0);
        REQUIRE(q4::vc_detach(vid) == 0);
        REQUIRE(q4::send(vid, "b", r, 1, sizeof r) == 0);
        /* The last link: both ends go, and the VID stays dead. */
        REQUIRE(q4::vc_detach(vid) == 0);
        REQUIRE(q4::send(vid, "c", r, 1, sizeof r) == -1 && errno == ESRCH);
        REQUIRE(q4::vc_detach(vid) == -1 && errno == ESRCH);
        pid_t by_name = q4::vc_name_attach(1, 100, "nc/vc");
        REQUIRE(VORLEN_IS_VID(by_name) && by_name != vid);
        REQUIRE(q4::send(by_name, "d", r, 1, sizeof r) == 0 && strcmp(r, "ok") == 0);
        /* Relayed on node 1, answered by the server. */
        pid_t relayed = q4::vc_name_attach(1, 0, "nc/relay");
        REQUIRE(VORLEN_IS_VID(relayed));
        r[0] = 0;
        REQUIRE(q4::send(relayed, "e", r, 1, sizeof r) == 0 && strcmp(r, "ok") == 0);
        /* Node 1's process manager describes node 1's processes. */
        pid_t pm = q4::vc_attach(1, 1, 0, false);
        REQUIRE(VORLEN_IS_VID(pm));
        q4::Vproc v;
        REQUIRE(q4::psinfo(pm, server_pid, &v) == server_pid && v.nid == 1 && !v.is_vid);
        REQUIRE(q4::osinfo_node(1) == 1 && q4::osinfo_node(0) == 2);
        /* A node that is down, or not in the net map, is unreachable at once. */
        const double t = now_ms();
        REQUIRE(q4::vc_attach(3, 1, 0, false) == -1 && errno == EHOSTUNREACH);
        REQUIRE(q4::name_locate(3, "nc/vc", 0, nullptr) == -1 && errno == EHOSTUNREACH);
        REQUIRE(q4::vc_name_attach(9, 0, "nc/vc") == -1 && errno == EHOSTUNREACH);
        c.tell(int64_t((now_ms() - t) * 1000));
        return 0;
    });
    EXPECT_LT(client.heard(), 100000) << "microseconds to EHOSTUNREACH, three times";
    EXPECT_EQ(client.wait(), 0);
}

/* A client blocked on a VID whose far end is lost: how (the server exits,
 * the far daemon is killed, the far node's link is cut), whether the server
 * had received its message (the client REPLY-blocked, else SEND-blocked),
 * when the client's ESRCH must come (ms after the loss), and what a new
 * lookup of the server's node then gets. */
enum LossEvent { SERVER_EXITS, DAEMON_KILLED, LINK_CUT };
struct Loss {
    const char *name;
    LossEvent event;
    bool received;
    double min_ms, max_ms;
    int relocate_errno;
};
void PrintTo(const Loss &l, std::ostream *os) {
    *os << l.name;
}
/* The far daemon says so over the link (a few ms); the kernel closes a dead
 * daemon's socket (within 100 ms); a silent link is declared down after its
 * timeout, and within one heartbeat more. Polling and the ip command take
 * some milliseconds of their own: 200 ms of slack on the first two, 100 on
 * the cut. */
const Loss losses[] = {
    {"ServerExits", SERVER_EXITS, true, 0, 500, ESRCH},
    {"ServerExitsBeforeReceiving", SERVER_EXITS, false, 0, 500, ESRCH},
    {"FarDaemonKilled", DAEMON_KILLED, true, 0, 300, EHOSTUNREACH},
    {"LinkCut", LINK_CUT, true, TIMEOUT_MS, TIMEOUT_MS + HEARTBEAT_MS + 100, EHOSTUNREACH},
};

class NodeLoss : public ::testing::TestWithParam<Loss> {};

TEST_P(NodeLoss, GivesEsrchWithinItsBound) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    const Loss &l = GetParam();
    Client server(p, 1, [&](Client &c) {
        REQUIRE(q4::name_attach("nc/loss") != -1);
        c.tell(1);
        char b[8];
        if (l.received) c.tell(q4::receive(0, b, sizeof b) > 0);
        int64_t end;
        c.hear(end);
        return 0;
    });
    ASSERT_EQ(server.heard(), 1);
    Client client(p, 2, [&](Client &c) {
        pid_t id = locate(1, "nc/loss", 0);
        c.tell(id);
        REQUIRE(id != -1);
        char r[8];
        int rc = q4::send(id, "x", r, 1, sizeof r);
        c.tell(rc == -1 ? errno : 0);
        c.tell(mono_us());
        /* A dead VID stays dead. */
        rc = q4::send(id, "x", r, 1, sizeof r);
        c.tell(rc == -1 ? errno : 0);
        c.tell(q4::name_locate(1, "nc/loss", 0, nullptr) == -1 ? errno : 0);
        return 0;
    });
    const int64_t vid = client.heard();
    ASSERT_TRUE(VORLEN_IS_VID(vid)) << vid;
    if (l.received)
        ASSERT_EQ(server.heard(), 1) << "the server received the client's message";
    else
        ASSERT_TRUE(wait_until([&] {
            return p.in(2, [&] {
                        return process_record(d[1]->port(), client.pid());
                    }).block_state == STATE_SEND_BLOCKED;
        })) << "the client SEND-blocked on the VID";
    const double t0 = now_ms();
    switch (l.event) {
    case SERVER_EXITS:
        server.tell(0);
        break;
    case DAEMON_KILLED:
        d[0]->kill_and_wait(SIGKILL);
        break;
    case LINK_CUT:
        ASSERT_TRUE(p.link(1, false));
        break;
    }
    ASSERT_EQ(client.heard(5000), ESRCH) << d[1]->stdout_text();
    const double at = double(client.heard()) / 1000 - t0;
    printf("%s: ESRCH %.1f ms after\n", l.name, at);
    EXPECT_GE(at, l.min_ms) << d[1]->stdout_text();
    EXPECT_LE(at, l.max_ms) << d[1]->stdout_text();
    EXPECT_EQ(client.heard(), ESRCH) << "a later Send to the dead VID";
    EXPECT_EQ(client.heard(), l.relocate_errno) << "a new lookup on node 1";
    EXPECT_EQ(client.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Losses, NodeLoss, ::testing::ValuesIn(losses),
                         [](const ::testing::TestParamInfo<Loss> &i) { return i.param.name; });

/* kill through a VID: who sends the signal (root, or another user than the
 * target's), what kill gives, and whether the target of node 1 gets it. */
struct KillCase {
    const char *name;
    uid_t uid;
    int retcode;
    bool delivered;
};
void PrintTo(const KillCase &k, std::ostream *os) {
    *os << k.name;
}
const KillCase kills[] = {
    {"ByRoot", 0, 0, true},
    {"ByAnotherUser", 65534, EPERM, false},
};

class NodeKill : public ::testing::TestWithParam<KillCase> {};

TEST_P(NodeKill, SignalsTheFarProcessAsALocalKillWould) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    const KillCase &k = GetParam();
    Client target(p, 1, [&](Client &c) {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr); /* held pending, for the test to see */
        REQUIRE(q4::name_attach("nc/target") != -1);
        c.tell(1);
        int64_t look;
        c.hear(look);
        sigset_t pending;
        sigpending(&pending);
        c.tell(sigismember(&pending, SIGUSR1));
        return 0;
    });
    ASSERT_EQ(target.heard(), 1);
    Client killer(p, 2, [&](Client &c) {
        if (k.uid != 0)
            REQUIRE(setgroups(0, nullptr) == 0 && setgid(k.uid) == 0 && setuid(k.uid) == 0);
        pid_t id = locate(1, "nc/target", 0);
        REQUIRE(id != -1 && VORLEN_IS_VID(id));
        c.tell(q4::kill(id, SIGUSR1) == 0 ? 0 : errno);
        return 0;
    });
    ASSERT_EQ(killer.heard(), k.retcode);
    /* kill answers once the far daemon has signalled: it is pending now. */
    target.tell(0);
    EXPECT_EQ(target.heard(), k.delivered ? 1 : 0);
    EXPECT_EQ(killer.wait(), 0);
    EXPECT_EQ(target.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Senders, NodeKill, ::testing::ValuesIn(kills),
                         [](const ::testing::TestParamInfo<KillCase> &i) { return i.param.name; });

TEST(NodeNames, GlobalNameOnTwoNodesGivesTwoCopiesAndTheLowerNode) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    /* Node 3 registers first: the lower id wins all the same. */
    std::vector<std::unique_ptr<Client>> servers;
    for (int n : {3, 1}) {
        servers.push_back(std::make_unique<Client>(p, n, [&](Client &c) {
            REQUIRE(q4::name_attach("/nc/twice") != -1);
            c.tell(1);
            char b[8];
            pid_t who = q4::receive(0, b, sizeof b);
            REQUIRE(who > 0);
            int32_t nid = q4::getnid();
            REQUIRE(q4::reply(who, &nid, sizeof nid) == 0);
            return 0;
        }));
        ASSERT_EQ(servers.back()->heard(), 1);
    }
    Client client(p, 2, [&](Client &c) {
        unsigned copies = 0;
        pid_t id = locate(0, "/nc/twice", 0, 2, &copies);
        c.tell(copies);
        REQUIRE(id != -1 && VORLEN_IS_VID(id));
        int32_t nid = 0;
        REQUIRE(q4::send(id, "?", &nid, 1, sizeof nid) == 0);
        c.tell(nid);
        return 0;
    });
    ASSERT_EQ(client.heard(), 2) << "copies";
    ASSERT_EQ(client.heard(), 1) << "the node that answered";
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(servers[1]->wait(), 0);
}

/* The ccquit pattern: a process of node 2 hands a server of node 1 a
 * virtual proxy of its proxy, the server triggers it TRIGGERS times, and the
 * owner receives exactly as many. Then the virtual proxy goes, in one of
 * these ways, and a Trigger of it on node 1 gets ESRCH: its owner exits
 * (once node 1 has seen its circuits end), its owner detaches it (once node
 * 1's proxy table no longer holds it), or its owner's link is cut (within
 * the link's timeout and one heartbeat). */
const int TRIGGERS = 200;
enum VproxyEnd { OWNER_EXITS, OWNER_DETACHES, OWNER_LINK_CUT };
struct VproxyGoes {
    const char *name;
    VproxyEnd end;
};
void PrintTo(const VproxyGoes &g, std::ostream *os) {
    *os << g.name;
}
const VproxyGoes vproxy_ends[] = {
    {"OwnerExits", OWNER_EXITS},
    {"OwnerDetaches", OWNER_DETACHES},
    {"OwnersLinkCut", OWNER_LINK_CUT},
};

/* The server's orders (Client::tell): trigger once, or until a Trigger fails
 * (at most 5 s); each is answered with the errno and when it came. */
enum { TRIGGER_ONCE = 1, TRIGGER_UNTIL_REFUSED = 2 };

class NodeVproxy : public ::testing::TestWithParam<VproxyGoes> {};

TEST_P(NodeVproxy, TriggeredOnTheServersNodeIsReceivedAsOftenAndGoesWithItsEnd) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    const VproxyGoes &g = GetParam();
    Client server(p, 1, [&](Client &c) {
        REQUIRE(q4::name_attach("/nc/ccquit") != -1);
        c.tell(1);
        int32_t vproxy = 0;
        char b[8];
        pid_t who = q4::receive(0, &vproxy, sizeof vproxy);
        REQUIRE(VORLEN_IS_VID(who) && q4::reply(who, "ok", 3) == 0);
        int fired = 0;
        for (int i = 0; i < TRIGGERS; i++) fired += q4::trigger(vproxy) != -1;
        c.tell(fired);
        /* The owner's next message: its reply follows every trigger on the link. */
        who = q4::receive(0, b, sizeof b);
        REQUIRE(VORLEN_IS_VID(who) && q4::reply(who, "ok", 3) == 0);
        for (int64_t order; c.hear(order) && order != 0;) {
            const double end = now_ms() + 5000;
            int rc = q4::trigger(vproxy);
            while (rc != -1 && order == TRIGGER_UNTIL_REFUSED && now_ms() < end) {
                usleep(5000); /* a poll of the virtual proxy, not a wait for the outcome */
                rc = q4::trigger(vproxy);
            }
            c.tell(rc == -1 ? errno : 0);
            c.tell(mono_us());
        }
        return 0;
    });
    ASSERT_EQ(server.heard(), 1);
    Client owner(p, 2, [&](Client &c) {
        pid_t proxy = q4::proxy_attach();
        REQUIRE(proxy != -1);
        int32_t vproxy = q4::proxy_rem_attach(1, proxy);
        c.tell(vproxy == -1 ? -errno : vproxy);
        REQUIRE(vproxy != -1);
        /* For its own node, the proxy itself. */
        REQUIRE(q4::proxy_rem_attach(2, proxy) == proxy && q4::proxy_rem_attach(0, proxy) == proxy);
        pid_t server_vid = locate(0, "/nc/ccquit", 0);
        REQUIRE(server_vid != -1);
        char r[4];
        REQUIRE(q4::send(server_vid, &vproxy, r, sizeof vproxy, sizeof r) == 0);
        int got = 0;
        for (int i = 0; i < TRIGGERS; i++) got += q4::receive(0, nullptr, 0) == proxy;
        c.tell(got);
        REQUIRE(q4::send(server_vid, "more?", r, 6, sizeof r) == 0);
        c.tell(q4::creceive(0, nullptr, 0));
        if (g.end == OWNER_EXITS) return 0;
        if (g.end == OWNER_DETACHES) {
            c.tell(q4::proxy_rem_detach(1, vproxy) == 0 ? 0 : errno);
            c.tell(q4::proxy_rem_detach(1, vproxy) == -1 ? errno : 0);
        }
        int64_t end;
        c.hear(end); /* until the test has looked */
        c.tell(q4::creceive(0, nullptr, 0));
        return 0;
    });
    const int64_t vproxy = owner.heard();
    ASSERT_GT(vproxy, 0) << "qnx_proxy_rem_attach: -errno";
    /* Node 1 holds it, as a proxy of the owner's circuit there. */
    const int32_t wire_id = int32_t(VORLEN_QNX4_PROXY_BASE - vproxy);
    auto held_on_one = [&] {
        bool held = false;
        for (const auto &r : p.in(1, [&] { return list_proxies(d[0]->port()); }))
            held = held || r.nr == wire_id;
        return held;
    };
    EXPECT_TRUE(held_on_one()) << "node 1's proxy " << wire_id;
    EXPECT_EQ(server.heard(), TRIGGERS) << "Triggers on node 1 that succeeded";
    EXPECT_EQ(owner.heard(30000), TRIGGERS) << "receipts on node 2";
    EXPECT_EQ(owner.heard(), -1) << "a Creceive after them: nothing more came";
    const double t0 = now_ms();
    switch (g.end) {
    case OWNER_EXITS:
        ASSERT_EQ(owner.wait(), 0);
        /* Node 1 has seen its circuits end: no process there stands for it. */
        ASSERT_TRUE(wait_until([&] {
            for (const auto &r : p.in(1, [&] { return list_processes(d[0]->port()); }))
                if (r.nid == 2 && r.session == owner.pid()) return false;
            return true;
        })) << d[0]->stdout_text();
        server.tell(TRIGGER_ONCE);
        break;
    case OWNER_DETACHES:
        ASSERT_EQ(owner.heard(), 0) << "qnx_proxy_rem_detach";
        EXPECT_EQ(owner.heard(), ESRCH) << "qnx_proxy_rem_detach again";
        ASSERT_TRUE(wait_until([&] { return !held_on_one(); })) << d[0]->stdout_text();
        server.tell(TRIGGER_ONCE);
        break;
    case OWNER_LINK_CUT:
        ASSERT_TRUE(p.link(2, false));
        server.tell(TRIGGER_UNTIL_REFUSED);
        break;
    }
    EXPECT_EQ(server.heard(), ESRCH) << d[0]->stdout_text();
    const double at = double(server.heard()) / 1000 - t0;
    if (g.end == OWNER_LINK_CUT) {
        printf("%s: ESRCH %.1f ms after the cut\n", g.name, at);
        EXPECT_GE(at, TIMEOUT_MS) << d[0]->stdout_text();
        EXPECT_LE(at, TIMEOUT_MS + HEARTBEAT_MS + 100) << d[0]->stdout_text();
    }
    if (g.end == OWNER_DETACHES) {
        owner.tell(0);
        EXPECT_EQ(owner.heard(), -1) << "a Creceive after the refused Trigger";
        EXPECT_EQ(owner.wait(), 0);
    }
    server.tell(0);
    EXPECT_EQ(server.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ends, NodeVproxy, ::testing::ValuesIn(vproxy_ends),
                         [](const ::testing::TestParamInfo<VproxyGoes> &i) {
                             return i.param.name;
                         });

/* digits packs small numbers, each below ten, into one: {2, 1, 3} is 213. */
int64_t digits(const int *v, int n) {
    int64_t out = 0;
    for (int i = 0; i < n; i++) out = out * 10 + v[i];
    return out;
}

/* A link cut that node 2 watches through qnx_net_alive and
 * qnx_name_locators: whose link, and what they give while it is down (node
 * 2's bytes of nodes 1 to 3, and the locators, as digits). Node 3 only
 * accepts links, its peers dial it; node 1 dials both others, and while its
 * interface is down each of its dials fails at once. */
struct Cut {
    const char *name;
    int node;
    int64_t bytes, locators;
};
void PrintTo(const Cut &c, std::ostream *os) {
    *os << c.name;
}
const Cut cuts[] = {
    {"NodeDialled", 3, 110, 21},
    {"NodeThatDials", 1, 11, 23},
};

class NodeAlive : public ::testing::TestWithParam<Cut> {};

TEST_P(NodeAlive, NetAliveAndNameLocatorsFollowALinkDownAndUpAgain) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    const Cut &k = GetParam();
    /* On each order (what the cut node's byte must become; -1: end), node
     * 2's client polls qnx_net_alive until it is so (at most 20 s) and says
     * when, what qnx_net_alive gave and its bytes of nodes 1 to 3, and the
     * locators. */
    Client watcher(p, 2, [&](Client &c) {
        for (int64_t want; c.hear(want, 60000) && want >= 0;) {
            char b[16];
            const double end = now_ms() + 20000;
            int n = q4::net_alive(b, sizeof b);
            while (n != -1 && b[k.node] != want && now_ms() < end) {
                usleep(2000); /* a poll of the links' states, not a wait for the outcome */
                n = q4::net_alive(b, sizeof b);
            }
            c.tell(mono_us());
            c.tell(n);
            const int bytes[] = {b[1], b[2], b[3]};
            c.tell(digits(bytes, 3));
            int nids[10];
            c.tell(digits(nids, q4::locators(nids)));
        }
        return 0;
    });
    struct Seen {
        double at;
        int64_t n, bytes, locators;
    };
    auto look = [&](int want, double t0) {
        watcher.tell(want);
        Seen s{};
        s.at = double(watcher.heard(30000)) / 1000 - t0;
        s.n = watcher.heard();
        s.bytes = watcher.heard();
        s.locators = watcher.heard();
        return s;
    };
    Seen all = look(1, now_ms());
    EXPECT_EQ(all.n, 4) << "the highest node id of the map, plus 1";
    EXPECT_EQ(all.bytes, 111) << "nodes 1, 2 and 3";
    EXPECT_EQ(all.locators, 213) << "this node first, then the map's order";
    double t0 = now_ms();
    ASSERT_TRUE(p.link(k.node, false));
    Seen cut = look(0, t0);
    printf("node %d's byte 0 %.1f ms after its link went down\n", k.node, cut.at);
    EXPECT_EQ(cut.bytes, k.bytes) << d[1]->stdout_text();
    EXPECT_EQ(cut.locators, k.locators);
    EXPECT_GE(cut.at, TIMEOUT_MS) << d[1]->stdout_text();
    EXPECT_LE(cut.at, TIMEOUT_MS + HEARTBEAT_MS + 100) << d[1]->stdout_text();
    /* Back up, the link is dialled again at the dialler's next redial: the
     * wait after the few that failed meanwhile is well under a second. */
    t0 = now_ms();
    ASSERT_TRUE(p.link(k.node, true));
    Seen back = look(1, t0);
    printf("node %d's byte 1 %.1f ms after its link came up\n", k.node, back.at);
    EXPECT_EQ(back.bytes, 111) << d[1]->stdout_text();
    EXPECT_EQ(back.locators, 213);
    EXPECT_LE(back.at, 3000) << d[1]->stdout_text() << "\nthe dialler's log:\n"
                             << d[size_t(std::min(k.node, 2) - 1)]->stdout_text();
    watcher.tell(-1);
    EXPECT_EQ(watcher.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cuts, NodeAlive, ::testing::ValuesIn(cuts),
                         [](const ::testing::TestParamInfo<Cut> &i) { return i.param.name; });

/* block_of is the block of sin --all-nodes' output under "== node N (nodeN)"
 * (to the next block); empty when there is none. */
std::string block_of(const std::string &out, int n) {
    const std::string head = "== node " + std::to_string(n) + " (node" + std::to_string(n) + ")";
    size_t at = out.find(head);
    if (at == std::string::npos) return "";
    size_t next = out.find("== node ", at + head.size());
    return out.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

/* has_row tells whether a listing holds a line that matches re after its
 * leading blanks. */
bool has_row(const std::string &listing, const std::string &re) {
    return std::regex_search(listing, std::regex("(^|\n) *" + re));
}

TEST(NodeSin, ShowsEveryNodesTablesAndWhoIsBlockedOnWhomOnWhichNode) {
    MAKE_PLANT(p);
    std::vector<Daemon *> d;
    ASSERT_TRUE(all_up(p, d));
    Client server(p, 1, [&](Client &c) {
        REQUIRE(q4::name_attach("/nc/holds") != -1);
        c.tell(getpid());
        char b[8];
        pid_t who = q4::receive(0, b, sizeof b);
        c.tell(who);
        int64_t end;
        c.hear(end, 60000); /* the message is held until the test has looked */
        REQUIRE(q4::reply(who, "ok", 3) == 0);
        return 0;
    });
    const int64_t server_pid = server.heard();
    Client named(p, 3, [&](Client &c) {
        REQUIRE(q4::name_attach("nc/third") != -1);
        c.tell(1);
        int64_t end;
        c.hear(end, 60000);
        return 0;
    });
    ASSERT_EQ(named.heard(), 1);
    Client client(p, 2, [&](Client &c) {
        pid_t id = locate(0, "/nc/holds", 0);
        REQUIRE(id != -1);
        char r[4];
        c.tell(q4::send(id, "x", r, 1, sizeof r));
        return 0;
    });
    const int64_t sender = server.heard();
    ASSERT_TRUE(VORLEN_IS_VID(sender)) << "the server received from a VID: " << sender;
    const std::string sin = "VORLEN_PORT=" + std::to_string(d[1]->port()) + " " + bin_path("sin");
    const std::string out = p.dir() + "/sin.txt";
    auto sin_on_two = [&](const std::string &args) {
        EXPECT_EQ(p.status_in(2, sin + " " + args + " > " + out), 0) << "sin " << args;
        return read_file(out);
    };
    const std::string cpid = std::to_string(client.pid()), spid = std::to_string(server_pid);
    /* The client's node hears that the server took its message a moment
     * after the server did: wait for its own listing to say so. */
    ASSERT_TRUE(wait_until([&] { return has_row(sin_on_two(""), cpid + " +\\S+ +REPLY "); }))
        << read_file(out);
    const std::string all = sin_on_two("--all-nodes");
    const std::string one = block_of(all, 1), two = block_of(all, 2);
    EXPECT_NE(all.find("== node 2 (node2), this node"), std::string::npos) << all;
    EXPECT_NE(block_of(all, 3), "") << all;
    EXPECT_LT(all.find("== node 2"), all.find("== node 1")) << "this node first:\n" << all;
    /* Node 1: the client's stub, REPLY-blocked on the server, and the server. */
    EXPECT_TRUE(has_row(one, "2//" + cpid + " +\\S+ +REPLY +1//" + spid + " ")) << all;
    EXPECT_TRUE(has_row(one, "1//" + spid + " ")) << all;
    /* Node 2: the client, REPLY-blocked on the server's node and pid. */
    EXPECT_TRUE(has_row(two, cpid + " +\\S+ +REPLY +1//" + spid + " ")) << all;
    const std::string names = sin_on_two("-n 3 names");
    EXPECT_TRUE(has_row(names, "[0-9]+ +3//" + std::to_string(named.pid()) + " +nc/third "))
        << names;
    const std::string json = sin_on_two("-n 1 --json");
    EXPECT_EQ(json.rfind("{\"node\":1,\"processes\":[", 0), 0u) << json;
    EXPECT_NE(json.find("\"pid\":" + spid + ","), std::string::npos) << json;
    EXPECT_EQ(p.status_in(2, sin + " -n 9"), 1) << "a node not in the map";
    server.tell(0);
    named.tell(0);
    EXPECT_EQ(client.heard(), 0) << "the client's Send, answered";
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(named.wait(), 0);
}

/* RogueNode is node 3 played by the test: it listens on node 3's address in
 * node 3's namespace, takes node 1's dial over TLS with node 3's key and
 * certificate, answers node 1's hello with node 3's, and then sends the
 * frames the test writes, answering node 1's heartbeats while it waits. */
class RogueNode {
  public:
    explicit RogueNode(Plant &p) : dir_(p.dir()), listener_(p.listen_in(3)) {}
    ~RogueNode() {
        if (ssl_) SSL_free(ssl_);
        if (ctx_) SSL_CTX_free(ctx_);
        if (fd_ >= 0) close(fd_);
        if (listener_ >= 0) close(listener_);
    }
    RogueNode(const RogueNode &) = delete;
    RogueNode &operator=(const RogueNode &) = delete;

    /* accept takes node 1's link within ms and exchanges the hellos; false
     * when none came whole. Other nodes' dials are closed. */
    bool accept(int ms) {
        ctx_ = SSL_CTX_new(TLS_server_method());
        if (!ctx_ || listener_ < 0) return false;
        SSL_CTX_set_min_proto_version(ctx_, TLS1_3_VERSION);
        if (SSL_CTX_use_certificate_file(ctx_, (dir_ + "/node3.pem").c_str(), SSL_FILETYPE_PEM) !=
                1 ||
            SSL_CTX_use_PrivateKey_file(ctx_, (dir_ + "/node3.key").c_str(), SSL_FILETYPE_PEM) != 1)
            return false;
        const double end = now_ms() + ms;
        while (now_ms() < end) {
            pollfd pf{listener_, POLLIN, 0};
            if (poll(&pf, 1, int(end - now_ms()) + 1) != 1) continue;
            sockaddr_in a{};
            socklen_t alen = sizeof a;
            int s = accept4(listener_, reinterpret_cast<sockaddr *>(&a), &alen,
                            SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (s < 0) continue;
            if (a.sin_addr.s_addr != inet_addr(node_addr(1).c_str())) {
                close(s);
                continue;
            }
            if (ssl_) SSL_free(ssl_);
            if (fd_ >= 0) close(fd_);
            fd_ = s;
            ssl_ = SSL_new(ctx_);
            SSL_set_fd(ssl_, fd_);
            closed_ = false;
            in_.clear();
            frames.clear();
            if (!io(end, [&] { return SSL_accept(ssl_); })) continue;
            /* node 1 dialled: its hello comes first. */
            if (!pump_until([&] { return !frames.empty(); }, int(end - now_ms()))) continue;
            if (frames[0].first != LINK_HELLO) return false;
            frames.clear();
            LINK_HELLO_BODY b{};
            memcpy(b.magic, LINK_MAGIC, sizeof b.magic);
            b.version = LINK_VERSION;
            b.byte_order = LINK_BYTE_ORDER;
            b.nid = 3;
            b.incarnation = 0x5eed000000000003ull;
            return send(LINK_HELLO, &b, sizeof b);
        }
        return false;
    }
    /* send writes one frame: its header, then the pieces. */
    bool send(uint16_t kind, const void *p1, size_t n1, const void *p2 = nullptr, size_t n2 = 0) {
        std::vector<uint8_t> f(sizeof(LINK_FRAME_HDR));
        LINK_FRAME_HDR h{uint32_t(n1 + n2), kind, 0};
        memcpy(f.data(), &h, sizeof h);
        f.insert(f.end(), static_cast<const uint8_t *>(p1), static_cast<const uint8_t *>(p1) + n1);
        if (n2)
            f.insert(f.end(), static_cast<const uint8_t *>(p2),
                     static_cast<const uint8_t *>(p2) + n2);
        return io(now_ms() + 5000, [&] { return SSL_write(ssl_, f.data(), int(f.size())); });
    }
    /* pump answers pings and keeps every other frame in frames until cond
     * holds, within ms; false when it did not hold then. closed() tells
     * whether node 1 ended the link meanwhile. */
    bool pump_until(const std::function<bool()> &cond, int ms) {
        const double end = now_ms() + ms;
        for (;;) {
            if (cond()) return true;
            if (now_ms() > end) return false;
            if (closed_) {
                pollfd none{-1, 0, 0};
                poll(&none, 1, 2); /* a poll of the logs a condition may read */
                continue;
            }
            if (SSL_pending(ssl_) == 0) {
                pollfd pf{fd_, POLLIN, 0};
                if (poll(&pf, 1, 2) != 1) continue;
            }
            uint8_t buf[65536];
            ERR_clear_error();
            int r = SSL_read(ssl_, buf, sizeof buf);
            if (r <= 0) {
                int e = SSL_get_error(ssl_, r);
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) closed_ = true;
                continue;
            }
            in_.insert(in_.end(), buf, buf + r);
            while (in_.size() >= sizeof(LINK_FRAME_HDR)) {
                LINK_FRAME_HDR h;
                memcpy(&h, in_.data(), sizeof h);
                if (in_.size() < sizeof h + h.len) break;
                std::vector<uint8_t> body(in_.begin() + sizeof h,
                                          in_.begin() + long(sizeof h + h.len));
                in_.erase(in_.begin(), in_.begin() + long(sizeof h + h.len));
                if (h.kind == LINK_PING)
                    send(LINK_PONG, body.data(), body.size());
                else
                    frames.emplace_back(h.kind, std::move(body));
            }
        }
    }
    bool closed() const { return closed_; }
    /* flood writes frames of kind and len bytes of p, a record's worth of
     * them at a time, until stop is set or ms pass, counting the bytes
     * written in sent; false when a write failed. It runs on a thread of its
     * own, while the test's thread leaves the link alone. */
    bool flood(uint16_t kind, const void *p, uint32_t len, const std::atomic<bool> &stop, int ms,
               std::atomic<uint64_t> &sent) {
        std::vector<uint8_t> rec;
        const LINK_FRAME_HDR h{len, kind, 0};
        while (rec.size() + sizeof h + len <= 16384) {
            rec.insert(rec.end(), reinterpret_cast<const uint8_t *>(&h),
                       reinterpret_cast<const uint8_t *>(&h) + sizeof h);
            rec.insert(rec.end(), static_cast<const uint8_t *>(p),
                       static_cast<const uint8_t *>(p) + len);
        }
        /* A backlog node 1 takes a second or more to serve, so that it has
         * bytes waiting even when this thread waits for a core a while. */
        int backlog = 32 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &backlog, sizeof backlog);
        const double end = now_ms() + ms;
        while (!stop && now_ms() < end) {
            if (!io(end, [&] { return SSL_write(ssl_, rec.data(), int(rec.size())); }))
                return now_ms() >= end;
            sent += rec.size();
        }
        return true;
    }
    /* The frames node 1 sent, other than pings, by kind and payload. */
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> frames;

  private:
    /* io runs an SSL call until it is done, waiting on the socket as it
     * asks, until end; false when it failed or the time passed. */
    bool io(double end, const std::function<int()> &call) {
        for (;;) {
            ERR_clear_error();
            int r = call();
            if (r > 0) return true;
            int e = SSL_get_error(ssl_, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
            if (now_ms() > end) return false;
            pollfd pf{fd_, short(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
            poll(&pf, 1, 10);
        }
    }
    std::string dir_;
    int listener_ = -1, fd_ = -1;
    SSL_CTX *ctx_ = nullptr;
    SSL *ssl_ = nullptr;
    bool closed_ = false;
    std::vector<uint8_t> in_;
};

/* attach_body is a LINK_VC_ATTACH of node from_nid's process 4242 to the
 * owner of name on the receiver. */
LINK_VC_ATTACH_BODY attach_body(uint32_t req, int32_t from_nid, int32_t from_vid,
                                const char *name) {
    LINK_VC_ATTACH_BODY b{};
    b.req = req;
    b.from_nid = from_nid;
    b.from_pid = 4242;
    b.from_vid = from_vid;
    snprintf(b.name, sizeof b.name, "%s", name);
    snprintf(b.pname, sizeof b.pname, "rogue");
    return b;
}

TEST(NodeLinks, FramesSpeakingForAnotherNodeAreRefusedAndThePeerDropped) {
    MAKE_PLANT(p);
    RogueNode rogue(p);
    Daemon &one = p.start(1);
    p.start(2);
    ASSERT_TRUE(rogue.accept(15000));
    ASSERT_TRUE(rogue.pump_until([&] { return logged(one, up(3)); }, 5000)) << one.stdout_text();
    ASSERT_TRUE(rogue.pump_until([&] { return logged(one, up(2)); }, 15000)) << one.stdout_text();
    Client server(p, 1, [&](Client &c) {
        REQUIRE(q4::name_attach("nc/forged") != -1);
        c.tell(getpid());
        char b[8];
        c.tell(q4::receive(0, b, sizeof b)); /* nothing may come */
        return 0;
    });
    const int64_t server_pid = server.heard();
    /* As itself, node 3 is served: a circuit to the server. */
    const int32_t my_vid = VORLEN_VID_FIRST + 77;
    LINK_VC_ATTACH_BODY own = attach_body(1, 3, my_vid, "nc/forged");
    ASSERT_TRUE(rogue.send(LINK_VC_ATTACH, &own, sizeof own));
    auto attached = [&] {
        for (auto &f : rogue.frames)
            if (f.first == LINK_VC_ATTACHED) return &f.second;
        return static_cast<std::vector<uint8_t> *>(nullptr);
    };
    ASSERT_TRUE(rogue.pump_until([&] { return attached() != nullptr; }, 5000)) << one.stdout_text();
    LINK_VC_ATTACHED_BODY got{};
    ASSERT_GE(attached()->size(), sizeof got);
    memcpy(&got, attached()->data(), sizeof got);
    EXPECT_EQ(got.req, 1u);
    EXPECT_EQ(got.retcode, 0);
    EXPECT_EQ(got.from_nid, 1);
    EXPECT_EQ(got.to_vid, my_vid);
    EXPECT_EQ(got.pid, server_pid);
    rogue.frames.clear();
    /* As node 2's process, it is not: a circuit asked for, and a message
     * through the circuit it has, each refused and logged. */
    auto forge = [&](int k) {
        if (k % 2 == 0) {
            LINK_VC_ATTACH_BODY b = attach_body(uint32_t(10 + k), 2, my_vid + 1 + k, "nc/forged");
            return rogue.send(LINK_VC_ATTACH, &b, sizeof b);
        }
        LINK_MSG_BODY m{};
        m.vc = {2, my_vid, got.from_vid, 0};
        m.prio = 10;
        m.nbytes = 4;
        return rogue.send(LINK_MSG, &m, sizeof m, "evil", 4);
    };
    const std::string refused = "Err: node 3: frame refused: ";
    for (int k = 0; k < LINK_REFUSALS_TO_DROP - 1; k++) ASSERT_TRUE(forge(k));
    EXPECT_TRUE(
        rogue.pump_until([&] { return times(one, refused) == LINK_REFUSALS_TO_DROP - 1; }, 5000))
        << one.stdout_text();
    EXPECT_FALSE(logged(one, down(3))) << one.stdout_text();
    EXPECT_FALSE(rogue.closed());
    ASSERT_TRUE(forge(LINK_REFUSALS_TO_DROP - 1));
    EXPECT_TRUE(rogue.pump_until([&] { return logged(one, down(3)) && rogue.closed(); }, 5000))
        << one.stdout_text();
    EXPECT_EQ(times(one, refused), LINK_REFUSALS_TO_DROP) << one.stdout_text();
    /* Nothing forged was answered, and the server never got a message. */
    for (auto &f : rogue.frames) EXPECT_NE(f.first, LINK_VC_ATTACHED);
    QNX_MSG_SIN_RPID rec = p.in(1, [&] { return process_record(one.port(), pid_t(server_pid)); });
    EXPECT_EQ(rec.block_state, STATE_RECEIVE_BLOCKED);
}

/* A node that writes frames faster than node 1 serves them holds up neither
 * node 1's local clients nor the link: two processes of node 1 do their
 * round trips while the flood goes on, well within its length, and the
 * link stays up. The flood is of frames that need no answer but cost node 1
 * far more than they cost node 3 (each renews the last of node 3's global
 * names, found after all the others), so that node 1 falls behind and stays
 * behind for as long as the flood goes on. */
TEST(NodeLinks, NodeThatFloodsItsLinkNeverStallsLocalClients) {
    const int ROUND_TRIPS = 50, FLOOD_MS = 10000, WITHIN_MS = 5000, NAMES = 512;
    MAKE_PLANT(p);
    RogueNode rogue(p);
    Daemon &one = p.start(1);
    ASSERT_TRUE(rogue.accept(15000));
    ASSERT_TRUE(rogue.pump_until([&] { return logged(one, up(3)); }, 5000)) << one.stdout_text();
    LINK_GNAME_BODY name{};
    for (int k = 0; k < NAMES; k++) {
        name = {3, 4242, {}};
        snprintf(name.name, sizeof name.name, "/flood%026d", k); /* 32 characters */
        ASSERT_TRUE(rogue.send(LINK_GNAME_ADD, &name, sizeof name));
    }
    Client server(p, 1, [&](Client &c) {
        c.tell(getpid());
        for (int k = 0; k < ROUND_TRIPS; k++) {
            char b[8];
            pid_t who = q4::receive(0, b, sizeof b);
            REQUIRE(who > 0 && q4::reply(who, b, sizeof b) == 0);
        }
        return 0;
    });
    const int64_t server_pid = server.heard();
    Client client(p, 1, [&](Client &c) {
        REQUIRE(q4::getnid() == 1); /* connected before the flood */
        c.tell(0);
        int64_t to = 0;
        REQUIRE(c.hear(to, FLOOD_MS));
        const int64_t t0 = mono_us();
        for (int k = 0; k < ROUND_TRIPS; k++) {
            char r[8];
            REQUIRE(q4::send(pid_t(to), "round", r, 6, sizeof r) == 0);
        }
        c.tell(mono_us() - t0);
        return 0;
    });
    ASSERT_EQ(client.heard(), 0);
    std::atomic<bool> stop{false}, wrote{false};
    std::atomic<uint64_t> flooded{0};
    std::thread flood(
        [&] { wrote = rogue.flood(LINK_GNAME_ADD, &name, sizeof name, stop, FLOOD_MS, flooded); });
    /* The round trips begin once the flood is under way: node 1 has many
     * steps' worth of bytes coming. */
    const bool under_way = wait_until([&] { return flooded >= (4u << 20); }, FLOOD_MS / 2);
    client.tell(server_pid);
    int64_t took_us = -1;
    const bool heard = client.hear(took_us, FLOOD_MS + 5000);
    stop = true;
    flood.join();
    ASSERT_TRUE(under_way) << "node 3 wrote only " << flooded << " bytes";
    ASSERT_TRUE(heard);
    EXPECT_TRUE(wrote) << "the flood's writes failed";
    EXPECT_LT(took_us, WITHIN_MS * 1000LL)
        << ROUND_TRIPS << " round trips took " << took_us / 1000 << " ms during the flood";
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_FALSE(logged(one, down(3))) << one.stdout_text();
}

TEST(NodeLinks, ReplyWithTheCodeThatEndsAClientIsRefusedAndTheSenderGetsEio) {
    MAKE_PLANT(p);
    RogueNode rogue(p);
    Daemon &one = p.start(1);
    ASSERT_TRUE(rogue.accept(15000));
    ASSERT_TRUE(rogue.pump_until([&] { return logged(one, up(3)); }, 5000)) << one.stdout_text();
    /* A client of node 1 with a circuit to node 3's process 4242, sending
     * through it. */
    Client client(p, 1, [&](Client &c) {
        pid_t vid = q4::vc_attach(3, 4242, 100, false);
        c.tell(vid);
        REQUIRE(VORLEN_IS_VID(vid));
        char r[8];
        c.tell(q4::send(vid, "x", r, 1, sizeof r) == -1 ? errno : 0);
        /* It goes on: its node answers it. */
        c.tell(q4::getnid());
        c.tell(q4::osinfo_node(0));
        return 0;
    });
    auto frame = [&](uint16_t kind) {
        for (auto &f : rogue.frames)
            if (f.first == kind) return &f.second;
        return static_cast<std::vector<uint8_t> *>(nullptr);
    };
    ASSERT_TRUE(rogue.pump_until([&] { return frame(LINK_VC_ATTACH) != nullptr; }, 5000))
        << one.stdout_text();
    LINK_VC_ATTACH_BODY asked{};
    ASSERT_GE(frame(LINK_VC_ATTACH)->size(), sizeof asked);
    memcpy(&asked, frame(LINK_VC_ATTACH)->data(), sizeof asked);
    const int32_t my_vid = VORLEN_VID_FIRST + 5;
    LINK_VC_ATTACHED_BODY a{};
    a.req = asked.req;
    a.from_nid = 3;
    a.from_vid = my_vid;
    a.to_vid = asked.from_vid;
    a.pid = 4242;
    snprintf(a.pname, sizeof a.pname, "rogue");
    ASSERT_TRUE(rogue.send(LINK_VC_ATTACHED, &a, sizeof a));
    ASSERT_TRUE(rogue.pump_until([&] { return client.ready(); }, 5000)) << one.stdout_text();
    const int64_t vid = client.heard();
    ASSERT_TRUE(VORLEN_IS_VID(vid)) << vid << "\n" << one.stdout_text();
    ASSERT_TRUE(rogue.pump_until([&] { return frame(LINK_MSG) != nullptr; }, 5000))
        << one.stdout_text();
    LINK_REPLY_BODY b{};
    b.vc = {3, my_vid, asked.from_vid, 0};
    b.ah.ev.retcode = VORLEN_RETCODE_GONE;
    ASSERT_TRUE(rogue.send(LINK_REPLY, &b, sizeof b));
    ASSERT_TRUE(rogue.pump_until([&] { return client.ready(); }, 5000)) << one.stdout_text();
    EXPECT_EQ(client.heard(), EIO) << one.stdout_text();
    EXPECT_EQ(client.heard(), 1) << "getnid() after it";
    EXPECT_EQ(client.heard(), 1) << "qnx_osinfo after it";
    EXPECT_EQ(client.wait(), 0);
    EXPECT_TRUE(rogue.pump_until([&] { return logged(one, "Err: node 3: frame refused: "); }, 5000))
        << one.stdout_text();
}

} // namespace
