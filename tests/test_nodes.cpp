/* test_nodes.cpp - the node links of a plant: three daemons in network namespaces of their own */
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
 * Its daemons are stopped, and the namespaces deleted, at its end. */
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
        return *daemons_.back();
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
    /* exec_in runs the shell command cmd in node n's namespace and waits for
     * it; true when it succeeded. */
    bool exec_in(int n, const std::string &cmd) {
        return run("ip netns exec " + ns(n) + " sh -c \"" + cmd + "\"");
    }
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

} // namespace
