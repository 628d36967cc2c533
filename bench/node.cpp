/* node.cpp - the benchmark's node section: TLS 1.3 between two network namespaces, link set-up,
 * heartbeats, messages, names and a link cut across two daemons */
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"

namespace bench {

namespace {

const int ECHO_PORT = 7790;
/* The linked daemons' port for their clients, inside each namespace. */
const int DAEMON_PORT = 7793;
/* The linked daemons' heartbeat and node timeout, given to them: a client
 * blocked across a cut link has ESRCH within the timeout + one heartbeat. */
const int HEARTBEAT_MS = 500;
const int TIMEOUT_MS = 2000;

void progress(const std::string &what) {
    fprintf(stderr, "bench: %s\n", what.c_str());
}

bool sh_run(const std::string &cmd) {
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

/* Pair is two network namespaces joined by one veth pair, 10.98.0.1 and
 * 10.98.0.2, and a plant's certificates (node1, node2) in dir; deleted at
 * its end. */
struct Pair {
    std::string a, b, dir;
    bool made = false;
    explicit Pair(const std::string &workdir) : dir(workdir) {
        a = "vlb" + std::to_string(getpid()) + "a";
        b = "vlb" + std::to_string(getpid()) + "b";
        made = true;
        bool ok = sh_run("ip netns add " + a) && sh_run("ip netns add " + b) &&
                  sh_run("ip -n " + a + " link add eth0 type veth peer name eth0 netns " + b) &&
                  sh_run("ip -n " + a + " addr add 10.98.0.1/24 dev eth0") &&
                  sh_run("ip -n " + b + " addr add 10.98.0.2/24 dev eth0");
        for (const std::string &ns : {a, b})
            ok = ok && sh_run("ip -n " + ns + " link set eth0 up") &&
                 sh_run("ip -n " + ns + " link set lo up");
        if (!ok) throw std::runtime_error("node links: cannot make two network namespaces");
        std::string d = dir + "/", ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        ok = sh_run("openssl req -x509 " + ec + " -keyout " + d + "ca.key -out " + d +
                    "ca.pem -days 2 -subj /CN=plant");
        for (const char *n : {"node1", "node2"}) {
            std::string p = d + n;
            FILE *f = fopen((p + ".ext").c_str(), "w");
            if (f) {
                fprintf(f, "subjectAltName=DNS:%s\n", n);
                fclose(f);
            }
            ok = ok && f &&
                 sh_run("openssl req " + ec + " -keyout " + p + ".key -out " + p +
                        ".csr -subj /CN=" + n) &&
                 sh_run("openssl x509 -req -in " + p + ".csr -CA " + d + "ca.pem -CAkey " + d +
                        "ca.key -CAcreateserial -days 2 -out " + p + ".pem -extfile " + p + ".ext");
        }
        FILE *f = fopen((d + "netmap").c_str(), "w");
        if (f) {
            fprintf(f, "1 10.98.0.1 node1\n2 10.98.0.2 node2\n");
            fclose(f);
        }
        if (!ok || !f) throw std::runtime_error("node links: cannot make the certificates");
    }
    /* One owner deletes the namespaces: a copy would delete them twice. */
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;
    ~Pair() {
        if (!made) return;
        sh_run("ip netns del " + a);
        sh_run("ip netns del " + b);
    }
    /* enter moves the calling (child) process into namespace ns. */
    static void enter(const std::string &ns) {
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(4);
        close(fd);
    }
};

/* context makes a TLS 1.3 context with node's key and certificate that
 * trusts the plant's CA and asks for the peer's certificate, as the
 * daemon's does. */
SSL_CTX *context(const std::string &dir, const std::string &node) {
    SSL_CTX *c = SSL_CTX_new(TLS_method());
    SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_num_tickets(c, 0);
    if (SSL_CTX_use_certificate_chain_file(c, (dir + "/" + node + ".pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(c, (dir + "/" + node + ".key").c_str(), SSL_FILETYPE_PEM) !=
            1 ||
        SSL_CTX_load_verify_locations(c, (dir + "/ca.pem").c_str(), nullptr) != 1)
        _exit(5);
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return c;
}

/* io reads or writes exactly n bytes over ssl (null: plain fd). */
bool io(int fd, SSL *ssl, void *p, size_t n, bool rd) {
    char *b = static_cast<char *>(p);
    while (n > 0) {
        int k = ssl ? (rd ? SSL_read(ssl, b, int(n)) : SSL_write(ssl, b, int(n)))
                    : int(rd ? read(fd, b, n) : write(fd, b, n));
        if (k <= 0) return false;
        b += k;
        n -= size_t(k);
    }
    return true;
}

/* echo_server serves in namespace ns on 10.98.0.2: each connection, TLS or
 * plain, gets every message of size bytes back. With more than one worker
 * the first process only watches them, each serving one connection at a
 * time; at SIGTERM it kills and reaps them and ends, so that the listening
 * socket is closed once the benchmark has reaped it. One worker serves in
 * this process itself. It never returns but for a socket that cannot be
 * bound (6). */
int echo_server(const Pair &p, bool tls, size_t size, int workers = 1) {
    Pair::enter(p.b);
    SSL_CTX *c = tls ? context(p.dir, "node2") : nullptr;
    int l = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(ECHO_PORT + (tls ? 1 : 0));
    a.sin_addr.s_addr = inet_addr("10.98.0.2");
    if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 64) != 0) return 6;
    if (workers > 1) {
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_BLOCK, &term, nullptr);
        const pid_t first = getpid();
        std::vector<pid_t> kids;
        for (int w = 0; w < workers; w++) {
            pid_t k = fork();
            if (k == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getppid() != first) _exit(1);
                sigprocmask(SIG_UNBLOCK, &term, nullptr);
                kids.clear();
                break;
            }
            if (k > 0) kids.push_back(k);
        }
        if (!kids.empty()) {
            int sig;
            sigwait(&term, &sig);
            for (pid_t k : kids) kill(k, SIGKILL);
            for (pid_t k : kids) waitpid(k, nullptr, 0);
            _exit(DONE);
        }
    }
    std::vector<char> buf(size);
    for (;;) {
        int s = accept(l, nullptr, nullptr);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        SSL *ssl = nullptr;
        if (c) {
            ssl = SSL_new(c);
            SSL_set_fd(ssl, s);
            if (SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                close(s);
                continue;
            }
        }
        while (io(s, ssl, buf.data(), size, true) && io(s, ssl, buf.data(), size, false)) {
        }
        if (ssl) SSL_free(ssl);
        close(s);
    }
}

/* client runs in namespace a: trips round trips of size bytes (0: only the
 * set-up, trips times), each sample stored in out. */
int client(const Pair &p, bool tls, size_t size, int trips, NodeShared *out) {
    Pair::enter(p.a);
    SSL_CTX *c = tls ? context(p.dir, "node1") : nullptr;
    std::vector<char> buf(size ? size : 1, 'x');
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(ECHO_PORT + (tls ? 1 : 0));
    a.sin_addr.s_addr = inet_addr("10.98.0.2");
    int one = 1;
    out->n = 0;
    for (int conn = 0; conn < (size ? 1 : trips); conn++) {
        int64_t t0 = now_ns();
        int s = socket(AF_INET, SOCK_STREAM, 0);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return 7;
        SSL *ssl = nullptr;
        if (c) {
            ssl = SSL_new(c);
            SSL_set_fd(ssl, s);
            SSL_set1_host(ssl, "node2");
            if (SSL_connect(ssl) != 1) return 8;
        }
        if (!size) {
            /* The set-up ends with a first byte each way: in TLS 1.3 the
             * server checks the client's certificate after the client is done. */
            char b = 'x';
            if (!io(s, ssl, &b, 1, false) || !io(s, ssl, &b, 1, true)) return 9;
            out->ns[out->n++] = now_ns() - t0;
        }
        for (int i = 0; size && i < trips && i < NODE_MAX_SAMPLES; i++) {
            int64_t t = now_ns();
            if (!io(s, ssl, buf.data(), size, false) || !io(s, ssl, buf.data(), size, true))
                return 9;
            out->ns[out->n++] = now_ns() - t;
        }
        if (ssl) SSL_free(ssl);
        close(s);
    }
    return DONE;
}

/* measure runs one client against a fresh echo server and returns its samples. */
std::vector<int64_t> measure(const Pair &p, bool tls, size_t size, int trips, NodeShared *sh) {
    pid_t srv = spawn([&] { return echo_server(p, tls, size ? size : 1); });
    /* The server listens within milliseconds; the client tries until it does. */
    std::vector<int64_t> got;
    for (int attempt = 0; attempt < 200; attempt++) {
        pid_t cl = spawn([&] { return client(p, tls, size, trips, sh); });
        int st = reap(cl);
        if (st == DONE) {
            got.assign(sh->ns, sh->ns + sh->n);
            break;
        }
        if (st != 7) break;
        sleep_ns(10 * 1000 * 1000);
    }
    kill_reap(srv);
    if (got.empty()) throw std::runtime_error("node links: the ping-pong failed");
    return got;
}

/* cpu_ns is the CPU time pid has used, in nanoseconds: the scheduler's own
 * count (/proc/PID/schedstat), else utime + stime of /proc/PID/stat in clock
 * ticks; -1 when neither can be read. */
double cpu_ns(pid_t pid) {
    std::string base = "/proc/" + std::to_string(pid);
    char buf[1024];
    FILE *f = fopen((base + "/schedstat").c_str(), "r");
    double ns = -1;
    if (f) {
        if (fscanf(f, "%lf", &ns) != 1) ns = -1;
        fclose(f);
    }
    if (ns >= 0) return ns;
    f = fopen((base + "/stat").c_str(), "r");
    if (!f) return -1;
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    long long ut = 0, st = 0;
    /* After the name: state, then fields 4 ... 13, then utime and stime. */
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &ut, &st) != 2)
        return -1;
    return double(ut + st) * 1e9 / double(sysconf(_SC_CLK_TCK));
}

