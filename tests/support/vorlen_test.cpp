/* vorlen_test.cpp - test support: private daemons, raw wire-protocol clients, forked helpers */
#include "vorlen_test.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#ifndef VORLEN_BIN_DIR
#error "VORLEN_BIN_DIR must name the build's program directory"
#endif

namespace vt {

std::string bin_path(const std::string &program) {
    return std::string(VORLEN_BIN_DIR) + "/" + program;
}

bool plant_certs(const std::string &dir, const std::vector<std::string> &names) {
    std::string cmd = "'" + bin_path("vorlen-certs") + "' ca '" + dir + "' >/dev/null";
    for (const std::string &n : names)
        cmd += " && '" + bin_path("vorlen-certs") + "' node '" + dir + "' '" + n + "' >/dev/null";
    int st = system(cmd.c_str());
    EXPECT_EQ(st, 0) << cmd;
    return st == 0;
}

std::vector<std::string> node_options(const std::string &dir, const std::string &name,
                                      const std::string &netmap) {
    const std::string d = dir + "/" + name + "/";
    return {"--netmap",  netmap,         "--tls-cert", d + "node.crt",
            "--tls-key", d + "node.key", "--tls-ca",   d + "ca.crt"};
}

std::string make_tempdir() {
    char tmpl[] = "/tmp/vorlen-test-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (!d) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return "/tmp";
    }
    return d;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int free_port() {
    for (;;) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            ::close(s);
            continue;
        }
        int port = ntohs(a.sin_port);
        ::close(s);
        if (port != VORLEN_DEFAULT_PORT) return port;
    }
}

/* NotifySocket is the service manager's end of the readiness protocol for
 * one daemon start: a datagram socket under an abstract name of its own,
 * given to the daemon as NOTIFY_SOCKET. The daemon says READY=1 there once
 * every listener takes connections; a connect on one of them could succeed
 * between two listen calls. */
struct NotifySocket {
    int fd = -1;
    std::string name;
    NotifySocket() {
        static int serial = 0;
        name = "@vorlen-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path + 1, name.data() + 1, name.size() - 1);
        socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~NotifySocket() {
        if (fd >= 0) ::close(fd);
    }
    /* release hands the socket over: it stays open, as a service manager's
     * does for as long as the daemon runs. */
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;
    /* ready tells whether READY=1 has come, waiting at most ms. */
    bool ready(int ms) {
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, ms) == 1) {
            char buf[512];
            ssize_t n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
            if (n <= 0) return false;
            buf[n] = '\0';
            /* A datagram holds newline-separated assignments. */
            if (strncmp(buf, "READY=1", 7) == 0 || strstr(buf, "\nREADY=1")) return true;
        }
        return false;
    }
};

/* drain_notify reads what the daemon said on notify socket fd since, so that
 * the socket never fills: a daemon that finds it full says so in its log. */
