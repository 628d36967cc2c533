/* bench.h - the benchmark's shared pieces: clock, helper processes, statistics, report */
#ifndef VORLEN_BENCH_H
#define VORLEN_BENCH_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "vorlen_nid.h"

namespace bench {

/* now_ns reads CLOCK_MONOTONIC in nanoseconds. The clock is one for the whole
 * machine, so times taken in different processes compare. */
int64_t now_ns();

/* spin_ns busy-waits for ns nanoseconds, keeping the CPU awake. */
void spin_ns(int64_t ns);

/* sleep_ns sleeps for ns nanoseconds. */
void sleep_ns(int64_t ns);

/* ------------------------------------------------------------------------ */
/* Helper processes (procs.cpp)                                              */
/* ------------------------------------------------------------------------ */

/* Server is a program the benchmark runs on a loopback port of its own: the
 * daemon or the relay. */
struct Server {
    pid_t pid = -1;
    int port = 0;
};

/* start_server runs program (a file in the benchmark's own directory) with
 * "-p PORT" and args on a free port (or port, once), in workdir, and waits until one request
 * through vorlenlib is answered. Throws std::runtime_error when it does not
 * come up. */
Server start_server(const std::string &program, const std::vector<std::string> &args,
                    const std::string &workdir, int port = 0);

/* stop_server ends the server and reaps it; it cannot fail. */
void stop_server(Server &s);

/* DONE is the exit status of a child that did its work. vorlenlib ends a
 * process that cannot reach the daemon with status 0, so 0 cannot mean
 * success here. */
constexpr int DONE = 10;

/* spawn runs fn in a forked child that exits with fn's result (3 when fn
 * throws); the benchmark kills the child when it ends early. Throws
 * std::runtime_error when fork fails. */
pid_t spawn(const std::function<int()> &fn);

/* reap waits for a child of spawn; returns its exit status, or -1 when a
 * signal ended it. */
int reap(pid_t pid);

/* reap_within reaps a child of spawn that ends within within_ns, checking
 * every millisecond; returns its status as reap does, or -2 (the child still
 * runs, unreaped) when it did not end in time. */
int reap_within(pid_t pid, int64_t within_ns);

/* kill_reap kills a child of spawn and reaps it. */
void kill_reap(pid_t pid);

/* cleanup_on_exit makes sure that every helper process still running is
 * killed when the benchmark ends, normally or by SIGINT, SIGTERM or SIGHUP. */
void cleanup_on_exit();

/* use_port points vorlenlib in this (child) process at a server's port, over
 * transport ("tcp" or "unix"). */
void use_port(int port, const char *transport = "tcp");

/* is_vid tells whether id lies in the wire's range of virtual ids. */
bool is_vid(pid_t id);

/* shared_alloc maps n bytes of zeroed memory that forked children share with
 * the benchmark. Throws std::runtime_error when mmap fails. */
void *shared_alloc(size_t n);

/* program_dir is the directory of the running benchmark, where the daemon
 * and the relay are built too. */
std::string program_dir();

/* make_workdir creates a fresh temporary directory for the daemons' logs. */
std::string make_workdir();

/* remove_workdir deletes the files directly inside dir, then dir. */
void remove_workdir(const std::string &dir);

/* ------------------------------------------------------------------------ */
/* Statistics and the report (report.cpp)                                    */
/* ------------------------------------------------------------------------ */

/* Figure sums up the samples of one quantity: times in microseconds, or a
 * rate. */
struct Figure {
    double median = 0, p99 = 0, max = 0, min = 0;
    size_t n = 0;
};

/* figure_of computes a Figure from samples in nanoseconds (reported in µs). */
Figure figure_of(std::vector<int64_t> ns);

/* rate_of computes a Figure from rates, one per round. */
Figure rate_of(std::vector<double> rates);

/* millis: max / p99 in ms; range_ms: min / max in ms. */
enum class Form { latency, latency_max, rate, millis, range_ms };
enum class Verdict { none, pass, miss };

/* Line is one row of the report: the system under test against a baseline
 * measured in the same run. */
struct Line {
    std::string section{};
    std::string measure{};
    Form form = Form::latency;
    bool has_vorlen = true;
    Figure vorlen{};
    std::string base_name{}; /* empty: no baseline on this row */
    Figure base{};
    double ratio = 0; /* 0: none shown */
    std::string target{};
    Verdict verdict = Verdict::none;
    std::string note{};
    /* Throughput rows: CPU time of the daemon and of the relay per round trip, in µs. */
    double cpu_vorlen = 0, cpu_base = 0;
};

/* print_table writes the report as an aligned plain-text table. */
void print_table(const std::string &title, const std::vector<std::string> &about,
                 const std::vector<Line> &lines);

/* print_json writes the report as one JSON object. */
void print_json(const std::vector<std::string> &about, const std::vector<Line> &lines);

/* node_links measures the node links (node.cpp): TLS 1.3 round trips and
 * set-up between two network namespaces beside plain TCP, a daemon's link
 * set-up, an idle linked daemon's CPU beside one without a net map, and
 * across the link between two daemons: round trips through a VID beside TLS
 * ping-pongs and the local round trip, circuit set-up, a global name
 * lookup, a Trigger through a virtual proxy beside a local one, 16 pairs
 * beside 16 TLS connections, and link cuts to ESRCH. A measure across the
 * link that cannot be taken gets a row that says why. Without root it says
 * so and adds no line. Throws std::runtime_error when the namespaces or
 * certificates cannot be made or a baseline fails. */
void node_links(bool quick, std::vector<Line> &lines);

/* ------------------------------------------------------------------------ */
/* Across nodes (circuits.cpp)                                               */
/* ------------------------------------------------------------------------ */

constexpr int NODE_MAX_SAMPLES = 1 << 14;
constexpr int NODE_MAX_FLOWS = 16;

/* NodeShared is the memory the node section shares with its children: a
 * child's samples in ns, why it failed, the counters of the throughput
 * clients, and the proxy id one side of a trigger ping-pong gives the other
 * (0 until it has one). */
struct NodeShared {
    int n;
    int64_t ns[NODE_MAX_SAMPLES];
    char why[256];
    std::atomic<int> stop, ready, id;
    std::atomic<uint64_t> done[NODE_MAX_FLOWS];
};

/* The bodies of the node section's children, each run in its node's network
 * namespace against its daemon, through the library's QNX 4 face. Each
 * returns DONE, or something else with the reason in sh->why. */

/* vc_server registers name, writes a byte to ready_fd, and answers every
 * message with size bytes (its own) until a call fails. */
int vc_server(NodeShared *sh, const std::string &name, uint32_t size, int ready_fd);

/* vc_holder registers name and writes a byte to ready_fd, then holds every
 * message whose first byte is not 0, unanswered, writing a byte to ready_fd
 * for each; one whose first byte is 0 (a probe) is answered at once. */
int vc_holder(NodeShared *sh, const std::string &name, int ready_fd);

/* vc_trips locates name on node nid (qnx_name_locate: a VID for another
 * node) and times count round trips of size bytes each way after warm
 * untimed ones, whose replies it checks, into sh->ns; then detaches. */
int vc_trips(NodeShared *sh, nid_t nid, const std::string &name, uint32_t size, int warm,
             int count);

/* vc_setups times count rounds of qnx_vc_name_attach(nid, 64, name), one
 * 64 B Send through the circuit and qnx_vc_detach. */
int vc_setups(NodeShared *sh, nid_t nid, const std::string &name, int count);

/* vc_lookups waits (5 s at most) until the global name is known here, then
 * times count rounds of qnx_name_locate(0, name, ...) and qnx_vc_detach,
 * each of which must give a VID with copies 1. */
int vc_lookups(NodeShared *sh, const std::string &name, int count);

/* vc_flow locates name on node nid, counts itself in sh->ready, and sends
 * 64 B messages until sh->stop, counting them in sh->done[i]. */
int vc_flow(NodeShared *sh, nid_t nid, const std::string &name, int i);

/* px_pinger and px_ponger are the two sides of a trigger ping-pong. Each
 * attaches a proxy, gives its id for node nid (qnx_proxy_rem_attach; nid 0:
 * both on one node) to the other in sh->id and takes the other's from
 * peer->id. The pinger then, warm + count times, triggers the ponger's and
 * receives its own; the ponger receives its own and triggers the pinger's.
 * After warm untimed ones the pinger stores the moment before each Trigger
 * in sh->ns and the ponger the moment its Receive returned, so that the two
 * arrays subtract to the trigger-to-receipt times. Both then detach. */
int px_pinger(NodeShared *sh, const NodeShared *peer, nid_t nid, int warm, int count);
int px_ponger(NodeShared *sh, const NodeShared *peer, nid_t nid, int warm, int count);

/* vc_reachable tries, every 5 ms for up to within_ns, to locate name on
 * node nid and have a probe (a 1-byte message whose byte is 0) answered. */
int vc_reachable(NodeShared *sh, nid_t nid, const std::string &name, int64_t within_ns);

/* vc_poke makes a local call (a locate of a name nobody has) every 20 ms
 * until sh->stop. */
int vc_poke(NodeShared *sh);

/* vc_victim locates name on node nid and sends it one message that is held;
 * it stores when the Send returned in sh->ns[0] and succeeds only when the
 * Send failed with ESRCH. */
int vc_victim(NodeShared *sh, nid_t nid, const std::string &name);

/* vc_wait_reply_blocked waits up to within_ns until this node's daemon shows
 * process pid REPLY-blocked (qnx_psinfo). */
int vc_wait_reply_blocked(NodeShared *sh, pid_t pid, int64_t within_ns);

} // namespace bench

#endif
