/* connection.cpp - vorlenlib's connection to the daemon and the request/answer exchange */
#include "internal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdarg>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <ifaddrs.h>
#include <linux/futex.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

/* The connection of this process. A forked child starts without it: the fork
 * handler closes the child's copy of the descriptor, so that a child which
 * never calls the library does not hold its parent's connection open, and
 * marks it inherited, so that the child's first call of any kind opens a
 * connection of its own. */
static int _qnx_socket = -1;
static pid_t my_pid = 0;
static bool inherited = false;

/* The call guard: set from the moment a call of this process starts using the
 * connection until it is done with it. A signal handler (or another thread)
 * that calls the library meanwhile must neither write into the middle of a
 * request nor read an answer that is not its own; it finds the guard set and
 * fails with EBUSY, except for Trigger, which leaves the proxy here for the
 * call in progress to fire. Only lock-free atomics are used, so that a handler
 * may take the guard and record a trigger at any moment. */
static std::atomic<bool> call_busy{false};
static_assert(std::atomic<bool>::is_always_lock_free);

/* Proxies that handlers triggered while a call was in progress; 0 marks a free
 * slot (no proxy has the id 0). */
static std::atomic<int32_t> pending_triggers[QNX_PENDING_TRIGGERS];
static_assert(std::atomic<int32_t>::is_always_lock_free);

/* The write lock: whoever writes to the connection holds it for the length
 * of one message, so that a trigger that a library thread writes (see
 * _qnx_trigger_from_thread) never lands inside a request. The program's
 * thread takes it only while it holds the call guard, and a signal handler
 * only after taking the call guard itself, so a handler never waits for a
 * lock its own thread holds; the library thread never runs handlers. It is a
 * futex of its own rather than a pthread mutex because handlers take it:
 * 0 free, 1 held, 2 held with others waiting. The same lock keeps the
 * connection's descriptor and pid steady for the library thread. */
static std::atomic<int> write_lock_word{0};
static_assert(std::atomic<int>::is_always_lock_free && sizeof(std::atomic<int>) == sizeof(int));

static long futex(std::atomic<int> &word, int op, int value) {
    return syscall(SYS_futex, reinterpret_cast<int *>(&word), op, value, nullptr, nullptr, 0);
}

/* WriteLock holds the write lock for its life, or until release. errno is
 * kept across both. */
struct WriteLock {
    bool held = true;
    WriteLock() {
        int c = 0;
        if (write_lock_word.compare_exchange_strong(c, 1)) return;
        const int saved_errno = errno;
        if (c != 2) c = write_lock_word.exchange(2);
        while (c != 0) {
            futex(write_lock_word, FUTEX_WAIT_PRIVATE, 2);
            c = write_lock_word.exchange(2);
        }
        errno = saved_errno;
    }
    void release() {
        if (!held) return;
        held = false;
        if (write_lock_word.exchange(0) == 2) {
            const int saved_errno = errno;
            futex(write_lock_word, FUTEX_WAKE_PRIVATE, 1);
            errno = saved_errno;
        }
    }
    ~WriteLock() { release(); }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;
};

/* The thread (its kernel id) that restores the connection while the daemon
 * restarts, 0 when none does: a call from any other thread waits for the
 * restart rather than failing with EBUSY at once. A futex word. */
static std::atomic<int> restoring{0};

/* begin_call takes the call guard. Returns false when a call holds it. */
static bool begin_call() {
    bool idle = false;
    return call_busy.compare_exchange_strong(idle, true);
}

/* begin_call_or_wait takes the call guard as begin_call does, after waiting
 * for a restart that another thread makes (never for one of the caller's own
 * thread: a signal handler cannot wait for the call it interrupted). Returns
 * false when a call holds the guard. */
static bool begin_call_or_wait() {
    if (begin_call()) return true;
    const int self = gettid();
    bool waited = false;
    for (int t; (t = restoring.load()) != 0 && t != self; waited = true)
        futex(restoring, FUTEX_WAIT_PRIVATE, t);
    return waited && begin_call();
}

static void end_call();

/* Call holds the call guard for the life of one call, if it could be had. */
struct Call {
    const bool held;
    explicit Call(bool wait = false) : held(wait ? begin_call_or_wait() : begin_call()) {}
    ~Call() {
        if (held) end_call();
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
};

/* own_connection tells whether this very process (not a parent before fork)
 * opened the current connection. */
static bool own_connection() {
    return _qnx_socket != -1 && getpid() == my_pid;
}

bool _qnx_connected() {
    return own_connection() || inherited;
}

/* While a restore tries to reach the daemon again and again, the reasons a
 * try failed are kept, the last one in last_said, rather than printed: the
 * process says once why it ends, if it does. */
static bool quiet = false;
static char last_said[512];

/* say prints one line about the connection on standard error, or keeps it in
 * last_said (without its newline) while quiet. errno is kept. */
[[gnu::format(printf, 1, 2)]] static void say(const char *format, ...) {
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    if (quiet) {
        /* Kept without the "client (...): " that leads a printed line. */
        char line[sizeof last_said];
        vsnprintf(line, sizeof line, format, args);
        line[strcspn(line, "\n")] = '\0';
        const char *words = strstr(line, "): ");
        snprintf(last_said, sizeof last_said, "%s", words ? words + 3 : line);
    } else {
        vfprintf(stderr, format, args);
    }
    va_end(args);
    errno = saved_errno;
}

int _qnx_daemon_port(char *why, size_t len) {
    const char *env = getenv("VORLEN_PORT");
    if (!env) return VORLEN_DEFAULT_PORT;
    std::string_view s(env);
    int port = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), port);
    if (ec != std::errc() || end != s.data() + s.size() || port < VORLEN_PORT_MIN ||
        port > VORLEN_PORT_MAX) {
        snprintf(why, len, "VORLEN_PORT is no port number: '%s'", env);
        return -1;
    }
    return port;
}

/* daemon_address resolves host (IPv4) into addr. Returns 0, or -1 after
 * printing the "client (init_sockaddr)" line, which names the host. */
static int daemon_address(const char *host, int port, sockaddr_in &addr) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0) {
        /* The resolver's own reason says more than errno, unless the system failed it. */
        const int e = errno;
        say("client (init_sockaddr): %s: %s\n", host,
            rc == EAI_SYSTEM ? strerror(e) : gai_strerror(rc));
        errno = rc == EAI_SYSTEM ? e : EHOSTUNREACH;
        return -1;
    }
    memcpy(&addr, res->ai_addr, sizeof addr);
    freeaddrinfo(res);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return 0;
}

/* connect_daemon connects fd to addr. A connect broken off by a signal goes on
 * in the background, so its outcome is awaited rather than asked for again.
 * Returns 0, or -1 with errno. */
static int connect_daemon(int fd, const sockaddr_in &addr) {
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) return 0;
    if (errno != EINTR) return -1;
    pollfd p{fd, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0)
        if (errno != EINTR) return -1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

/* forked_child runs in the child of every fork after the process connected.
 * The child closes its copy of the parent's connection at once and starts
 * with no call in progress, no triggers of the parent's to fire (the
 * parent fires them) and no senders held (they wait for the parent). */