static void drain_notify(int fd) {
    char buf[512];
    while (fd >= 0 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
}

static bool can_connect(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

Daemon::Daemon(std::vector<std::string> args, std::vector<std::string> env, std::string workdir,
               int as_uid, int stdout_fd) {
    if (workdir.empty()) {
        workdir_ = make_tempdir();
        own_workdir_ = true;
    } else {
        workdir_ = workdir;
    }
    std::string program = bin_path("vorlen");
    if (as_uid >= 0) {
        /* The build tree may not be open to that user. */
        std::string copy = workdir_ + "/vorlen";
        std::error_code ec;
        std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing,
                                   ec);
        if (ec || chmod(copy.c_str(), 0755) != 0 || chmod(workdir_.c_str(), 0755) != 0 ||
            chown(workdir_.c_str(), uid_t(as_uid), gid_t(as_uid)) != 0) {
            ADD_FAILURE() << "cannot prepare " << workdir_ << " for uid " << as_uid;
            return;
        }
        program = copy;
    }
    program_ = program;
    args_ = args;
    env_ = env;
    as_uid_ = as_uid;
    stdout_fd_ = stdout_fd;
    if (!start(0)) return;
    setenv("VORLEN_PORT", std::to_string(port_).c_str(), 1);
    setenv("HOSTNAME", "", 1);
}

bool Daemon::restart(std::vector<std::string> args) {
    if (alive()) {
        ADD_FAILURE() << "restart of a daemon that still runs";
        return false;
    }
    if (!args.empty()) args_ = args;
    if (notify_fd_ >= 0) ::close(notify_fd_);
    notify_fd_ = -1;
    return start(port_);
}

bool Daemon::start(int port) {
    const std::vector<std::string> &args = args_, &env = env_;
    const std::string &program = program_;
    const int as_uid = as_uid_, stdout_fd = stdout_fd_;
    /* A test that gives the daemon a notify socket of its own is told
     * nothing: then the daemon is taken as ready once its port answers. */
    bool own_notify = std::none_of(env.begin(), env.end(), [](const std::string &e) {
        return e.rfind("NOTIFY_SOCKET=", 0) == 0;
    });
    /* A port of its own is tried again when taken; a restart keeps its port. */
    for (int attempt = 0; attempt < (port ? 1 : 20); attempt++) {
        port_ = port ? port : free_port();
        NotifySocket notify;
        std::vector<std::string> argv = {program, "-p", std::to_string(port_)};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(workdir_.c_str()) != 0) _exit(127);
            int out = stdout_fd >= 0 ? dup(stdout_fd)
                                     : open((workdir_ + "/stdout.txt").c_str(),
                                            O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out >= 0) {
                dup2(out, 1);
                ::close(out);
            }
            int err = open((workdir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0) {
                dup2(err, 2);
                ::close(err);
            }
            if (own_notify) setenv("NOTIFY_SOCKET", notify.name.c_str(), 1);
            for (auto &e : env) putenv(strdup(e.c_str()));
            if (as_uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(as_uid)) != 0 ||
                                setuid(uid_t(as_uid)) != 0))
                _exit(126);
            std::vector<char *> av;
            for (auto &a : argv) av.push_back(const_cast<char *>(a.c_str()));
            av.push_back(nullptr);
            execv(av[0], av.data());
            _exit(127);
        }
        bool up = own_notify && notify.fd >= 0
                      ? wait_until([&] { return !alive() || notify.ready(50); }, 10000)
                      : wait_until([&] { return !alive() || can_connect(port_); }, 10000);
        if (up && alive()) {
            if (own_notify) notify_fd_ = notify.release();
            break;
        }
        /* The port was taken between choosing and binding: try another. */
        if (pid_ > 0 && alive()) kill_and_wait(SIGKILL);
        pid_ = -1;
    }
    if (pid_ <= 0) {
        ADD_FAILURE() << "the daemon did not start";
        return false;
    }
    return true;
}

bool Daemon::alive() {
    if (pid_ <= 0) return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int Daemon::kill_and_wait(int sig) {
    if (pid_ <= 0) return -1;
    drain_notify(notify_fd_);
    ::kill(pid_, sig);
    int st = -1;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    return st;
}

std::string Daemon::stdout_text() const {
    return read_file(stdout_path());
}

std::string Daemon::stderr_text() const {
    return read_file(workdir_ + "/stderr.txt");
}

Daemon::~Daemon() {
    drain_notify(notify_fd_);
    if (pid_ > 0) {
        /* A clean stop: the daemon must exit 0, and under the sanitizers its
         * leak check runs at exit, so a leak fails the test that caused it. */
        ::kill(pid_, SIGTERM);
        int st = 0;
        bool done = wait_until([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, 20000);
        if (!done) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            ADD_FAILURE() << "the daemon did not stop on SIGTERM";
        } else if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
            ADD_FAILURE() << "the daemon ended with status " << st << " (a crash or a leak)";
        }
        pid_ = -1;
    }
    std::string err = stderr_text();
    if (!err.empty()) fprintf(stderr, "%s", err.c_str());
    if (own_workdir_) {
        std::string cmd = "rm -rf '" + workdir_ + "'";
        if (system(cmd.c_str()) != 0) { /* leaving a temporary directory is harmless */
        }
    }
    if (notify_fd_ >= 0) ::close(notify_fd_);
}

