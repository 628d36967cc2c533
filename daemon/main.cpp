/* main.cpp - vorlen: start-up, options, signals and the main loop */
#include <cerrno>
#include <climits>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "link.h"
#include "vorleni.h"

#ifndef VORLEN_VERSION
#error "VORLEN_VERSION must name the project's version"
#endif

static const char TITLE[] = "Vorlen - QNX 4 message passing for Linux";

/* The listening sockets, one for each address and the Unix-domain one; the
 * loop accepts on all. */
static std::vector<int> listeners;

/* The Unix-domain socket's file, removed at exit; empty for an abstract
 * socket or none. */
static std::string unix_file;

/* logo prints the banner. */
static void logo() {
    printf("\n%s\n", TITLE);
    printf("Version 1.2b%d vom Jul 20 2002 um 19:19:14\n", 228);
}

/* usage prints the banner and the usage text and ends the daemon with
 * status 0: it was asked for. */
[[noreturn]] static void usage() {
    logo();
    printf("usage: vorlen [options] &\n");
    printf("Options:\n");
    printf("  -h name              accepted for compatibility; it has no effect\n");
    printf("  -p port              listen on this TCP port, 1 to 65535 (default VORLEN_PORT,\n"
           "                       else %d)\n",
           VORLEN_DEFAULT_PORT);
    printf("  -t n                 accepted for compatibility (a global time-out that is not\n"
           "                       used)\n");
    printf("  -l n                 accepted for compatibility; the message queue always holds\n"
           "                       %d entries\n",
           QNX_MQUEUE_SIZE);
    printf("  -d                   write log lines only to the log file, not to standard output\n");
    printf("  -v level             verbose level, 0 by default: how much is logged; 9 and\n"
           "                       above log everything\n");
    printf("  --max-connections n  connections served at once (default %d)\n",
           DEFAULT_MAX_CONNECTIONS);
    printf("  --max-connections-per-user n  connections of one user (default a quarter\n"
           "                       of --max-connections)\n");
    printf("  --first-request-timeout ms  close a connection whose first request has not\n"
           "                       come and been verified by then (default %d)\n",
           DEFAULT_FIRST_REQUEST_MS);
    printf("  --max-request n      largest request in bytes (default %u)\n", DEFAULT_MAX_REQUEST);
    printf("  --max-unread n       unread answer bytes before a client is dropped (default\n"
           "                       --max-request + %zu)\n",
           DEFAULT_UNREAD_BEYOND_REQUEST);
    printf("  --max-memory n       message bytes held daemon-wide (default %zu)\n",
           DEFAULT_MAX_MEMORY);
    printf("  --max-memory-per-user n  message bytes the clients of one user hold (default\n"
           "                       a quarter of --max-memory)\n");
    printf("  --max-names n        registered names on this host (default %d, at most %d)\n",
           QNX_MAX_NAMES, MAX_TABLE_SIZE);
    printf("  --max-proxies n      proxies on this host (default %d, at most %d)\n",
           QNX_MAX_PROXIES, MAX_TABLE_SIZE);
    printf("  --max-timers n       timers on this host (default %d, at most %d)\n", QNX_MAX_TIMERS,
           MAX_TABLE_SIZE);
    printf("  --listen addr        listen on this IPv4 address; repeatable (default\n"
           "                       127.0.0.1)\n");
    printf("  --unix path          listen on this Unix-domain socket file instead of the\n"
           "                       abstract socket @vorlen.<port> (or VORLEN_UNIX)\n");
    printf("  --unix-mode mode     the --unix socket file's mode, octal (default 0666)\n");
    printf("  --no-unix            no Unix-domain socket: TCP only\n");
    printf("  --log-stderr         log to standard error with syslog levels, not to the file\n");
    printf("  --state path         keep the tables in this state file, so that a restarted\n"
           "                       daemon restores its clients (default\n"
           "                       $RUNTIME_DIRECTORY/vorlen.state, else\n"
           "                       $LOGDIR/vorlen.<port>.state, else ./vorlen.<port>.state)\n");
    printf("  --no-state           keep no state file: a restart loses every client\n");
    printf("  --restore-grace s    seconds a restored process has to come back (default 10)\n");
    printf("  --stop-clients       end the running daemon of the state file and its clients\n"
           "                       for good: the state is removed and every client ends\n");
    printf("  --netmap file        the plant's net map, one node a line: nid host[:port]\n"
           "                       [name] (default %s when it exists); a changed\n"
           "                       map takes a restart\n",
           VORLEN_NETMAP_DEFAULT);
    printf("  --node n             this host's node in the net map (default the one line\n"
           "                       with an address of this host)\n");
    printf("  --tls-cert file      this node's certificate (default %s/node.crt)\n",
           VORLEN_TLS_DIR);
    printf("  --tls-key file       its key, readable by its owner alone (default\n"
           "                       $CREDENTIALS_DIRECTORY/tls-key, else %s/node.key)\n",
           VORLEN_TLS_DIR);
    printf("  --tls-ca file        the plant's CA certificate (default %s/ca.crt)\n",
           VORLEN_TLS_DIR);
    printf("  --node-heartbeat ms  an idle node link's heartbeat (default %d)\n",
           DEFAULT_NODE_HEARTBEAT_MS);
    printf("  --node-timeout ms    a node whose link is silent this long is down (default\n"
           "                       %d, more than --node-heartbeat)\n",
           DEFAULT_NODE_TIMEOUT_MS);
    printf("  --unit-dropin        print the systemd drop-in that runs vorlen.service as\n"
           "                       this node of the net map, and end\n");
    printf("  --help               print this text\n");
    printf("  --version            print the version\n");
    exit(0);
}

