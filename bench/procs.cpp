/* procs.cpp - the benchmark's helper processes: daemon, relay, forked clients, shared memory */
#include "bench.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vorlen.h"

namespace bench {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void spin_ns(int64_t ns) {
    const int64_t end = now_ns() + ns;
    while (now_ns() < end) {
    }
}

void sleep_ns(int64_t ns) {
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* WATCHDOG ends a helper that has not finished after this many seconds. */
constexpr unsigned WATCHDOG = 300;

/* Every process the benchmark started and has not reaped yet, so that none
 * outlives it. A plain array: the signal handler reads it. */
static pid_t tracked[8192];
static volatile sig_atomic_t ntracked = 0;

static void track(pid_t pid) {
    if (ntracked < sig_atomic_t(std::size(tracked))) {
        tracked[ntracked] = pid;
        ntracked = ntracked + 1;
    }
}

static void untrack(pid_t pid) {
    for (int i = ntracked - 1; i >= 0; i--)
        if (tracked[i] == pid) {
            tracked[i] = tracked[ntracked - 1];
            ntracked = ntracked - 1;
            return;
        }
}

static void kill_tracked() {
    for (int i = 0; i < ntracked; i++) kill(tracked[i], SIGKILL);
    for (int i = 0; i < ntracked; i++) waitpid(tracked[i], nullptr, 0);
    ntracked = 0;
}

static void on_signal(int sig) {
    kill_tracked();
    _exit(128 + sig);
}

void cleanup_on_exit() {
    atexit(kill_tracked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, on_signal);
}

pid_t spawn(const std::function<int()> &fn) {
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        /* No child outlives the benchmark, even one killed outright (the
         * daemons too: this survives their exec), and none hangs it for
         * ever: nothing the benchmark does takes WATCHDOG seconds. */
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        alarm(WATCHDOG);
        /* The child leaves the other helpers to the benchmark. */
        ntracked = 0;
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
        int rc;
        try {
            rc = fn();
        } catch (...) {
            rc = 3;
        }
        _exit(rc);
    }
    track(pid);
    return pid;
}

int reap(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    untrack(pid);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int reap_within(pid_t pid, int64_t within_ns) {
    const int64_t deadline = now_ns() + within_ns;
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            untrack(pid);
            return -1;
        }
        if (now_ns() > deadline) return -2;
        sleep_ns(1'000'000);
    }
    untrack(pid);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void kill_reap(pid_t pid) {
    kill(pid, SIGKILL);
    reap(pid);
}

bool is_vid(pid_t id) {
    return VORLEN_IS_VID(id);
}

void use_port(int port, const char *transport) {
    setenv("VORLEN_PORT", std::to_string(port).c_str(), 1);
    setenv("HOSTNAME", "", 1);
    setenv("VORLEN_TRANSPORT", transport, 1);
}

void *shared_alloc(size_t n) {
    void *p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error(std::string("mmap: ") + strerror(errno));
    return p;
}

std::string program_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, size_t(n));
    return path.substr(0, path.rfind('/'));
}

std::string make_workdir() {
    char tmpl[] = "/tmp/vorlen-bench-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    return tmpl;
}

void remove_workdir(const std::string &dir) {
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(dir.c_str());
}

/* free_port picks a loopback port nobody listens on (never the daemon's
 * default, which a daemon in real use may hold). Another process may take
 * it before the server binds it; start_server then tries again. */
static int free_port() {
    for (;;) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(s);
        if (port > 0 && port != VORLEN_DEFAULT_PORT) return port;
    }
}

static bool accepts(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

/* alive tells whether a helper still runs; one that ended is reaped here, so
 * that its pid is never signalled again. */
static bool alive(pid_t pid) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == 0) return true;
    untrack(pid);
    return false;
}

Server start_server(const std::string &program, const std::vector<std::string> &args,
                    const std::string &workdir, int port) {
    const std::string path = program_dir() + "/" + program;
    for (int attempt = 0; attempt < (port ? 1 : 20); attempt++) {
        Server s;
        s.port = port ? port : free_port();
        std::vector<std::string> argv = {path, "-p", std::to_string(s.port)};
        argv.insert(argv.end(), args.begin(), args.end());
        s.pid = spawn([&] {
            if (chdir(workdir.c_str()) != 0) return 127;
            int out = open("/dev/null", O_WRONLY);
            int err = open((program + ".stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            if (err >= 0) dup2(err, 2);
            setenv("LOGDIR", workdir.c_str(), 1);
            alarm(0); /* a server lives as long as the benchmark */
            std::vector<char *> av;
            for (auto &a : argv) av.push_back(a.data());
            av.push_back(nullptr);
            execv(av[0], av.data());
            return 127;
        });
        const int64_t deadline = now_ns() + 10'000'000'000;
        while (alive(s.pid) && !accepts(s.port) && now_ns() < deadline) sleep_ns(2'000'000);
        if (!alive(s.pid)) continue; /* most likely the port was taken meanwhile */
        /* Listening is not yet serving: wait for a first answer through the
         * library, which also shows that the server speaks the protocol. */
        pid_t probe = spawn([&] {
            use_port(s.port);
            bool none =
                qnx_name_locate(0, "vorlen-bench-probe", 0, nullptr) == -1 && errno == ESRCH;
            return none ? DONE : 1;
        });
        if (reap(probe) != DONE) {
            stop_server(s);
            throw std::runtime_error(program + " does not answer on port " +
                                     std::to_string(s.port));
        }
        return s;
    }
    throw std::runtime_error("cannot start " + path);
}

void stop_server(Server &s) {
    if (s.pid <= 0) return;
    kill(s.pid, SIGTERM);
    const int64_t deadline = now_ns() + 2'000'000'000;
    bool running;
    while ((running = alive(s.pid)) && now_ns() < deadline) sleep_ns(1'000'000);
    if (running) kill_reap(s.pid);
    s.pid = -1;
}

} // namespace bench
