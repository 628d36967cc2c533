/* bench.cpp - the benchmark's measurements and driver: vorlen against this machine's baselines */
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/utsname.h>
#include <unistd.h>

/* The host's timer_t stays; QNX timer ids are qnx_timer_t here. */
#define VORLEN_HOST_TIMER_T
#include "vorlen.h"

#include "bench.h"

using namespace bench;

namespace {

/* Config holds the sizes of the runs. The defaults keep the whole benchmark
 * near one minute on two cores; --quick only proves that everything runs. */
struct Config {
    bool quick = false;
    bool json = false;
    std::vector<std::string> only; /* empty: every section */
    int rounds = 5;                /* alternating rounds per latency figure */
    int rt_small = 20000;          /* round trips per system for 0 B, 64 B, 1 KiB */
    int rt_large = 2000;           /* and for 64 KiB */
    int tp_rounds = 6;       /* short rounds alternate more often with the load of the machine */
    double tp_seconds = 0.4; /* per round and system */
    double tp_warm = 0.15;
    int triggers = 5000;
    int expiries = 1000;
    int idle_clients = 1000;
    int idle_trips = 20000;
    int storm_clients = 200;
    int storm_rounds = 3;
    int setups = 2000; /* first calls per transport */
    int restart_clients = 100;
    int restart_rounds = 3;

    bool wants(std::string_view section) const {
        return only.empty() || std::find(only.begin(), only.end(), section) != only.end();
    }
};

constexpr size_t MAX_SAMPLES = 1 << 16;
constexpr int MAX_CLIENTS = 64;
constexpr int64_t TIMER_PERIOD = 10'000'000; /* ns */
/* How long a triggering process waits after the proxy's owner said it is about
 * to call Receive: long enough for that request to reach the daemon, so that
 * the trigger finds the owner blocked. */
constexpr int64_t TRIGGER_PACE = 150'000; /* ns */
const char *const NO_NAME = "vorlen-bench-nobody";

/* Shared is the memory the benchmark shares with its children: samples come
 * back through it, and the throughput clients count and stop through it. */
struct Shared {
    std::atomic<int> stop;
    std::atomic<uint64_t> done[MAX_CLIENTS];
    int64_t t0;
    int64_t a[MAX_SAMPLES];
    int64_t b[MAX_SAMPLES];
};
Shared *sh;

void append(std::vector<int64_t> &to, const std::vector<int64_t> &from) {
    to.insert(to.end(), from.begin(), from.end());
}

void progress(const std::string &what) {
    fprintf(stderr, "bench: %s\n", what.c_str());
}

void check(bool ok, const std::string &what) {
    if (!ok) throw std::runtime_error(what);
}

/* read_full reads exactly n bytes; false at end of stream or on an error. */
bool read_full(int fd, void *p, size_t n) {
    auto *c = static_cast<char *>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        c += r;
        n -= size_t(r);
    }
    return true;
}

/* write_full writes exactly n bytes to a socket or pipe; false on an error
 * (SIGPIPE is ignored, so a reader that has gone is an error too). */
bool write_full(int fd, const void *p, size_t n) {
    auto *c = static_cast<const char *>(p);
    while (n > 0) {
        ssize_t w = write(fd, c, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        c += w;
        n -= size_t(w);
    }
    return true;
}

void nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

/* make_pipe creates a pipe; throws when it cannot. */
void make_pipe(int p[2]) {
    check(pipe(p) == 0, std::string("pipe: ") + strerror(errno));
}

/* ------------------------------------------------------------------------ */
/* Round trips                                                               */
/* ------------------------------------------------------------------------ */

/* serve_loop is the server of a round trip: it answers every message with as
 * many bytes as it can take. It returns only when a call fails. */
int serve_loop(uint32_t size) {
    std::vector<char> buf(std::max(size, 1u));
    for (;;) {
        pid_t from = Receive(0, buf.data(), size);
        if (from == -1 || Reply(from, buf.data(), size) != 0) return 1;
    }
}

/* rt_round times count round trips of size bytes each way (after warm untimed
 * ones) between a fresh client and a fresh server, both using vorlenlib
 * against the daemon or the relay on port over transport. Returns the times
 * in ns; throws when the client fails. */
std::vector<int64_t> rt_round(int port, uint32_t size, int warm, int count,
                              const char *transport = "tcp") {
    pid_t server = spawn([&] {
        use_port(port, transport);
        return serve_loop(size);
    });
    pid_t client = spawn([&] {
        use_port(port, transport);
        std::vector<char> out(std::max(size, 1u)), in(std::max(size, 1u));
        for (int i = 0; i < warm + count; i++) {
            /* The untimed round trips prove that the server got the bytes and
             * the reply came back whole, so that no figure rests on a relay
             * or daemon that passes the wrong data. */
            if (i < warm)
                for (uint32_t j = 0; j < size; j++) out[j] = char(i * 7 + j);
            int64_t t0 = now_ns();
            if (Send(server, out.data(), in.data(), size, size) != 0) return 1;
            if (i >= warm) sh->a[i - warm] = now_ns() - t0;
            if (i < warm && memcmp(in.data(), out.data(), size) != 0) return 2;
        }
        return DONE;
    });
    int rc = reap(client);
    kill_reap(server);
    check(rc == DONE, "a round trip client on port " + std::to_string(port) +
                          " ended with status " + std::to_string(rc) +
                          (rc == 2 ? ": its reply differed from its message" : ""));
    return {sh->a, sh->a + count};
}

/* pingpong_round is baseline A: count timed exchanges (after warm ones) of a
 * 4-byte length and size bytes each way over one direct TCP connection with
 * TCP_NODELAY between two processes, or with over_unix (A-unix) over a
 * Unix-domain stream socket. Returns the times in ns; throws when a side
 * fails. */
std::vector<int64_t> pingpong_round(uint32_t size, int warm, int count, bool over_unix = false) {
    int ls = -1, pair[2] = {-1, -1};
    sockaddr_in a{};
    if (over_unix) {
        check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0,
              std::string("ping-pong socket pair: ") + strerror(errno));
    } else {
        ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        check(ls >= 0 && bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                  listen(ls, 1) == 0 &&
                  getsockname(ls, reinterpret_cast<sockaddr *>(&a), &len) == 0,
              std::string("ping-pong listener: ") + strerror(errno));
    }
    const size_t frame = sizeof(uint32_t) + size;
    pid_t server = spawn([&] {
        int c = over_unix ? pair[0] : accept(ls, nullptr, nullptr);
        if (over_unix) close(pair[1]);
        if (c < 0) return 1;
        if (!over_unix) nodelay(c);
        std::vector<char> buf(frame);
        /* End of stream is the client saying it is done. */
        while (read_full(c, buf.data(), frame))
            if (!write_full(c, buf.data(), frame)) return 1;
        return DONE;
    });
    pid_t client = spawn([&] {
        int s = over_unix ? pair[1] : socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (over_unix) close(pair[0]);
        if (s < 0 || (!over_unix && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0))
            return 1;
        if (!over_unix) nodelay(s);
        std::vector<char> out(frame, 'x'), in(frame);
        memcpy(out.data(), &size, sizeof size);
        for (int i = 0; i < warm + count; i++) {
            int64_t t0 = now_ns();
            if (!write_full(s, out.data(), frame) || !read_full(s, in.data(), frame)) return 1;
            if (i >= warm) sh->a[i - warm] = now_ns() - t0;
        }
        return DONE;
    });
    for (int fd : {ls, pair[0], pair[1]})
        if (fd >= 0) close(fd);
    int rc = reap(client);
    int rs = reap(server);
    check(rc == DONE && rs == DONE, "the ping-pong failed");
    return {sh->a, sh->a + count};
}

