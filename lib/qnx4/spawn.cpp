/* spawn.cpp - starting and finding programs the QNX 4 way: the spawn calls, qnx_spawn, searchenv */
/* The spawn calls start programs with the host's posix_spawn. qnx_spawn
 * forks and execs instead, since the child must change its own nice value
 * and session before the program runs, which posix_spawn cannot do. */
#include "qnx/env.h"
#include "qnx/process.h"
#include "qnx/sys/psinfo.h"
#include "qnx/sys/sched.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

/* qnx_spawn_options starts out as QNX 4's did: the library's own buffer,
 * this node, the caller's priority and scheduling, no flags, every
 * descriptor inherited and no controlling terminal. */
struct _qnx_spawn_globs qnx_spawn_options = {
    nullptr, 0, -1, -1, 0, {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1}, -1, 0, {0, 0, 0, 0, 0}};

namespace {

/* wait_status waits for child pid and gives what P_WAIT returns: its exit
 * status, or 128 + the number of the signal that ended it. A caught signal
 * does not end the wait, which would leave the child a zombie. Returns -1
 * with errno of waitpid. */
int wait_status(pid_t pid) {
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, 0);
        if (r == pid) break;
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

/* Attributes holds the spawn attributes that the flags of
 * qnx_spawn_options ask for: a process group or session of the program's
 * own, every signal default and unblocked. */
struct Attributes {
    posix_spawnattr_t attr;
    bool used = false;
    Attributes() {
        const int flags = qnx_spawn_options.flags;
        short want = 0;
        if (flags & _SPAWN_SETSID)
            want |= POSIX_SPAWN_SETSID;
        else if (flags & _SPAWN_NEWPGRP)
            want |= POSIX_SPAWN_SETPGROUP; /* group 0: the program's own pid */
        if (flags & _SPAWN_SIGCLR) want |= POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (want == 0 || posix_spawnattr_init(&attr) != 0) return;
        used = true;
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, want);
    }
    ~Attributes() {
        if (used) posix_spawnattr_destroy(&attr);
    }
    const posix_spawnattr_t *get() const { return used ? &attr : nullptr; }
    Attributes(const Attributes &) = delete;
    Attributes &operator=(const Attributes &) = delete;
};

/* launch starts path with argv and envp (null: the caller's environment)
 * through posix_spawn, or through posix_spawnp, which looks path up in PATH,
 * when search is set, with the flags of qnx_spawn_options. Returns the pid,
 * or -1 with errno of the spawn, which tells also of an exec that failed. */
pid_t launch(bool search, const char *path, char *const argv[], char *const envp[]) {
    pid_t pid;
    Attributes attributes;
    int rc = (search ? posix_spawnp : posix_spawn)(&pid, path, nullptr, attributes.get(), argv,
                                                   envp ? envp : environ);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

/* What the helper of start_orphan tells its caller. */
struct Started {
    pid_t pid;
    int error; /* errno of the start when pid is -1 */
};

/* start_orphan calls start, which starts a program and returns its pid (or
 * -1 with errno), in a helper process that ends as soon as start returns,
 * and waits for the helper. The program is then nobody's child: the
 * system's reaper waits for it, so it never stays a zombie of the caller,
 * whose other children and SIGCHLD handling stay as they were (the handler
 * sees the helper end). A double fork rather than SA_NOCLDWAIT, which would
 * affect all the caller's children. Returns the pid, or -1 with errno of
 * start, pipe or fork (ECHILD when the helper died before it could tell). */
template <typename Start> pid_t start_orphan(Start start) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t helper = fork();
    if (helper == -1) {
        int e = errno;
        close(fds[0]);
        close(fds[1]);
        errno = e;
        return -1;
    }
    if (helper == 0) {
        close(fds[0]);
        Started s{start(), 0};
        if (s.pid == -1) s.error = errno;
        /* A failed write leaves nothing to do: the caller sees the pipe close. */
        ssize_t told = write(fds[1], &s, sizeof s);
        _exit(told == ssize_t(sizeof s) ? 0 : 1);
    }
    close(fds[1]);
    Started s{-1, ECHILD};
    ssize_t n;
    do n = read(fds[0], &s, sizeof s);
    while (n == -1 && errno == EINTR);
    close(fds[0]);
    /* The caller's SIGCHLD handler may have waited for the helper already. */
    while (waitpid(helper, nullptr, 0) == -1 && errno == EINTR) {
    }
    if (n != ssize_t(sizeof s)) s = {-1, ECHILD};
    if (s.pid == -1) errno = s.error;
    return s.pid;
}