/* refused ends the daemon with status 2 after an option it cannot take: one
 * line that says which and why, and where the options are told. */
[[noreturn]] static void refused(const char *what, const std::string &option) {
    fprintf(stderr, "vorlen: %s '%s'\nTry 'vorlen --help' for the options.\n", what,
            option.c_str());
    exit(2);
}

/* number_arg returns the argument arg of option opt as a number from lo to
 * hi. Anything else, a number with more after it, an empty argument or one
 * out of range, ends the daemon with status 2 and a message on standard
 * error that names the value: a daemon on a port other than the one asked
 * for is worse than none. */
static long long number_arg(const char *opt, const char *arg, long long lo, long long hi) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(arg, &end, 10);
    /* strtoll would also skip leading blanks and take a '+'. */
    bool digits =
        (arg[0] >= '0' && arg[0] <= '9') || (arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9');
    if (!digits || errno != 0 || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "vorlen: %s '%s': not a number from %lld to %lld\n", opt, arg, lo, hi);
        exit(2);
    }
    return v;
}

/* path_arg returns the argument arg of option opt as a path; an empty one
 * ends the daemon with status 2. */
static std::string path_arg(const char *opt, const char *arg) {
    if (*arg == '\0') {
        fprintf(stderr, "vorlen: %s: an empty path\n", opt);
        exit(2);
    }
    return arg;
}

/* bind_on makes a socket bound to address addr and the daemon's port and adds
 * it to the listeners; listen_all makes it listen. A failure ends the daemon
 * with status 1 and a message that names the address. */
static void bind_on(PGLOB *pglob, const struct in_addr &addr) {
    struct sockaddr_in name = {};
    name.sin_family = AF_INET;
    name.sin_port = htons(uint16_t(pglob->my_port));
    name.sin_addr = addr;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (s >= 0) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&name), sizeof name) < 0) {
        fprintf(stderr, "vorlen: cannot listen on %s:%d: %s\n", inet_ntoa(addr),
                int(pglob->my_port), strerror(errno));
        exit(1);
    }
    listeners.push_back(s);
}

/* listen_all makes the bound TCP sockets listen: the last step of start-up,
 * so that a client that reaches the port finds every socket ready. */
static void listen_all(PGLOB *pglob) {
    for (int s : listeners) {
        struct sockaddr_in name = {};
        socklen_t len = sizeof name;
        getsockname(s, reinterpret_cast<sockaddr *>(&name), &len);
        /* A full backlog: a burst of connecting clients must not stall in SYN retries. */
        if (name.sin_family == AF_INET && listen(s, SOMAXCONN) < 0) {
            fprintf(stderr, "vorlen: cannot listen on %s:%d: %s\n", inet_ntoa(name.sin_addr),
                    int(pglob->my_port), strerror(errno));
            exit(1);
        }
    }
}