std::string size_name(uint32_t size) {
    return size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
}

void round_trips(const Config &cfg, const Server &daemon, const Server &relay,
                 std::vector<Line> &lines) {
    const std::string section = "round trip Send -> Receive -> Reply (us: median / p99)";
    for (uint32_t size : {0u, 64u, 1024u, 65536u}) {
        progress("round trips of " + size_name(size));
        const int total = size >= 65536 ? cfg.rt_large : cfg.rt_small;
        const int per = std::max(1, total / cfg.rounds);
        const int warm = std::max(20, per / 10);
        std::vector<int64_t> v, b, a, vu, bu, au;
        /* 64 B also over the Unix socket, in the same rotation. */
        const int systems = size == 64 ? 6 : 3;
        for (int r = 0; r < cfg.rounds; r++)
            /* The order turns with each round, so that no system always runs first. */
            for (int k = 0; k < systems; k++) switch ((r + k) % systems) {
                case 0:
                    append(v, rt_round(daemon.port, size, warm, per));
                    break;
                case 1:
                    append(b, rt_round(relay.port, size, warm, per));
                    break;
                case 2:
                    append(a, pingpong_round(size, warm, per));
                    break;
                case 3:
                    append(vu, rt_round(daemon.port, size, warm, per, "unix"));
                    break;
                case 4:
                    append(bu, rt_round(relay.port, size, warm, per, "unix"));
                    break;
                default:
                    append(au, pingpong_round(size, warm, per, true));
                    break;
                }
        Line l{.section = section,
               .measure = size_name(size),
               .vorlen = figure_of(v),
               .base_name = "B",
               .base = figure_of(b)};
        l.ratio = l.vorlen.median / l.base.median;
        if (size == 64) {
            l.target = "<= 1.20 x B (goal 1.05)";
            l.verdict = l.ratio <= 1.20 ? Verdict::pass : Verdict::miss;
            l.note = l.ratio <= 1.05 ? "goal met" : "goal not met";
        }
        lines.push_back(l);
        Line la{.section = section, .has_vorlen = false, .base_name = "A", .base = figure_of(a)};
        la.ratio = l.vorlen.median / la.base.median;
        char note[64];
        snprintf(note, sizeof note, "(B = %.2f x A)", l.base.median / la.base.median);
        la.note = note;
        lines.push_back(la);
        if (size != 64) continue;
        Line u{.section = section,
               .measure = "64 B, Unix",
               .vorlen = figure_of(vu),
               .base_name = "B-unix",
               .base = figure_of(bu)};
        u.ratio = u.vorlen.median / u.base.median;
        u.target = "<= 1.10 x B-unix";
        u.verdict = u.ratio <= 1.10 ? Verdict::pass : Verdict::miss;
        lines.push_back(u);
        Line ut{.section = section,
                .measure = "64 B, Unix against TCP",
                .vorlen = u.vorlen,
                .base_name = "B",
                .base = l.base};
        ut.ratio = ut.vorlen.median / ut.base.median;
        ut.target = "<= 0.65 x B";
        ut.verdict = ut.ratio <= 0.65 ? Verdict::pass : Verdict::miss;
        lines.push_back(ut);
        Line lau{
            .section = section, .has_vorlen = false, .base_name = "A-unix", .base = figure_of(au)};
        lau.ratio = u.vorlen.median / lau.base.median;
        snprintf(note, sizeof note, "(B-unix = %.2f x A-unix)", u.base.median / lau.base.median);
        lau.note = note;
        lines.push_back(lau);
    }
}

/* ------------------------------------------------------------------------ */
/* Throughput                                                                */
/* ------------------------------------------------------------------------ */

/* cpu_ns is the CPU time process pid has used, in ns; 0 when unknown. */
int64_t cpu_ns(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
    int64_t ns = 0;
    f >> ns;
    return ns;
}