/* launch_at launches as launch does and gives the program the priority of
 * qnx_spawn_options unless it is -1, as setprio gives it (a refused change
 * is passed over); the program runs at the caller's until then. */
pid_t launch_at(bool search, const char *path, char *const argv[], char *const envp[]) {
    pid_t pid = launch(search, path, argv, envp);
    if (pid != -1 && qnx_spawn_options.priority != -1) {
        const int saved_errno = errno;
        setprio(pid, qnx_spawn_options.priority);
        errno = saved_errno;
    }
    return pid;
}

/* spawn carries out mode for program path (looked up in PATH when search is
 * set) with argv and envp (null: the caller's). Returns and fails as the
 * spawn calls do. */
int spawn(int mode, bool search, const char *path, char *const argv[], char *const envp[]) {
    const nid_t node = qnx_spawn_options.node;
    if (node != 0 && node != getnid()) {
        errno = ESRCH;
        return -1;
    }
    switch (mode) {
    case P_WAIT: {
        pid_t pid = launch_at(search, path, argv, envp);
        return pid == -1 ? -1 : wait_status(pid);
    }
    case P_NOWAIT:
        return launch_at(search, path, argv, envp);
    case P_NOWAITO:
        return start_orphan([=] { return launch(search, path, argv, envp); });
    case P_OVERLAY:
        if (search)
            execvpe(path, argv, envp ? envp : environ);
        else
            execve(path, argv, envp ? envp : environ);
        return -1;
    default:
        errno = EINVAL;
        return -1;
    }
}

/* The arguments of a spawn call of the l forms, as the v forms take them. */
struct Args {
    std::vector<char *> argv;
    char **envp = nullptr;

    /* take gathers arg0 and the arguments after it up to the null pointer,
     * then, with_env, the environment pointer after that. Returns false with
     * errno ENOMEM when there is no memory for them. */
    bool take(const char *arg0, va_list &ap, bool with_env) noexcept {
        try {
            for (const char *a = arg0; a; a = va_arg(ap, const char *))
                argv.push_back(const_cast<char *>(a));
            argv.push_back(nullptr);
        } catch (...) {
            errno = ENOMEM;
            return false;
        }
        if (with_env) envp = va_arg(ap, char **);
        return true;
    }
};

/* How qnx_spawn prepares the child before the program runs. */
struct Setup {
    int priority; /* -1: as the caller's */
    int flags;    /* _SPAWN_* */
    const char *path;
    char *const *argv;
    char *const *envp;
};

/* prepare makes the forked child as s asks. It runs between fork and exec,
 * so it makes only system calls; a refused change is passed over, as setprio
 * passes it over. */
void prepare(const Setup &s) {
    if (s.priority != -1) setprio(0, s.priority);
    if (s.flags & _SPAWN_SETSID)
        setsid();
    else if (s.flags & _SPAWN_NEWPGRP)
        setpgid(0, 0);
    if (s.flags & _SPAWN_SIGCLR) {
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; sig++) sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
    }
}

/* fork_exec starts s.path in a forked child prepared as s asks. A failed
 * exec is told back through a close-on-exec pipe, which the exec itself
 * closes when it succeeds, so the caller learns of it before returning.
 * Returns the pid, or -1 with errno of pipe, fork or the exec. */
pid_t fork_exec(const Setup &s) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == -1) {
        int e = errno;
        close(fds[0]);
        close(fds[1]);
        errno = e;
        return -1;
    }
    if (pid == 0) {
        close(fds[0]);
        prepare(s);
        execve(s.path, s.argv, s.envp);
        int e = errno;
        ssize_t told = write(fds[1], &e, sizeof e);
        (void)told; /* unless it is told, the caller takes the child for started */
        _exit(127);
    }
    close(fds[1]);
    int e = 0;
    ssize_t n;
    do n = read(fds[0], &e, sizeof e);
    while (n == -1 && errno == EINTR);
    close(fds[0]);
    if (n != ssize_t(sizeof e)) return pid;
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
    errno = e;
    return -1;
}

/* found_at tells whether file name exists in directory dir (null: the
 * working directory) and then puts its absolute path into buffer (PATH_MAX
 * bytes). A path that would not fit counts as not there. */
