/* sin.cpp - sin: lists the processes, names, proxies and timers a vorlen daemon knows, its
 * health and the plant's nodes */
#include "vorlen.h"
#include "tools.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

/* How long sin waits for the daemon to accept it and to deliver a listing.
 * A daemon that takes longer is stuck, and saying so is what sin is for. */
constexpr int ANSWER_TIMEOUT_S = 5;

constexpr int EXIT_NO_DAEMON = 1;
constexpr int EXIT_USAGE = 2;

const char USAGE[] = "usage: sin [processes | names | proxies | timers | status | nodes]\n"
                     "           [-n NID | --all-nodes] [--json] [-w SECONDS]\n"
                     "       sin --help | --version\n";

const char HELP[] = "Lists what the vorlen daemon knows, one table per kind:\n"
                    "  processes  (the default) PID, program NAME, STATE (READY, RECEIVE, SEND,\n"
                    "             REPLY), the pid it is BLOCKED on, the PRIO it sent at (SEND\n"
                    "             and REPLY), and the SENT, RCVD and RPLY counters as\n"
                    "             messages/bytes; sin leaves itself out\n"
                    "  names      registered names: ID, OWNER pid, NAME, owner's PROGRAM\n"
                    "  proxies    ID, QNX4-ID (the positive id QNX 4 programs see), OWNER pid\n"
                    "             (where it delivers), NAME of the owner's program, PENDING\n"
                    "             triggers not yet received, times FIRED\n"
                    "  timers     ID, OWNER, NAME, NOTIFY (SLEEP, PROXY, SIGNAL), EVENT (proxy id\n"
                    "             or signal), LEFT and INTERVAL in seconds, times FIRED\n"
                    "  status     the daemon's health: version, pid, start time and uptime, the\n"
                    "             addresses it listens on, connections, message memory and\n"
                    "             table use against their bounds (total and per user), refusals\n"
                    "             by cause and log lines lost; sin's own connection included\n"
                    "  nodes      the plant's nodes (the daemon's net map): NID, NAME, ADDRESS of\n"
                    "             its link, STATE (self, up, down, connecting, refused),\n"
                    "             INCARNATION, RTT of the last heartbeat in ms, bytes IN and OUT\n"
                    "             over the link, WHY it is down or refused\n"
                    "  -n NID     the listing of node NID's daemon, through a circuit to its\n"
                    "             process manager; its processes show as NID//PID\n"
                    "  --all-nodes  the listing of every node that is up, this one first, one\n"
                    "             block per node under a line naming it\n"
                    "  A process of another node reached through a circuit (a VID) shows as\n"
                    "  NID//PID, its node and its pid there, in every listing.\n"
                    "  --json     print the same listing as one JSON object for scripts\n"
                    "  -w SECONDS redraw the listing every SECONDS until interrupted\n"
                    "  --version  print sin's version\n"
                    "\n"
                    "Environment (sin's and every client's, as the library reads it):\n"
                    "  HOSTNAME     host of the daemon; unset or empty means 127.0.0.1\n"
                    "  VORLEN_PORT  port of the daemon (default 7779)\n"
                    "  VORLEN_TRANSPORT  tcp or unix: only that way to a daemon on this host\n"
                    "               (default: its Unix-domain socket, else TCP)\n"
                    "  VORLEN_UNIX  the daemon's Unix-domain socket file (default\n"
                    "               /run/vorlen/vorlen.sock for port 7779 when it exists,\n"
                    "               then the abstract @vorlen.<port>)\n"
                    "  VORLEN_DAEMON_USER  a user (name or number) trusted to run the daemon\n"
                    "               beside root and the client's own user\n"
                    "  VORLEN_ON_DISCONNECT  restore, exit, reconnect or fail when the daemon\n"
                    "               goes away (default: fail, every later call fails; restore\n"
                    "               for programs built with the QNX 4 headers)\n"
                    "  VORLEN_RESTORE_WAIT  seconds restore waits for the daemon (default 60)\n"
                    "\n"
                    "Exit status: 0 listed, 1 no daemon answers, 2 bad arguments or environment.\n";

/* The message the alarm handler writes; filled in before the alarm is set. */
char stuck_msg[256];