/* Rate is the outcome of one throughput run: round trips per second, and the
 * CPU time the daemon or relay spent per round trip (which a busy machine
 * disturbs far less than the rate). */
struct Rate {
    double per_second;
    double cpu_us;
};

/* tp_run counts 64-byte round trips per second: nclients clients, client i
 * sending to server i % nservers through the daemon or relay `via`, over
 * tp_seconds after a warm-up. Throws when a client fails. */
Rate tp_run(const Config &cfg, const Server &via, int nservers, int nclients,
            const char *transport = "tcp") {
    const int port = via.port;
    sh->stop = 0;
    for (auto &d : sh->done) d = 0;
    std::vector<pid_t> servers, clients;
    for (int s = 0; s < nservers; s++)
        servers.push_back(spawn([&] {
            use_port(port, transport);
            return serve_loop(64);
        }));
    for (int i = 0; i < nclients; i++)
        clients.push_back(spawn([&, i] {
            use_port(port, transport);
            const pid_t to = servers[size_t(i % nservers)];
            char out[64] = {}, in[64];
            for (uint64_t k = 1; !sh->stop.load(std::memory_order_relaxed); k++) {
                if (Send(to, out, in, sizeof out, sizeof in) != 0) return 1;
                sh->done[i].store(k, std::memory_order_relaxed);
            }
            return DONE;
        }));
    auto sum = [&] {
        uint64_t n = 0;
        for (int i = 0; i < nclients; i++) n += sh->done[i].load(std::memory_order_relaxed);
        return n;
    };
    sleep_ns(int64_t(cfg.tp_warm * 1e9));
    const uint64_t n0 = sum();
    const int64_t t0 = now_ns(), c0 = cpu_ns(via.pid);
    sleep_ns(int64_t(cfg.tp_seconds * 1e9));
    const uint64_t n1 = sum();
    const int64_t t1 = now_ns(), c1 = cpu_ns(via.pid);
    sh->stop = 1;
    bool ok = true;
    for (pid_t c : clients) ok = reap(c) == DONE && ok;
    for (pid_t s : servers) kill_reap(s);
    check(ok, "a throughput client failed on port " + std::to_string(port));
    const double trips = double(std::max<uint64_t>(n1 - n0, 1));
    return {trips * 1e9 / double(t1 - t0), double(c1 - c0) / 1000 / trips};
}

void throughput(const Config &cfg, const Server &daemon, const Server &relay,
                std::vector<Line> &lines) {
    struct Setup {
        const char *name;
        int servers, clients;
    };
    for (const Setup &s :
         {Setup{"1 client -> 1 server", 1, 1}, Setup{"4 clients -> 1 server", 1, 4},
          Setup{"16 clients -> 1 server", 1, 16}, Setup{"64 clients -> 1 server", 1, 64},
          Setup{"16 client/server pairs", 16, 16}}) {
        progress(std::string("throughput, ") + s.name);
        std::vector<double> v, b, vcpu, bcpu;
        auto run = [&](const Server &via, std::vector<double> &rate, std::vector<double> &cpu) {
            Rate r = tp_run(cfg, via, s.servers, s.clients);
            rate.push_back(r.per_second);
            cpu.push_back(r.cpu_us);
        };
        for (int r = 0; r < cfg.tp_rounds; r++) {
            if (r % 2 == 0) run(daemon, v, vcpu);
            run(relay, b, bcpu);
            if (r % 2 == 1) run(daemon, v, vcpu);
        }
        Line l{.section = "throughput, 64 B round trips per second",
               .measure = s.name,
               .form = Form::rate,
               .vorlen = rate_of(v),
               .base_name = "B",
               .base = rate_of(b)};
        l.ratio = l.vorlen.median / l.base.median;
        if (s.servers == 16) {
            l.target = ">= 0.90 x B";
            l.verdict = l.ratio >= 0.90 ? Verdict::pass : Verdict::miss;
        }
        l.cpu_vorlen = rate_of(vcpu).median;
        l.cpu_base = rate_of(bcpu).median;
        char note[96];
        snprintf(note, sizeof note, "(CPU per trip: vorlen %.1f us, B %.1f us)", l.cpu_vorlen,
                 l.cpu_base);
        l.note = note;
        lines.push_back(l);
    }
    progress("throughput, 16 client/server pairs over Unix");
    std::vector<double> v, b, vcpu, bcpu;
    for (int r = 0; r < cfg.tp_rounds; r++) {
        auto run = [&](const Server &via, std::vector<double> &rate, std::vector<double> &cpu) {
            Rate t = tp_run(cfg, via, 16, 16, "unix");
            rate.push_back(t.per_second);
            cpu.push_back(t.cpu_us);
        };
        if (r % 2 == 0) run(daemon, v, vcpu);
        run(relay, b, bcpu);
        if (r % 2 == 1) run(daemon, v, vcpu);
    }
    Line l{.section = "throughput, 64 B round trips per second",
           .measure = "16 client/server pairs, Unix",
           .form = Form::rate,
           .vorlen = rate_of(v),
           .base_name = "B-unix",
           .base = rate_of(b)};
    l.ratio = l.vorlen.median / l.base.median;
    l.target = ">= 1.00 x B-unix";
    l.verdict = l.ratio >= 1.00 ? Verdict::pass : Verdict::miss;
    l.cpu_vorlen = rate_of(vcpu).median;
    l.cpu_base = rate_of(bcpu).median;
    char note[96];
    snprintf(note, sizeof note, "(CPU per trip: vorlen %.1f us, B-unix %.1f us)", l.cpu_vorlen,
             l.cpu_base);
    l.note = note;
    lines.push_back(l);
}

/* ------------------------------------------------------------------------ */
/* Connection set-up                                                         */
/* ------------------------------------------------------------------------ */