static void forked_child() {
    call_busy.store(false);
    write_lock_word.store(0); /* a thread of the parent's may have held it */
    restoring.store(0);
    for (auto &slot : pending_triggers) slot.store(0);
    _qnx_held_clear(); /* the parent's senders wait for the parent's replies */
    if (_qnx_socket != -1) {
        close(_qnx_socket);
        _qnx_socket = -1;
        inherited = true;
    }
}

/* host_is_here tells whether host (already resolved into addr) is this host:
 * a loopback address, this host's own name, or an address of one of its
 * interfaces. */
static bool host_is_here(const char *host, const sockaddr_in &addr) {
    if ((ntohl(addr.sin_addr.s_addr) >> 24) == 127) return true;
    char me[HOST_NAME_MAX + 1] = "";
    if (gethostname(me, sizeof me) == 0 && strcmp(me, host) == 0) return true;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return false;
    bool here = false;
    for (ifaddrs *i = all; i && !here; i = i->ifa_next)
        here =
            i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == addr.sin_addr.s_addr;
    freeifaddrs(all);
    return here;
}

/* The package's daemon listens on this socket file as the package's own
 * user (packaging/vorlen.service): a client of the default port tries it
 * before the abstract name, and trusts that user there. */
static const char PACKAGE_SOCKET[] = "/run/vorlen/vorlen.sock";
static const char PACKAGE_USER[] = "vorlen";

/* UnixPlace is one Unix-domain socket where the daemon may listen: its
 * address, how a message names it, and whether it is the package's. */
struct UnixPlace {
    sockaddr_un addr{};
    socklen_t len = 0; /* 0: the path does not fit */
    char shown[sizeof addr.sun_path + 2] = "";
    bool package = false;
};

/* unix_file makes the place of the socket file path. */
static UnixPlace unix_file(const char *path, bool package) {
    UnixPlace p;
    p.addr.sun_family = AF_UNIX;
    p.package = package;
    snprintf(p.shown, sizeof p.shown, "%s", path);
    if (strlen(path) + 1 > sizeof p.addr.sun_path) return p;
    memcpy(p.addr.sun_path, path, strlen(path));
    p.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path) + 1);
    return p;
}

/* unix_places lists where the daemon for port may listen, in the order they
 * are tried: VORLEN_UNIX alone when set; else the package's socket (for the
 * default port, when a socket is there), then the abstract name vorlen.<port>.
 * Returns how many; a VORLEN_UNIX that does not fit has length 0. */
static int unix_places(int port, UnixPlace (&places)[2]) {
    const char *path = getenv("VORLEN_UNIX");
    if (path && *path) {
        places[0] = unix_file(path, false);
        return 1;
    }
    int n = 0;
    struct stat st;
    if (port == VORLEN_DEFAULT_PORT && stat(PACKAGE_SOCKET, &st) == 0 && S_ISSOCK(st.st_mode))
        places[n++] = unix_file(PACKAGE_SOCKET, true);
    UnixPlace &p = places[n++];
    p = UnixPlace{};
    p.addr.sun_family = AF_UNIX;
    /* An abstract name: a NUL byte first, no end mark. */
    int k =
        snprintf(p.addr.sun_path + 1, sizeof p.addr.sun_path - 1, VORLEN_UNIX_NAME_FORMAT, port);
    snprintf(p.shown, sizeof p.shown, "@" VORLEN_UNIX_NAME_FORMAT, port);
    p.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(k));
    return n;
}

/* uid_of finds the uid of the user name; returns false when there is none. */
static bool uid_of(const char *name, uid_t &uid) {
    passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwnam_r(name, &pw, buf, sizeof buf, &found) != 0 || !found) return false;
    uid = found->pw_uid;
    return true;
}

/* daemon_user_ok tells whether uid may be the daemon's: root, the client's
 * own user, the user VORLEN_DAEMON_USER names (by name or number), and on
 * the package's socket the package's user (none when no such user exists). */
static bool daemon_user_ok(uid_t uid, bool package) {
    if (uid == 0 || uid == getuid() || uid == geteuid()) return true;
    uid_t named;
    if (package && uid_of(PACKAGE_USER, named) && named == uid) return true;
    const char *want = getenv("VORLEN_DAEMON_USER");
    if (!want || !*want) return false;
    std::string_view s(want);
    unsigned long n = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec == std::errc() && end == s.data() + s.size()) return n == uid;
    return uid_of(want, named) && named == uid;
}

/* user_shown writes how a message names user uid: "name (uid N)", or
 * "uid N" for a uid without a name. */
static void user_shown(uid_t uid, char *out, size_t len) {
    passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        snprintf(out, len, "%s (uid %d)", found->pw_name, static_cast<int>(uid));
    else
        snprintf(out, len, "uid %d", static_cast<int>(uid));
}

/* How a try of one Unix-domain socket ended. */
enum class UnixTry {
    CONNECTED, /* to a daemon the client trusts */
    NONE,      /* nothing there, or nothing listening */
    REFUSED,   /* a listener the client refuses, or one it may not connect to */
    FAILED     /* any other failure */
};

/* connect_unix connects to the socket at place and checks that the kernel's
 * word on who listens there is acceptable (see daemon_user_ok). Returns
 * CONNECTED with the socket in fd; otherwise why says what happened, errno
 * is set and nothing is left open. A permission error on connect is a
 * refusal: the socket's mode keeps this user out, as if nobody listened. */
static UnixTry connect_unix(const UnixPlace &place, int &fd, char *why, size_t len) {
    if (place.len == 0) {
        snprintf(why, len, "VORLEN_UNIX is too long: '%s'", place.shown);
        errno = ENAMETOOLONG;
        return UnixTry::FAILED;
    }
    const sockaddr *addr = reinterpret_cast<const sockaddr *>(&place.addr);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int rc = fd < 0 ? -1 : connect(fd, addr, place.len);
    /* A Unix connect broken off by a signal has still completed or failed. */
    while (rc < 0 && errno == EINTR) rc = connect(fd, addr, place.len);
    if (rc < 0) {
        const int e = errno;
        snprintf(why, len, "%s: %s", place.shown, strerror(e));
        if (fd >= 0) close(fd);
        fd = -1;
        errno = e;
        if (e == ECONNREFUSED || e == ENOENT) return UnixTry::NONE;
        return e == EACCES || e == EPERM ? UnixTry::REFUSED : UnixTry::FAILED;
    }
    ucred cr{};
    socklen_t cl = sizeof cr;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &cl) != 0) {
        snprintf(why, len, "who listens on %s cannot be told: %s", place.shown, strerror(errno));
    } else if (!daemon_user_ok(cr.uid, place.package)) {
        char user[300];
        user_shown(cr.uid, user, sizeof user);
        snprintf(why, len, "the listener on %s runs as %s, not root, uid %d or VORLEN_DAEMON_USER",
                 place.shown, user, static_cast<int>(geteuid()));
    } else {
        return UnixTry::CONNECTED;
    }
    close(fd);
    fd = -1;
    errno = EACCES;
    return UnixTry::REFUSED;
}