void on_alarm(int) {
    /* The library retries interrupted reads, so only ending here gets out. */
    ssize_t r = write(STDERR_FILENO, stuck_msg, strlen(stuck_msg));
    (void)r;
    _exit(EXIT_NO_DAEMON);
}

[[noreturn]] void die(int status, const std::string &msg) {
    fprintf(stderr, "sin: %s\n", msg.c_str());
    exit(status);
}

/* daemon_address finds the host and port the library will connect to
 * (HOSTNAME unset or empty: this host). It ends the program with EXIT_USAGE
 * when VORLEN_PORT is no port number. */
std::pair<std::string, int> daemon_address() {
    const char *host = getenv("HOSTNAME");
    if (!host) host = "";
    /* The library's own reading, so both mean the same port and say the same
     * of one that is not. */
    char why[512];
    int port = _qnx_daemon_port(why, sizeof why);
    if (port < 0) die(EXIT_USAGE, why);
    return {*host ? host : "127.0.0.1", port};
}

/* check_daemon makes sure something accepts connections at host:port before
 * the library tries, so that sin says what it found in its own words (the
 * library would end the process with its own message). Ends the program with
 * EXIT_NO_DAEMON otherwise. */
void check_daemon(const std::string &host, int port) {
    std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_INET; /* the library speaks IPv4 only */
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *ai = nullptr;
    if (int e = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &ai); e != 0)
        die(EXIT_NO_DAEMON, "cannot find the daemon's host " + host + ": " + gai_strerror(e));

    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) die(EXIT_NO_DAEMON, std::string("socket: ") + strerror(errno));
    int err = 0;
    if (connect(s, ai->ai_addr, ai->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            pollfd p{s, POLLOUT, 0};
            if (poll(&p, 1, ANSWER_TIMEOUT_S * 1000) != 1) {
                err = ETIMEDOUT;
            } else {
                socklen_t len = sizeof err;
                getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
            }
        }
    }
    close(s);
    freeaddrinfo(ai);
    if (err != 0)
        die(EXIT_NO_DAEMON, "no vorlen daemon answers on " + where + " (" + strerror(err) + ")");
}

/* The node whose daemon's listings are shown: 0 for the daemon's own. With
 * --all-nodes a listing that fails ends the block of its node, not sin. */
int32_t listed_node = 0;
bool all_nodes = false;
int32_t shown_nid = 0; /* the node a JSON listing names: its id, also for this node's */

struct ListingFailed {
    std::string why;
};

/* fail_listing ends sin with why, or with --all-nodes the current node's block. */
[[noreturn]] void fail_listing(const std::string &why) {
    if (all_nodes) throw ListingFailed{why};
    die(EXIT_NO_DAEMON, why);
}

/* read_listing reads listing typ to its closing record, of the daemon of
 * listed_node; the connection carries nothing else until then. Ends the
 * program when the daemon refuses or the stream breaks. */
template <typename R> std::vector<R> read_listing(int typ) {
    /* The library reads as many bytes as the daemon announces: leave room. */
    union {
        R rec;
        char room[1024];
    } buf;
    std::vector<R> out;
    int rc = listed_node ? _qnx_squery_node(listed_node, typ, &buf) : _qnx_squery(typ, &buf);
    if (rc != 0) fail_listing(std::string("listing failed: ") + strerror(errno));
    while (buf.rec.pid != -1) {
        out.push_back(buf.rec);
        if (_qnx_squery_next(&buf) != 0)
            fail_listing(std::string("the listing broke off: ") + strerror(errno));
    }
    return out;
}

/* pid_text shows a pid of the listed node's: NID//PID for another node's. */
std::string pid_text(int64_t pid) {
    return listed_node && pid > 0 ? std::to_string(listed_node) + "//" + std::to_string(pid)
                                  : std::to_string(pid);
}

/* process_text shows process record r: a VID as its far process, NID//PID. */
std::string process_text(const QNX_MSG_SIN_RPID &r) {
    return r.nid != 0 ? std::to_string(r.nid) + "//" + std::to_string(r.session) : pid_text(r.pid);
}

/* blocked_text shows the pid that a record is blocked on, as process_text
 * shows it when it is among the records. */
