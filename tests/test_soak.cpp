/* test_soak.cpp - fault injection: clients, servers and raw writers under random SIGKILL and
 * SIGSTOP */
#include "vorlen_test.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

constexpr int SERVERS = 4;
constexpr int CLIENTS = 12;
constexpr int MAX_RAW = 4;                 /* raw writers alive at once */
constexpr size_t MAX_MSG = 8192;           /* a message, head included */
constexpr double SERVER_GRACE = 3.0;       /* servers outlive the clients' end by this */
constexpr uint32_t MAGIC_MSG = 0x4b414f53; /* "SOAK" */
constexpr uint32_t MAGIC_RPL = 0x594c5052; /* "RPLY" */

enum Role : int32_t { SERVER, CLIENT, RAW };

/* Every message and reply starts with this head; the bytes after it are a
 * pattern of the client, the sequence number and the position. */
struct Head {
    uint32_t magic;
    int32_t who; /* the client's pid in a message, the server's proxy in a reply */
    uint32_t seq;
    uint32_t len; /* bytes after the head */
};

uint8_t msg_byte(pid_t client, uint32_t seq, size_t i) {
    return uint8_t(uint32_t(client) * 13 + seq * 31 + i * 7);
}
uint8_t rpl_byte(pid_t client, uint32_t seq, size_t i) {
    return uint8_t(~msg_byte(client, seq, i));
}

/* What a surviving child reports through the pipe when it ends: one write of
 * less than PIPE_BUF bytes, so reports never interleave. */
struct Report {
    int32_t pid;
    int32_t role;
    uint32_t ok;      /* replies checked (clients), messages answered (servers) */
    uint32_t esrch;   /* Sends to a partner that went away */
    uint32_t eintr;   /* Sends broken off by the client's own signal timer */
    uint32_t proxies; /* triggers sent (clients), proxy messages received (servers) */
    uint32_t bad;     /* anything else: a wrong reply, an unexpected error */
};

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string server_name(int i) {
    return "soak/server" + std::to_string(i);
}

void report(int fd, const Report &r) {
    if (write(fd, &r, sizeof r) != ssize_t(sizeof r)) perror("report");
}

/* In a child: count and tell a failed expectation. */
#define EXPECT_CHILD(r, cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "pid %d: %s:%d: %s (errno %d)\n", getpid(), __FILE__, __LINE__, #cond, \
                    errno);                                                                        \
            (r).bad++;                                                                             \
        }                                                                                          \
    } while (0)

/* server_main registers a name, a proxy and a periodic timer that triggers
 * the proxy, then answers every message with its transformed pattern until
 * the end; the ticks of its timer let it see the end while no client sends. */
int server_main(int idx, int report_fd, double end) {
    Report r{getpid(), SERVER, 0, 0, 0, 0, 0};
    EXPECT_CHILD(r, qnx_name_attach(0, server_name(idx).c_str()) > 0);
    pid_t proxy = qnx_proxy_attach(0, "tick", 4, 0);
    EXPECT_CHILD(r, proxy < -1);
    struct itimercb cb = {};
    cb.itcb_event.evt_value = proxy;
    qnx_timer_t t = mktimer(CLOCK_REALTIME, NOTIFY_PROXY, &cb);
    EXPECT_CHILD(r, t > 0);
    struct itimerspec period = {};
    period.it_interval.tv_nsec = (20 + 10 * idx) * 1000000L;
    period.it_value = period.it_interval;
    EXPECT_CHILD(r, reltimer(t, &period, nullptr) == 0);

    std::vector<uint8_t> in(MAX_MSG), out(MAX_MSG);
    while (now() < end + SERVER_GRACE) {
        pid_t from = Receive(0, in.data(), unsigned(in.size()));
        if (from == proxy) {
            r.proxies++;
            continue;
        }
        EXPECT_CHILD(r, from > 0);
        if (from <= 0) continue;
        Head h;
        memcpy(&h, in.data(), sizeof h);
        bool good = h.magic == MAGIC_MSG && h.who == from && h.len <= MAX_MSG - sizeof h;
        for (size_t i = 0; good && i < h.len; i++)
            good = in[sizeof h + i] == msg_byte(from, h.seq, i);
        EXPECT_CHILD(r, good);
        Head a = {MAGIC_RPL, proxy, h.seq, good ? h.len : 0};
        memcpy(out.data(), &a, sizeof a);
        for (size_t i = 0; i < a.len; i++) out[sizeof a + i] = rpl_byte(from, h.seq, i);
        /* A sender gone or broken off in the meantime is no failure. */
        int rc = Reply(from, out.data(), unsigned(sizeof a + a.len));
        EXPECT_CHILD(r, rc == 0 || rc == ESRCH);
        r.ok += rc == 0;
    }
    report(report_fd, r);
    return r.bad != 0;
}