/* tls_flow runs in namespace a: one TLS connection to the echo server and a
 * first round trip (tried again for up to 5 s: the server may be starting,
 * or the workers of the one before may still be going), counted in
 * sh->ready, then 64 B round trips until sh->stop, counted in sh->done[i]. */
int tls_flow(const Pair &p, int i, NodeShared *sh) {
    Pair::enter(p.a);
    SSL_CTX *c = context(p.dir, "node1");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(ECHO_PORT + 1);
    a.sin_addr.s_addr = inet_addr("10.98.0.2");
    int one = 1, s = -1;
    SSL *ssl = nullptr;
    char buf[64] = {};
    for (int64_t t0 = now_ns();; sleep_ns(10'000'000)) {
        s = socket(AF_INET, SOCK_STREAM, 0);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            ssl = SSL_new(c);
            SSL_set_fd(ssl, s);
            SSL_set1_host(ssl, "node2");
            if (SSL_connect(ssl) == 1 && io(s, ssl, buf, sizeof buf, false) &&
                io(s, ssl, buf, sizeof buf, true))
                break;
            SSL_free(ssl);
            ssl = nullptr;
        }
        close(s);
        if (now_ns() - t0 > 5'000'000'000) return 7;
    }
    sh->ready.fetch_add(1);
    for (uint64_t k = 1; !sh->stop.load(std::memory_order_relaxed); k++) {
        if (!io(s, ssl, buf, sizeof buf, false) || !io(s, ssl, buf, sizeof buf, true)) return 9;
        sh->done[i].store(k, std::memory_order_relaxed);
    }
    SSL_free(ssl);
    close(s);
    return DONE;
}

/* The relay chain is the floor of a round trip across two daemons: on each
 * node one thread that relays and does nothing else, the path's eight
 * transfers (six over Unix-domain sockets, two over TLS) and no more. A
 * client on node 1 (namespace a) sends 64 B to its relay; the relay sends
 * it over TLS to node 2's, which hands it to the server; the server's reply
 * goes back the same way, the relay answers the server's reply (24 B) and
 * takes its next receive (36 B), as the daemon's protocol does. */
