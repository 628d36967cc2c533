/* psinfo.cpp - QNX 4's process manager queries: qnx_pflags, qnx_psinfo, qnx_sid_query, qnx_osinfo
 */
/* Processes, sessions and the node are the host's, read from /proc; the
 * daemon adds what only it knows: who is blocked in message passing, and on
 * whom. */
#include "../core.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

/* The wire's blocking states under names of their own: QNX 4's
 * <sys/psinfo.h> takes the names STATE_* for its own numbering. */
constexpr int32_t WIRE_RECEIVE_BLOCKED = STATE_RECEIVE_BLOCKED;
constexpr int32_t WIRE_SEND_BLOCKED = STATE_SEND_BLOCKED;
constexpr int32_t WIRE_REPLY_BLOCKED = STATE_REPLY_BLOCKED;
#undef STATE_READY
#undef STATE_RECEIVE_BLOCKED
#undef STATE_SEND_BLOCKED
#undef STATE_REPLY_BLOCKED

#include "qnx/sys/osinfo.h"
#include "qnx/sys/psinfo.h"
#include "qnx/sys/sched.h"
#include "qnx/sys/sidinfo.h"
#include "qnx/sys/vc.h"

/* The flags a process set with qnx_pflags, kept so that a program reading
 * them back (with qnx_pflags or qnx_psinfo) finds what it set. */
static long pflags = 0;

/* read_path reads up to size - 1 bytes of file path into buf and ends them
 * with a zero; /proc files that are longer are cut. Returns the number of
 * bytes read, or -1 with errno when the file cannot be opened or read. */
static ssize_t read_path(const char *path, char *buf, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t have = 0;
    while (have < size - 1) {
        ssize_t n = read(fd, buf + have, size - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (n == 0) break;
        have += size_t(n);
    }
    close(fd);
    buf[have] = '\0';
    return ssize_t(have);
}

/* read_proc reads file what of process pid as read_path does; -1 also when
 * the process has gone. */
static ssize_t read_proc(pid_t pid, const char *what, char *buf, size_t size) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", int(pid), what);
    return read_path(path, buf, size);
}

/* field finds the line of text that begins with key (given with the line
 * end before it, as "\nUid:") and returns where its value begins, or null. */
static const char *field(const char *text, const char *key) {
    const char *p = strstr(text, key);
    return p ? p + strlen(key) : nullptr;
}

/* The part of /proc/<pid>/stat that the queries use. */
struct Stat {
    char state; /* R, S, D, T, t, Z, ... */
    int ppid, pgrp, session;
    unsigned flags;           /* the kernel's PF_* bits */
    unsigned long long start; /* clock ticks after boot */
    char comm[32];            /* the kernel's short name of the program */
};

/* A kernel thread: in session 0 of every host, and no program's session. */
constexpr unsigned PF_KTHREAD = 0x00200000;