void on_signal(int) {}

/* client_main sends messages of random size to random servers and checks
 * every reply, triggers their proxies now and then, and, with a signal
 * timer, has its own Sends broken off. It ends at the end. */
int client_main(int idx, int report_fd, double end, uint32_t seed) {
    Report r{getpid(), CLIENT, 0, 0, 0, 0, 0};
    std::mt19937 rng(seed);
    const bool signalled = idx % 3 == 0;
    if (signalled) {
        struct sigaction sa = {};
        sa.sa_handler = on_signal; /* no SA_RESTART: the Send is to be broken off */
        sigaction(SIGUSR1, &sa, nullptr);
        struct itimercb cb = {};
        cb.itcb_event.evt_value = SIGUSR1;
        qnx_timer_t t = mktimer(CLOCK_REALTIME, NOTIFY_SIGNAL, &cb);
        EXPECT_CHILD(r, t > 0);
        struct itimerspec period = {};
        period.it_interval.tv_nsec = (15 + rng() % 30) * 1000000L;
        period.it_value = period.it_interval;
        EXPECT_CHILD(r, reltimer(t, &period, nullptr) == 0);
    }
    pid_t proxies[SERVERS] = {};
    std::vector<uint8_t> msg(MAX_MSG), rpl(MAX_MSG);
    const pid_t me = getpid();
    for (uint32_t seq = 1; now() < end; seq++) {
        int s = int(rng() % SERVERS);
        pid_t server = qnx_name_locate(0, server_name(s).c_str(), 0, nullptr);
        if (server == -1) {
            EXPECT_CHILD(r, errno == ESRCH); /* being restarted */
            continue;
        }
        Head h = {MAGIC_MSG, me, seq, uint32_t(rng() % (MAX_MSG - sizeof(Head) + 1))};
        memcpy(msg.data(), &h, sizeof h);
        for (size_t i = 0; i < h.len; i++) msg[sizeof h + i] = msg_byte(me, seq, i);
        memset(rpl.data(), 0, rpl.size());
        if (Send(server, msg.data(), rpl.data(), unsigned(sizeof h + h.len),
                 unsigned(rpl.size())) == 0) {
            Head a;
            memcpy(&a, rpl.data(), sizeof a);
            bool good = a.magic == MAGIC_RPL && a.seq == seq && a.len == h.len;
            for (size_t i = 0; good && i < a.len; i++)
                good = rpl[sizeof a + i] == rpl_byte(me, seq, i);
            EXPECT_CHILD(r, good);
            r.ok += good;
            if (good) proxies[s] = a.who;
        } else if (errno == ESRCH) {
            r.esrch++;
        } else {
            EXPECT_CHILD(r, signalled && errno == EINTR);
            r.eintr++;
        }
        if (proxies[s] != 0 && rng() % 4 == 0) {
            /* The proxy may have gone with its server. */
            EXPECT_CHILD(r, Trigger(proxies[s]) != -1 || errno == ESRCH);
            r.proxies++;
        }
    }
    report(report_fd, r);
    return r.bad != 0;
}