/* unix_address fills addr with the Unix-domain socket's name: the file path,
 * or for an empty path the abstract name vorlen.<port>. It returns the
 * address's length, or 0 when path does not fit. */
static socklen_t unix_address(const std::string &path, int port, struct sockaddr_un &addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    char abstract[sizeof addr.sun_path];
    snprintf(abstract, sizeof abstract, VORLEN_UNIX_NAME_FORMAT, port);
    std::string name = path.empty() ? abstract : path;
    if (name.size() + 1 > sizeof addr.sun_path) return 0;
    /* An abstract name starts with a NUL byte and has no end mark. */
    size_t at = path.empty() ? 1 : 0;
    memcpy(addr.sun_path + at, name.data(), name.size());
    return socklen_t(offsetof(struct sockaddr_un, sun_path) + at + name.size() + (at ? 0 : 1));
}

/* file_kind names what lstat found, for a message. */
static const char *file_kind(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a file of another kind";
}

/* listen_unix makes the Unix-domain listening socket at path (empty: the
 * abstract name) and adds it to the listeners; a socket file gets mode
 * whatever the umask, for the kernel's word on who connects, not the file,
 * decides who is served. A socket file on which nothing answers is
 * replaced; anything else at path is left as it is. A failure ends the
 * daemon with status 1 and a message that names the socket, and for a name
 * in use the user who holds it. */
static void listen_unix(PGLOB *pglob, const std::string &path, const std::string &shown,
                        mode_t mode) {
    struct sockaddr_un name;
    socklen_t len = unix_address(path, pglob->my_port, name);
    if (len == 0) {
        fprintf(stderr, "vorlen: --unix '%s': the path is too long\n", path.c_str());
        exit(2);
    }
    /* bind makes the file with the mode the umask leaves of 0777. */
    const mode_t umask_was = umask(~mode & 0777);
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int rc = s < 0 ? -1 : bind(s, reinterpret_cast<sockaddr *>(&name), len);
    /* An abstract name in use is always someone's listener. */
    bool held = rc < 0 && errno == EADDRINUSE && path.empty();
    if (rc < 0 && errno == EADDRINUSE && !path.empty()) {
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
            fprintf(stderr,
                    "vorlen: cannot listen on %s: %s is there, not a socket; left as it is\n",
                    shown.c_str(), file_kind(st.st_mode));
            exit(1);
        }
        /* Nothing answering means nothing to lose: the file is stale. */
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool answered = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&name), len) == 0;
        int why = errno;
        if (probe >= 0) close(probe);
        held = answered;
        if (!answered && why == ECONNREFUSED && unlink(path.c_str()) == 0)
            rc = bind(s, reinterpret_cast<sockaddr *>(&name), len);
        else
            errno = EADDRINUSE;
    }
    umask(umask_was);
    if (rc < 0 && held) {
        /* The kernel names a socket as bound: a file's name with its end mark. */
        std::string holder =
            unix_listener_owner(name.sun_path, len - offsetof(struct sockaddr_un, sun_path));
        fprintf(stderr, "vorlen: cannot listen on %s: %s, held by %s\n", shown.c_str(),
                strerror(EADDRINUSE), holder.c_str());
        exit(1);
    }
    if (rc < 0 || listen(s, SOMAXCONN) < 0) {
        fprintf(stderr, "vorlen: cannot listen on %s: %s\n", shown.c_str(), strerror(errno));
        exit(1);
    }
    if (!path.empty()) unix_file = path;
    listeners.push_back(s);
}

/* remove_unix_file removes the Unix-domain socket's file at exit. */
static void remove_unix_file() {
    if (!unix_file.empty()) unlink(unix_file.c_str());
}

/* notify_manager tells the service manager that started the daemon with
 * NOTIFY_SOCKET (systemd's Type=notify) how it is: "READY=1" once it serves,
 * "STOPPING=1" as it ends, "STATUS=..." as its numbers change. The protocol is
 * one datagram on that Unix socket (a name that starts with '@' is in the
 * abstract namespace), so no library is needed for it. Without the variable
 * nothing happens. The datagram is never waited for: a socket that anyone may
 * have bound first and that nobody reads must not hold the daemon. One that
 * cannot go is dropped, and the log says so once until one goes again. */