/* read_stat fills st for process pid. Returns false when it has gone. */
static bool read_stat(pid_t pid, Stat &st) {
    char buf[2048];
    if (read_proc(pid, "stat", buf, sizeof buf) <= 0) return false;
    /* The name may hold blanks and parentheses; the last ')' ends it. */
    char *open_paren = strchr(buf, '(');
    char *close_paren = strrchr(buf, ')');
    if (!open_paren || !close_paren || close_paren < open_paren) return false;
    size_t n = std::min(size_t(close_paren - open_paren - 1), sizeof st.comm - 1);
    memcpy(st.comm, open_paren + 1, n);
    st.comm[n] = '\0';
    /* Fields 3 (state) to 22 (start time); only the tokens wanted are converted. */
    return sscanf(close_paren + 1,
                  " %c %d %d %d %*s %*s %u %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                  &st.state, &st.ppid, &st.pgrp, &st.session, &st.flags, &st.start) == 6;
}

/* processes lists the ids of all processes in /proc (threads other than a
 * process's first are not listed there), unsorted. */
static std::vector<pid_t> processes() {
    std::vector<pid_t> ids;
    DIR *d = opendir("/proc");
    if (!d) return ids;
    while (dirent *e = readdir(d)) {
        char *end;
        long id = strtol(e->d_name, &end, 10);
        if (*end == '\0' && id > 0 && id <= INT_MAX) ids.push_back(pid_t(id));
    }
    closedir(d);
    return ids;
}

/* children lists the children of process pid, of all its threads, each
 * thread's oldest first (the kernel adds a child at the end of its list).
 * The list is empty when the kernel does not offer it. */
static std::vector<pid_t> children(pid_t pid) {
    std::vector<pid_t> ids;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task", int(pid));
    DIR *d = opendir(path);
    if (!d) return ids;
    while (dirent *e = readdir(d)) {
        char *end;
        long tid = strtol(e->d_name, &end, 10);
        if (*end != '\0' || tid <= 0) continue;
        char file[96], buf[4096];
        snprintf(file, sizeof file, "%s/%ld/children", path, tid);
        int fd = open(file, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        /* The list may be longer than one buffer; a number may straddle two. */
        std::string text;
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) text.append(buf, size_t(n));
        close(fd);
        for (const char *p = text.c_str(); *p;) {
            char *end;
            long id = strtol(p, &end, 10);
            if (end == p) break;
            ids.push_back(pid_t(id));
            p = end;
        }
    }
    closedir(d);
    return ids;
}

/* boot_time returns when the host started, in seconds since the epoch, or 0
 * when /proc/stat does not tell. The line comes after one per processor and
 * the long interrupt counts, so the whole file is read. */
static time_t read_boot_time() {
    int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text.append(buf, size_t(n));
    close(fd);
    const char *p = field(text.c_str(), "\nbtime ");
    return p ? time_t(strtoll(p, nullptr, 10)) : 0;
}

static time_t boot_time() {
    static const time_t boot = read_boot_time();
    return boot;
}

/* qnx4_state gives QNX 4's number for a blocking state of the wire. */
static char qnx4_state(int32_t wire) {
    switch (wire) {
    case WIRE_SEND_BLOCKED:
        return STATE_SEND_BLOCKED;
    case WIRE_RECEIVE_BLOCKED:
        return STATE_RECEIVE_BLOCKED;
    case WIRE_REPLY_BLOCKED:
        return STATE_REPLY_BLOCKED;
    default:
        return STATE_READY;
    }
}

/* daemon_record looks process pid up in the daemon's process listing and
 * gives its wire state and the pid it is blocked on. The whole listing is
 * read, as the connection requires. Returns false when pid is not listed or
 * the listing cannot be had. */
static bool daemon_record(pid_t pid, int32_t &state, int32_t &on) {
    QNX_MSG_SIN_RPID r;
    bool found = false;
    for (int rc = _qnx_squery(SIN_PROCESSES, &r); rc == 0 && r.pid != -1;
         rc = _qnx_squery_next(&r)) {
        if (r.pid != pid) continue;
        state = r.block_state;
        on = r.block_pid;
        found = true;
    }
    return found;
}

/* describe fills info for pid when it is a process (not a further thread of
 * one). Returns false when it is not, or has gone. */
static bool describe(pid_t pid, _psinfo *info) {
    char status[4096];
    Stat st;
    if (read_proc(pid, "status", status, sizeof status) <= 0) return false;
    const char *tgid = field(status, "\nTgid:");
    if (!tgid || strtol(tgid, nullptr, 10) != pid || !read_stat(pid, st)) return false;
    int prio = getprio(pid);
    if (prio == -1) return false;

    memset(info, 0, sizeof *info);
    info->pid = pid;
    info->pid_group = st.pgrp;
    info->sid = st.session;
    info->nid = getnid();
    /* The process manager's own bits are never the caller's to set. */
    info->flags = pid == getpid() ? pflags & ~(_PPF_VID | _PPF_MID) : 0;
    info->priority = char(prio);
    unsigned long real, effective;
    if (const char *p = field(status, "\nUid:");
        p && sscanf(p, "%lu %lu", &real, &effective) == 2) {
        info->ruid = uid_t(real);
        info->euid = uid_t(effective);
    }
    if (const char *p = field(status, "\nGid:");
        p && sscanf(p, "%lu %lu", &real, &effective) == 2) {
        info->rgid = gid_t(real);
        info->egid = gid_t(effective);
    }
    if (const char *p = field(status, "\nUmask:")) info->umask = mode_t(strtoul(p, nullptr, 8));
    auto sigset = [&](const char *key) {
        const char *p = field(status, key);
        return p ? long(strtoull(p, nullptr, 16)) : 0L;
    };
    info->signal_ignore = sigset("\nSigIgn:");
    info->signal_mask = sigset("\nSigBlk:");
    info->signal_pending = sigset("\nSigPnd:") | sigset("\nShdPnd:");

    /* A stopped or ended process is that whatever the daemon last saw. */
    int32_t wire, on;
    if (st.state == 'T' || st.state == 't') {
        info->state = STATE_HELD;
    } else if (st.state == 'Z' || st.state == 'X') {
        info->state = STATE_DEAD;
    } else if (daemon_record(pid, wire, on)) {
        info->state = qnx4_state(wire);
        if (info->state != STATE_READY) info->blocked_on = on;
    } else {
        info->state = STATE_READY;
    }

    info->un.proc.father = st.ppid;
    std::vector<pid_t> sons = children(pid);
    if (!sons.empty()) info->un.proc.son = sons.back();
    if (st.ppid > 0) {
        std::vector<pid_t> brothers = children(st.ppid);
        auto me = std::find(brothers.begin(), brothers.end(), pid);
        if (me != brothers.end() && me != brothers.begin()) info->un.proc.brother = *(me - 1);
    }
    /* The command line's first word; a kernel thread or an ended process has
     * none, and then the kernel's name stands. */
    char *name = info->un.proc.name;
    if (read_proc(pid, "cmdline", name, sizeof info->un.proc.name) <= 0 || name[0] == '\0')
        snprintf(name, sizeof info->un.proc.name, "%s", st.comm);
    long tick = sysconf(_SC_CLK_TCK);
    if (tick > 0) info->un.proc.start_time = boot_time() + time_t(st.start / (unsigned long)tick);
    return true;
}

/* live_circuit puts what circuit vid stands for into res; false with errno
 * ESRCH when vid is no live circuit, or that of the daemon's answer. */
static bool live_circuit(pid_t vid, QNX_MSG_VC_RES &res) {
    int rc = _qnx_vc_query(vid, &res);
    if (rc > 0) errno = rc;
    if (rc != 0) return false;
    if (res.pid == 0) {
        errno = ESRCH;
        return false;
    }
    return true;
}

/* describe_vid fills info for vid, a circuit to a process of another node:
 * _PPF_VID, and un.vproc with the far node, the far process and the far
 * end's id of the circuit. Returns false (errno ESRCH) when vid is no live
 * circuit, or with the errno of the daemon's answer. */
static bool describe_vid(pid_t vid, _psinfo *info) {
    QNX_MSG_VC_RES res;
    if (!live_circuit(vid, res)) return false;
    memset(info, 0, sizeof *info);
    info->pid = vid;
    info->nid = getnid();
    info->flags = _PPF_VID;
    info->priority = char(VORLEN_PRIO_OF_NICE(0));
    int32_t wire, on;
    info->state = daemon_record(vid, wire, on) ? qnx4_state(wire) : STATE_READY;
    if (info->state != STATE_READY) info->blocked_on = on;
    info->un.vproc.remote_nid = nid_t(res.nid);
    info->un.vproc.remote_pid = res.pid;
    info->un.vproc.remote_vid = res.far_vid;
    return true;
}

/* describe_far fills info for the first process at or above pid of the node
 * that proc_pid, a circuit to that node, leads to, as its daemon describes
 * it. Returns the process's pid, or -1 with errno: ESRCH (none at or above
 * pid, or proc_pid is no live circuit), or that of the daemon's answer. */
static pid_t describe_far(pid_t proc_pid, pid_t pid, _psinfo *info) {
    QNX_MSG_VC_RES res;
    QNX_MSG_PM_PSINFO r;
    if (!live_circuit(proc_pid, res)) return -1;
    if (_qnx_pm_query(proc_pid, VORLEN_PM_PSINFO, std::max(pid, pid_t(1)), VORLEN_PM_NEXT, &r,
                      sizeof r) != 0)
        return -1;
    memset(info, 0, sizeof *info);
    info->pid = r.pid;
    info->pid_group = r.pgrp;
    info->sid = r.sid;
    info->nid = nid_t(res.nid);
    info->flags = r.pflags & ~(_PPF_VID | _PPF_MID);
    info->priority = char(r.priority);
    info->ruid = uid_t(r.uid);
    info->euid = uid_t(r.euid);
    info->rgid = gid_t(r.gid);
    info->egid = gid_t(r.egid);
    if (r.host_state == 'T' || r.host_state == 't')
        info->state = STATE_HELD;
    else if (r.host_state == 'Z' || r.host_state == 'X')
        info->state = STATE_DEAD;
    else
        info->state = qnx4_state(r.state);
    if (info->state != STATE_READY && info->state != STATE_HELD && info->state != STATE_DEAD)
        info->blocked_on = r.blocked_on;
    info->un.proc.father = r.ppid;
    snprintf(info->un.proc.name, sizeof info->un.proc.name, "%.*s", int(sizeof r.name), r.name);
    info->un.proc.start_time = time_t(r.start_time);
    return r.pid;
}

/* is_process_manager tells whether proc_pid names the process manager:
 * PROC_PID, what qnx_vc_attach gives for it on this node, or 0. */
static bool is_process_manager(pid_t proc_pid) {
    return proc_pid == 0 || proc_pid == PROC_PID;
}

/* query_allowed checks a query's arguments: the process manager asked (ESRCH
 * otherwise), somewhere to put the answer (EINVAL otherwise). */
static bool query_allowed(pid_t proc_pid, const void *info) {
    if (is_process_manager(proc_pid) && info) return true;
    errno = !is_process_manager(proc_pid) ? ESRCH : EINVAL;
    return false;
}

/* login_name puts the login name of user uid into name (size bytes), or the
 * user id in digits when the user has none. */
static void login_name(uid_t uid, char *name, size_t size) {
    passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found)
        snprintf(name, size, "%s", found->pw_name);
    else
        snprintf(name, size, "%lu", static_cast<unsigned long>(uid));
}