std::string blocked_text(const std::vector<QNX_MSG_SIN_RPID> &recs, int32_t pid) {
    if (!pid) return "-";
    for (const auto &r : recs)
        if (r.pid == pid) return process_text(r);
    return pid_text(pid);
}

/* A fixed-size name field as a string; the daemon terminates them, but a
 * full field must not run into the next one. */
template <size_t N> std::string field(const char (&f)[N]) {
    return std::string(f, strnlen(f, N));
}

/* printable keeps a table aligned whatever bytes a program name holds. */
std::string printable(std::string s) {
    for (char &c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return s.empty() ? "-" : s;
}

/* json_string quotes s for JSON. Bytes that are not UTF-8 become U+FFFD, so
 * the output stays valid whatever a command line held. */
std::string json_string(std::string_view s) {
    std::string o = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            o += '\\';
            o += char(c);
            i++;
        } else if (c < 0x20 || c == 0x7f) {
            char b[8];
            snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
            i++;
        } else if (c < 0x80) {
            o += char(c);
            i++;
        } else {
            size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
            bool ok = n > 0 && i + n <= s.size();
            for (size_t k = 1; ok && k < n; k++)
                ok = (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80;
            if (ok) {
                o.append(s.substr(i, n));
                i += n;
            } else {
                o += "\\ufffd";
                i++;
            }
        }
    }
    return o + "\"";
}

/* seconds formats a time as seconds with milliseconds, e.g. 2.499 or -0.001. */
std::string seconds(const QNX_TIMESPEC &t) {
    long long ms = static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
    long long a = ms < 0 ? -ms : ms;
    char b[32];
    snprintf(b, sizeof b, "%s%lld.%03lld", ms < 0 ? "-" : "", a / 1000, a % 1000);
    return b;
}

/* unarmed tells a timer that is not armed: the daemon reports what is left of
 * it as zero (or, from older daemons, as the far mark). An armed timer lands
 * on exactly zero only within the microsecond it expires, and shows as not
 * armed then, which is harmless. */
bool unarmed(const QNX_TIMESPEC &left) {
    return (left.tv_sec == 0 && left.tv_nsec == 0) || left.tv_sec == INT32_MAX;
}

const char *state_word(int state) {
    switch (state) {
    case STATE_READY:
        return "READY";
    case STATE_RECEIVE_BLOCKED:
        return "RECEIVE";
    case STATE_SEND_BLOCKED:
        return "SEND";
    case STATE_REPLY_BLOCKED:
        return "REPLY";
    default:
        return nullptr;
    }
}

const char *notify_word(int notify) {
    switch (notify) {
    case NOTIFY_SLEEP:
        return "SLEEP";
    case NOTIFY_PROXY:
        return "PROXY";
    case NOTIFY_SIGNAL:
        return "SIGNAL";
    default:
        return nullptr;
    }
}

std::string word_or_number(const char *word, int n) {
    return word ? word : std::to_string(n);
}

struct Column {
    const char *title;
    bool right; /* numbers align right */
};
using Row = std::vector<std::string>;

/* print_table prints rows under the titles, each column as wide as its
 * widest cell. */
void print_table(const std::vector<Column> &cols, const std::vector<Row> &rows) {
    std::vector<size_t> width(cols.size());
    for (size_t c = 0; c < cols.size(); c++) {
        width[c] = strlen(cols[c].title);
        for (const Row &r : rows) width[c] = std::max(width[c], r[c].size());
    }
    auto line = [&](auto cell) {
        std::string out;
        for (size_t c = 0; c < cols.size(); c++) {
            std::string s = cell(c);
            std::string pad(width[c] - s.size(), ' ');
            bool last = c + 1 == cols.size();
            out += cols[c].right ? pad + s : last ? s : s + pad;
            if (!last) out += "  ";
        }
        puts(out.c_str());
    };
    line([&](size_t c) { return std::string(cols[c].title); });
    for (const Row &r : rows) line([&](size_t c) { return r[c]; });
}

std::string num(long long v) {
    return std::to_string(v);
}
std::string counts(int msgs, int bytes) {
    return num(msgs) + "/" + num(bytes);
}