/* raw_main writes requests by hand and is killed at a random moment: before
 * connecting, halfway through its first request, after binding halfway
 * through a Send, or waiting for the reply to a whole one. */
int raw_main(int port, uint32_t seed) {
    std::mt19937 rng(seed);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return 0;
    auto put = [s](const std::vector<uint8_t> &b, size_t n) {
        return send(s, b.data(), std::min(n, b.size()), MSG_NOSIGNAL) >= 0;
    };
    const pid_t me = getpid();
    int mode = int(rng() % 3);
    pid_t server = 0;
    if (mode > 0) {
        QNX_MSG_NAME_QUERY q{};
        std::string n = server_name(int(rng() % SERVERS));
        memcpy(q.name, n.c_str(), n.size() + 1);
        auto rq = vt::req(MT_NAME_QUERY, me, q);
        QNX_MSG_HDR h{};
        if (!put(rq, rq.size()) || recv(s, &h, sizeof h, MSG_WAITALL) != ssize_t(sizeof h))
            return 0;
        server = h.ev.retcode == 0 ? h.from_pid : 0;
    }
    Head h = {MAGIC_MSG, me, 1, uint32_t(rng() % (MAX_MSG - sizeof(Head) + 1))};
    std::string body(sizeof h + h.len, '\0');
    memcpy(body.data(), &h, sizeof h);
    for (size_t i = 0; i < h.len; i++) body[sizeof h + i] = char(msg_byte(me, 1, i));
    auto rq = vt::send_req(MT_SEND, me, server, {body});
    put(rq, mode == 2 && server != 0 ? rq.size() : rng() % rq.size());
    for (;;) pause();
}

struct Child {
    pid_t pid;
    Role role;
    int idx;
    double cont_at = 0; /* stopped until then; 0 while running */
    double kill_at = 0; /* raw writers: killed then */
};

} // namespace

/* Dozens of processes do Send/Receive/Reply, proxies and timers while a driver
 * kills and stops them at random; afterwards the daemon must be alive and
 * hold nothing of the dead, no survivor may have waited on a dead partner, and
 * the daemon must stop cleanly (under the sanitizers: without a leak). */