bool found_at(const char *dir, const char *name, char *buffer) {
    char cwd[PATH_MAX], path[PATH_MAX];
    bool relative = !dir || dir[0] != '/';
    if (relative && !getcwd(cwd, sizeof cwd)) return false;
    int n;
    if (!dir)
        n = snprintf(path, sizeof path, "%s/%s", cwd, name);
    else if (relative)
        n = snprintf(path, sizeof path, "%s/%s/%s", cwd, dir, name);
    else
        n = snprintf(path, sizeof path, "%s/%s", dir, name);
    if (n < 0 || n >= PATH_MAX || access(path, F_OK) != 0) return false;
    memcpy(buffer, path, size_t(n) + 1);
    return true;
}

} // namespace

extern "C" {

/* The spawn calls: see <process.h>. The l forms fail with ENOMEM too, when
 * there is no memory to gather the arguments. */
int spawnl(int mode, const char *path, const char *arg0, ...) {
    Args a;
    va_list ap;
    va_start(ap, arg0);
    bool ok = a.take(arg0, ap, false);
    va_end(ap);
    return ok ? spawn(mode, false, path, a.argv.data(), nullptr) : -1;
}

int spawnle(int mode, const char *path, const char *arg0, ...) {
    Args a;
    va_list ap;
    va_start(ap, arg0);
    bool ok = a.take(arg0, ap, true);
    va_end(ap);
    return ok ? spawn(mode, false, path, a.argv.data(), a.envp) : -1;
}

int spawnlp(int mode, const char *file, const char *arg0, ...) {
    Args a;
    va_list ap;
    va_start(ap, arg0);
    bool ok = a.take(arg0, ap, false);
    va_end(ap);
    return ok ? spawn(mode, true, file, a.argv.data(), nullptr) : -1;
}

int spawnlpe(int mode, const char *file, const char *arg0, ...) {
    Args a;
    va_list ap;
    va_start(ap, arg0);
    bool ok = a.take(arg0, ap, true);
    va_end(ap);
    return ok ? spawn(mode, true, file, a.argv.data(), a.envp) : -1;
}

int spawnv(int mode, const char *path, char *const argv[]) {
    return spawn(mode, false, path, argv, nullptr);
}

int spawnve(int mode, const char *path, char *const argv[], char *const envp[]) {
    return spawn(mode, false, path, argv, envp);
}

int spawnvp(int mode, const char *file, char *const argv[]) {
    return spawn(mode, true, file, argv, nullptr);
}

int spawnvpe(int mode, const char *file, char *const argv[], char *const envp[]) {
    return spawn(mode, true, file, argv, envp);
}

/* qnx_spawn starts path on this node and returns the pid without waiting.
 * Fails with ESRCH for another node, EINVAL for a null path or argv, or with
 * the errno of fork or of the exec that failed in the child. */
pid_t qnx_spawn(int mode, struct _proc_spawn *msgbuf, nid_t node, int priority, int sched_algo,
                int flags, const char *path, char *const argv[], char *const envp[],
                const char *iov, int ctfd) {
    (void)mode;
    (void)msgbuf;
    (void)sched_algo;
    (void)iov;
    (void)ctfd;
    if (node != 0 && node != getnid()) {
        errno = ESRCH;
        return -1;
    }
    if (!path || !argv) {
        errno = EINVAL;
        return -1;
    }
    Setup s{priority, flags, path, argv, envp ? envp : environ};
    if (flags & _SPAWN_NOZOMBIE) return start_orphan([&s] { return fork_exec(s); });
    return fork_exec(s);
}

/* searchenv looks for name in the working directory, then along the list in
 * env_var; a directory too long to be one is passed over. It cannot fail:
 * buffer is empty when name is not found. */
void searchenv(const char *name, const char *env_var, char *buffer) {
    buffer[0] = '\0';
    if (!name || !name[0]) return;
    if (name[0] == '/') {
        if (strlen(name) < PATH_MAX && access(name, F_OK) == 0) strcpy(buffer, name);
        return;
    }
    if (found_at(nullptr, name, buffer)) return;
    const char *list = env_var ? getenv(env_var) : nullptr;
    for (const char *p = list; p; p = strchr(p, ':') ? strchr(p, ':') + 1 : nullptr) {
        size_t n = strcspn(p, ":");
        char dir[PATH_MAX];
        if (n >= sizeof dir) continue;
        memcpy(dir, p, n);
        dir[n] = '\0';
        if (found_at(n > 0 ? dir : nullptr, name, buffer)) return;
    }
}

} // extern "C"
