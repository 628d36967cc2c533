/* node.cpp - the benchmark's node section: TLS 1.3 between two network namespaces, link set-up,
 * heartbeats */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench.h"

namespace bench {

namespace {

const int ECHO_PORT = 7790;
const int NODE_PORT = 7780;

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
 * plain, gets every message of size bytes back. It never returns. */
int echo_server(const Pair &p, bool tls, size_t size) {
    Pair::enter(p.b);
    SSL_CTX *c = tls ? context(p.dir, "node2") : nullptr;
    int l = socket(AF_INET, SOCK_STREAM, 0), one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(ECHO_PORT + (tls ? 1 : 0));
    a.sin_addr.s_addr = inet_addr("10.98.0.2");
    if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 16) != 0) return 6;
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

/* Results of a client child: up to MAX samples in nanoseconds. */
constexpr int MAX = 1 << 14;
struct Samples {
    int n;
    int64_t ns[MAX];
};

/* client runs in namespace a: trips round trips of size bytes (0: only the
 * set-up, trips times), each sample stored in out. */
int client(const Pair &p, bool tls, size_t size, int trips, Samples *out) {
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
        for (int i = 0; size && i < trips && i < MAX; i++) {
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
std::vector<int64_t> measure(const Pair &p, bool tls, size_t size, int trips, Samples *sh) {
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

} // namespace

void node_links(bool quick, std::vector<Line> &lines) {
    if (geteuid() != 0) {
        progress("node links: skipped: needs root, for network namespaces");
        return;
    }
    const std::string section = "node links: two network namespaces (us: median / p99)";
    const std::string dir = make_workdir();
    auto *sh = static_cast<Samples *>(shared_alloc(sizeof(Samples)));
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
                                            "7791",
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
                                            dir + "/ca.pem"};
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
                   .measure = "link up, heartbeat every 500 ms",
                   .form = Form::latency,
                   .vorlen = one(per_min(a1 - a0)),
                   .base_name = "no net map",
                   .base = one(per_min(p1 - p0))};
            h.note = "(CPU time over " + std::to_string(int(wall)) + " s of idling)";
            lines.push_back(h);
        } else {
            progress("node links: the daemons' link did not come up; logs in " + dir);
        }
        for (pid_t d : {n2_pid, n1_pid, plain}) kill_reap(d);
    }
    remove_workdir(dir);
}

} // namespace bench