/* setup_round times the first call of count fresh processes against the
 * daemon on port over transport: connecting, the daemon's check of who is on
 * the other end, and the answer. Returns the times in ns; throws when one
 * fails. */
std::vector<int64_t> setup_round(int port, const char *transport, int count) {
    for (int i = 0; i < count; i++) {
        pid_t c = spawn([&] {
            use_port(port, transport);
            const int64_t t0 = now_ns();
            if (qnx_name_locate(0, NO_NAME, 0, nullptr) != -1) return 1;
            sh->a[i] = now_ns() - t0;
            return DONE;
        });
        check(reap(c) == DONE, std::string("a first call over ") + transport + " failed");
    }
    return {sh->a, sh->a + count};
}

void setup(const Config &cfg, const Server &daemon, std::vector<Line> &lines) {
    progress("connection set-up");
    std::vector<int64_t> t, u;
    const int per = std::max(1, cfg.setups / cfg.rounds);
    for (int r = 0; r < cfg.rounds; r++) {
        append(r % 2 ? u : t, setup_round(daemon.port, r % 2 ? "unix" : "tcp", per));
        append(r % 2 ? t : u, setup_round(daemon.port, r % 2 ? "tcp" : "unix", per));
    }
    Line l{.section = "connection set-up: a process's first call (us: median / p99)",
           .measure = "first call, Unix",
           .vorlen = figure_of(u),
           .base_name = "TCP",
           .base = figure_of(t)};
    l.ratio = l.vorlen.median / l.base.median;
    l.target = "<= 0.50 x TCP";
    l.verdict = l.ratio <= 0.50 ? Verdict::pass : Verdict::miss;
    l.note = "(TCP: vorlen's own figure over TCP)";
    lines.push_back(l);
}

/* ------------------------------------------------------------------------ */
/* Proxies and timers                                                        */
/* ------------------------------------------------------------------------ */

/* trigger_round times count triggers (after warm ones) from the moment one
 * process calls Trigger to the moment the proxy's owner, waiting in Receive,
 * has it. Returns the times in ns; throws when a side fails. */
std::vector<int64_t> trigger_round(int port, int warm, int count) {
    int idp[2], gop[2];
    make_pipe(idp);
    make_pipe(gop);
    pid_t owner = spawn([&] {
        close(idp[0]);
        close(gop[0]);
        use_port(port);
        pid_t proxy = qnx_proxy_attach(0, nullptr, 0, 0);
        if (proxy == -1 || !write_full(idp[1], &proxy, sizeof proxy)) return 1;
        char c = 0;
        for (int i = 0; i < warm + count; i++) {
            /* Said before Receive: the triggering side gives the request time to arrive. */
            if (write(gop[1], &c, 1) != 1 || Receive(0, &c, 0) != proxy) return 1;
            if (i >= warm) sh->b[i - warm] = now_ns();
        }
        return DONE;
    });
    pid_t trig = spawn([&] {
        close(idp[1]);
        close(gop[1]);
        use_port(port);
        pid_t proxy;
        if (!read_full(idp[0], &proxy, sizeof proxy)) return 1;
        /* Trigger works only on a connection that an opening call has made. */
        qnx_name_locate(0, NO_NAME, 0, nullptr);
        char c;
        for (int i = 0; i < warm + count; i++) {
            if (!read_full(gop[0], &c, 1)) return 1;
            spin_ns(TRIGGER_PACE);
            int64_t t0 = now_ns();
            if (Trigger(proxy) != 0) return 1;
            if (i >= warm) sh->a[i - warm] = t0;
        }
        return DONE;
    });
    for (int fd : {idp[0], idp[1], gop[0], gop[1]}) close(fd);
    int rt = reap(trig);
    /* An owner whose triggers stopped coming would wait in Receive for ever. */
    if (rt != DONE) kill(owner, SIGKILL);
    int ro = reap(owner);
    check(rt == DONE && ro == DONE,
          "the trigger round failed (" + std::to_string(rt) + ", " + std::to_string(ro) + ")");
    std::vector<int64_t> lat(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) lat[size_t(i)] = sh->b[i] - sh->a[i];
    return lat;
}

/* timer_run runs a 10 ms periodic proxy timer of the daemon for expiries
 * expiries and, alongside and half a period apart, a kernel timerfd with the
 * same period. Each expiry's lateness against the grid armed + k * period
 * lands in sh->a (vorlen) and sh->b (kernel). Throws when a side fails. */
void timer_run(int port, int expiries) {
    pid_t owner = spawn([&] {
        use_port(port);
        pid_t proxy = qnx_proxy_attach(0, nullptr, 0, 0);
        itimercb cb{};
        cb.itcb_event.evt_value = proxy;
        qnx_timer_t id = mktimer(CLOCK_REALTIME, NOTIFY_PROXY, &cb);
        if (proxy == -1 || id == -1) return 1;
        itimerspec v{};
        v.it_value.tv_nsec = TIMER_PERIOD;
        v.it_interval.tv_nsec = TIMER_PERIOD;
        char c;
        /* Taken before the request leaves: the daemon cannot arm the timer
         * earlier, so a negative lateness is a timer that fired early. */
        const int64_t armed = now_ns();
        if (reltimer(id, &v, nullptr) != 0) return 1;
        for (int k = 1; k <= expiries; k++) {
            if (Receive(0, &c, 0) != proxy) return 1;
            sh->a[k - 1] = now_ns() - (armed + k * TIMER_PERIOD);
        }
        return DONE;
    });
    pid_t kernel = spawn([&] {
        sleep_ns(TIMER_PERIOD / 2);
        int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        itimerspec v{};
        v.it_value.tv_nsec = TIMER_PERIOD;
        v.it_interval.tv_nsec = TIMER_PERIOD;
        const int64_t armed = now_ns();
        if (fd < 0 || timerfd_settime(fd, 0, &v, nullptr) != 0) return 1;
        for (int k = 1; k <= expiries;) {
            uint64_t n;
            if (!read_full(fd, &n, sizeof n)) return 1;
            const int64_t t = now_ns();
            /* Expiries missed while late are counted by the kernel and late all. */
            for (uint64_t j = 0; j < n && k <= expiries; j++, k++)
                sh->b[k - 1] = t - (armed + k * TIMER_PERIOD);
        }
        return DONE;
    });
    int ro = reap(owner);
    int rk = reap(kernel);
    check(ro == DONE && rk == DONE, "the timer run failed");
}