/* connect_unix_any tries the places of the daemon for port in turn (see
 * unix_places) and returns the first trusted connection. A refused listener
 * counts as none, and is told once on standard error with what comes next:
 * the next place, TCP when tcp_next, or nothing. Returns the socket; -1 when
 * nothing there answers (why says so of the last place tried, errno is
 * set); -2 after printing why it cannot go on (any other failure, or a
 * refusal where no TCP may follow). */
static int connect_unix_any(int port, bool tcp_next, char *why, size_t len) {
    UnixPlace places[2];
    const int n = unix_places(port, places);
    UnixTry last = UnixTry::NONE;
    for (int i = 0; i < n; i++) {
        int fd = -1;
        switch (last = connect_unix(places[i], fd, why, len)) {
        case UnixTry::CONNECTED:
            return fd;
        case UnixTry::NONE:
            break;
        case UnixTry::REFUSED: {
            const int e = errno;
            if (i + 1 < n)
                say("client (connect): %s; trying %s\n", why, places[i + 1].shown);
            else
                say("client (connect): %s%s\n", why, tcp_next ? "; going on over TCP" : "");
            errno = e;
            break;
        }
        case UnixTry::FAILED:
            say("client (connect): %s\n", why);
            return -2;
        }
    }
    return last == UnixTry::REFUSED && !tcp_next ? -2 : -1;
}

/* connect_tcp connects to the daemon at addr (host as it was named) over
 * TCP. Returns the socket, or -1 after printing why not, with the address
 * it tried. */