TEST(Soak, KillsAndStopsAtRandom) {
    const char *env_seed = getenv("VORLEN_SOAK_SEED");
    const char *env_secs = getenv("VORLEN_SOAK_SECONDS");
    const uint32_t seed =
        env_seed ? uint32_t(strtoul(env_seed, nullptr, 0)) : std::random_device{}();
    const double seconds = env_secs ? atof(env_secs) : 45.0;
    printf("soak: seed %u (VORLEN_SOAK_SEED), %.0f s (VORLEN_SOAK_SECONDS)\n", seed, seconds);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 rng(seed);

    vt::Daemon d;
    const int port = d.port();
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    const double end = now() + seconds;

    std::vector<Child> kids;
    auto start = [&](Role role, int idx) {
        uint32_t child_seed = uint32_t(rng());
        pid_t pid = vt::spawn([&, role, idx, child_seed] {
            close(pfd[0]);
            switch (role) {
            case SERVER:
                return server_main(idx, pfd[1], end);
            case CLIENT:
                return client_main(idx, pfd[1], end, child_seed);
            default:
                return raw_main(port, child_seed);
            }
        });
        ASSERT_GT(pid, 0);
        Child c{pid, role, idx};
        if (role == RAW) c.kill_at = now() + (rng() % 40) / 1000.0;
        kids.push_back(c);
    };
    for (int i = 0; i < SERVERS; i++) start(SERVER, i);
    for (int i = 0; i < CLIENTS; i++) start(CLIENT, i);

    int kills = 0, stops = 0, raws = 0;
    auto kill_child = [&](size_t k) {
        Child c = kids[k];
        kids.erase(kids.begin() + long(k));
        if (c.pid > 0) { /* never a group */
            kill(c.pid, SIGKILL);
            waitpid(c.pid, nullptr, 0);
        }
        return c;
    };
    /* Faults stop a little before the end, so that no child is killed
     * while it reports. */
    const double faults_end = end - 0.5;
    for (;;) {
        /* The pace of the faults, not a wait for any state. */
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + rng() % 20));
        double t = now();
        if (t >= faults_end) break;
        for (size_t k = 0; k < kids.size();) {
            Child &c = kids[k];
            if (c.cont_at != 0 && t >= c.cont_at) {
                kill(c.pid, SIGCONT);
                c.cont_at = 0;
            }
            if (c.role == RAW && t >= c.kill_at) {
                kill_child(k);
                continue;
            }
            int st;
            /* Only raw writers end before the end, and only when their
             * connection is refused. */
            if (waitpid(c.pid, &st, WNOHANG) == c.pid) {
                EXPECT_EQ(c.role, RAW) << "pid " << c.pid << " ended early, status " << st;
                kids.erase(kids.begin() + long(k));
                continue;
            }
            k++;
        }
        unsigned action = rng() % 100;
        size_t victim = rng() % kids.size();
        if (action < 10 && kids[victim].role != RAW) {
            Child c = kill_child(victim);
            start(c.role, c.idx);
            kills++;
        } else if (action < 25 && kids[victim].cont_at == 0) {
            kill(kids[victim].pid, SIGSTOP);
            kids[victim].cont_at = t + (10 + rng() % 150) / 1000.0;
            stops++;
        } else if (action < 45 && std::count_if(kids.begin(), kids.end(),
                                                [](auto &c) { return c.role == RAW; }) < MAX_RAW) {
            start(RAW, 0);
            raws++;
        }
    }

    /* The end: everyone runs again, raw writers go, survivors finish. */
    for (size_t k = 0; k < kids.size();) {
        if (kids[k].cont_at != 0) kill(kids[k].pid, SIGCONT);
        if (kids[k].role == RAW)
            kill_child(k);
        else
            k++;
    }
    for (const Child &c : kids)
        EXPECT_EQ(vt::wait_exit(c.pid, int((SERVER_GRACE + 20) * 1000)), 0)
            << (c.role == SERVER ? "server " : "client ") << c.pid;
    close(pfd[1]);

    Report sum{0, 0, 0, 0, 0, 0, 0};
    int reports = 0;
    Report r;
    while (read(pfd[0], &r, sizeof r) == ssize_t(sizeof r)) {
        reports++;
        EXPECT_EQ(r.bad, 0u) << "pid " << r.pid;
        if (r.role == CLIENT) {
            sum.ok += r.ok;
            sum.esrch += r.esrch;
            sum.eintr += r.eintr;
            sum.proxies += r.proxies;
        }
    }
    close(pfd[0]);
    printf("soak: %d kills, %d stops, %d raw writers; survivors: %u replies, %u ESRCH, %u EINTR, "
           "%u triggers\n",
           kills, stops, raws, sum.ok, sum.esrch, sum.eintr, sum.proxies);
    EXPECT_EQ(reports, SERVERS + CLIENTS);
    EXPECT_GT(sum.ok, 100u);
    EXPECT_GT(kills, 0);

    /* Everyone is gone: the daemon lives and keeps nothing of them. */
    ASSERT_TRUE(d.alive());
    EXPECT_TRUE(vt::wait_until(
        [&] {
            return vt::list_processes(port).empty() && vt::list_names(port).empty() &&
                   vt::list_proxies(port).empty() && vt::list_timers(port).empty();
        },
        10000));
    for (auto &p : vt::list_processes(port))
        ADD_FAILURE() << "still listed: pid " << p.pid << " (" << p.pname << "), state "
                      << p.block_state << " on " << p.block_pid << ", sent " << p.send_msg
                      << ", received " << p.rcv_msg;
}