static Transport current_transport = Transport::tcp;

void use_transport(Transport t) {
    current_transport = t;
    setenv("VORLEN_TRANSPORT", t == Transport::tcp ? "tcp" : "unix", 1);
}

Transport transport() {
    return current_transport;
}

std::string transport_name(const ::testing::TestParamInfo<Transport> &info) {
    return info.param == Transport::tcp ? "tcp" : "unix";
}

void PrintTo(Transport t, std::ostream *os) {
    *os << (t == Transport::tcp ? "tcp" : "unix");
}

int connect_unix(int port) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    int n = snprintf(a.sun_path + 1, sizeof a.sun_path - 1, VORLEN_UNIX_NAME_FORMAT, port);
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    if (s < 0) return -1;
    if (connect(s, reinterpret_cast<sockaddr *>(&a),
                socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(n))) != 0) {
        int e = errno;
        ::close(s);
        errno = e;
        return -1;
    }
    return s;
}

RawClient::RawClient(int port) : RawClient(port, current_transport) {}

bool send_fd(int s, int fd) {
    char byte = 'f';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    return sendmsg(s, &m, 0) == 1;
}

int recv_fd(int s) {
    char byte;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    ssize_t r;
    while ((r = recvmsg(s, &m, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    cmsghdr *c = r == 1 ? CMSG_FIRSTHDR(&m) : nullptr;
    if (!c || c->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

/* start_holder forks the process that holds a raw client's connection,
 * joined to this one by a socket pair: in the child it returns 0, *end the
 * child's end and every other descriptor closed; here the child's pid, *end
 * this process's end; -1 when it cannot. */
static pid_t start_holder(int *end) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        ADD_FAILURE() << "socketpair: " << strerror(errno);
        return -1;
    }
    fflush(nullptr);
    pid_t c = fork();
    if (c == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int keep = sv[1];
        close_range(3, unsigned(keep) - 1, 0);
        close_range(unsigned(keep) + 1, ~0u, 0);
        *end = keep;
        return 0;
    }
    ::close(sv[1]);
    *end = sv[0];
    return c;
}

RawClient::RawClient(int port, Transport t) {
    if (t == Transport::tcp) {
        open_tcp(port, htonl(INADDR_LOOPBACK), htonl(INADDR_ANY));
        return;
    }
    /* The holder connects and hands the socket over with SCM_RIGHTS. */
    int end;
    pid_t c = start_holder(&end);
    if (c < 0) return;
    if (c == 0) {
        int keep = end;
        int s = connect_unix(port);
        if (s < 0) _exit(2);
        if (!send_fd(keep, s)) _exit(3);
        ::close(s);
        ::close(keep);
        for (;;) pause();
    }
    holder_ = c;
    fd_ = recv_fd(end);
    if (fd_ < 0) ADD_FAILURE() << "no connection to @vorlen." << port;
    ::close(end);
}

/* connect_tcp is a TCP connection to the daemon's loopback port; -1 when none. */
static int connect_tcp(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    int one = 1;
    if (s >= 0) setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

RawClient::RawClient(int port, Transport t, Reconnectable) {
    int end;
    pid_t c = start_holder(&end);
    if (c < 0) return;
    if (c == 0) {
        int keep = end;
        /* Each request is a port: connect to it, hand the socket over and
         * keep a copy, as the process that holds the connection. */
        int held = -1;
        int32_t p;
        while (read(keep, &p, sizeof p) == ssize_t(sizeof p)) {
            if (held >= 0) ::close(held);
            held = t == Transport::tcp ? connect_tcp(p) : connect_unix(p);
            if (held < 0 || !send_fd(keep, held)) _exit(3);
        }
        _exit(0);
    }
    holder_ = c;
    ctl_ = end;
    reconnect(port);
}

bool RawClient::reconnect(int port) {
    if (ctl_ < 0) {
        ADD_FAILURE() << "reconnect of a client that cannot";
        return false;
    }
    if (fd_ >= 0) ::close(fd_);
    int32_t p = port;
    fd_ = write(ctl_, &p, sizeof p) == ssize_t(sizeof p) ? recv_fd(ctl_) : -1;
    if (fd_ < 0) ADD_FAILURE() << "no new connection to port " << port;
    return fd_ >= 0;
}

RawClient::RawClient(int port, uint32_t to, uint32_t from) {
    open_tcp(port, to, from);
}

void RawClient::open_tcp(int port, uint32_t to, uint32_t from) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (from != htonl(INADDR_ANY)) {
        a.sin_addr.s_addr = from;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            ADD_FAILURE() << "bind to the source address: " << strerror(errno);
    }
    a.sin_addr.s_addr = to;
    a.sin_port = htons(port);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        ADD_FAILURE() << "connect to port " << port << ": " << strerror(errno);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawClient::~RawClient() {
    close();
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (ctl_ >= 0) ::close(ctl_);
    ctl_ = -1;
    if (!holder_ended_) release_holder(holder_);
    holder_ = -1;
    holder_ended_ = false;
}

void RawClient::end_process() {
    pid();
    release_holder(holder_);
    holder_ended_ = true;
}

pid_t RawClient::pid() const {
    if (holder_ <= 0) holder_ = hold_all({fd_});
    return holder_;
}

pid_t hold_all(const std::vector<int> &fds) {
    fflush(nullptr);
    pid_t c = fork();
    if (c == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); /* never outlives the process it holds for */
        /* Keep exactly these sockets: others' connections must end when
         * their own holders do. */
        std::vector<int> keep(fds);
        std::sort(keep.begin(), keep.end());
        unsigned from = 3;
        for (int fd : keep) {
            if (unsigned(fd) > from) close_range(from, unsigned(fd) - 1, 0);
            from = unsigned(fd) + 1;
        }
        close_range(from, ~0u, 0);
        for (;;) pause();
    }
    return c;
}

void release_holder(pid_t holder) {
    if (holder > 0) {
        ::kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
}

void RawClient::send_bytes(const void *p, size_t n) {
    const char *c = static_cast<const char *>(p);
    while (n > 0) {
        ssize_t w = ::send(fd_, c, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ADD_FAILURE() << "send: " << strerror(errno);
            return;
        }
        c += w;
        n -= size_t(w);
    }
}

std::vector<uint8_t> RawClient::recv_exact(size_t n, int timeout_ms) {
    std::vector<uint8_t> b(n);
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            ADD_FAILURE() << "timed out after " << got << " of " << n << " bytes";
            b.resize(got);
            return b;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0) continue;
        ssize_t r = ::recv(fd_, b.data() + got, n - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ADD_FAILURE() << "connection ended after " << got << " of " << n << " bytes";
            b.resize(got);
            return b;
        }
        got += size_t(r);
    }
    return b;
}

QNX_MSG_HDR RawClient::recv_hdr(int timeout_ms) {
    QNX_MSG_HDR h;
    memset(&h, 0xEE, sizeof h);
    auto b = recv_exact(sizeof h, timeout_ms);
    if (b.size() == sizeof h) memcpy(&h, b.data(), sizeof h);
    return h;
}

bool RawClient::silent(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

bool RawClient::closed_by_peer(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
    return false;
}

void append_u32(std::vector<uint8_t> &b, uint32_t v) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&v);
    b.insert(b.end(), p, p + 4);
}

std::vector<uint8_t> hdr(uint16_t typ, int32_t from_pid, uint32_t msg_len) {
    QNX_MSG_HDR h;
    memset(&h, 0, sizeof h);
    h.ev.typ = typ;
    h.from_pid = from_pid;
    h.msg_len = msg_len;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&h);
    return std::vector<uint8_t>(p, p + sizeof h);
}