/* intervals turns lateness against the grid into each period's error: how
 * much longer than the period each expiry came after the one before. */
std::vector<int64_t> intervals(const std::vector<int64_t> &late) {
    std::vector<int64_t> d;
    for (size_t k = 1; k < late.size(); k++) d.push_back(late[k] - late[k - 1]);
    return d;
}

void proxies_timers(const Config &cfg, const Server &daemon, std::vector<Line> &lines) {
    const std::string section = "proxies and timers (us: median / p99 [/ max])";
    progress("Trigger to Receive");
    const int per = std::max(1, cfg.triggers / cfg.rounds);
    const int warm = std::max(20, per / 10);
    std::vector<int64_t> v, a;
    for (int r = 0; r < cfg.rounds; r++) {
        if (r % 2 == 0) append(v, trigger_round(daemon.port, warm, per));
        append(a, pingpong_round(0, warm, per));
        if (r % 2 == 1) append(v, trigger_round(daemon.port, warm, per));
    }
    Line l{.section = section,
           .measure = "Trigger -> owner's Receive",
           .vorlen = figure_of(v),
           .base_name = "A 0 B",
           .base = figure_of(a)};
    l.ratio = l.vorlen.median / l.base.median;
    lines.push_back(l);

    progress("10 ms periodic timer, " + std::to_string(cfg.expiries) + " expiries");
    timer_run(daemon.port, cfg.expiries);
    std::vector<int64_t> tv(sh->a, sh->a + cfg.expiries), tk(sh->b, sh->b + cfg.expiries);
    const auto early = std::count_if(tv.begin(), tv.end(), [](int64_t x) { return x < 0; });
    /* The daemon keeps a periodic timer on the grid armed + k x period, so
     * a late expiry delays only itself: the first row shows how far each
     * expiry came from the one before, the second the lateness against the
     * grid. No expiry may come before its grid point. The drift is the last
     * expiry's lateness against the grid: what the delays of all the periods
     * before it have added up to. */
    Line t{.section = section,
           .measure =
               "10 ms timer lateness per period (" + std::to_string(cfg.expiries) + " expiries)",
           .form = Form::latency_max,
           .vorlen = figure_of(intervals(tv)),
           .base_name = "timerfd",
           .base = figure_of(intervals(tk))};
    t.target = "p99 <= 1000 us, none early";
    t.verdict = t.vorlen.p99 <= 1000 && early == 0 ? Verdict::pass : Verdict::miss;
    t.note = "early against armed + k x 10 ms: " + std::to_string(early);
    lines.push_back(t);
    lines.push_back({.section = section,
                     .measure = "  lateness against armed + k x 10 ms",
                     .form = Form::latency_max,
                     .vorlen = figure_of(tv),
                     .base_name = "timerfd",
                     .base = figure_of(tk)});
    Line drift{.section = section,
               .measure = "  drift after " + std::to_string(cfg.expiries) + " periods",
               .form = Form::latency,
               .vorlen = figure_of({tv.back()}),
               .base_name = "timerfd",
               .base = figure_of({tk.back()})};
    drift.target = "< 1000 us";
    drift.verdict = drift.vorlen.max < 1000 ? Verdict::pass : Verdict::miss;
    lines.push_back(drift);
}

/* ------------------------------------------------------------------------ */
/* Restart                                                                   */
/* ------------------------------------------------------------------------ */

/* raw_connect connects to the daemon's loopback port, trying again every
 * millisecond (the daemon is on its way) for up to 10 s; -1 when it never
 * answered. */
int raw_connect(int port) {
    const int64_t deadline = now_ns() + 10'000'000'000;
    while (now_ns() < deadline) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            nodelay(s);
            return s;
        }
        close(s);
        sleep_ns(1'000'000);
    }
    return -1;
}

/* raw_call sends the request of type typ with body (n bytes) from this
 * process and reads its status-only answer; -1 when the connection failed. */
int raw_call(int s, uint16_t typ, const void *body, size_t n) {
    QNX_MSG_HDR h{};
    h.ev.typ = typ;
    h.from_pid = getpid();
    h.msg_len = uint32_t(n);
    char req[sizeof h + 64];
    memcpy(req, &h, sizeof h);
    memcpy(req + sizeof h, body, n);
    if (!write_full(s, req, sizeof h + n) || !read_full(s, &h, sizeof h)) return -1;
    return h.ev.retcode;
}

/* name_query is a cheap round trip with a known answer: a name nobody has. */
int name_query(int s) {
    QNX_MSG_NAME_QUERY q{};
    strcpy(q.name, NO_NAME);
    return raw_call(s, MT_NAME_QUERY, &q, sizeof q);
}

/* restart_round times, from the moment it kills the daemon on port (whose
 * state is in workdir) with SIGKILL, or from the start of a cold one when
 * daemon is null, until each of n raw clients, each a process of its own,
 * has its first round trip answered by the new daemon: after an MT_RESTORE
 * answered 0 when restored, as a client's first call when cold. Returns
 * the time until the last of them, in ns. */