/* One JSON object per record: the pairs are written in order. */
void print_json(const char *kind,
                const std::vector<std::vector<std::pair<const char *, std::string>>> &objs) {
    std::string out = "{";
    if (shown_nid) out += "\"node\":" + std::to_string(shown_nid) + ",";
    out += json_string(kind) + ":[";
    for (size_t i = 0; i < objs.size(); i++) {
        out += i ? ",{" : "{";
        for (size_t k = 0; k < objs[i].size(); k++) {
            if (k) out += ",";
            out += json_string(objs[i][k].first) + ":" + objs[i][k].second;
        }
        out += "}";
    }
    out += "]}";
    puts(out.c_str());
}

void list_processes(bool json) {
    std::vector<QNX_MSG_SIN_RPID> recs;
    for (const auto &r : read_listing<QNX_MSG_SIN_RPID>(SIN_PROCESSES))
        if (listed_node || r.pid != getpid()) recs.push_back(r);
    if (json) {
        std::vector<std::vector<std::pair<const char *, std::string>>> objs;
        for (const auto &r : recs) {
            const char *w = state_word(r.block_state);
            objs.push_back({{"pid", num(r.pid)},
                            {"nid", num(r.nid)},
                            {"remote_pid", r.nid ? num(r.session) : "null"},
                            {"program", json_string(field(r.pname))},
                            {"state", w ? json_string(w) : "null"},
                            {"block_state", num(r.block_state)},
                            {"blocked_on", num(r.block_pid)},
                            {"send_prio", num(r.send_prio)},
                            {"sent_msgs", num(r.send_msg)},
                            {"sent_bytes", num(r.send_bytes)},
                            {"rcvd_msgs", num(r.rcv_msg)},
                            {"rcvd_bytes", num(r.rcv_bytes)},
                            {"rply_msgs", num(r.rpl_msg)},
                            {"rply_bytes", num(r.rpl_bytes)}});
        }
        print_json("processes", objs);
        return;
    }
    std::vector<Row> rows;
    for (const auto &r : recs)
        rows.push_back({process_text(r), printable(field(r.pname)),
                        word_or_number(state_word(r.block_state), r.block_state),
                        blocked_text(recs, r.block_pid), r.send_prio ? num(r.send_prio) : "-",
                        counts(r.send_msg, r.send_bytes), counts(r.rcv_msg, r.rcv_bytes),
                        counts(r.rpl_msg, r.rpl_bytes)});
    print_table({{"PID", true},
                 {"NAME", false},
                 {"STATE", false},
                 {"BLOCKED", true},
                 {"PRIO", true},
                 {"SENT", true},
                 {"RCVD", true},
                 {"RPLY", true}},
                rows);
}

void list_names(bool json) {
    auto recs = read_listing<QNX_MSG_SIN_RNAMES>(SIN_NAMES);
    if (json) {
        std::vector<std::vector<std::pair<const char *, std::string>>> objs;
        for (const auto &r : recs)
            objs.push_back({{"id", num(r.nr)},
                            {"owner", num(r.pid)},
                            {"nid", num(r.nid)},
                            {"name", json_string(field(r.name))},
                            {"program", json_string(field(r.pname))}});
        print_json("names", objs);
        return;
    }
    std::vector<Row> rows;
    for (const auto &r : recs)
        rows.push_back(
            {num(r.nr), pid_text(r.pid), printable(field(r.name)), printable(field(r.pname))});
    print_table({{"ID", true}, {"OWNER", true}, {"NAME", false}, {"PROGRAM", false}}, rows);
}

/* qnx4_proxy_id gives the id under which programs built with the QNX 4
 * headers know proxy id (see VORLEN_QNX4_PROXY_BASE). */
int64_t qnx4_proxy_id(int32_t id) {
    return int64_t(VORLEN_QNX4_PROXY_BASE) - id;
}