static void notify_manager(const char *state) {
    static bool failing = false;
    const char *path = getenv("NOTIFY_SOCKET");
    struct sockaddr_un sa = {};
    size_t len = path ? strlen(path) : 0;
    if (len < 2 || len >= sizeof sa.sun_path || (path[0] != '/' && path[0] != '@')) return;
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, path, len);
    if (path[0] == '@') sa.sun_path[0] = '\0';
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ssize_t w = s < 0 ? -1
                      : sendto(s, state, strlen(state), MSG_NOSIGNAL | MSG_DONTWAIT,
                               reinterpret_cast<sockaddr *>(&sa),
                               socklen_t(offsetof(struct sockaddr_un, sun_path) + len));
    int why = errno;
    if (s >= 0) close(s);
    if (w < 0 && !failing)
        vlog(LV_WARNING, "Warning: %s not sent to %s: %s", state, path, strerror(why));
    failing = w < 0;
}

/* report_status tells the service manager the daemon's numbers in one
 * STATUS= line when they have changed, at most once a second, so that
 * systemctl status shows them and a busy daemon does not flood the manager.
 * It returns how many milliseconds the loop may wait before a change that
 * had to wait is due, -1 when none waits. Without NOTIFY_SOCKET it does
 * nothing. */
static int report_status(PGLOB *pglob) {
    static const bool wanted = getenv("NOTIFY_SOCKET") != nullptr;
    static std::string last;
    static struct timeval last_at = {0, 0};
    if (!wanted) return -1;
    const STATS &st = pglob->stats;
    uint64_t refused = st.refused_memory + st.refused_table + st.refused_connections +
                       st.refused_verification + st.dropped_unread;
    std::string line = "STATUS=" + std::to_string(pglob->nconns) + " connections, " +
                       std::to_string(pglob->pidmap.size()) + " processes, " +
                       std::to_string(pglob->mem_used) + " bytes of messages, " +
                       std::to_string(pglob->mqueue_used) + " queued, " + std::to_string(refused) +
                       " refused";
    if (line == last) return -1;
    struct timeval now = now_clock(CLOCK_MONOTONIC);
    long long since =
        (now.tv_sec - last_at.tv_sec) * 1000LL + (now.tv_usec - last_at.tv_usec) / 1000;
    if (!last.empty() && since < 1000) return int(1000 - since);
    notify_manager(line.c_str());
    last = line;
    last_at = now;
    return -1;
}

/* crash ends the daemon after a fault: the shutdown line is written, and the
 * signal is raised again with its default action so that a supervisor sees a
 * crash, never a clean exit. */
static void crash(int sig) {
    crash_message(sig);
    for (int s : listeners) shutdown(s, SHUT_RDWR);
    signal(sig, SIG_DFL);
    raise(sig);
}

/* signals_init routes the signals that end the daemon, trigger a sweep or
 * reopen the log through a signalfd that the loop reads between requests, so
 * that no request is ever abandoned halfway and no line is cut; it returns
 * the signalfd. */
static int signals_init() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGPIPE, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);

    static char altstack[65536];
    stack_t ss = {};
    ss.ss_sp = altstack;
    ss.ss_size = sizeof altstack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa = {};
    sa.sa_handler = crash;
    sa.sa_flags = SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) sigaction(s, &sa, nullptr);
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

/* handle_signals reads the signals that arrived: SIGINT and SIGPIPE lead to
 * a sweep, SIGUSR1 to a new log file (logrotate moved the old one), SIGUSR2
 * (vorlen --stop-clients) to the end of the plant, the others to the
 * shutdown line and exit status 0. SIGTERM keeps the state file as a crash
 * does: a stop and a start restore the clients. */