const int CHAIN_PORT = ECHO_PORT + 2;

/* chain_wait waits for either side of a relay: a message over TLS (s,
 * ssl) it passes to the local end at once, into m, and returns 0; the local
 * end readable gives 1, and either side ended -1. */
int chain_wait(int s, SSL *ssl, int local, char (&m)[64]) {
    pollfd f[2] = {{s, POLLIN, 0}, {local, POLLIN, 0}};
    if (!SSL_pending(ssl) && poll(f, 2, -1) < 0) return -1;
    if (SSL_pending(ssl) || (f[0].revents & (POLLIN | POLLHUP | POLLERR)))
        return io(s, ssl, m, sizeof m, true) && io(local, nullptr, m, sizeof m, false) ? 0 : -1;
    return (f[1].revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

/* chain_far runs node 2's relay in namespace b: it takes one TLS
 * connection, forks the server on a socket pair and relays until the
 * connection ends. 6 when it cannot listen. */
int chain_far(const Pair &p) {
    Pair::enter(p.b);
    SSL_CTX *c = context(p.dir, "node2");
    int l = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(CHAIN_PORT);
    a.sin_addr.s_addr = inet_addr("10.98.0.2");
    if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 4) != 0) return 6;
    int s = accept(l, nullptr, nullptr);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL *ssl = SSL_new(c);
    SSL_set_fd(ssl, s);
    if (SSL_accept(ssl) != 1) return 8;
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sp) != 0) return 8;
    pid_t server = fork();
    if (server == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(sp[0]); /* the relay's end: its close is the server's end */
        char m[64], r[24], q[36] = {};
        while (io(sp[1], nullptr, m, sizeof m, true) && io(sp[1], nullptr, m, sizeof m, false) &&
               io(sp[1], nullptr, r, sizeof r, true) && io(sp[1], nullptr, q, sizeof q, false)) {
        }
        _exit(DONE);
    }
    close(sp[1]);
    char m[64], r[24] = {}, q[36];
    bool replying = true;
    for (int got; (got = chain_wait(s, ssl, sp[0], m)) >= 0;) {
        if (got == 0) continue;
        if (replying) {
            if (!io(sp[0], nullptr, m, sizeof m, true) || !io(s, ssl, m, sizeof m, false) ||
                !io(sp[0], nullptr, r, sizeof r, false))
                break;
        } else if (!io(sp[0], nullptr, q, sizeof q, true)) {
            break;
        }
        replying = !replying;
    }
    close(sp[0]);
    waitpid(server, nullptr, 0);
    return DONE;
}

/* chain_near runs node 1's relay in namespace a: it dials node 2's (tried
 * for up to 5 s while that one starts), forks the client, which makes
 * trips round trips into sh, and relays until the client ends. */
int chain_near(const Pair &p, int trips, NodeShared *sh) {
    Pair::enter(p.a);
    SSL_CTX *c = context(p.dir, "node1");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(CHAIN_PORT);
    a.sin_addr.s_addr = inet_addr("10.98.0.2");
    int one = 1, s = -1;
    for (int64_t t0 = now_ns();; sleep_ns(10'000'000)) {
        s = socket(AF_INET, SOCK_STREAM, 0);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) break;
        close(s);
        if (now_ns() - t0 > 5'000'000'000) return 7;
    }
    SSL *ssl = SSL_new(c);
    SSL_set_fd(ssl, s);
    SSL_set1_host(ssl, "node2");
    if (SSL_connect(ssl) != 1) return 8;
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sp) != 0) return 8;
    sh->n = 0;
    pid_t client = fork();
    if (client == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(sp[0]);
        char m[64] = {};
        for (int i = 0; i < trips && i < NODE_MAX_SAMPLES; i++) {
            int64_t t = now_ns();
            if (!io(sp[1], nullptr, m, sizeof m, false) || !io(sp[1], nullptr, m, sizeof m, true))
                _exit(9);
            sh->ns[sh->n++] = now_ns() - t;
        }
        _exit(DONE);
    }
    close(sp[1]);
    char m[64];
    for (int got; (got = chain_wait(s, ssl, sp[0], m)) >= 0;)
        if (got == 1 && (!io(sp[0], nullptr, m, sizeof m, true) || !io(s, ssl, m, sizeof m, false)))
            break;
    close(sp[0]);
    SSL_free(ssl);
    close(s);
    int st = 0;
    waitpid(client, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 9;
}

/* chain runs the relay chain for trips round trips and returns the samples. */
std::vector<int64_t> chain(const Pair &p, int trips, NodeShared *sh) {
    pid_t far = spawn([&] { return chain_far(p); });
    pid_t near = spawn([&] { return chain_near(p, trips, sh); });
    int st = reap(near);
    kill_reap(far);
    if (st != DONE)
        throw std::runtime_error("node links: the relay chain failed: status " +
                                 std::to_string(st));
    return std::vector<int64_t>(sh->ns, sh->ns + sh->n);
}

/* flow_rate starts n clients with start(i), waits (10 s at most) until all
 * are ready, and returns their round trips per second over secs after warm
 * seconds, and in *cpu_us the CPU time the processes watch used meanwhile
 * per round trip; -1 with why when one failed or did not get ready. */