std::vector<uint8_t> send_req(uint16_t typ, int32_t from_pid, int32_t to_pid,
                              const std::vector<std::string> &blocks) {
    uint32_t len = sizeof(QNX_MSG_HDR_SND);
    for (auto &s : blocks) len += 4 + uint32_t(s.size());
    std::vector<uint8_t> b = hdr(typ, from_pid, len);
    QNX_MSG_HDR_SND snd{};
    snd.to_pid = to_pid;
    snd.nblocks = uint32_t(blocks.size());
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&snd);
    b.insert(b.end(), p, p + sizeof snd);
    for (auto &s : blocks) {
        append_u32(b, uint32_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
    }
    return b;
}

std::vector<uint8_t> names_listing(pid_t pid) {
    QNX_MSG_SIN s{};
    s.typ = SIN_NAMES;
    return req(MT_SIN, pid, s);
}

void expect_names_listing(RawClient &c) {
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, 0);
    ASSERT_EQ(h.msg_len, sizeof(QNX_MSG_SIN_RNAMES));
    auto rec = c.recv_exact(sizeof(QNX_MSG_SIN_RNAMES));
    ASSERT_EQ(rec.size(), sizeof(QNX_MSG_SIN_RNAMES));
    int32_t pid;
    memcpy(&pid, rec.data(), 4);
    EXPECT_EQ(pid, -1);
}