int64_t restart_round(Server *daemon, int port, int n, const std::string &workdir, bool restored) {
    int ready[2], go[2];
    make_pipe(ready);
    make_pipe(go);
    std::vector<pid_t> clients;
    for (int i = 0; i < n; i++) {
        clients.push_back(spawn([&, i] {
            close(ready[0]);
            close(go[1]);
            int s = restored ? raw_connect(port) : -1;
            char c = 0;
            if (restored && (s < 0 || name_query(s) != ESRCH)) return 1;
            if (!write_full(ready[1], &c, 1) || !read_full(go[0], &c, 1)) return 1;
            if (s >= 0) close(s);
            s = raw_connect(port);
            QNX_MSG_RESTORE r{VORLEN_RESTORE_VERSION, 0};
            if (s < 0 || (restored && raw_call(s, MT_RESTORE, &r, sizeof r) != 0) ||
                name_query(s) != ESRCH)
                return 1;
            sh->a[i] = now_ns();
            close(s);
            return DONE;
        }));
    }
    close(ready[1]);
    close(go[0]);
    char c;
    for (int i = 0; i < n; i++) check(read_full(ready[0], &c, 1), "a restart client failed");
    close(ready[0]);
    const int64_t t0 = now_ns();
    if (daemon) {
        kill(daemon->pid, SIGKILL);
        reap(daemon->pid);
    }
    std::string buf(size_t(n), 'g');
    check(write_full(go[1], buf.data(), buf.size()), "the restart clients are gone");
    close(go[1]);
    Server s = start_server("vorlen", {"-d"}, workdir, port);
    if (daemon) *daemon = s;
    bool ok = true;
    for (pid_t p : clients) ok = reap(p) == DONE && ok;
    check(ok, "a restart client failed");
    int64_t last = 0;
    for (int i = 0; i < n; i++) last = std::max(last, sh->a[i] - t0);
    if (!daemon) stop_server(s);
    return last;
}

void restart(const Config &cfg, const Server &daemon, const std::string &workdir,
             std::vector<Line> &lines) {
    const std::string section = "restart (ms: max / p99 of the rounds)";
    progress("restart: " + std::to_string(cfg.restart_clients) + " restored clients");
    std::vector<int64_t> cold, warm;
    for (int r = 0; r < cfg.restart_rounds; r++) {
        /* A cold start on a port of its own, without state, each round. */
        const std::string dir = make_workdir();
        Server was = start_server("vorlen", {"-d", "--no-state"}, dir);
        const int port = was.port; /* free again once it has stopped */
        stop_server(was);
        cold.push_back(restart_round(nullptr, port, cfg.restart_clients, dir, false));
        remove_workdir(dir);
        Server d = start_server("vorlen", {"-d"}, workdir);
        warm.push_back(restart_round(&d, d.port, cfg.restart_clients, workdir, true));
        stop_server(d);
    }
    Line l{.section = section,
           .measure = "SIGKILL to every restored client served",
           .form = Form::millis,
           .vorlen = figure_of(warm),
           .base_name = "cold",
           .base = figure_of(cold)};
    l.ratio = l.vorlen.max / l.base.max;
    l.target = "<= 2.0 x cold";
    l.verdict = l.ratio <= 2.0 ? Verdict::pass : Verdict::miss;
    l.note = "(cold: a fresh daemon to every fresh client's first call; restart delay 0)";
    lines.push_back(l);

    progress("Trigger and the round trip with the state file on and off");
    Server off = start_server("vorlen", {"-d", "--no-state"}, workdir);
    const int per = std::max(1, cfg.triggers / cfg.rounds);
    const int w = std::max(20, per / 10);
    std::vector<int64_t> on_t, off_t, on_rt, off_rt;
    for (int r = 0; r < cfg.rounds; r++) {
        append(r % 2 ? off_t : on_t, trigger_round(r % 2 ? off.port : daemon.port, w, per));
        append(r % 2 ? on_t : off_t, trigger_round(r % 2 ? daemon.port : off.port, w, per));
        append(r % 2 ? off_rt : on_rt, rt_round(r % 2 ? off.port : daemon.port, 64, w, per));
        append(r % 2 ? on_rt : off_rt, rt_round(r % 2 ? daemon.port : off.port, 64, w, per));
    }
    /* A timer writes its next deadline at each expiry: its lateness, on and off. */
    const int n = std::max(20, cfg.expiries / 2);
    timer_run(daemon.port, n);
    std::vector<int64_t> late_on(sh->a, sh->a + n);
    timer_run(off.port, n);
    std::vector<int64_t> late_off(sh->a, sh->a + n);
    stop_server(off);
    Line lt{.section = section,
            .measure = "10 ms timer lateness per period, state on (us)",
            .form = Form::latency_max,
            .vorlen = figure_of(intervals(late_on)),
            .base_name = "state off",
            .base = figure_of(intervals(late_off))};
    lines.push_back(lt);
    /* A trigger writes its proxy's pending count; the message path never
     * writes the file, so its round trip is the same on and off. */
    struct {
        const char *measure;
        const std::vector<int64_t> &on, &off;
    } rows[] = {{"Trigger -> Receive, state on (us)", on_t, off_t},
                {"64 B round trip, state on (us)", on_rt, off_rt}};
    for (const auto &row : rows) {
        Line t{.section = section,
               .measure = row.measure,
               .vorlen = figure_of(row.on),
               .base_name = "state off",
               .base = figure_of(row.off)};
        t.ratio = t.vorlen.median / t.base.median;
        t.target = "<= 1.10 x off";
        t.verdict = t.ratio <= 1.10 ? Verdict::pass : Verdict::miss;
        lines.push_back(t);
    }
}

/* ------------------------------------------------------------------------ */
/* Scale                                                                     */
/* ------------------------------------------------------------------------ */