void list_proxies(bool json) {
    auto recs = read_listing<QNX_MSG_SIN_RPROXYS>(SIN_PROXIES);
    if (json) {
        std::vector<std::vector<std::pair<const char *, std::string>>> objs;
        for (const auto &r : recs)
            objs.push_back({{"id", num(r.nr)},
                            {"qnx4_id", num(qnx4_proxy_id(r.nr))},
                            {"owner", num(r.pid)},
                            {"nid", num(r.nid)},
                            {"program", json_string(field(r.pname))},
                            {"pending", num(r.act_cnt)},
                            {"fired", num(r.fire_cnt)}});
        print_json("proxies", objs);
        return;
    }
    std::vector<Row> rows;
    for (const auto &r : recs)
        rows.push_back({num(r.nr), num(qnx4_proxy_id(r.nr)), pid_text(r.pid),
                        printable(field(r.pname)), num(r.act_cnt), num(r.fire_cnt)});
    print_table({{"ID", true},
                 {"QNX4-ID", true},
                 {"OWNER", true},
                 {"NAME", false},
                 {"PENDING", true},
                 {"FIRED", true}},
                rows);
}

void list_timers(bool json) {
    auto recs = read_listing<QNX_MSG_SIN_RTIMERS>(SIN_TIMERS);
    if (json) {
        std::vector<std::vector<std::pair<const char *, std::string>>> objs;
        for (const auto &r : recs) {
            const char *w = notify_word(r.notify_type);
            objs.push_back({{"id", num(r.nr)},
                            {"owner", num(r.pid)},
                            {"nid", num(r.nid)},
                            {"program", json_string(field(r.pname))},
                            {"timer_type", num(r.timer_type)},
                            {"notify_type", num(r.notify_type)},
                            {"notify", w ? json_string(w) : "null"},
                            {"event", num(r.evt_value)},
                            {"left", unarmed(r.value) ? "null" : seconds(r.value)},
                            {"interval", seconds(r.repeat)},
                            {"fired", num(r.fire_cnt)}});
        }
        print_json("timers", objs);
        return;
    }
    std::vector<Row> rows;
    for (const auto &r : recs) {
        bool repeats = r.repeat.tv_sec != 0 || r.repeat.tv_nsec != 0;
        rows.push_back({num(r.nr), pid_text(r.pid), printable(field(r.pname)),
                        word_or_number(notify_word(r.notify_type), r.notify_type),
                        r.notify_type == NOTIFY_SLEEP ? "-" : num(r.evt_value),
                        unarmed(r.value) ? "-" : seconds(r.value),
                        repeats ? seconds(r.repeat) : "-", num(r.fire_cnt)});
    }
    print_table({{"ID", true},
                 {"OWNER", true},
                 {"NAME", false},
                 {"NOTIFY", false},
                 {"EVENT", true},
                 {"LEFT", true},
                 {"INTERVAL", true},
                 {"FIRED", true}},
                rows);
}

/* user_name is the login name of uid, or "-" when it has none here; -1 is
 * the clients whose user the daemon cannot tell. */
std::string user_name(int32_t uid) {
    if (uid == -1) return "(other hosts)";
    const passwd *pw = getpwuid(uid_t(uid));
    return pw ? pw->pw_name : "-";
}