void expect_status(RawClient &c, int retcode) {
    QNX_MSG_HDR h = c.recv_hdr();
    EXPECT_EQ(h.ev.retcode, retcode);
    EXPECT_EQ(h.msg_len, 0u);
}

bool listing_answered(RawClient &c) {
    c.send_bytes(names_listing(c.pid()));
    QNX_MSG_HDR h = c.recv_hdr();
    if (h.ev.retcode != 0) return false;
    return c.recv_exact(h.msg_len).size() == h.msg_len;
}

void receive(RawClient &c, pid_t pid, pid_t from, uint32_t nbytes, uint32_t offset, uint16_t typ) {
    QNX_MSG_RCV r{};
    r.from_pid = from;
    r.nbytes = nbytes;
    r.offset = offset;
    c.send_bytes(req(typ, pid, r));
}

int mktimer(RawClient &c, pid_t pid, int32_t notify, int32_t evt, int32_t type) {
    QNX_MSG_MKTIMER body{};
    body.timer_type = type;
    body.notify_type = notify;
    body.itimercb.itcb_event.evt_value = evt;
    body.itimercb.itcb_count = 5;
    c.send_bytes(req(MT_MKTIMER, pid, body));
    QNX_MSG_HDR h = c.recv_hdr();
    if (h.ev.retcode != 0) {
        EXPECT_EQ(h.msg_len, 0u);
        return -int(h.ev.retcode);
    }
    EXPECT_EQ(h.msg_len, sizeof body);
    auto b = c.recv_exact(sizeof body);
    if (b.size() != sizeof body) return -1000;
    QNX_MSG_MKTIMER ans;
    memcpy(&ans, b.data(), sizeof ans);
    body.timer_nr = ans.timer_nr;
    EXPECT_EQ(memcmp(&ans, &body, sizeof ans), 0);
    return ans.timer_nr;
}