static int connect_tcp(const char *host, const sockaddr_in &addr) {
    char where[INET_ADDRSTRLEN + HOST_NAME_MAX + 16] = "";
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    if (strcmp(host, ip) == 0)
        snprintf(where, sizeof where, "%s:%d", ip, ntohs(addr.sin_port));
    else
        snprintf(where, sizeof where, "%s (%s):%d", host, ip, ntohs(addr.sin_port));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        say("client (socket): %s\n", strerror(errno));
        return -1;
    }
    if (connect_daemon(fd, addr) != 0) {
        const int e = errno;
        say("client (connect): %s: %s\n", where, strerror(e));
        close(fd);
        errno = e;
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/* open_socket connects to the daemon on host HOSTNAME (127.0.0.1 when
 * empty or unset), port VORLEN_PORT or 7779; HOSTNAME must name this host
 * (one of its addresses), as every daemon serves its own host's processes.
 * The daemon is reached through its Unix-domain socket, and over TCP when
 * none answers there or the one there is refused; VORLEN_TRANSPORT=tcp or
 * unix takes only the one.
 * Returns the socket, or -1 after saying why no connection could be made. */
static int open_socket() {
    /* bash sets HOSTNAME without exporting it: under cron, systemd or env -i
     * it is missing, and then means this host as the empty string does. */
    const char *host = getenv("HOSTNAME");
    if (!host || *host == '\0') host = "127.0.0.1";
    char why[512];
    int port = _qnx_daemon_port(why, sizeof why);
    const char *transport = getenv("VORLEN_TRANSPORT");
    if (port >= 0 && transport && *transport && strcmp(transport, "tcp") != 0 &&
        strcmp(transport, "unix") != 0) {
        snprintf(why, sizeof why, "VORLEN_TRANSPORT is neither tcp nor unix: '%s'", transport);
        port = -1;
    }
    if (port < 0) {
        say("client (connect): %s\n", why);
        errno = EINVAL;
        return -1;
    }
    const bool only_tcp = transport && strcmp(transport, "tcp") == 0;
    const bool only_unix = transport && strcmp(transport, "unix") == 0;
    /* The host left unnamed is this one: the Unix socket needs no resolver. */
    const bool unnamed = strcmp(host, "127.0.0.1") == 0;
    sockaddr_in addr{};
    if (!unnamed && daemon_address(host, port, addr) != 0) return -1;
    /* A daemon serves the processes of its own host only: the others are
     * reached through it, over the links between the daemons. */
    if (!unnamed && !host_is_here(host, addr)) {
        say("client (connect): HOSTNAME names %s, another host: each host runs its own "
            "daemon, which reaches the other hosts' processes (vorlen(8), SEVERAL HOSTS)\n",
            host);
        errno = ECONNREFUSED;
        return -1;
    }
    int fd = -1;
    if (only_unix) {
        fd = connect_unix_any(port, false, why, sizeof why);
        if (fd == -1) say("client (connect): %s\n", why);
        if (fd < 0) return -1;
    } else {
        if (!only_tcp) {
            /* Nothing there, or nobody to trust: the daemon listens on TCP only. */
            fd = connect_unix_any(port, true, why, sizeof why);
            if (fd == -2) return -1;
        }
        if (fd < 0 && unnamed && daemon_address(host, port, addr) != 0) return -1;
        if (fd < 0) fd = connect_tcp(host, addr);
    }
    return fd;
}

/* Counts the connections this process opened: the library's thread waiting
 * for a restore tells by it that one was made. */
static std::atomic<unsigned> generation{0};

/* _qnx_install_socket opens the connection of the calling process (see
 * open_socket). Returns 0; -1 when the process is already connected (nothing
 * changes), or after printing why no connection could be made. */
static int _qnx_install_socket() {
    static bool close_registered = false, fork_registered = false;
    if (own_connection()) return -1;
    const int fd = open_socket();
    if (fd < 0) return -1;
    WriteLock lock;
    _qnx_socket = fd;
    my_pid = getpid();
    inherited = false;
    generation++;
    lock.release();
    /* A child inherits the registrations with the rest of its parent. */
    if (!close_registered) close_registered = atexit(_qnx_close_socket) == 0;
    if (!fork_registered) fork_registered = pthread_atfork(nullptr, nullptr, forked_child) == 0;
    return 0;
}

/* _qnx_close_socket closes the connection if this process opened it and
 * leaves the library unconnected, also in a child that inherited one; it
 * cannot fail and may run any number of times. Called from a signal handler
 * while a call is in progress, it does nothing: that call still needs the
 * connection. */
extern "C" void _qnx_close_socket(void) {
    Call call;
    if (!call.held) return;
    WriteLock lock;
    if (own_connection()) close(_qnx_socket);
    _qnx_socket = -1;
    inherited = false;
    _qnx_held_clear(); /* a new connection is a new client's */
}

/* What a process does when the daemon goes away (VORLEN_ON_DISCONNECT):
 * reconnect and have the restarted daemon restore it ("restore", see
 * restore_connection), end with EX_UNAVAILABLE as a QNX 4 process could not
 * outlive its kernel ("exit"), open a new connection at the next call as a
 * new client ("reconnect"), or go on failing every call ("fail"). */
enum class OnDisconnect { RESTORE, EXIT, RECONNECT, FAIL };

/* What the environment asked for, read at the process's first call. */
struct Settings {
    bool chosen;          /* VORLEN_ON_DISCONNECT is set */
    OnDisconnect mode;    /* what it says */
    int64_t restore_wait; /* VORLEN_RESTORE_WAIT, in nanoseconds */
};

constexpr int64_t NS_PER_S = 1000000000;
constexpr int64_t RESTORE_WAIT_DEFAULT = 60 * NS_PER_S;
/* A longer wait than a year is a mistake, and the sum stays far from overflow. */
constexpr int64_t RESTORE_WAIT_MAX = 366LL * 24 * 3600 * NS_PER_S;

/* seconds_ns reads text as a decimal number of seconds, fractions allowed
 * ("60", "0.3", ".5"); digits beyond the nanosecond are dropped. Returns the
 * nanoseconds, or -1 when text is no such number or passes RESTORE_WAIT_MAX. */
static int64_t seconds_ns(const char *text) {
    int64_t ns = 0, unit = NS_PER_S;
    bool digits = false, point = false;
    for (const char *p = text; *p; p++) {
        if (*p == '.' && !point) {
            point = true;
            continue;
        }
        if (*p < '0' || *p > '9') return -1;
        digits = true;
        const int d = *p - '0';
        if (!point) {
            if (ns > RESTORE_WAIT_MAX) return -1;
            ns = ns * 10 + d * NS_PER_S;
        } else if (unit > 1) {
            unit /= 10;
            ns += d * unit;
        }
    }
    return digits && ns <= RESTORE_WAIT_MAX ? ns : -1;
}

/* settings reads VORLEN_ON_DISCONNECT and VORLEN_RESTORE_WAIT once, at the
 * process's first call (the caller holds the call guard). A value it does
 * not know ends the process with status 2 and a line that says what it
 * takes: a misspelt mode must show at once, not when the daemon goes away. */
static const Settings &settings() {
    static const Settings s = [] {
        Settings k{false, OnDisconnect::FAIL, RESTORE_WAIT_DEFAULT};
        if (const char *v = getenv("VORLEN_ON_DISCONNECT"); v && *v) {
            static const std::pair<std::string_view, OnDisconnect> modes[] = {
                {"restore", OnDisconnect::RESTORE},
                {"exit", OnDisconnect::EXIT},
                {"reconnect", OnDisconnect::RECONNECT},
                {"fail", OnDisconnect::FAIL}};
            auto m = std::find_if(std::begin(modes), std::end(modes),
                                  [v](const auto &mode) { return mode.first == v; });
            if (m == std::end(modes)) {
                fprintf(stderr,
                        "client: VORLEN_ON_DISCONNECT is none of restore, exit, reconnect and "
                        "fail: '%s'\n",
                        v);
                exit(2);
            }
            k.chosen = true;
            k.mode = m->second;
        }
        if (const char *w = getenv("VORLEN_RESTORE_WAIT"); w && *w) {
            k.restore_wait = seconds_ns(w);
            if (k.restore_wait < 0) {
                fprintf(stderr, "client: VORLEN_RESTORE_WAIT is no number of seconds: '%s'\n", w);
                exit(2);
            }
        }
        return k;
    }();
    return s;
}

/* Set once the process has made a call of the QNX 4 face. */
static std::atomic<bool> qnx4_face{false};

void _qnx_use_qnx4_face() {
    qnx4_face.store(true, std::memory_order_relaxed);
}

/* on_disconnect tells what to do when the daemon goes away: what
 * VORLEN_ON_DISCONNECT says; unset, restore for a process of the QNX 4 face
 * (a QNX 4 process cannot go on without its kernel, and this one need not)
 * and fail for one of vorlen.h's, as it always did. */
static OnDisconnect on_disconnect() {
    const Settings &k = settings();
    if (k.chosen) return k.mode;
    return qnx4_face.load(std::memory_order_relaxed) ? OnDisconnect::RESTORE : OnDisconnect::FAIL;
}

/* is_gone tells whether a failure with errno err says that the daemon went
 * away: the connection was reset or closed. */
static bool is_gone(int err) {
    return err == ECONNRESET || err == EPIPE || err == ENOTCONN;
}

/* daemon_gone is told that the connection failed with errno err, and the
 * caller holds the call guard. When err says the daemon has gone, it ends
 * the process or drops the connection as on_disconnect asks (restore is
 * restore_connection's); the failing call still fails with err. */
static void daemon_gone(int err) {
    if (!is_gone(err)) return;
    switch (on_disconnect()) {
    case OnDisconnect::EXIT:
        fprintf(stderr, "client: %s (pid %d): the daemon went away (%s); ending\n",
                program_invocation_short_name, static_cast<int>(getpid()), strerror(err));
        exit(EX_UNAVAILABLE);
    case OnDisconnect::RECONNECT: {
        WriteLock lock;
        if (own_connection()) close(_qnx_socket);
        _qnx_socket = -1;
        inherited = false;
        _qnx_held_clear(); /* the new connection is a new client's */
        break;
    }
    case OnDisconnect::RESTORE:
    case OnDisconnect::FAIL:
        break;
    }
    errno = err;
}

/* open_or_end connects the process, which holds the call guard, or ends it
 * with status 1 once the reason has been printed: a supervisor must not take
 * a client that never reached the daemon for one that did its work. */
static void open_or_end() {
    settings();
    if (!own_connection() && _qnx_install_socket() != 0) exit(1);
}

void _qnx_open() {
    if (own_connection()) return;
    /* With a call in progress the request that follows fails with EBUSY. */
    Call call;
    if (call.held) open_or_end();
}

bool _qnx_try_open() {
    if (own_connection()) return true;
    Call call;
    if (!call.held) return false;
    settings();
    const bool was_quiet = quiet;
    quiet = true;
    const bool ok = own_connection() || _qnx_install_socket() == 0;
    quiet = was_quiet;
    return ok;
}

/* skip drops the first n bytes from the front of iov, and the empty entries
 * that then lead it. */
static void skip(std::span<iovec> &iov, size_t n) {
    while (!iov.empty() && n >= iov.front().iov_len) {
        n -= iov.front().iov_len;
        iov = iov.subspan(1);
    }
    if (n > 0) {
        iov.front().iov_base = static_cast<char *>(iov.front().iov_base) + n;
        iov.front().iov_len -= n;
    }
}

/* limit shortens iov to its first n bytes. */
static void limit(std::span<iovec> &iov, size_t n) {
    size_t i = 0;
    for (; i < iov.size() && n > 0; i++) {
        iov[i].iov_len = std::min(iov[i].iov_len, n);
        n -= iov[i].iov_len;
    }
    iov = iov.first(i);
}

static size_t total(std::span<const iovec> iov) {
    size_t n = 0;
    for (const iovec &v : iov) n += v.iov_len;
    return n;
}

/* write_locked writes every byte of iov, in as few system calls as the
 * kernel allows, and never blocks in the write itself: when the socket is
 * full it waits for room in ppoll with the signal mask mask (null: the mask
 * as it is), so that a signal held back while a request is written runs its
 * handler, or its default action, there; a client writing a large request to
 * a daemon that has stopped reading still ends at SIGTERM. A handler that ran
 * meanwhile sets handled. MSG_NOSIGNAL: a daemon that has gone makes the call
 * fail with EPIPE instead of killing the client. The caller holds the write
 * lock. Returns 0, or -1 with errno. */
static int write_locked(std::span<iovec> iov, const sigset_t *mask, bool &handled) {
    skip(iov, 0);
    while (!iov.empty()) {
        msghdr m{};
        m.msg_iov = iov.data();
        m.msg_iovlen = std::min<size_t>(iov.size(), IOV_MAX);
        ssize_t n = sendmsg(_qnx_socket, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            skip(iov, static_cast<size_t>(n));
            continue;
        }
        if (errno == EINTR) {
            handled = true;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        pollfd p{_qnx_socket, POLLOUT, 0};
        if (ppoll(&p, 1, nullptr, mask) < 0) {
            if (errno != EINTR) return -1;
            handled = true;
        }
    }
    return 0;
}

/* write_all writes iov as one message under the write lock, as
 * write_locked does. */
static int write_all(std::span<iovec> iov, const sigset_t *mask, bool &handled) {
    WriteLock lock;
    return write_locked(iov, mask, handled);
}

/* send_interrupt tells the daemon that a signal handler ran while this
 * process waited for an answer: a Send not yet received, a Receive or a sleep
 * is then answered EINTR, as a signal breaks them off under QNX; any other
 * request keeps its answer. The mark itself is never answered, so the
 * connection stays in step; a failure to send it shows in the next read.
 * mask and handled as for write_all. */
static void send_interrupt(const sigset_t *mask, bool &handled) {
    QNX_MSG_HDR mark{};
    mark.from_pid = my_pid;
    mark.flags.all = VORLEN_FLAG_INTERRUPT;
    iovec v{&mark, sizeof mark};
    int saved_errno = errno;
    write_all({&v, 1}, mask, handled);
    errno = saved_errno;
}

/* fire_pending writes each trigger that a signal handler left during the
 * call in progress as an MT_TRIGGER marked VORLEN_FLAG_UNANSWERED: the daemon
 * carries it out and never answers it, so the stream of answers stays in
 * step. Only the holder of the call guard may call it, and only between two
 * requests. A trigger that cannot be written is lost with the connection,
 * unless the process restores: then it is left again, for the call to fire
 * into the new connection after the restore, and fire_pending returns false.
 * Otherwise it returns true. errno is kept. mask and handled as for
 * write_all. */
static bool fire_pending(const sigset_t *mask, bool &handled) {
    int saved_errno = errno;
    for (auto &slot : pending_triggers) {
        int32_t proxy = slot.exchange(0);
        if (proxy == 0) continue;
        QNX_REQ<QNX_MSG_TRIGGER> rq{};
        rq.hdr.ev.typ = MT_TRIGGER;
        rq.hdr.from_pid = my_pid;
        rq.hdr.flags.all = VORLEN_FLAG_UNANSWERED;
        rq.hdr.msg_len = sizeof rq.body;
        rq.body.proxy_nr = proxy;
        iovec v{&rq, sizeof rq};
        if (write_all({&v, 1}, mask, handled) != 0 && is_gone(errno) &&
            on_disconnect() == OnDisconnect::RESTORE) {
            for (auto &free_slot : pending_triggers) {
                int32_t none = 0;
                if (free_slot.compare_exchange_strong(none, proxy)) break;
            }
            errno = saved_errno;
            return false;
        }
    }
    errno = saved_errno;
    return true;
}

static int await_restore(unsigned seen, int err);

int _qnx_trigger_from_thread(pid_t proxy) {
    QNX_REQ<QNX_MSG_TRIGGER> rq{};
    rq.hdr.ev.typ = MT_TRIGGER;
    rq.hdr.flags.all = VORLEN_FLAG_UNANSWERED;
    rq.hdr.msg_len = sizeof rq.body;
    rq.body.proxy_nr = proxy;
    for (;;) {
        WriteLock lock;
        if (!own_connection()) {
            errno = ENOTCONN;
            return -1;
        }
        rq.hdr.from_pid = my_pid;
        ssize_t n = send(_qnx_socket, &rq, sizeof rq, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(sizeof rq)) return 0;
        if (n > 0) {
            /* Part of the trigger is in the stream: nobody may write before
             * the rest, so the rest is written under this lock. */
            iovec rest{reinterpret_cast<char *>(&rq) + n, sizeof rq - static_cast<size_t>(n)};
            bool handled = false;
            return write_locked({&rest, 1}, nullptr, handled);
        }
        if (errno == EINTR) continue;
        if (is_gone(errno) && on_disconnect() == OnDisconnect::RESTORE) {
            /* Nothing of the trigger went out: it goes into the new
             * connection, after the restore. */
            const unsigned seen = generation.load();
            const int err = errno;
            lock.release();
            if (await_restore(seen, err) != 0) return -1;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        /* The socket is full. Nothing was written, so the lock is not held
         * while room is awaited: the program's own requests, which wait for
         * room with signals let in, go first. The descriptor may be closed
         * meanwhile and its number given to another file, so the wait is
         * bounded and the connection looked at again. */
        const int fd = _qnx_socket;
        lock.release();
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
}

static bool any_pending() {
    for (auto &slot : pending_triggers)
        if (slot.load() != 0) return true;
    return false;
}

/* end_call gives the call guard up, after firing what handlers left during
 * the call (see fire_pending). A trigger left between the last look and the release is fired by
 * whoever takes the guard next, the handler that left it included (see
 * _qnx_defer_trigger). */
static void end_call() {
    bool handled = false;
    bool fired;
    do {
        fired = fire_pending(nullptr, handled);
        call_busy.store(false);
        /* Triggers left for a restore wait for the next call, which makes it. */
    } while (fired && any_pending() && begin_call());
}

int _qnx_defer_trigger(pid_t proxy) {
    if (!call_busy.load()) return 1;
    /* The daemon would refuse any id outside its largest table, but it
     * never answers this trigger: the refusal is given here. */
    if (!VORLEN_IS_PROXY_ID(proxy)) {
        errno = ESRCH;
        return -1;
    }
    for (auto &slot : pending_triggers) {
        int32_t free_slot = 0;
        if (!slot.compare_exchange_strong(free_slot, proxy)) continue;
        /* The call may have ended since it was seen; then nobody else would
         * fire the trigger. */
        if (begin_call()) end_call();
        return 0;
    }
    errno = EAGAIN;
    return -1;
}

/* SignalsHeld holds back the signals a handler may catch from the moment a
 * request is written until its wait begins: a handler that ran in between
 * would break off no wait, and the caller would block in a Receive its
 * handler meant to end. Whenever the call waits, for room to write or for
 * the answer, it lets them in again with the caller's own mask, atomically,
 * and remembers that a handler ran. Signals of faults are never held. */
struct SignalsHeld {
    sigset_t caller; /* the caller's own mask, which every wait restores */
    bool held = false;
    SignalsHeld() {
        sigset_t all;
        sigfillset(&all);
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
            sigdelset(&all, sig);
        held = pthread_sigmask(SIG_BLOCK, &all, &caller) == 0;
    }
    /* mask is the mask for the call's waits: the caller's own while held. */
    const sigset_t *mask() const { return held ? &caller : nullptr; }
    void release() {
        if (held) pthread_sigmask(SIG_SETMASK, &caller, nullptr);
        held = false;
    }
    ~SignalsHeld() { release(); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

/* wait_answer waits until the answer starts to arrive, in ppoll with the
 * caller's own signal mask: a signal that came since the request began, or
 * comes now, runs its handler and breaks off the wait (a read would be
 * restarted under SA_RESTART); handled says that one ran while the request
 * was written. After each handler the triggers it left are fired, then the
 * daemon is told of the handler, and the wait goes on for the one answer.
 * The triggers go first: a proxy of the caller's own then still finds the
 * Receive it waits in. ran is set once a handler has run. Returns 0, or -1
 * with errno. */
static int wait_answer(const SignalsHeld &signals, bool handled, bool &ran) {
    const sigset_t *mask = signals.mask();
    for (;;) {
        fire_pending(mask, handled);
        if (handled) {
            ran = true;
            handled = false;
            send_interrupt(mask, handled);
            continue;
        }
        pollfd p{_qnx_socket, POLLIN, 0};
        int n = ppoll(&p, 1, nullptr, mask);
        if (n > 0) return 0;
        if (n < 0 && errno != EINTR) return -1;
        if (n < 0) handled = true;
    }
}

/* read_some reads what is there (at least one byte) into iov and moves iov
 * past it; a read broken off by a signal is repeated. The request is out
 * whole by then, so the triggers that handlers left meanwhile are fired
 * between reads: a large answer, which takes many reads, never holds them
 * back until the slots run out. Returns the count, or -1 with errno
 * (ECONNRESET at end of stream). */
static ssize_t read_some(std::span<iovec> &iov) {
    for (;;) {
        if (any_pending()) {
            bool handled = false;
            fire_pending(nullptr, handled);
        }
        ssize_t n =
            readv(_qnx_socket, iov.data(), static_cast<int>(std::min<size_t>(iov.size(), IOV_MAX)));
        if (n > 0) {
            skip(iov, static_cast<size_t>(n));
            return n;
        }
        if (n == 0) errno = ECONNRESET;
        if (n == 0 || errno != EINTR) return -1;
    }
}

/* read_all fills every byte of iov. Returns 0, or -1 with errno. */
static int read_all(std::span<iovec> iov) {
    skip(iov, 0);
    while (!iov.empty())
        if (read_some(iov) < 0) return -1;
    return 0;
}

/* discard reads n bytes and drops them. Returns 0, or -1 with errno. */
static int discard(size_t n) {
    char scratch[4096];
    while (n > 0) {
        iovec v{scratch, std::min(n, sizeof scratch)};
        std::span<iovec> s(&v, 1);
        ssize_t got = read_some(s);
        if (got < 0) return -1;
        n -= static_cast<size_t>(got);
    }
    return 0;
}

int _qnx_read_exact(void *dest, size_t n) {
    Call call;
    if (!call.held) {
        errno = EBUSY;
        return -1;
    }
    iovec v{dest, n};
    return read_all({&v, 1});
}

/* AnswerBytes hands out the body of an answer in order: the bytes that came
 * with its header into a staging buffer first, then those of the socket. */
struct AnswerBytes {
    const char *staged;
    size_t nstaged;
    /* take fills every byte of into. Returns 0, or -1 with errno. */
    int take(std::span<iovec> into) {
        while (!into.empty() && nstaged > 0) {
            size_t k = std::min(into.front().iov_len, nstaged);
            memcpy(into.front().iov_base, staged, k);
            staged += k;
            nstaged -= k;
            skip(into, k);
        }
        return into.empty() ? 0 : read_all(into);
    }
    /* drop reads n bytes and drops them. Returns 0, or -1 with errno. */
    int drop(size_t n) {
        size_t k = std::min(n, nstaged);
        staged += k;
        nstaged -= k;
        return discard(n - k);
    }
};

/* read_reply reads the body of a Send's answer whose header is hdr, some of
 * it already in src: the reply's own bytes from offset 0 of parts, then, when
 * the answer is marked VORLEN_FLAG_WRITEMSG, the written pieces, each at its
 * offset (see VORLEN_FLAG_REPLY_ROOM); what does not fit in parts is read and
 * dropped. Returns 0, or -1 with errno (EPROTO for pieces that do not fill
 * the body, else that of a failed read). */
static int read_reply(const QNX_MSG_HDR &hdr, AnswerBytes &src, std::span<iovec> parts) {
    const size_t len = hdr.msg_len;
    const bool pieces = (hdr.flags.all & VORLEN_FLAG_WRITEMSG) != 0;
    const size_t own = pieces ? std::min<size_t>(uint32_t(hdr.prio), len) : len;
    const size_t room = total(parts);
    std::vector<iovec> whole; /* the parts as given: pieces are placed by offset */
    if (pieces) whole.assign(parts.begin(), parts.end());
    const size_t fit = std::min(own, room);
    limit(parts, fit);
    if (src.take(parts) != 0 || src.drop(own - fit) != 0) return -1;
    size_t rest = len - own;
    while (rest > 0) {
        uint32_t head[2]; /* offset, length */
        iovec h{head, sizeof head};
        if (rest < sizeof head) {
            errno = EPROTO;
            return -1;
        }
        if (src.take({&h, 1}) != 0) return -1;
        rest -= sizeof head;
        if (head[1] > rest) {
            errno = EPROTO;
            return -1;
        }
        std::vector<iovec> at(whole);
        std::span<iovec> into(at);
        const size_t n = head[0] < room ? std::min<size_t>(head[1], room - head[0]) : 0;
        skip(into, std::min<size_t>(head[0], room));
        limit(into, n);
        if (src.take(into) != 0 || src.drop(head[1] - n) != 0) return -1;
        rest -= head[1];
    }
    return 0;
}

/* now_ns reads CLOCK_MONOTONIC in nanoseconds. */
static int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * NS_PER_S + t.tv_nsec;
}

/* nap waits ns nanoseconds with the signal mask mask, or less when a signal
 * handler runs; handled is then set. */
static void nap(int64_t ns, const sigset_t *mask, bool &handled) {
    timespec t{static_cast<time_t>(ns / NS_PER_S), static_cast<long>(ns % NS_PER_S)};
    if (ppoll(nullptr, 0, &t, mask) < 0 && errno == EINTR) handled = true;
}

/* end_unrestored ends the process with EX_UNAVAILABLE after one line on
 * standard error that says why the daemon did not restore it. */
[[noreturn]] static void end_unrestored(const char *why) {
    fprintf(stderr, "client: %s (pid %d): the daemon did not restore this process (%s); ending\n",
            program_invocation_short_name, static_cast<int>(getpid()), why);
    exit(EX_UNAVAILABLE);
}

/* ask_restore sends MT_RESTORE naming the held senders pids[0..n) over the
 * new connection, _qnx_socket, as its first request, and reads the answer,
 * with the signal mask mask while it waits (handled is set when a handler
 * ran). The caller holds the write lock. Nothing else goes into the
 * connection before the answer: no interrupt mark (the restore is never
 * broken off; the call sent again after it carries the mark) and no trigger
 * a handler left (the call fires them after it). Returns the answer's
 * retcode (EPROTO for an answer with a body, which MT_RESTORE never has), or
 * -1 with errno when the connection fails. */
static int ask_restore(const int32_t *pids, size_t n, const sigset_t *mask, bool &handled) {
    QNX_REQ<QNX_MSG_RESTORE> rq{};
    rq.hdr.ev.typ = MT_RESTORE;
    rq.hdr.from_pid = my_pid;
    rq.hdr.msg_len = static_cast<uint32_t>(sizeof rq.body + n * sizeof *pids);
    rq.body.version = VORLEN_RESTORE_VERSION;
    rq.body.nheld = static_cast<uint32_t>(n);
    iovec out[2] = {{&rq, sizeof rq}, {const_cast<int32_t *>(pids), n * sizeof *pids}};
    if (write_locked(out, mask, handled) != 0) return -1;
    QNX_MSG_HDR answer;
    size_t got = 0;
    while (got < sizeof answer) {
        pollfd p{_qnx_socket, POLLIN, 0};
        ssize_t k = ppoll(&p, 1, nullptr, mask);
        if (k > 0)
            k = read(_qnx_socket, reinterpret_cast<char *>(&answer) + got, sizeof answer - got);
        if (k < 0 && errno == EINTR) {
            handled = true;
            continue;
        }
        if (k == 0) errno = ECONNRESET;
        if (k <= 0) return -1;
        got += static_cast<size_t>(k);
    }
    return answer.msg_len == 0 ? answer.ev.retcode : EPROTO;
}

/* restore_connection replaces the connection, which failed with err, with a
 * new one to the restarted daemon, and has the daemon restore this process:
 * it connects again and again, 10 ms apart at first and twice as long each
 * time up to 1 s, until VORLEN_RESTORE_WAIT has passed, then sends
 * MT_RESTORE with the senders held (see _qnx_held_restore) as the new
 * connection's first request and waits for the answer, which the daemon
 * gives within its grace period. All the while it holds the write lock, so
 * the library's thread writes nothing into the new connection before the
 * restore is answered, and the process's other threads wait for it when
 * they call (see begin_call_or_wait); a signal handler that calls meanwhile
 * gets EBUSY, and its trigger is left for the caller's call to fire after
 * the restore. handled is set when a handler ran. The caller holds the call
 * guard. Returns once the daemon answered 0. Otherwise it ends the process
 * with status 69 (EX_UNAVAILABLE) and a line that says why: no daemon
 * answered within VORLEN_RESTORE_WAIT, or the one that did has no record of
 * this process (ESRCH), ended the plant (VORLEN_RETCODE_GONE) or refused
 * otherwise. A daemon that goes away again before it answers is waited for
 * as before. */
static void restore_connection(int err, bool &handled) {
    restoring.store(gettid());
    SignalsHeld signals;
    const sigset_t *mask = signals.mask();
    WriteLock lock;
    if (own_connection()) close(_qnx_socket);
    _qnx_socket = -1;
    static int32_t pids[VORLEN_MAX_RESTORE_HELD]; /* the call guard's */
    const size_t nheld = _qnx_held_restore(pids);
    const int64_t start = now_ns(), wait = settings().restore_wait;
    int64_t delay = NS_PER_S / 100;
    snprintf(last_said, sizeof last_said, "%s", strerror(err));
    for (;;) {
        quiet = true;
        const int fd = open_socket();
        quiet = false;
        if (fd >= 0) {
            _qnx_socket = fd;
            my_pid = getpid();
            inherited = false;
            generation++;
            const int rc = ask_restore(pids, nheld, mask, handled);
            if (rc == 0) break;
            if (rc == ESRCH) end_unrestored("it has no record of this process");
            if (rc == VORLEN_RETCODE_GONE) end_unrestored("the daemon ended the plant");
            if (rc > 0) end_unrestored(strerror(rc));
            snprintf(last_said, sizeof last_said, "the daemon went away again: %s",
                     strerror(errno));
            close(fd);
            _qnx_socket = -1;
        }
        const int64_t spent = now_ns() - start;
        if (spent >= wait) {
            char why[sizeof last_said + 64];
            snprintf(why, sizeof why, "no daemon answered within %g s: %s",
                     static_cast<double>(wait) / NS_PER_S, last_said);
            end_unrestored(why);
        }
        nap(std::min(delay, wait - spent), mask, handled);
        delay = std::min(delay * 2, NS_PER_S);
    }
    lock.release();
    signals.release();
    restoring.store(0);
    futex(restoring, FUTEX_WAKE_PRIVATE, INT_MAX);
}

/* await_restore waits, in the library's thread, for a connection newer than
 * generation seen, after a write into the one that failed with err: it
 * restores the connection itself when no call of the program's is in
 * progress, and otherwise leaves it to that call, which meets the failure in
 * its own read. Returns 0, or -1 with errno err when no new connection came
 * within VORLEN_RESTORE_WAIT and a second. */
static int await_restore(unsigned seen, int err) {
    const int64_t until = now_ns() + settings().restore_wait + NS_PER_S;
    while (generation.load() == seen) {
        if (begin_call()) {
            bool handled = false;
            if (generation.load() == seen) restore_connection(err, handled);
            end_call();
            return 0;
        }
        if (now_ns() >= until) {
            errno = err;
            return -1;
        }
        if (const int t = restoring.load(); t != 0) {
            futex(restoring, FUTEX_WAIT_PRIVATE, t);
        } else {
            timespec tick{0, 10000000};
            nanosleep(&tick, nullptr);
        }
    }
    return 0;
}

/* Replay keeps what a request needs to be written again once the connection
 * is restored: the iovecs of the request and of the parts, which writing and
 * reading move on in place, and the bytes of req[0] (the header and the
 * fixed body), which the answer overwrites. Lists of ordinary length stay on
 * the stack. */
class Replay {
    std::array<iovec, 32> few;
    std::vector<iovec> many;
    std::array<unsigned char, 256> few_bytes;
    std::vector<unsigned char> many_bytes;
    std::span<iovec> req_kept, parts_kept;
    std::span<unsigned char> head_kept;

  public:
    int64_t sent = 0; /* when the request was first written */

    void keep(std::span<iovec> req, std::span<iovec> parts) {
        std::span<iovec> room(few);
        if (req.size() + parts.size() > few.size()) {
            many.resize(req.size() + parts.size());
            room = many;
        }
        req_kept = room.first(req.size());
        parts_kept = room.subspan(req.size(), parts.size());
        std::copy(req.begin(), req.end(), req_kept.begin());
        std::copy(parts.begin(), parts.end(), parts_kept.begin());
        std::span<unsigned char> bytes(few_bytes);
        if (req[0].iov_len > bytes.size()) {
            many_bytes.resize(req[0].iov_len);
            bytes = many_bytes;
        }
        head_kept = bytes.first(req[0].iov_len);
        memcpy(head_kept.data(), req[0].iov_base, head_kept.size());
        sent = now_ns();
    }

    /* put_back makes req and parts as they were kept. */
    void put_back(std::span<iovec> req, std::span<iovec> parts) const {
        std::copy(req_kept.begin(), req_kept.end(), req.begin());
        std::copy(parts_kept.begin(), parts_kept.end(), parts.begin());
        memcpy(req[0].iov_base, head_kept.data(), head_kept.size());
    }
};

/* resume_timer shortens a relative timer setting in req[0] (MT_RELABSTIMER,
 * typ 0, a nonzero it_value) by elapsed nanoseconds, the time since it was
 * first sent: a sleep sent again ends when it was to end. A setting whose
 * time has passed becomes 1 ns, as a zero it_value would disarm. */
static void resume_timer(const iovec &head, int64_t elapsed) {
    QNX_MSG_TIMER t;
    if (head.iov_len < sizeof(QNX_MSG_HDR) + sizeof t) return;
    char *body = static_cast<char *>(head.iov_base) + sizeof(QNX_MSG_HDR);
    memcpy(&t, body, sizeof t);
    const int64_t v = int64_t(t.value.it_value.tv_sec) * NS_PER_S + t.value.it_value.tv_nsec;
    if (t.typ != 0 || v <= 0) return;
    const int64_t left = std::max<int64_t>(v - elapsed, 1);
    t.value.it_value.tv_sec = static_cast<int32_t>(left / NS_PER_S);
    t.value.it_value.tv_nsec = static_cast<int32_t>(left % NS_PER_S);
    memcpy(body, &t, sizeof t);
}

/* How the connection failed during an exchange. */
struct Lost {
    int err = 0;           /* the failure's errno; 0: the connection did not fail */
    bool answered = false; /* the answer's header had come whole */
};

/* exchange writes the request and reads its answer once, as _qnx_request
 * says, from the process's connection. ran is set once a signal handler has
 * run during the call (and, set before, has the request followed by an
 * interrupt mark). Returns as _qnx_request does; when the failure is the
 * connection's, lost says how. */
static int exchange(unsigned mode, std::span<iovec> req, std::span<iovec> parts, int saved_errno,
                    bool &ran, Lost &lost) {
    auto *hdr = static_cast<QNX_MSG_HDR *>(req[0].iov_base);
    hdr->from_pid = my_pid;
    SignalsHeld signals;
    bool handled = ran; /* a handler that ran before a restore breaks off the call sent again */
    if (write_all(req, signals.mask(), handled) != 0) {
        lost.err = errno;
        return -1;
    }
    const int waited = wait_answer(signals, handled, ran);
    signals.release();
    if (waited != 0) {
        lost.err = errno;
        return -1;
    }

    /* Requests and answers alternate and nothing follows an answer until the
     * next request, so the header and the first parts of the body may be
     * asked for in one read without taking bytes that belong to no answer. */
    if (mode & QNX_STREAM) parts = {};
    iovec first[16];
    first[0] = {hdr, sizeof *hdr};
    size_t nfirst = 1;
    /* A Send's answer may hold pieces to be put elsewhere than where they
     * come: its first bytes are staged, never read into the parts blindly. */
    char stage[4096];
    if (mode & QNX_PIECES)
        first[nfirst++] = {stage, sizeof stage};
    else
        for (const iovec &p : parts.first(std::min(parts.size(), std::size(first) - 1)))
            first[nfirst++] = p;
    std::span<iovec> head(first, nfirst);
    size_t got = 0;
    while (got < sizeof *hdr) {
        ssize_t n = read_some(head);
        if (n < 0) {
            lost.err = errno;
            return -1;
        }
        got += static_cast<size_t>(n);
    }

    const size_t len = (mode & QNX_STREAM) ? 0 : hdr->msg_len;
    const size_t early = got - sizeof *hdr; /* body bytes already in parts */
    if (early > len) {
        errno = EPROTO; /* more came than the answer announced */
        return -1;
    }
    if (mode & QNX_PIECES) {
        AnswerBytes src{stage, early};
        if (read_reply(*hdr, src, parts) != 0) {
            const int err = errno;
            if (err != EPROTO) lost = {err, true};
            if (err == ECONNRESET && hdr->ev.retcode != 0) errno = hdr->ev.retcode;
            return -1;
        }
        errno = (mode & QNX_CLEAR_ERRNO) ? 0 : saved_errno;
        return hdr->ev.retcode;
    }
    const size_t fit = std::min(len, total(parts));
    skip(parts, early);
    limit(parts, fit - early);
    if (read_all(parts) != 0 || discard(len - fit) != 0) {
        const int err = errno;
        lost = {err, true};
        if (err == ECONNRESET && hdr->ev.retcode != 0) errno = hdr->ev.retcode;
        return -1;
    }
    errno = (mode & QNX_CLEAR_ERRNO) ? 0 : saved_errno;
    return hdr->ev.retcode;
}

int _qnx_request(unsigned mode, std::span<iovec> req, std::span<iovec> parts) {
    const int saved_errno = errno; /* before connecting: the resolver may leave its own */
    Call call(true);
    if (!call.held) {
        errno = EBUSY;
        return -1;
    }
    settings();
    if (!own_connection()) {
        /* Nothing the call names can be the process's own yet, and it must
         * not look as if it had worked: -1 never comes with errno 0. */
        if (!(mode & QNX_OPENING) && !inherited) {
            errno = ENOTCONN;
            return -1;
        }
        open_or_end();
    }
    auto *hdr = static_cast<QNX_MSG_HDR *>(req[0].iov_base);
    const uint16_t typ = hdr->ev.typ, flags = hdr->flags.all;
    int32_t target = 0; /* a Reply's to_pid, a re-read's from_pid: the body's first field */
    if (req[0].iov_len >= sizeof *hdr + sizeof target)
        memcpy(&target, static_cast<const char *>(req[0].iov_base) + sizeof *hdr, sizeof target);
    if (_qnx_held_lost(typ, flags, target)) {
        errno = (mode & QNX_CLEAR_ERRNO) ? 0 : saved_errno;
        return ESRCH;
    }
    const bool restores = on_disconnect() == OnDisconnect::RESTORE;
    Replay replay;
    if (restores) replay.keep(req, parts);
    bool ran = false;
    for (;;) {
        Lost lost;
        const int rc = exchange(mode, req, parts, saved_errno, ran, lost);
        if (lost.err == 0) {
            if (rc >= 0) _qnx_held_note(typ, flags, target, rc, hdr->from_pid);
            return rc;
        }
        const int call_errno = errno;
        if (!restores || !is_gone(lost.err)) {
            daemon_gone(lost.err);
            errno = call_errno;
            return -1;
        }
        restore_connection(lost.err, ran);
        /* A Send whose reply was cut: the receiver has replied, and a Send
         * sent again would deliver the message twice. */
        if (lost.answered && (mode & QNX_PIECES)) {
            errno = call_errno;
            return -1;
        }
        /* Any other call is made again; one whose answer had begun to come
         * (a Receive's message, a listing) is asked for again whole. */
        replay.put_back(req, parts);
        if (typ == MT_SEND) hdr->flags.all |= VORLEN_FLAG_RESUMED;
        if (typ == MT_RELABSTIMER) resume_timer(req[0], now_ns() - replay.sent);
    }
}