/* real_uid gives the real user of process pid, or false when it has gone. */
static bool real_uid(pid_t pid, uid_t &uid) {
    char status[4096];
    unsigned long real;
    if (read_proc(pid, "status", status, sizeof status) <= 0) return false;
    const char *p = field(status, "\nUid:");
    if (!p || sscanf(p, "%lu", &real) != 1) return false;
    uid = uid_t(real);
    return true;
}

extern "C" {

/* qnx_pflags stores the old flags, sets those selected by mask to bits and
 * stores the new ones; either pointer may be null. The daemon is told the
 * new flags (it acts on _PPF_SIGCATCH), connecting the process first. Returns
 * 0, or -1 with errno when the daemon could not be told (the flags are set
 * all the same). */
int qnx_pflags(long bits, long mask, long *old_bits, long *new_bits) {
    if (old_bits) *old_bits = pflags;
    pflags = (pflags & ~mask) | (bits & mask);
    if (new_bits) *new_bits = pflags;
    return _qnx_set_pflags(static_cast<int32_t>(pflags));
}

/* qnx_psinfo describes the first process at or above pid: of this node, or,
 * with proc_pid a circuit to another node's process manager (or to any of
 * its processes), of that node. A process that vanishes while it is read is
 * passed over for the next. A pid that is a circuit of this node is
 * described as one (_PPF_VID, un.vproc). Fails with ESRCH past the last
 * process, for a proc_pid that is neither the process manager nor a circuit,
 * or for a circuit that has ended; EINVAL for a null info; as the daemon
 * answers (EHOSTUNREACH) for another node's. */
pid_t qnx_psinfo(pid_t proc_pid, pid_t pid, struct _psinfo *info, unsigned segindex,
                 struct _seginfo *segdata) {
    (void)segindex;
    if (VORLEN_IS_VID(proc_pid) && info) {
        if (segdata) memset(segdata, 0, sizeof *segdata);
        return describe_far(proc_pid, pid, info);
    }
    if (!query_allowed(proc_pid, info)) return -1;
    if (segdata) memset(segdata, 0, sizeof *segdata);
    if (VORLEN_IS_VID(pid)) return describe_vid(pid, info) ? pid : -1;
    pid_t want = std::max(pid, pid_t(1));
    /* The pid asked for is tried as it is, so that asking about a known
     * process reads no directory. */
    if (describe(want, info)) return want;
    for (;;) {
        pid_t next = INT_MAX;
        bool any = false;
        for (pid_t id : processes())
            if (id > want && id <= next) {
                next = id;
                any = true;
            }
        if (!any) break;
        if (describe(next, info)) return next;
        want = next;
    }
    errno = ESRCH;
    return -1;
}

/* qnx_sid_query describes the first session at or above sid, counting its
 * processes in /proc. Fails with ESRCH past the last session or for a
 * proc_pid that is not the process manager, EINVAL for a null info.
 * Processes whose session leader lives outside this pid namespace (a
 * container's processes, as getsid tells them) are session 0: that session
 * is reported as any other, with no leader (pid 0). */
pid_t qnx_sid_query(pid_t proc_pid, int sid, struct _sidinfo *info) {
    if (!query_allowed(proc_pid, info)) return -1;
    pid_t want = std::max(pid_t(sid), pid_t(0)), found = INT_MAX, member = 0;
    unsigned links = 0;
    Stat st;
    for (pid_t id : processes()) {
        if (!read_stat(id, st) || (st.flags & PF_KTHREAD) || st.session < want ||
            st.session > found)
            continue;
        if (st.session < found) {
            found = st.session;
            links = 0;
            member = id;
        }
        links++;
    }
    if (links == 0) {
        errno = ESRCH;
        return -1;
    }
    memset(info, 0, sizeof *info);
    info->sid = found;
    info->links = (unsigned short)std::min(links, 0xFFFFu);
    uid_t uid;
    if (found > 0 && read_stat(found, st) && st.session == found) {
        info->pid = found;
        member = found;
    }
    if (real_uid(member, uid)) login_name(uid, info->name, sizeof info->name);
    return found;
}

/* osinfo_limits fills what osdata says of the process manager's tables and
 * the system's kind, the same on every node of a plant: the daemons' default
 * tables, the host's clock tick (USER_HZ, the same on every Linux host). */
static void osinfo_limits(struct _osinfo *osdata) {
    auto clamp16 = [](unsigned long v) { return (unsigned short)std::min(v, 0xFFFFul); };
    long tick = sysconf(_SC_CLK_TCK);
    if (tick > 0) osdata->tick_size = clamp16(1000000ul / (unsigned long)tick);
    osdata->bootsrc = 'H';
    osdata->num_names = QNX_MAX_NAMES;
    osdata->num_timers = QNX_MAX_TIMERS;
    osdata->max_nodes = (unsigned short)getnid();
    osdata->pidmask = 0xFFFF;
    osdata->sflags = _PSF_PROTECTED | _PSF_32BIT;
}

/* osinfo_far describes node nid, another node, as its daemon does, through a
 * circuit to its process manager made for the question. Returns 0, or -1
 * with errno: that of qnx_vc_attach (EHOSTUNREACH: not in the net map, or
 * down) or of the daemon's answer. */
static int osinfo_far(nid_t nid, struct _osinfo *osdata) {
    pid_t vid = qnx_vc_attach(nid, PROC_PID, 0, 0);
    if (vid == -1) return -1;
    QNX_MSG_PM_OSINFO r;
    int rc = _qnx_pm_query(vid, VORLEN_PM_OSINFO, 0, 0, &r, sizeof r);
    int e = errno;
    qnx_vc_detach(vid);
    errno = e;
    if (rc != 0) return -1;
    auto clamp16 = [](long long v) { return (unsigned short)std::clamp(v, 0LL, 0xFFFFLL); };
    memset(osdata, 0, sizeof *osdata);
    osinfo_limits(osdata);
    osdata->cpu_speed = clamp16(r.cpu_speed);
    osdata->num_procs = clamp16(r.num_procs);
    osdata->version = clamp16(r.version);
    osdata->release = char(std::clamp(r.release, 0, 127));
    osdata->totmemk = (unsigned long)std::max(r.totmemk, int64_t(0));
    osdata->freememk = (unsigned long)std::max(r.freememk, int64_t(0));
    osdata->nodename = nid_t(r.nid);
    osdata->cpu = r.cpu;
    if (r.cpu) {
        osdata->fpu = r.cpu + 1;
        osdata->sflags |= _PSF_NDP_INSTALLED;
    }
    memcpy(osdata->machine, r.machine, strnlen(r.machine, sizeof r.machine));
    osdata->machine[sizeof osdata->machine - 1] = '\0';
    osdata->boot_time = time_t(r.boot_time);
    return 0;
}

/* qnx_osinfo describes node nid: this one (0 or getnid()) from /proc and
 * uname, another through its daemon. Fails with EINVAL for a null osdata,
 * with the errno of reading /proc/meminfo, and for another node as
 * osinfo_far says; what the files do not tell stays 0. */
int qnx_osinfo(nid_t nid, struct _osinfo *osdata) {
    if (!osdata) {
        errno = EINVAL;
        return -1;
    }
    if (nid != 0 && nid != getnid()) return osinfo_far(nid, osdata);
    char buf[8192];
    if (read_path("/proc/meminfo", buf, sizeof buf) < 0) return -1;
    memset(osdata, 0, sizeof *osdata);
    osinfo_limits(osdata);
    osdata->nodename = getnid();
    if (const char *p = field(buf, "MemTotal:")) osdata->totmemk = strtoul(p, nullptr, 10);
    /* What programs could still have includes the caches the kernel would
     * give up; older kernels do not tell it, and then free memory stands. */
    const char *avail = field(buf, "\nMemAvailable:");
    if (!avail) avail = field(buf, "\nMemFree:");
    if (avail) osdata->freememk = strtoul(avail, nullptr, 10);

    auto clamp16 = [](unsigned long v) { return (unsigned short)std::min(v, 0xFFFFul); };
    osdata->num_procs = clamp16(processes().size());
    long pid_max = 0;
    if (read_path("/proc/sys/kernel/pid_max", buf, sizeof buf) > 0) pid_max = atol(buf);
    osdata->num_sessions = clamp16(pid_max > 0 ? (unsigned long)pid_max : 32768ul);
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0)
        for (unsigned short &n : osdata->num_fds)
            n = clamp16(files.rlim_cur == RLIM_INFINITY ? 0xFFFFul : (unsigned long)files.rlim_cur);
    osdata->boot_time = boot_time();

    /* The first processor's entry comes first and is short. */
    if (read_path("/proc/cpuinfo", buf, sizeof buf) > 0) {
        const char *mhz = field(buf, "\ncpu MHz");
        if (mhz && (mhz = strchr(mhz, ':')))
            osdata->cpu_speed = clamp16((unsigned long)(strtod(mhz + 1, nullptr) + 0.5));
#if defined(__i386__) || defined(__x86_64__)
        const char *family = field(buf, "\ncpu family");
        if (family && (family = strchr(family, ':'))) {
            long f = strtol(family + 1, nullptr, 10);
            osdata->cpu = f >= 5 ? 586 : f == 4 ? 486 : 386;
            osdata->fpu = osdata->cpu + 1;
            osdata->sflags |= _PSF_NDP_INSTALLED;
        }
#endif
    }

    utsname u;
    if (uname(&u) == 0) {
        unsigned major = 0, minor = 0, patch = 0;
        sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
        osdata->version = clamp16(major * 100ul + minor);
        osdata->release = char(std::min(patch, 127u));
        size_t n = strnlen(u.machine, sizeof osdata->machine - 1);
        memcpy(osdata->machine, u.machine, n);
    }
    return 0;
}

} // extern "C"