static void handle_signals(PGLOB *pglob, int sigfd) {
    struct signalfd_siginfo si;
    while (read(sigfd, &si, sizeof si) == ssize_t(sizeof si)) {
        int sig = int(si.ssi_signo);
        if (sig == SIGUSR1) {
            log_reopen();
            continue;
        }
        if (sig == SIGINT || sig == SIGPIPE) {
            vlog(LV_NOTE, "got signal %d(%s) connection", sig, strsignal(sig));
            sweep(pglob);
            continue;
        }
        notify_manager("STOPPING=1");
        if (sig == SIGUSR2) restore_end_plant(pglob);
        for (int s : listeners) shutdown(s, SHUT_RDWR);
        vlog(LV_ALWAYS, "Vorlen shutdown with signal %d(%s)", sig, strsignal(sig));
        exit(0);
    }
}

static struct timeval mono_now() {
    return now_clock(CLOCK_MONOTONIC);
}

int main(int argc, char **argv) {
    /* Descriptors 0, 1 and 2 are taken before anything is opened, so that a
     * daemon started with one closed never makes a client's socket of it
     * (nor writes its console lines into one). */
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd) break;
    PGLOB *pglob = &_pglob;
    pglob_init(pglob, argv[0]);

    enum {
        OPT_MAX_CONNECTIONS = 256,
        OPT_MAX_REQUEST,
        OPT_MAX_UNREAD,
        OPT_MAX_MEMORY,
        OPT_MAX_USER_MEMORY,
        OPT_MAX_USER_CONNECTIONS,
        OPT_FIRST_REQUEST_TIMEOUT,
        OPT_MAX_NAMES,
        OPT_MAX_PROXIES,
        OPT_MAX_TIMERS,
        OPT_REMOTE,
        OPT_LISTEN,
        OPT_LOG_STDERR,
        OPT_UNIX,
        OPT_NO_UNIX,
        OPT_UNIX_MODE,
        OPT_STATE,
        OPT_NO_STATE,
        OPT_RESTORE_GRACE,
        OPT_STOP_CLIENTS,
        OPT_NETMAP,
        OPT_NODE,
        OPT_TLS_CERT,
        OPT_TLS_KEY,
        OPT_TLS_CA,
        OPT_NODE_HEARTBEAT,
        OPT_NODE_TIMEOUT,
        OPT_UNIT_DROPIN,
        OPT_HELP,
        OPT_VERSION
    };
    static const struct option longopts[] = {
        {"max-connections", required_argument, nullptr, OPT_MAX_CONNECTIONS},
        {"max-request", required_argument, nullptr, OPT_MAX_REQUEST},
        {"max-unread", required_argument, nullptr, OPT_MAX_UNREAD},
        {"max-memory", required_argument, nullptr, OPT_MAX_MEMORY},
        {"max-memory-per-user", required_argument, nullptr, OPT_MAX_USER_MEMORY},
        {"max-connections-per-user", required_argument, nullptr, OPT_MAX_USER_CONNECTIONS},
        {"first-request-timeout", required_argument, nullptr, OPT_FIRST_REQUEST_TIMEOUT},
        {"max-names", required_argument, nullptr, OPT_MAX_NAMES},
        {"max-proxies", required_argument, nullptr, OPT_MAX_PROXIES},
        {"max-timers", required_argument, nullptr, OPT_MAX_TIMERS},
        {"remote", no_argument, nullptr, OPT_REMOTE},
        {"listen", required_argument, nullptr, OPT_LISTEN},
        {"log-stderr", no_argument, nullptr, OPT_LOG_STDERR},
        {"unix", required_argument, nullptr, OPT_UNIX},
        {"no-unix", no_argument, nullptr, OPT_NO_UNIX},
        {"unix-mode", required_argument, nullptr, OPT_UNIX_MODE},
        {"state", required_argument, nullptr, OPT_STATE},
        {"no-state", no_argument, nullptr, OPT_NO_STATE},
        {"restore-grace", required_argument, nullptr, OPT_RESTORE_GRACE},
        {"stop-clients", no_argument, nullptr, OPT_STOP_CLIENTS},
        {"netmap", required_argument, nullptr, OPT_NETMAP},
        {"node", required_argument, nullptr, OPT_NODE},
        {"tls-cert", required_argument, nullptr, OPT_TLS_CERT},
        {"tls-key", required_argument, nullptr, OPT_TLS_KEY},
        {"tls-ca", required_argument, nullptr, OPT_TLS_CA},
        {"node-heartbeat", required_argument, nullptr, OPT_NODE_HEARTBEAT},
        {"node-timeout", required_argument, nullptr, OPT_NODE_TIMEOUT},
        {"unit-dropin", no_argument, nullptr, OPT_UNIT_DROPIN},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0}};
    std::vector<struct in_addr> addrs;
    const char *unix_env = getenv("VORLEN_UNIX");
    std::string unix_path = unix_env ? unix_env : "";
    bool with_unix = true;
    mode_t unix_mode = 0666;
    int names = QNX_MAX_NAMES, proxies = QNX_MAX_PROXIES, timers = QNX_MAX_TIMERS;
    STATE_OPTIONS state;
    NETMAP_OPTIONS plant;
    bool dropin = false;
    bool stop = false;
    int opt;
    bool port_given = false;
    opterr = 0; /* the refusal is said in the daemon's own words */
    while ((opt = getopt_long(argc, argv, ":h:p:t:l:dv:", longopts, nullptr)) != -1) {
        switch (opt) {
        case OPT_MAX_CONNECTIONS:
            pglob->max_connections = int(number_arg("--max-connections", optarg, 1, INT_MAX));
            break;
        case OPT_MAX_REQUEST:
            pglob->max_request = uint32_t(number_arg("--max-request", optarg, 1, UINT32_MAX));
            break;
        case OPT_MAX_UNREAD:
            pglob->max_unread = size_t(number_arg("--max-unread", optarg, 1, LLONG_MAX));
            break;
        case OPT_MAX_USER_CONNECTIONS:
            pglob->max_user_connections =
                int(number_arg("--max-connections-per-user", optarg, 1, INT_MAX));
            break;
        case OPT_FIRST_REQUEST_TIMEOUT:
            pglob->first_request_ms =
                int(number_arg("--first-request-timeout", optarg, 1, INT32_MAX / 2));
            break;
        case OPT_MAX_MEMORY:
            pglob->max_memory = size_t(number_arg("--max-memory", optarg, 1, LLONG_MAX));
            break;
        case OPT_MAX_USER_MEMORY:
            pglob->max_user_memory =
                size_t(number_arg("--max-memory-per-user", optarg, 1, LLONG_MAX));
            break;
        case OPT_MAX_NAMES:
            names = int(number_arg("--max-names", optarg, 1, MAX_TABLE_SIZE));
            break;
        case OPT_MAX_PROXIES:
            proxies = int(number_arg("--max-proxies", optarg, 1, MAX_TABLE_SIZE));
            break;
        case OPT_MAX_TIMERS:
            timers = int(number_arg("--max-timers", optarg, 1, MAX_TABLE_SIZE));
            break;
        case OPT_REMOTE:
            /* Clients of other hosts taken on trust are gone: each host runs
             * its own daemon, and the daemons are linked. */
            fprintf(stderr, "vorlen: --remote is gone: give each host its own daemon and link "
                            "them with --netmap (vorlen(8), SEVERAL HOSTS)\n");
            exit(2);
        case OPT_LISTEN: {
            struct in_addr a;
            if (inet_pton(AF_INET, optarg, &a) != 1) {
                fprintf(stderr, "vorlen: --listen '%s': not an IPv4 address\n", optarg);
                exit(2);
            }
            addrs.push_back(a);
            break;
        }
        case OPT_LOG_STDERR:
            pglob->log_stderr = true;
            break;
        case OPT_UNIX:
            if (*optarg == '\0') {
                fprintf(stderr, "vorlen: --unix: an empty path\n");
                exit(2);
            }
            unix_path = optarg;
            break;
        case OPT_NO_UNIX:
            with_unix = false;
            break;
        case OPT_UNIX_MODE: {
            /* Octal digits only, as chmod takes them: strtol would also take blanks and signs. */
            size_t n = strlen(optarg);
            long m = n > 0 && strspn(optarg, "01234567") == n ? strtol(optarg, nullptr, 8) : -1;
            if (m < 0 || m > 0777) {
                fprintf(stderr, "vorlen: --unix-mode '%s': not an octal mode from 0 to 0777\n",
                        optarg);
                exit(2);
            }
            unix_mode = mode_t(m);
            break;
        }
        case OPT_STATE:
            if (*optarg == '\0') {
                fprintf(stderr, "vorlen: --state: an empty path\n");
                exit(2);
            }
            state.path = optarg;
            break;
        case OPT_NO_STATE:
            state.enabled = false;
            break;
        case OPT_RESTORE_GRACE: {
            /* Seconds, fractions allowed: digits and one point only. */
            char *end = nullptr;
            size_t n = strlen(optarg);
            double g = n > 0 && strspn(optarg, "0123456789.") == n ? strtod(optarg, &end) : -1;
            if (g < 0 || !end || *end != '\0' || g > 86400) {
                fprintf(stderr,
                        "vorlen: --restore-grace '%s': not a number of seconds from 0 to "
                        "86400\n",
                        optarg);
                exit(2);
            }
            state.grace_s = g;
            break;
        }
        case OPT_STOP_CLIENTS:
            stop = true;
            break;
        case OPT_NETMAP:
            plant.path = path_arg("--netmap", optarg);
            break;
        case OPT_NODE:
            plant.node = int32_t(number_arg("--node", optarg, 1, VORLEN_MAX_NODES));
            break;
        case OPT_TLS_CERT:
            plant.tls_cert = path_arg("--tls-cert", optarg);
            break;
        case OPT_TLS_KEY:
            plant.tls_key = path_arg("--tls-key", optarg);
            break;
        case OPT_TLS_CA:
            plant.tls_ca = path_arg("--tls-ca", optarg);
            break;
        case OPT_NODE_HEARTBEAT:
            plant.heartbeat_ms = int(number_arg("--node-heartbeat", optarg, 1, 3600000));
            break;
        case OPT_NODE_TIMEOUT:
            plant.timeout_ms = int(number_arg("--node-timeout", optarg, 2, 3600000));
            break;
        case OPT_UNIT_DROPIN:
            dropin = true;
            break;
        case OPT_HELP:
            usage();
        case OPT_VERSION:
            printf("vorlen %s\n", VORLEN_VERSION);
            exit(0);
        case 'h': /* accepted, as usage says, and without effect */
            break;
        case 'p':
            pglob->my_port = int32_t(number_arg("-p", optarg, VORLEN_PORT_MIN, VORLEN_PORT_MAX));
            port_given = true;
            break;
        case 't': /* accepted without effect, but only as a number */
            number_arg("-t", optarg, 0, INT32_MAX);
            break;
        case 'l': /* as -t */
            number_arg("-l", optarg, 0, INT32_MAX);
            break;
        case 'd':
            pglob->nodisp = 1;
            break;
        case 'v':
            pglob->verbose = int32_t(number_arg("-v", optarg, 0, INT32_MAX));
            break;
        case ':':
            refused("a value is missing after", optopt > 0 && optopt < 256
                                                    ? std::string("-") + char(optopt)
                                                    : argv[optind - 1]);
        default:
            refused("unknown option", optopt > 0 && optopt < 256 ? std::string("-") + char(optopt)
                                                                 : argv[optind - 1]);
        }
    }
    /* The clients' variable, so that daemon and clients agree on one port. */
    if (const char *env = getenv("VORLEN_PORT"); env && !port_given)
        pglob->my_port = int32_t(number_arg("VORLEN_PORT", env, VORLEN_PORT_MIN, VORLEN_PORT_MAX));
    if (pglob->max_unread == 0)
        pglob->max_unread = pglob->max_request + DEFAULT_UNREAD_BEYOND_REQUEST;
    pglob_tables(pglob, names, proxies, timers);
    if (state.path.empty()) state.path = state_default_path(pglob->my_port);
    if (stop) exit(stop_clients(state.path));
    /* The plant is settled before anything listens: a map or a key the
     * daemon cannot take ends it with nothing bound. */
    if (plant.timeout_ms <= plant.heartbeat_ms) {
        fprintf(stderr, "vorlen: --node-timeout '%d': not more than --node-heartbeat (%d)\n",
                plant.timeout_ms, plant.heartbeat_ms);
        exit(2);
    }
    netmap_load(pglob, plant);
    if (dropin) {
        if (pglob->plant.netmap_path.empty()) {
            fprintf(stderr, "vorlen: --unit-dropin needs a net map (--netmap, or %s)\n",
                    VORLEN_NETMAP_DEFAULT);
            exit(2);
        }
        fputs(netmap_unit_dropin(pglob, plant).c_str(), stdout);
        exit(0);
    }
    netmap_check_files(pglob);

    /* Many clients each hold a connection: take every descriptor allowed. */
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    /* The signals that end the daemon are its own before anyone can reach
     * it: a SIGTERM sent the moment the port answers ends it cleanly. */
    log_prepare_crash();
    int sigfd = signals_init();

    /* Loopback only unless asked: a daemon that is not to serve other hosts
     * is not reachable from them at all. */
    if (addrs.empty()) {
        struct in_addr a;
        a.s_addr = htonl(INADDR_LOOPBACK);
        addrs.push_back(a);
    }
    /* The TCP addresses are taken first, so that a port in use is named as
     * such; they listen last, so that once TCP answers the Unix socket does. */
    for (const struct in_addr &a : addrs) bind_on(pglob, a);
    char abstract_shown[sizeof(sockaddr_un::sun_path) + 1];
    snprintf(abstract_shown, sizeof abstract_shown, "@" VORLEN_UNIX_NAME_FORMAT,
             int(pglob->my_port));
    std::string unix_shown = unix_path.empty() ? abstract_shown : unix_path;
    if (with_unix) {
        listen_unix(pglob, unix_path, unix_shown, unix_mode);
        atexit(remove_unix_file);
    }
    listen_all(pglob);
    /* The banner goes the console's way, as every line after it: never
     * waited for, and a console without a reader costs nothing. */
    char banner[160];
    snprintf(banner, sizeof banner, "\n%s\nVersion 1.2b%d vom Jul 20 2002 um 19:19:14\n", TITLE,
             228);
    console_text(banner);
    if (nice(-10) == -1) { /* a refusal is ignored */
    }
    if (sockinit() < 0 || sigfd < 0) {
        perror("server (event set)");
        exit(1);
    }
    for (int s : listeners) sockwant(s, true, false);
    sockwant(sigfd, true, false);

    /* The run's first stamped line: what runs, and how it was started. */
    std::string about = std::string("vorlen ") + VORLEN_VERSION + ", pid " +
                        std::to_string(getpid()) + ", listening on";
    for (const struct in_addr &a : addrs)
        about += std::string(" ") + inet_ntoa(a) + ":" + std::to_string(pglob->my_port);
    if (with_unix) about += " and " + unix_shown;
    about += ", options:";
    for (int i = 1; i < argc; i++) about += std::string(" ") + argv[i];
    if (argc == 1) about += " none";
    pglob->version = VORLEN_VERSION;
    pglob->start_time = time(nullptr);
    for (const struct in_addr &a : addrs)
        pglob->listening.push_back(std::string(inet_ntoa(a)) + ":" +
                                   std::to_string(pglob->my_port));
    if (with_unix) pglob->listening.push_back(unix_shown);
    log_start(about.c_str());
    if (std::string p = netmap_about(pglob); !p.empty())
        vlog(LV_ALWAYS, "This host is %s", p.c_str());
    struct timeval tvn = mono_now();
    pglob->next_timeout = tvn;
    pglob->next_timeout.tv_sec += SWEEP_INTERVAL;
    /* The records of a daemon before this one come back before anyone is
     * served; connections wait in the backlog meanwhile. */
    pglob->restore_grace_s = state.grace_s;
    restore_start(pglob, state);
    link_start(pglob); /* the node links: listened for, and dialled */
    /* Every listener takes connections since listen_all: clients may come. */
    notify_manager("READY=1");
    LOOP_STATE lp;
    lp.listeners = listeners;
    lp.sigfd = sigfd;
    lp.on_signal = handle_signals;
    lp.cleanup_sec = pglob->next_timeout.tv_sec;
    for (int wait = report_status(pglob);; wait = report_status(pglob)) loop_once(pglob, &lp, wait);
}