double flow_rate(NodeShared *sh, int n, const std::function<pid_t(int)> &start, double warm,
                 double secs, const std::vector<pid_t> &watch, double *cpu_us, std::string &why) {
    sh->stop = 0;
    sh->ready = 0;
    sh->why[0] = '\0';
    for (auto &d : sh->done) d = 0;
    std::vector<pid_t> clients;
    for (int i = 0; i < n; i++) clients.push_back(start(i));
    auto sum = [&] {
        uint64_t k = 0;
        for (int i = 0; i < n; i++) k += sh->done[i].load(std::memory_order_relaxed);
        return k;
    };
    const int64_t t = now_ns();
    while (sh->ready.load() < n && now_ns() - t < 10'000'000'000 && !sh->why[0])
        sleep_ns(1'000'000);
    double rate = -1;
    if (sh->ready.load() == n) {
        auto cpu = [&] {
            double c = 0;
            for (pid_t w : watch) c += cpu_ns(w);
            return c;
        };
        sleep_ns(int64_t(warm * 1e9));
        const uint64_t n0 = sum();
        const int64_t t0 = now_ns();
        const double c0 = cpu();
        sleep_ns(int64_t(secs * 1e9));
        const uint64_t n1 = sum();
        rate = double(n1 - n0) * 1e9 / double(now_ns() - t0);
        *cpu_us = (cpu() - c0) / 1000 / double(std::max<uint64_t>(n1 - n0, 1));
    }
    sh->stop = 1;
    int bad = DONE;
    for (pid_t c : clients) {
        int st = reap_within(c, 10'000'000'000);
        if (st == -2) kill_reap(c);
        if (bad == DONE) bad = st;
    }
    if (bad != DONE || rate < 0) {
        why = sh->why[0]    ? std::string(sh->why)
              : bad != DONE ? "a client ended with status " + std::to_string(bad)
                            : std::to_string(sh->ready.load()) + " of " + std::to_string(n) +
                                  " clients got going within 10 s";
        return -1;
    }
    return rate;
}

/* daemon runs vorlen in namespace ns with args, its log lines to log. */
pid_t daemon(const std::string &ns, const std::vector<std::string> &args, const std::string &log) {
    return spawn([=] {
        if (!ns.empty()) Pair::enter(ns);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1); /* the banner */
        /* The log to standard error: the daemons share a directory, and
         * each would lock the log file there. */
        std::vector<std::string> all = {program_dir() + "/vorlen", "-d", "--log-stderr"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> av;
        for (auto &a : all) av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        return 127;
    });
}

bool log_has(const std::string &log, const std::string &text) {
    FILE *f = fopen(log.c_str(), "r");
    if (!f) return false;
    std::string s;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    fclose(f);
    return s.find(text) != std::string::npos;
}

Figure one(double v) {
    Figure f;
    f.n = 1;
    f.median = f.p99 = f.max = f.min = v;
    return f;
}

/* cut_link runs in namespace ns: it takes eth0 down, as ip link set down
 * does, and stores the moment just before in sh->ns[0]. Returns DONE, or 11
 * when the interface cannot be read or set. */
int cut_link(const std::string &ns, NodeShared *sh) {
    Pair::enter(ns);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    strncpy(r.ifr_name, "eth0", IFNAMSIZ - 1);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &r) != 0) return 11;
    r.ifr_flags = short(r.ifr_flags & ~IFF_UP);
    sh->ns[0] = now_ns();
    return ioctl(s, SIOCSIFFLAGS, &r) == 0 ? DONE : 11;
}

/* NodeChild is a server of the node section: its process and the read end
 * of the pipe on which it speaks. */
struct NodeChild {
    pid_t pid = -1;
    int fd = -1;
};

/* in_node runs fn in a child in namespace ns, as a client of that node's daemon. */
pid_t in_node(const std::string &ns, const std::function<int()> &fn) {
    return spawn([=] {
        Pair::enter(ns);
        use_port(DAEMON_PORT);
        return fn();
    });
}

/* await_byte reads one byte from fd within within_ns; false when none came. */
bool await_byte(int fd, int64_t within_ns) {
    pollfd pf{fd, POLLIN, 0};
    const int64_t deadline = now_ns() + within_ns;
    for (;;) {
        int left = int(std::max<int64_t>(0, deadline - now_ns()) / 1'000'000);
        int r = poll(&pf, 1, left);
        if (r < 0 && errno == EINTR) continue;
        char c;
        return r == 1 && read(fd, &c, 1) == 1;
    }
}

void stop_child(NodeChild &c) {
    if (c.pid > 0) kill_reap(c.pid);
    if (c.fd >= 0) close(c.fd);
    c = NodeChild{};
}

/* serve starts body(ready_fd) in namespace ns and waits up to 5 s for its
 * first byte (its name registered). Returns the child, or one of pid -1 with
 * why set. Throws std::runtime_error when no pipe can be made. */
NodeChild serve(const std::string &ns, NodeShared *ssh, const std::function<int(int)> &body,
                std::string &why) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    ssh->why[0] = '\0';
    NodeChild c;
    c.pid = in_node(ns, [=] {
        close(fds[0]);
        return body(fds[1]);
    });
    close(fds[1]);
    c.fd = fds[0];
    if (!await_byte(c.fd, 5'000'000'000)) {
        why = ssh->why[0] ? std::string(ssh->why) : "its server did not register its name in 5 s";
        stop_child(c);
    }
    return c;
}

/* run_in runs fn in a child in namespace ns and waits up to within_ns for
 * it. Returns "" when it did its work, else why not. */