/* local_time formats seconds since 1970 as this host's local time. */
std::string local_time(int64_t t) {
    time_t tt = time_t(t);
    struct tm tm;
    char b[64];
    if (!localtime_r(&tt, &tm) || strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S %z", &tm) == 0)
        return num(t);
    return b;
}

/* duration formats seconds as days, hours, minutes and seconds: 2d 03:04:05. */
std::string duration(int64_t s) {
    char b[64];
    snprintf(b, sizeof b, "%lldd %02lld:%02lld:%02lld", (long long)(s / 86400),
             (long long)(s % 86400 / 3600), (long long)(s % 3600 / 60), (long long)(s % 60));
    return b;
}

std::string of(long long used, long long bound) {
    return num(used) + "/" + num(bound);
}

void list_status(bool json) {
    auto recs = read_listing<QNX_MSG_SIN_RSTATUS>(SIN_STATUS);
    if (recs.empty() || recs[0].kind != SIN_STATUS_DAEMON)
        die(EXIT_NO_DAEMON, "the status listing has no daemon record");
    const QNX_MSG_SIN_RSTATUS &d = recs[0];
    std::vector<std::string> listeners;
    std::vector<QNX_MSG_SIN_RUSER> users;
    for (const auto &r : recs) {
        if (r.kind == SIN_STATUS_LISTENER) {
            QNX_MSG_SIN_RLISTENER l;
            memcpy(&l, &r, sizeof l);
            listeners.push_back(field(l.address));
        } else if (r.kind == SIN_STATUS_USER) {
            QNX_MSG_SIN_RUSER u;
            memcpy(&u, &r, sizeof u);
            users.push_back(u);
        }
    }
    const std::pair<const char *, uint64_t> refused[] = {
        {"memory", d.refused_memory},           {"table_full", d.refused_table},
        {"connections", d.refused_connections}, {"verification", d.refused_verification},
        {"unread_answers", d.dropped_unread},   {"rate_limited_log_lines", d.log_rate_limited},
    };
    if (json) {
        std::string o = "{\"status\":{\"version\":" + json_string(field(d.version)) +
                        ",\"pid\":" + num(d.pid) + ",\"start_time\":" + num(d.start_time) +
                        ",\"uptime\":" + num(d.uptime) + ",\"listeners\":[";
        for (size_t i = 0; i < listeners.size(); i++)
            o += (i ? "," : "") + json_string(listeners[i]);
        o += "],\"connections\":" + num(d.connections) +
             ",\"max_connections\":" + num(d.max_connections) +
             ",\"max_connections_per_user\":" + num(d.max_user_connections) +
             ",\"processes\":" + num(d.processes) + ",\"memory\":" + std::to_string(d.memory) +
             ",\"max_memory\":" + std::to_string(d.max_memory) +
             ",\"max_memory_per_user\":" + std::to_string(d.max_user_memory) +
             ",\"names\":" + num(d.names) + ",\"max_names\":" + num(d.max_names) +
             ",\"proxies\":" + num(d.proxies) + ",\"max_proxies\":" + num(d.max_proxies) +
             ",\"timers\":" + num(d.timers) + ",\"max_timers\":" + num(d.max_timers) +
             ",\"queue\":" + num(d.queue) + ",\"max_queue\":" + num(d.max_queue) + ",\"refused\":{";
        for (size_t i = 0; i < std::size(refused); i++)
            o += std::string(i ? "," : "") + json_string(refused[i].first) + ":" +
                 std::to_string(refused[i].second);
        o += "},\"log_lines_dropped\":" + std::to_string(d.log_dropped) + ",\"users\":[";
        for (size_t i = 0; i < users.size(); i++)
            o += std::string(i ? "," : "") + "{\"uid\":" + num(users[i].uid) +
                 ",\"name\":" + json_string(user_name(users[i].uid)) +
                 ",\"connections\":" + num(users[i].connections) +
                 ",\"memory\":" + std::to_string(users[i].memory) + "}";
        o += "]}}";
        puts(o.c_str());
        return;
    }
    std::string all_listeners;
    for (const auto &l : listeners) all_listeners += (all_listeners.empty() ? "" : " ") + l;
    std::string refusals;
    for (const auto &[what, n] : refused) {
        std::string w = what;
        std::replace(w.begin(), w.end(), '_', ' ');
        refusals += (refusals.empty() ? "" : ", ") + w + " " + std::to_string(n);
    }
    const std::pair<const char *, std::string> lines[] = {
        {"version", printable(field(d.version))},
        {"pid", num(d.pid)},
        {"started", local_time(d.start_time)},
        {"uptime", duration(d.uptime)},
        {"listening", all_listeners.empty() ? "-" : all_listeners},
        {"connections", of(d.connections, d.max_connections) + ", each user at most " +
                            num(d.max_user_connections)},
        {"processes", num(d.processes)},
        {"memory", of((long long)d.memory, (long long)d.max_memory) + " bytes, each user at most " +
                       std::to_string(d.max_user_memory)},
        {"names", of(d.names, d.max_names)},
        {"proxies", of(d.proxies, d.max_proxies)},
        {"timers", of(d.timers, d.max_timers)},
        {"queue", of(d.queue, d.max_queue)},
        {"refused", refusals},
        {"log dropped", std::to_string(d.log_dropped) + " lines"},
    };
    for (const auto &[k, v] : lines) printf("%-12s %s\n", k, v.c_str());
    std::vector<Row> rows;
    for (const auto &u : users)
        rows.push_back({num(u.uid), printable(user_name(u.uid)),
                        of(u.connections, d.max_user_connections),
                        of((long long)u.memory, (long long)d.max_user_memory)});
    putchar('\n');
    print_table({{"UID", true}, {"USER", false}, {"CONNECTIONS", true}, {"MEMORY", true}}, rows);
}

const char *node_state_word(int state) {
    switch (state) {
    case SIN_NODE_SELF:
        return "self";
    case SIN_NODE_DOWN:
        return "down";
    case SIN_NODE_CONNECTING:
        return "connecting";
    case SIN_NODE_UP:
        return "up";
    case SIN_NODE_REFUSED:
        return "refused";
    default:
        return nullptr;
    }
}

/* hex16 shows an incarnation as the daemon's log does: 16 hexadecimal digits. */
std::string hex16(uint64_t v) {
    char b[24];
    snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(v));
    return b;
}