/* idle_clients starts n processes that each connect to port, make one call
 * and then stay connected and idle until they are killed. Returns their
 * pids; throws (after killing them) when one did not get its answer. */
std::vector<pid_t> idle_clients(int port, int n) {
    int rp[2];
    make_pipe(rp);
    std::vector<pid_t> pids;
    for (int i = 0; i < n; i++)
        pids.push_back(spawn([&] {
            close(rp[0]);
            use_port(port);
            char ok = qnx_name_locate(0, NO_NAME, 0, nullptr) == -1 && errno == ESRCH;
            if (write(rp[1], &ok, 1) != 1) return 1;
            close(rp[1]);
            for (;;) pause();
        }));
    close(rp[1]);
    /* Each child closes its end once it has written, or by ending: the end of
     * the stream means every one has spoken. */
    int good = 0;
    char ok;
    while (read_full(rp[0], &ok, 1)) good += ok;
    close(rp[0]);
    if (good < n)
        for (pid_t p : pids) kill_reap(p);
    check(good == n, std::to_string(n - good) + " idle clients could not connect");
    return pids;
}

/* prefault does, before the start, the work of a fresh child that has
 * nothing to do with the server: the copy-on-write faults of its first
 * writes after fork and the resolver's first use cost a millisecond or more
 * per process on a virtual machine, which would drown the connection storm's
 * real subject, the server's accepting and answering. */
void prefault() {
    volatile char stack[64 * 1024];
    for (size_t i = 0; i < sizeof stack; i += 4096) stack[i] = 0;
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo("127.0.0.1", nullptr, &hints, &res) == 0) freeaddrinfo(res);
    close(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

/* storm_round lets n fresh processes connect to port at the same moment and
 * make one call each. Returns each one's time from the release to its answer
 * in ns, and adds to woke each one's time until it ran at all; throws when
 * one fails. */
std::vector<int64_t> storm_round(int port, int n, std::vector<int64_t> &woke) {
    int ready[2], barrier[2];
    make_pipe(ready);
    make_pipe(barrier);
    std::vector<pid_t> pids;
    for (int i = 0; i < n; i++)
        pids.push_back(spawn([&, i] {
            close(ready[0]);
            close(barrier[1]);
            use_port(port);
            prefault();
            char c = 1;
            if (write(ready[1], &c, 1) != 1) return 1;
            close(ready[1]);
            /* End of stream, for all of them at once, when the benchmark closes its end. */
            if (read(barrier[0], &c, 1) != 0) return 1;
            sh->b[i] = now_ns() - sh->t0;
            bool none = qnx_name_locate(0, NO_NAME, 0, nullptr) == -1 && errno == ESRCH;
            sh->a[i] = now_ns() - sh->t0;
            return none ? DONE : 1;
        }));
    close(ready[1]);
    close(barrier[0]);
    char c;
    while (read_full(ready[0], &c, 1)) {
    }
    close(ready[0]);
    sh->t0 = now_ns();
    close(barrier[1]);
    bool ok = true;
    for (pid_t p : pids) ok = reap(p) == DONE && ok;
    check(ok, "a client of the connection storm failed on port " + std::to_string(port));
    woke.insert(woke.end(), sh->b, sh->b + n);
    return {sh->a, sh->a + n};
}

void scale(const Config &cfg, const Server &daemon, const Server &relay, const std::string &workdir,
           std::vector<Line> &lines) {
    const std::string section = "scale";
    const std::string idle = std::to_string(cfg.idle_clients);
    progress("64 B round trips with " + idle + " idle clients");
    /* A second daemon holds the idle clients, so that rounds with and without
     * them can alternate without connecting and removing them each time. */
    Server crowded = start_server("vorlen", {"-d"}, workdir);
    std::vector<pid_t> idlers = idle_clients(crowded.port, cfg.idle_clients);
    const int per = std::max(1, cfg.idle_trips / cfg.rounds);
    const int warm = std::max(20, per / 10);
    std::vector<int64_t> with, without;
    try {
        for (int r = 0; r < cfg.rounds; r++) {
            if (r % 2 == 0) append(with, rt_round(crowded.port, 64, warm, per));
            append(without, rt_round(daemon.port, 64, warm, per));
            if (r % 2 == 1) append(with, rt_round(crowded.port, 64, warm, per));
        }
    } catch (...) {
        for (pid_t p : idlers) kill_reap(p);
        throw;
    }
    for (pid_t p : idlers) kill_reap(p);
    stop_server(crowded);
    Line l{.section = section,
           .measure = "64 B round trip, " + idle + " idle clients (us)",
           .vorlen = figure_of(with),
           .base_name = "none",
           .base = figure_of(without)};
    l.ratio = l.vorlen.median / l.base.median;
    l.target = "< 1.10 x none";
    l.verdict = l.ratio < 1.10 ? Verdict::pass : Verdict::miss;
    lines.push_back(l);

    const std::string storm = std::to_string(cfg.storm_clients);
    progress(storm + " clients connecting at once");
    std::vector<int64_t> v, b, woke, bwoke;
    for (int r = 0; r < cfg.storm_rounds; r++) {
        if (r % 2 == 0) append(v, storm_round(daemon.port, cfg.storm_clients, woke));
        append(b, storm_round(relay.port, cfg.storm_clients, bwoke));
        if (r % 2 == 1) append(v, storm_round(daemon.port, cfg.storm_clients, woke));
    }
    Line s{.section = section,
           .measure = storm + " connect at once, to answer (ms: max / p99)",
           .form = Form::millis,
           .vorlen = figure_of(v),
           .base_name = "B",
           .base = figure_of(b)};
    s.ratio = s.vorlen.max / s.base.max;
    s.target = "max <= 100 ms";
    s.verdict = s.vorlen.max <= 100'000 ? Verdict::pass : Verdict::miss;
    /* How long the machine took merely to run every client once: what of
     * the time was the scheduler's rather than the server's. */
    char note[96];
    snprintf(note, sizeof note, "(clients ran after up to %.1f ms, B's %.1f ms)",
             figure_of(woke).max / 1000, figure_of(bwoke).max / 1000);
    s.note = note;
    lines.push_back(s);
}

/* ------------------------------------------------------------------------ */
/* The run                                                                   */
/* ------------------------------------------------------------------------ */

std::vector<std::string> about_machine(const Config &cfg) {
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    double load[3] = {};
    getloadavg(load, 3);
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    char buf[512];
    snprintf(buf, sizeof buf, "%ld CPUs (%s), Linux %s; load average at start %.2f %.2f %.2f", cpus,
             cpu.c_str(), u.release, load[0], load[1], load[2]);
    std::vector<std::string> about{buf};
    if (load[0] > 0.5 * double(cpus))
        about.push_back("WARNING: the machine is busy; every figure carries that noise");
    about.push_back(
        "A: direct TCP ping-pong between two processes (TCP_NODELAY), the machine's floor");
    about.push_back("B: bench_relay, one thread doing the protocol's six transfers per round trip "
                    "and nothing else, the floor for any daemon of this protocol");
    about.push_back("A-unix, B-unix: the same over a Unix-domain stream socket; rows without "
                    "Unix in their name are TCP");
    about.push_back("Trigger is set against A at 0 B (two transfers, like a trigger's path); "
                    "a timer's lateness per period is counted from the expiry before it, its "
                    "drift against the grid armed + k x 10 ms");
    about.push_back("vorlen and B run the same vorlenlib clients; rounds of each alternate (" +
                    std::to_string(cfg.rounds) + " per latency figure)" +
                    (cfg.quick ? "; QUICK MODE: too few samples to mean anything" : ""));
    return about;
}

/* match_priority gives the relay the daemon's scheduling priority (the daemon
 * may raise its own), so that the scheduler favours neither. */
void match_priority(const Server &relay, const Server &daemon) {
    errno = 0;
    int prio = getpriority(PRIO_PROCESS, id_t(daemon.pid));
    if (errno == 0 && setpriority(PRIO_PROCESS, id_t(relay.pid), prio) != 0)
        progress("warning: the relay cannot run at the daemon's priority " + std::to_string(prio));
}

/* raise_fd_limit lets the benchmark, and the daemons it starts, hold as many
 * connections as the hard limit allows. */
void raise_fd_limit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

[[noreturn]] void usage(int status) {
    fprintf(status ? stderr : stdout,
            "usage: bench [--quick] [--json] [--only SECTION,...]\n"
            "  measures vorlen against baselines measured in the same run and prints one table\n"
            "  --quick  tiny runs that only show that everything works (seconds)\n"
            "  --json   print the results as JSON instead of the table\n"
            "  --only   run only these sections: rt, tp, setup, proxy, scale, restart, node\n");
    exit(status);
}

Config parse(int argc, char **argv) {
    Config cfg;
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--quick") {
            cfg.quick = true;
            cfg.rounds = 2;
            cfg.rt_small = 200;
            cfg.rt_large = 40;
            cfg.tp_rounds = 1;
            cfg.tp_seconds = 0.05;
            cfg.tp_warm = 0.02;
            cfg.triggers = 100;
            cfg.expiries = 20;
            cfg.idle_clients = 20;
            cfg.idle_trips = 200;
            cfg.storm_clients = 20;
            cfg.storm_rounds = 1;
            cfg.setups = 40;
            cfg.restart_clients = 10;
            cfg.restart_rounds = 1;
        } else if (a == "--json") {
            cfg.json = true;
        } else if (a == "--only" && i + 1 < argc) {
            std::string_view list = argv[++i];
            for (size_t p = 0; p <= list.size();) {
                size_t q = std::min(list.find(',', p), list.size());
                std::string s(list.substr(p, q - p));
                if (s != "rt" && s != "tp" && s != "setup" && s != "proxy" && s != "scale" &&
                    s != "restart" && s != "node")
                    usage(2);
                cfg.only.push_back(s);
                p = q + 1;
            }
        } else if (a == "--help" || a == "-h") {
            usage(0);
        } else {
            usage(2);
        }
    }
    return cfg;
}

} // namespace