std::string run_in(const std::string &ns, NodeShared *sh, const std::function<int()> &fn,
                   int64_t within_ns) {
    sh->why[0] = '\0';
    sh->n = 0;
    pid_t c = in_node(ns, fn);
    int st = reap_within(c, within_ns);
    if (st == DONE) return "";
    if (st == -2) kill_reap(c);
    if (sh->why[0]) return sh->why;
    return st == -2
               ? "the client did not finish in " + std::to_string(within_ns / 1'000'000'000) + " s"
               : "the client ended with status " + std::to_string(st);
}

std::vector<int64_t> samples(const NodeShared *sh) {
    return {sh->ns, sh->ns + sh->n};
}

void append(std::vector<int64_t> &to, const std::vector<int64_t> &from) {
    to.insert(to.end(), from.begin(), from.end());
}

/* unmeasured is the row of a measure that could not be taken: its baseline
 * alone, and why. */
Line unmeasured(Line l, const std::string &why) {
    l.has_vorlen = false;
    l.vorlen = Figure{};
    l.ratio = 0;
    l.verdict = Verdict::none;
    l.note = "not measured: " + why;
    return l;
}

/* relink waits (10 s at most) until a client on node 2 reaches name on node
 * 1, while a client on node 1 pokes its daemon (see the cuts). Returns "",
 * or why not. */
std::string relink(const Pair &p, NodeShared *sh, NodeShared *csh, const std::string &name) {
    csh->stop = 0;
    csh->why[0] = '\0';
    pid_t poker = in_node(p.a, [=] { return vc_poke(csh); });
    std::string why = run_in(
        p.b, sh, [=] { return vc_reachable(sh, 1, name, 10'000'000'000); }, 20'000'000'000);
    csh->stop = 1;
    if (reap_within(poker, 5'000'000'000) == -2) kill_reap(poker);
    return why;
}

/* trigger_trips runs one trigger ping-pong (px_pinger, px_ponger): its
 * pinger on node 1, its ponger on node 2 (remote: each triggers the other
 * through a virtual proxy on the other's node) or on node 1 too (each
 * triggers the other's proxy itself), warm + count triggers each way, and
 * appends the count trigger-to-receipt times of the pinger's triggers to
 * out. Returns "", or why not; a side that has not ended within within_ns
 * is killed. */
std::string trigger_trips(const Pair &p, bool remote, NodeShared *sh, NodeShared *ssh, int warm,
                          int count, int64_t within_ns, std::vector<int64_t> &out) {
    for (NodeShared *s : {sh, ssh}) {
        s->id = 0;
        s->n = 0;
        s->why[0] = '\0';
    }
    const nid_t to = remote ? 2 : 0, back = remote ? 1 : 0;
    pid_t pong = in_node(remote ? p.b : p.a, [=] { return px_ponger(ssh, sh, back, warm, count); });
    pid_t ping = in_node(p.a, [=] { return px_pinger(sh, ssh, to, warm, count); });
    int sp = -2, so = -2;
    for (int64_t t = now_ns(); (sp == -2 || so == -2) && now_ns() - t < within_ns;
         sleep_ns(1'000'000)) {
        if (sp == -2) sp = reap_within(ping, 0);
        if (so == -2) so = reap_within(pong, 0);
        /* A side that gave up leaves the other waiting in Receive. */
        if ((sp != -2 && sp != DONE) || (so != -2 && so != DONE)) break;
    }
    if (sp == -2) kill_reap(ping);
    if (so == -2) kill_reap(pong);
    if (sp == DONE && so == DONE && sh->n == count && ssh->n == count) {
        for (int i = 0; i < count; i++) out.push_back(ssh->ns[i] - sh->ns[i]);
        return "";
    }
    if (sh->why[0]) return std::string("node 1: ") + sh->why;
    if (ssh->why[0]) return std::string(remote ? "node 2: " : "node 1: ") + ssh->why;
    if (sp == -2 || so == -2)
        return "the ping-pong did not finish in " + std::to_string(within_ns / 1'000'000'000) +
               " s";
    return "the ping-pong's sides ended with status " + std::to_string(sp) + " and " +
           std::to_string(so);
}

/* across measures messages and names across the link between the two
 * daemons (node 1 in namespace a, node 2 in b): round trips at four sizes
 * beside TLS ping-pongs and a local round trip, circuit set-up beside a TLS
 * set-up, a global name lookup, a Trigger through a virtual proxy beside a
 * local one, 16 pairs beside 16 TLS connections, and a link cut to ESRCH;
 * the pairs' row gives the CPU time per trip of the daemons. Rounds of each
 * and its baseline alternate. A measure that cannot be taken gets its
 * baseline and why. */
void across(const Pair &p, bool quick, const std::vector<pid_t> &daemons, NodeShared *sh,
            NodeShared *ssh, NodeShared *csh, std::vector<Line> &lines) {
    const std::string section =
        "node links: across the link, client on node 2, server on node 1 (us: median / p99)";
    const int rounds = quick ? 2 : 5;
    const int64_t limit = 120'000'000'000;
    const std::string rt_name = "vorlen-bench-rt";
    Figure tls64;
    for (uint32_t size : {0u, 64u, 1024u, 65536u}) {
        const std::string sz =
            size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
        progress("node links: round trips of " + sz + " across the link");
        const int total = quick ? 40 : size >= 65536 ? 1000 : 5000;
        const int per = std::max(1, total / rounds), warm = std::max(10, per / 10);
        std::string why, lwhy;
        NodeChild srv = serve(
            p.a, ssh, [=](int fd) { return vc_server(ssh, rt_name, size, fd); }, why);
        lwhy = why;
        std::vector<int64_t> vc, tls, local, relays;
        const int systems = size == 64 ? 4 : 2;
        for (int r = 0; r < rounds; r++)
            for (int k = 0; k < systems; k++) switch ((r + k) % systems) {
                case 0:
                    if (why.empty())
                        why = run_in(
                            p.b, sh, [=] { return vc_trips(sh, 1, rt_name, size, warm, per); },
                            limit);
                    if (why.empty()) append(vc, samples(sh));
                    break;
                case 1:
                    append(tls, measure(p, true, std::max<size_t>(size, 1), per, sh));
                    break;
                case 3:
                    append(relays, chain(p, per, sh));
                    break;
                default:
                    if (lwhy.empty())
                        lwhy = run_in(
                            p.a, sh, [=] { return vc_trips(sh, 0, rt_name, size, warm, per); },
                            limit);
                    if (lwhy.empty()) append(local, samples(sh));
                    break;
                }
        stop_child(srv);
        Line l{.section = section,
               .measure = "round trip through a VID, " + sz,
               .vorlen = figure_of(vc),
               .base_name = "TLS " + (size ? sz : std::string("1 B")),
               .base = figure_of(tls)};
        l.ratio = l.vorlen.median / l.base.median;
        if (size != 64) {
            lines.push_back(why.empty() ? l : unmeasured(l, why));
            continue;
        }
        tls64 = l.base;
        const Figure lo = figure_of(local);
        const double bound = lo.median + 1.3 * l.base.median;
        char text[256];
        snprintf(text, sizeof text, "<= local + 1.3 x TLS (%.1f us)", bound);
        l.target = lwhy.empty() ? text : "<= local + 1.3 x TLS";
        l.verdict = l.vorlen.median <= bound ? Verdict::pass : Verdict::miss;
        l.note = l.ratio <= 1.5 ? "moonshot <= 1.5 x TLS met" : "moonshot <= 1.5 x TLS not met";
        if (!lwhy.empty()) {
            l.verdict = Verdict::none;
            l.note = "not judged: the local round trip was not measured";
        }
        lines.push_back(why.empty() ? l : unmeasured(l, why));
        Line lc{.section = section,
                .measure = "  local round trip, 64 B (both on node 1)",
                .vorlen = lo};
        lc.note = "(the target's local round trip, in the same rounds)";
        lines.push_back(lwhy.empty() ? lc : unmeasured(lc, lwhy));
        Line lr{.section = section,
                .measure = "  relay chain, 64 B: the same path, one bare relay per node",
                .vorlen = figure_of(relays),
                .base_name = "TLS 64 B",
                .base = l.base};
        lr.ratio = lr.vorlen.median / lr.base.median;
        snprintf(text, sizeof text,
                 "(the floor of any two daemons on this path, in the same rounds: %s the "
                 "target's bound; the VID's round trip is %.2f x it)",
                 lwhy.empty() ? (lr.vorlen.median <= bound ? "within" : "over") : "not judged by",
                 l.vorlen.median / lr.vorlen.median);
        lr.note = text;
        lines.push_back(lr);
    }

    progress("node links: circuit set-up across the link");
    {
        const std::string name = "vorlen-bench-setup";
        const int per = std::max(1, (quick ? 10 : 200) / rounds);
        std::string why;
        NodeChild srv = serve(
            p.a, ssh, [=](int fd) { return vc_server(ssh, name, 64, fd); }, why);
        std::vector<int64_t> vc, tls;
        for (int r = 0; r < rounds; r++)
            for (int k = 0; k < 2; k++) {
                if ((r + k) % 2) {
                    append(tls, measure(p, true, 0, per, sh));
                    continue;
                }
                if (why.empty())
                    why = run_in(
                        p.b, sh, [=] { return vc_setups(sh, 1, name, per); }, limit);
                if (why.empty()) append(vc, samples(sh));
            }
        stop_child(srv);
        Line l{.section = section,
               .measure = "circuit set-up: qnx_vc_name_attach + 64 B Send + qnx_vc_detach",
               .vorlen = figure_of(vc),
               .base_name = "TLS set-up",
               .base = figure_of(tls)};
        l.ratio = l.vorlen.median / l.base.median;
        l.note = "(TLS set-up: connect, mutual TLS 1.3, a byte each way)";
        lines.push_back(why.empty() ? l : unmeasured(l, why));
    }

    progress("node links: a global name lookup across the link");
    {
        const std::string name = "/vorlen-bench-global";
        std::string why;
        NodeChild srv = serve(
            p.a, ssh, [=](int fd) { return vc_server(ssh, name, 0, fd); }, why);
        const int count = quick ? 10 : 500;
        if (why.empty())
            why = run_in(
                p.b, sh, [=] { return vc_lookups(sh, name, count); }, limit);
        Line l{.section = section,
               .measure = "global name lookup: qnx_name_locate(0, \"/...\") + qnx_vc_detach",
               .vorlen = figure_of(why.empty() ? samples(sh) : std::vector<int64_t>{}),
               .base_name = "TLS 64 B",
               .base = tls64};
        stop_child(srv);
        l.ratio = l.vorlen.median / l.base.median;
        l.note = "(a name registered on node 1; against one TLS round trip)";
        lines.push_back(why.empty() ? l : unmeasured(l, why));
    }

    progress("node links: triggers through a virtual proxy across the link");
    {
        const int total = quick ? 40 : 5000;
        const int per = std::max(1, total / rounds), warm = std::max(10, per / 10);
        std::string why, lwhy;
        std::vector<int64_t> remote, local;
        for (int r = 0; r < rounds; r++)
            for (int k = 0; k < 2; k++) {
                const bool far = (r + k) % 2 == 0;
                std::string &w = far ? why : lwhy;
                if (w.empty())
                    w = trigger_trips(p, far, sh, ssh, warm, per, limit, far ? remote : local);
            }
        Line l{.section = "node links: a proxy's Trigger to its owner's Receive (us: median / p99)",
               .measure = "Trigger on node 1 of a virtual proxy, owner on node 2",
               .vorlen = figure_of(remote),
               .base_name = "local Trigger",
               .base = figure_of(local)};
        l.ratio = lwhy.empty() ? l.vorlen.median / l.base.median : 0;
        l.note = lwhy.empty() ? "(from the call on node 1 to Receive's return on node 2, one "
                                "clock; each answered by a trigger back before the next; local: "
                                "both on node 1, the same way)"
                              : "not judged: the local Trigger was not measured: " + lwhy;
        lines.push_back(why.empty() ? l : unmeasured(l, why));
    }

    progress("node links: 16 client/server pairs across the link");
    {
        std::string why;
        std::vector<NodeChild> servers;
        auto name_of = [](int i) { return "vorlen-bench-tp-" + std::to_string(i); };
        for (int i = 0; i < NODE_MAX_FLOWS && why.empty(); i++) {
            NodeChild c = serve(
                p.a, ssh, [=](int fd) { return vc_server(ssh, name_of(i), 64, fd); }, why);
            if (c.pid > 0) servers.push_back(c);
        }
        const int tp_rounds = quick ? 1 : 6;
        const double warm = quick ? 0.02 : 0.15, secs = quick ? 0.05 : 0.4;
        std::vector<double> vc, tls, local, vcpu, lcpu;
        std::string lwhy = why;
        double cpu = 0;
        /* The same pairs with both ends on node 1 are the ceiling of the
         * pairs across the link on this machine: the same clients, the same
         * six transfers through a daemon, and no link. */
        auto pairs = [&](bool across, std::vector<double> &rates, std::vector<double> &cpus,
                         std::string &w) {
            if (!w.empty()) return;
            double rate = flow_rate(
                sh, NODE_MAX_FLOWS,
                [&](int i) {
                    return in_node(across ? p.b : p.a,
                                   [=] { return vc_flow(sh, across ? 1 : 0, name_of(i), i); });
                },
                warm, secs, daemons, &cpu, w);
            if (rate >= 0) rates.push_back(rate);
            if (rate >= 0) cpus.push_back(cpu);
        };
        for (int r = 0; r < tp_rounds; r++)
            for (int k = 0; k < 3; k++) {
                if ((r + k) % 3 == 0) {
                    pairs(true, vc, vcpu, why);
                    continue;
                }
                if ((r + k) % 3 == 1) {
                    pairs(false, local, lcpu, lwhy);
                    continue;
                }
                std::string twhy;
                pid_t echo = spawn([&] { return echo_server(p, true, 64, NODE_MAX_FLOWS); });
                double rate = flow_rate(
                    sh, NODE_MAX_FLOWS,
                    [&](int i) { return spawn([&p, i, sh] { return tls_flow(p, i, sh); }); }, warm,
                    secs, {}, &cpu, twhy);
                /* Its workers are gone, its socket closed, once it is reaped. */
                kill(echo, SIGTERM);
                reap(echo);
                if (rate < 0) throw std::runtime_error("node links: the TLS flows failed: " + twhy);
                tls.push_back(rate);
            }
        for (NodeChild &c : servers) stop_child(c);
        const std::string section = "node links: 64 B round trips per second across the link";
        Line l{.section = section,
               .measure = "16 client/server pairs, node 2 -> node 1",
               .form = Form::rate,
               .vorlen = rate_of(vc),
               .base_name = "TLS x16",
               .base = rate_of(tls)};
        l.ratio = l.vorlen.median / l.base.median;
        l.target = ">= 0.80 x TLS x16";
        l.verdict = l.ratio >= 0.80 ? Verdict::pass : Verdict::miss;
        l.cpu_vorlen = rate_of(vcpu).median;
        const Figure lo = rate_of(local);
        char note[256];
        snprintf(note, sizeof note,
                 "(TLS x16: 16 TLS 1.3 ping-pong connections at once; CPU per trip: both "
                 "daemons %.1f us; %.2f x the pairs on one node)",
                 l.cpu_vorlen, lwhy.empty() && lo.median > 0 ? l.vorlen.median / lo.median : 0.0);
        l.note = note;
        lines.push_back(why.empty() ? l : unmeasured(l, why));
        Line lc{.section = section,
                .measure = "  16 client/server pairs, both on node 1",
                .form = Form::rate,
                .vorlen = lo,
                .base_name = "TLS x16",
                .base = l.base};
        lc.ratio = lc.vorlen.median / lc.base.median;
        lc.cpu_vorlen = rate_of(lcpu).median;
        snprintf(note, sizeof note,
                 "(no link, in the same rounds: the ceiling of the row above on this machine; "
                 "CPU per trip: the daemons %.1f us)",
                 lc.cpu_vorlen);
        lc.note = note;
        lines.push_back(lwhy.empty() ? lc : unmeasured(lc, lwhy));
    }

    const int cuts = quick ? 1 : 5;
    progress("node links: " + std::to_string(cuts) + " link cuts to ESRCH");
    {
        const std::string name = "vorlen-bench-hold";
        const int64_t bound_ms = TIMEOUT_MS + HEARTBEAT_MS;
        std::string why;
        NodeChild holder = serve(
            p.a, ssh, [=](int fd) { return vc_holder(ssh, name, fd); }, why);
        std::vector<int64_t> took;
        int lost = 0;
        for (int k = 0; k < cuts && why.empty(); k++) {
            /* The link is up again after the cut before: node 1 redials.
             * A dial that fails at once (no route while the veth is down)
             * sets node 1's next dial but not its loop's wake-up, so that it
             * redials only when something else wakes it: a local call every
             * 20 ms does, so that each cut starts from a link that is up. */
            why = relink(p, sh, csh, name);
            if (!why.empty()) break;
            sh->n = 0;
            sh->why[0] = '\0';
            pid_t victim = in_node(p.b, [=] { return vc_victim(sh, 1, name); });
            if (!await_byte(holder.fd, 5'000'000'000)) {
                kill_reap(victim);
                why = sh->why[0] ? std::string(sh->why)
                                 : "node 1's server did not receive the message in 5 s";
                break;
            }
            why = run_in(
                p.b, csh, [=] { return vc_wait_reply_blocked(csh, victim, 2'000'000'000); }, limit);
            if (!why.empty()) {
                kill_reap(victim);
                break;
            }
            /* The last frame across came with the REPLY-blocking; the cuts
             * fall at spread points of the heartbeat's period after it, so
             * that the figures span the heartbeat's phase, not one point of it. */
            sleep_ns(int64_t(k) * HEARTBEAT_MS * 1'000'000 / cuts);
            pid_t cutter = spawn([&p, csh] { return cut_link(p.a, csh); });
            bool cut = reap(cutter) == DONE;
            int st = cut ? reap_within(victim, 4 * bound_ms * 1'000'000) : -2;
            bool mended = sh_run("ip -n " + p.a + " link set eth0 up");
            if (!cut || !mended) {
                kill_reap(victim);
                throw std::runtime_error("node links: cannot take node 1's eth0 down and up");
            }
            if (st == DONE) {
                took.push_back(sh->ns[0] - csh->ns[0]);
            } else if (st == -2) {
                kill_reap(victim);
                lost++;
            } else {
                why = sh->why[0] ? std::string(sh->why)
                                 : "the client ended with status " + std::to_string(st);
            }
        }
        stop_child(holder);
        /* The link is left up for the daemons' end. */
        if (why.empty()) relink(p, sh, csh, name);
        Line c{.section = "node links: a link cut (its veth set down) to ESRCH of a client "
                          "REPLY-blocked across it (ms: min / max)",
               .measure = "node 1's veth down to ESRCH, " + std::to_string(cuts) +
                          (cuts == 1 ? " cut" : " cuts"),
               .form = Form::range_ms,
               .vorlen = figure_of(took)};
        const auto early = std::count_if(took.begin(), took.end(),
                                         [](int64_t t) { return t < TIMEOUT_MS * 1'000'000LL; });
        c.target = "<= " + std::to_string(bound_ms) + " ms every time";
        c.verdict = lost == 0 && int(took.size()) == cuts && c.vorlen.max <= double(bound_ms) * 1000
                        ? Verdict::pass
                        : Verdict::miss;
        c.note = "(node timeout " + std::to_string(TIMEOUT_MS) + " ms + heartbeat " +
                 std::to_string(HEARTBEAT_MS) +
                 " ms; sooner than the timeout: " + std::to_string(early) +
                 (lost ? "; no ESRCH within " + std::to_string(4 * bound_ms) +
                             " ms: " + std::to_string(lost)
                       : std::string()) +
                 ")";
        lines.push_back(why.empty() ? c : unmeasured(c, why));
    }
}

} // namespace

void node_links(bool quick, std::vector<Line> &lines) {
    if (geteuid() != 0) {
        progress("node links: skipped: needs root, for network namespaces");
        return;
    }
    const std::string section = "node links: two network namespaces (us: median / p99)";
    const std::string dir = make_workdir();
    auto *sh = new (shared_alloc(sizeof(NodeShared))) NodeShared();
    auto *ssh = new (shared_alloc(sizeof(NodeShared))) NodeShared();
    auto *csh = new (shared_alloc(sizeof(NodeShared))) NodeShared();
    {
        Pair p(dir);
        for (size_t size : {size_t(64), size_t(65536)}) {
            int trips = quick ? 20 : size > 1024 ? 1000 : 5000;
            progress("node links: TLS 1.3 and TCP ping-pong, " + std::to_string(size) + " B");
            Line l{.section = section,
                   .measure = "TLS 1.3 round trip, " +
                              (size > 1024 ? std::string("64 KiB") : std::string("64 B")),
                   .vorlen = figure_of(measure(p, true, size, trips, sh)),
                   .base_name = "TCP",
                   .base = figure_of(measure(p, false, size, trips, sh))};
            l.ratio = l.vorlen.median / l.base.median;
            l.note = "(the floor of a round trip between two nodes)";
            lines.push_back(l);
        }
        progress("node links: set-up");
        int setups = quick ? 5 : 200;
        Line s{.section = section,
               .measure = "set-up: connect, mutual TLS 1.3, a byte each way",
               .vorlen = figure_of(measure(p, true, 0, setups, sh)),
               .base_name = "TCP",
               .base = figure_of(measure(p, false, 0, setups, sh))};
        s.ratio = s.vorlen.median / s.base.median;
        lines.push_back(s);

        /* Two linked daemons at the default heartbeat, and one without a
         * net map, idle over the same interval. */
        progress("node links: the heartbeat's CPU on idle daemons");
        auto node_args = [&](int n) {
            std::string c = dir + "/node" + std::to_string(n);
            return std::vector<std::string>{"-p",
                                            std::to_string(DAEMON_PORT),
                                            "--no-state",
                                            "--netmap",
                                            dir + "/netmap",
                                            "--node",
                                            std::to_string(n),
                                            "--tls-cert",
                                            c + ".pem",
                                            "--tls-key",
                                            c + ".key",
                                            "--tls-ca",
                                            dir + "/ca.pem",
                                            "--node-heartbeat",
                                            std::to_string(HEARTBEAT_MS),
                                            "--node-timeout",
                                            std::to_string(TIMEOUT_MS)};
        };
        pid_t n2_pid = daemon(p.b, node_args(2), dir + "/node2.log");
        pid_t plain = daemon(p.a, {"-p", "7792", "--no-state"}, dir + "/plain.log");
        /* Node 1 dials once node 2 listens: the set-up without a redial. */
        auto wait_log = [&](const std::string &log, const std::string &text) {
            for (int64_t t = now_ns(); now_ns() - t < 10 * 1000000000LL; sleep_ns(1000000))
                if (log_has(log, text)) return true;
            return false;
        };
        bool up = wait_log(dir + "/node2.log", "listening for node links");
        int64_t t0 = now_ns();
        pid_t n1_pid = daemon(p.a, node_args(1), dir + "/node1.log");
        up = up && wait_log(dir + "/node1.log", "node 2 up: ");
        int64_t up_ns = now_ns() - t0;
        if (up) {
            Line u{.section = section,
                   .measure = "a daemon's link up, from its start",
                   .vorlen = one(double(up_ns) / 1000)};
            u.note = "(its process start, the dial, TLS, the hellos; the peer listens)";
            lines.push_back(u);
            double secs = quick ? 1 : 20;
            double a0 = cpu_ns(n1_pid), p0 = cpu_ns(plain);
            int64_t m0 = now_ns();
            sleep_ns(int64_t(secs * 1e9));
            double a1 = cpu_ns(n1_pid), p1 = cpu_ns(plain);
            double wall = double(now_ns() - m0) / 1e9;
            auto per_min = [&](double d) { return d / 1e6 / wall * 60; };
            Line h{.section = "node links: idle daemon's CPU (ms per minute)",
                   .measure = "link up, heartbeat every " + std::to_string(HEARTBEAT_MS) + " ms",
                   .form = Form::latency,
                   .vorlen = one(per_min(a1 - a0)),
                   .base_name = "no net map",
                   .base = one(per_min(p1 - p0))};
            h.note = "(CPU time over " + std::to_string(int(wall)) + " s of idling)";
            lines.push_back(h);
            across(p, quick, {n1_pid, n2_pid}, sh, ssh, csh, lines);
        } else {
            progress("node links: the daemons' link did not come up; logs in " + dir);
            lines.push_back({.section = section,
                             .measure = "messages, names and link cuts across the link",
                             .has_vorlen = false,
                             .note = "not measured: the daemons' link did not come up in 10 s"});
        }
        for (pid_t d : {n2_pid, n1_pid, plain}) kill_reap(d);
    }
    /* The daemons' logs tell why a measure across the link was not taken. */
    if (std::any_of(lines.begin(), lines.end(),
                    [](const Line &l) { return l.note.rfind("not measured: ", 0) == 0; }))
        progress("node links: the daemons' logs are kept in " + dir);
    else
        remove_workdir(dir);
}

} // namespace bench