/* milliseconds shows a round trip of us microseconds as milliseconds, e.g. 0.412. */
std::string milliseconds(int64_t us) {
    char b[32];
    snprintf(b, sizeof b, "%lld.%03lld", (long long)(us / 1000), (long long)(us % 1000));
    return b;
}

void list_nodes(bool json) {
    auto recs = read_listing<QNX_MSG_SIN_RNODE>(SIN_NODES);
    if (json) {
        std::vector<std::vector<std::pair<const char *, std::string>>> objs;
        for (const auto &r : recs) {
            const char *w = node_state_word(r.state);
            objs.push_back(
                {{"nid", num(r.nid)},
                 {"name", json_string(field(r.name))},
                 {"address", json_string(field(r.address))},
                 {"port", num(r.port)},
                 {"state", w ? json_string(w) : num(r.state)},
                 {"incarnation", r.incarnation ? json_string(hex16(r.incarnation)) : "null"},
                 {"rtt_us", r.rtt_us < 0 ? "null" : num(r.rtt_us)},
                 {"bytes_in", std::to_string(r.bytes_in)},
                 {"bytes_out", std::to_string(r.bytes_out)},
                 {"why", json_string(field(r.why))}});
        }
        print_json("nodes", objs);
        return;
    }
    std::vector<Row> rows;
    for (const auto &r : recs) {
        std::string address = field(r.address);
        rows.push_back({num(r.nid), printable(field(r.name)),
                        address.empty() ? "-" : printable(address) + ":" + num(r.port),
                        word_or_number(node_state_word(r.state), r.state),
                        r.incarnation ? hex16(r.incarnation) : "-",
                        r.rtt_us < 0 ? "-" : milliseconds(r.rtt_us), std::to_string(r.bytes_in),
                        std::to_string(r.bytes_out), printable(field(r.why))});
    }
    print_table({{"NID", true},
                 {"NAME", false},
                 {"ADDRESS", false},
                 {"STATE", false},
                 {"INCARNATION", false},
                 {"RTT", true},
                 {"IN", true},
                 {"OUT", true},
                 {"WHY", false}},
                rows);
}

/* list_every_node shows listing list of each node that is up, this one
 * first, under a line that names it; a node whose listing fails says why
 * in its block, and the others are shown all the same. */
void list_every_node(void (*list)(bool), bool json) {
    listed_node = 0;
    bool keep = all_nodes;
    all_nodes = false; /* the plant's own listing must come */
    auto nodes = read_listing<QNX_MSG_SIN_RNODE>(SIN_NODES);
    all_nodes = keep;
    std::stable_sort(nodes.begin(), nodes.end(), [](const auto &a, const auto &b) {
        return (a.state == SIN_NODE_SELF) > (b.state == SIN_NODE_SELF);
    });
    for (const auto &n : nodes) {
        if (n.state != SIN_NODE_SELF && n.state != SIN_NODE_UP) continue;
        listed_node = n.state == SIN_NODE_SELF ? 0 : n.nid;
        shown_nid = n.nid;
        if (!json)
            printf("== node %d (%s)%s\n", int(n.nid), printable(field(n.name)).c_str(),
                   n.state == SIN_NODE_SELF ? ", this node" : "");
        try {
            list(json);
        } catch (const ListingFailed &f) {
            if (json)
                printf("{\"node\":%d,\"error\":%s}\n", int(n.nid), json_string(f.why).c_str());
            else
                printf("node %d: %s\n", int(n.nid), f.why.c_str());
        }
        if (!json) putchar('\n');
    }
    listed_node = 0;
}