/* Reads a listing in a forked child and hands the records back through a pipe. */
template <typename R> static std::vector<R> list_kind(int port, int typ) {
    int pfd[2];
    std::vector<R> out;
    if (pipe(pfd) != 0) {
        ADD_FAILURE() << "pipe";
        return out;
    }
    pid_t c = fork();
    if (c == 0) {
        int keep = pfd[1];
        close_range(3, unsigned(keep) - 1, 0);
        close_range(unsigned(keep) + 1, ~0u, 0);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) _exit(2);
        QNX_MSG_SIN body{};
        body.typ = typ;
        auto rq = req(MT_SIN, getpid(), body);
        if (write(s, rq.data(), rq.size()) != ssize_t(rq.size())) _exit(3);
        auto readn = [&](void *p, size_t n) {
            size_t got = 0;
            while (got < n) {
                ssize_t r = read(s, static_cast<char *>(p) + got, n - got);
                if (r <= 0) _exit(4);
                got += size_t(r);
            }
        };
        QNX_MSG_HDR h;
        readn(&h, sizeof h);
        if (h.ev.retcode != 0 || h.msg_len != sizeof(R)) _exit(5);
        for (;;) {
            R r;
            readn(&r, sizeof r);
            if (r.pid == -1) break;
            if (typ == SIN_PROCESSES && r.pid == getpid()) continue;
            if (write(pfd[1], &r, sizeof r) != ssize_t(sizeof r)) _exit(6);
        }
        _exit(0);
    }
    ::close(pfd[1]);
    for (;;) {
        R r;
        size_t got = 0;
        while (got < sizeof r) {
            ssize_t n = read(pfd[0], reinterpret_cast<char *>(&r) + got, sizeof r - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        if (got < sizeof r) break;
        out.push_back(r);
    }
    ::close(pfd[0]);
    int st;
    waitpid(c, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
        ADD_FAILURE() << "listing " << typ << " failed: status " << st;
    return out;
}

std::vector<QNX_MSG_SIN_RPID> list_processes(int port) {
    return list_kind<QNX_MSG_SIN_RPID>(port, SIN_PROCESSES);
}
std::vector<QNX_MSG_SIN_RPROXYS> list_proxies(int port) {
    return list_kind<QNX_MSG_SIN_RPROXYS>(port, SIN_PROXIES);
}
std::vector<QNX_MSG_SIN_RTIMERS> list_timers(int port) {
    return list_kind<QNX_MSG_SIN_RTIMERS>(port, SIN_TIMERS);
}
std::vector<QNX_MSG_SIN_RNAMES> list_names(int port) {
    return list_kind<QNX_MSG_SIN_RNAMES>(port, SIN_NAMES);
}
QNX_MSG_SIN_RSTATUS daemon_status(int port) {
    auto recs = list_kind<QNX_MSG_SIN_RSTATUS>(port, SIN_STATUS);
    QNX_MSG_SIN_RSTATUS none{};
    EXPECT_FALSE(recs.empty());
    return recs.empty() ? none : recs[0];
}

QNX_MSG_SIN_RPID process_record(int port, pid_t pid) {
    for (auto &r : list_processes(port))
        if (r.pid == pid) return r;
    QNX_MSG_SIN_RPID none;
    memset(&none, 0, sizeof none);
    return none;
}

bool wait_until(const std::function<bool()> &cond, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool wait_state(int port, pid_t pid, int state, int timeout_ms) {
    return wait_until([&] { return process_record(port, pid).block_state == state; }, timeout_ms);
}

Sleeper::Sleeper() {
    pid_ = fork();
    if (pid_ == 0) {
        /* Inherited sockets would keep other clients' connections open. */
        close_range(3, ~0u, 0);
        for (;;) pause();
    }
}

void Sleeper::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

Sleeper::~Sleeper() {
    kill();
}

pid_t spawn(const std::function<int()> &fn) {
    fflush(nullptr);
    pid_t c = fork();
    if (c == 0) {
        int rc = fn();
        fflush(nullptr);
        exit(rc);
    }
    return c;
}

int wait_exit(pid_t pid, int timeout_ms) {
    int st = 0;
    bool done = wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, timeout_ms);
    if (!done) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        ADD_FAILURE() << "child " << pid << " did not end in time";
        return -1;
    }
    if (!WIFEXITED(st)) {
        ADD_FAILURE() << "child " << pid << " ended abnormally: status " << st;
        return -1;
    }
    return WEXITSTATUS(st);
}

} // namespace vt