int main(int argc, char **argv) {
    const Config cfg = parse(argc, argv);
    cleanup_on_exit();
    signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();
    const std::vector<std::string> about = about_machine(cfg);
    std::string workdir;
    try {
        sh = new (shared_alloc(sizeof(Shared))) Shared();
        workdir = make_workdir();
        Server daemon = start_server("vorlen", {"-d"}, workdir);
        Server relay = start_server("bench_relay", {}, workdir);
        match_priority(relay, daemon);
        std::vector<Line> lines;
        if (cfg.wants("rt")) round_trips(cfg, daemon, relay, lines);
        if (cfg.wants("tp")) throughput(cfg, daemon, relay, lines);
        if (cfg.wants("setup")) setup(cfg, daemon, lines);
        if (cfg.wants("proxy")) proxies_timers(cfg, daemon, lines);
        if (cfg.wants("scale")) scale(cfg, daemon, relay, workdir, lines);
        if (cfg.wants("restart")) restart(cfg, daemon, workdir, lines);
        if (cfg.wants("node")) node_links(cfg.quick, lines);
        stop_server(relay);
        stop_server(daemon);
        remove_workdir(workdir);
        if (cfg.json)
            print_json(about, lines);
        else
            print_table("vorlen benchmark: vorlen against this machine's baselines", about, lines);
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "bench: %s\n", e.what());
        if (!workdir.empty())
            fprintf(stderr, "bench: the daemons' logs are in %s\n", workdir.c_str());
        return 1;
    }
}