/* interval_arg reads the SECONDS of -w: a positive number, at most a day.
 * Anything else ends the program with EXIT_USAGE. */
double interval_arg(const char *arg) {
    char *end = nullptr;
    errno = 0;
    double v = arg && *arg >= '0' && *arg <= '9' ? strtod(arg, &end) : -1;
    if (errno != 0 || !end || *end != '\0' || !(v > 0) || v > 86400) {
        fprintf(stderr, "sin: -w '%s': not a number of seconds from 0 to 86400\n%s", arg ? arg : "",
                USAGE);
        exit(EXIT_USAGE);
    }
    return v;
}

/* clear_screen is the terminal's own sequence that clears it (terminfo's
 * clear, through tput); empty when it has none. */
std::string clear_screen() {
    std::string seq;
    FILE *p = popen("tput clear 2>/dev/null", "r");
    if (!p) return seq;
    char b[64];
    size_t n;
    while ((n = fread(b, 1, sizeof b, p)) > 0) seq.append(b, n);
    if (pclose(p) != 0) seq.clear();
    return seq;
}

} // namespace

int main(int argc, char **argv) {
    void (*list)(bool) = list_processes;
    bool json = false;
    double every = 0; /* -w: seconds between redraws; 0: list once */
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(USAGE, stdout);
            fputs(HELP, stdout);
            return 0;
        }
        if (a == "--version") {
            printf("sin %s\n", VORLEN_VERSION);
            return 0;
        }
        if (a == "-w")
            every = interval_arg(++i < argc ? argv[i] : nullptr);
        else if (a == "--json")
            json = true;
        else if (a == "processes")
            list = list_processes;
        else if (a == "names")
            list = list_names;
        else if (a == "proxies")
            list = list_proxies;
        else if (a == "timers")
            list = list_timers;
        else if (a == "status")
            list = list_status;
        else if (a == "nodes")
            list = list_nodes;
        else if (a == "--all-nodes")
            all_nodes = true;
        else if (a == "-n") {
            const char *v = ++i < argc ? argv[i] : "";
            char *end = nullptr;
            long n = strtol(v, &end, 10);
            if (!*v || *end || n < 1 || n > VORLEN_MAX_NODES) {
                fprintf(stderr, "sin: -n '%s': not a node id (1 ... %d)\n%s", v, VORLEN_MAX_NODES,
                        USAGE);
                return EXIT_USAGE;
            }
            listed_node = shown_nid = int32_t(n);
        } else {
            fprintf(stderr, "sin: unknown argument '%s'\n%s", argv[i], USAGE);
            return EXIT_USAGE;
        }
    }

    auto [host, port] = daemon_address();
    check_daemon(host, port);

    snprintf(stuck_msg, sizeof stuck_msg,
             "sin: the vorlen daemon on %s:%d accepted but did not answer within %d s\n",
             host.c_str(), port, ANSWER_TIMEOUT_S);
    signal(SIGALRM, on_alarm);
    /* On a terminal each redraw replaces the last; elsewhere a separator line
     * with the time comes between them. */
    const std::string clear = every > 0 && isatty(STDOUT_FILENO) ? clear_screen() : "";
    for (bool first = true;; first = false) {
        if (!clear.empty()) {
            fputs(clear.c_str(), stdout);
        } else if (!first) {
            time_t now = time(nullptr);
            struct tm tm;
            char when[32] = "";
            if (localtime_r(&now, &tm)) strftime(when, sizeof when, "%H:%M:%S", &tm);
            printf("--- %s\n", when);
        }
        alarm(ANSWER_TIMEOUT_S);
        if (all_nodes)
            list_every_node(list, json);
        else
            list(json);
        alarm(0);
        fflush(stdout);
        if (every <= 0) return 0;
        struct timespec ts;
        ts.tv_sec = time_t(every);
        ts.tv_nsec = long((every - double(ts.tv_sec)) * 1e9);
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
}
