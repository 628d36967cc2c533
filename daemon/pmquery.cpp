/* pmquery.cpp - signals and process manager questions through circuits to other nodes */
/* A client's MT_VC_KILL or MT_PM_QUERY names a circuit to another node; the
 * question goes there as LINK_KILL or LINK_QUERY and waits (pending.cpp) for
 * the LINK_RESULT, which answers the client. The far daemon answers for its
 * own host: it signals the circuit's local party when the asker's user (as
 * the asker's daemon verified it) may, and describes its processes and
 * itself from /proc and its own records. */
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "circuit.h"

namespace {

/* The largest pid Linux gives (PID_MAX_LIMIT on 64-bit hosts). */
constexpr pid_t PID_LIMIT = 4194304;

/* An errno a far daemon may answer with; anything else (VORLEN_RETCODE_GONE
 * above all, which ends a client) is a forged answer. */
bool errno_ok(int32_t rc) {
    return rc >= 0 && rc < 4096;
}

/* ask sends question kind (body n bytes, whose first word is the number the
 * answer will carry) to the far node of circuit vc for connection c, and
 * leaves c waiting for the answer. Refuses c at once: EHOSTUNREACH (the link
 * is not up), EAGAIN (no room on the link, or too many calls wait). Returns
 * the waiting call, or null when c was refused. */
PENDING *ask(PGLOB *pglob, QNX_CONN *c, const QNX_VC *vc, uint16_t typ, uint16_t kind, void *body,
             uint32_t n, const char *what) {
    if (!link_up(pglob, vc->nid)) {
        refuse(c, EHOSTUNREACH, "%s from %d (%s) through %d: EHOSTUNREACH: node %d is not up", what,
               int(c->ps->pid), caller_pname(c), int(vc->vid), int(vc->nid));
        return nullptr;
    }
    if (const char *why = link_room(pglob, vc->nid, n)) {
        refuse(c, EAGAIN, "%s from %d (%s) through %d: EAGAIN: %s", what, int(c->ps->pid),
               caller_pname(c), int(vc->vid), why);
        return nullptr;
    }
    PENDING *p = pending_add(pglob, c, vc->nid, typ);
    if (!p) {
        refuse(c, EAGAIN, "%s from %d (%s) through %d: EAGAIN: %d calls wait on nodes", what,
               int(c->ps->pid), caller_pname(c), int(vc->vid), MAX_PENDING);
        return nullptr;
    }
    memcpy(body, &p->req, sizeof p->req);
    link_send(pglob, vc->nid, kind, body, n);
    return p;
}

/* result answers node nid's question req with retcode and n bytes of record. */
void result(PGLOB *pglob, int32_t nid, uint32_t req, int32_t retcode, const void *rec, uint32_t n) {
    LINK_RESULT_BODY b{req, pglob->plant.self, retcode, n};
    link_send(pglob, nid, LINK_RESULT, &b, sizeof b, rec, n);
}

/* target_uid is the user of the process of record ps: its connection's, as
 * the daemon verified it, else its owner in /proc. */
uid_t target_uid(PGLOB *pglob, const QNX_PSTATE *ps) {
    if (ps->fd >= 0 && size_t(ps->fd) < pglob->conns.size() && pglob->conns[size_t(ps->fd)])
        return pglob->conns[size_t(ps->fd)]->uid;
    return pid_uid(ps->pid);
}

/* deliver signals the local party of circuit vc for a sender of user uid, as
 * a local kill would allow; returns 0 or the errno. */
int deliver(PGLOB *pglob, const QNX_VC *vc, uid_t uid, int signo) {
    if (vc->local_pid == 0) return EPERM; /* the process manager itself */
    QNX_PSTATE *ps = find_process(pglob, vc->local_pid, FIND_ONLY);
    if (!ps || ps->vc) return ESRCH;
    if (uid == UID_UNKNOWN || (uid != 0 && target_uid(pglob, ps) != uid)) return EPERM;
    int rc;
    if (ps->pidfd >= 0)
        rc = owner_signal(ps, signo);
    else
        rc = kill(ps->pid, signo);
    return rc == 0 ? 0 : errno;
}

/* read_file reads up to size - 1 bytes of path and ends them with a zero;
 * false when it cannot be read. */
bool read_file(const char *path, char *buf, size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t have = 0;
    while (have < size - 1) {
        ssize_t n = read(fd, buf + have, size - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += size_t(n);
    }
    close(fd);
    buf[have] = '\0';
    return have > 0;
}

int64_t boot_time() {
    struct timespec real, boot;
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    return int64_t(real.tv_sec) - int64_t(boot.tv_sec);
}

/* describe fills r for process pid of this host, with what the daemon knows
 * of it; false when pid is no process (a further thread of one included). */
bool describe(PGLOB *pglob, pid_t pid, QNX_MSG_PM_PSINFO *r) {
    char stat[2048], status[4096], cmdline[QNX_PNAME_LEN + 1];
    if (pid < 1 || pid > PID_LIMIT) return false;
    if (read_proc(pid, "stat", stat, sizeof stat) <= 0 ||
        read_proc(pid, "status", status, sizeof status) <= 0)
        return false;
    if (read_proc(pid, "cmdline", cmdline, sizeof cmdline) < 0) cmdline[0] = '\0';
    if (!pm_psinfo_parse(pid, stat, status, cmdline, sysconf(_SC_CLK_TCK), boot_time(), r))
        return false;
    auto it = pglob->pidmap.find(pid);
    if (it != pglob->pidmap.end() && !it->second->vc) {
        const QNX_PSTATE *ps = it->second;
        r->state = ps->state;
        if (ps->state != STATE_READY && ps->bprocess) r->blocked_on = ps->bprocess->pid;
        r->pflags = ps->pflags;
    }
    return true;
}

/* next_process is the lowest process id of this host above pid (0 when
 * there is none); *count, when given, is set to how many there are. */
pid_t next_process(pid_t pid, int32_t *count = nullptr) {
    DIR *d = opendir("/proc");
    if (count) *count = 0;
    if (!d) return 0;
    pid_t next = 0;
    while (dirent *e = readdir(d)) {
        char *end;
        long id = strtol(e->d_name, &end, 10);
        if (*end != '\0' || id < 1 || id > PID_LIMIT) continue;
        if (count) ++*count;
        if (id > pid && (next == 0 || id < next)) next = pid_t(id);
    }
    closedir(d);
    return next;
}

/* field finds the value of the line of text that begins with key (given with
 * the line end before it, as "\nUid:"); null when there is none. */
const char *field(const char *text, const char *key) {
    const char *p = strstr(text, key);
    return p ? p + strlen(key) : nullptr;
}

/* osinfo fills r for this node from /proc and uname; what they do not tell
 * stays 0. */
void osinfo(PGLOB *pglob, QNX_MSG_PM_OSINFO *r) {
    memset(r, 0, sizeof *r);
    r->nid = pglob->plant.self;
    char buf[8192];
    if (read_file("/proc/meminfo", buf, sizeof buf)) {
        if (const char *p = field(buf, "MemTotal:")) r->totmemk = strtoll(p, nullptr, 10);
        const char *avail = field(buf, "\nMemAvailable:");
        if (!avail) avail = field(buf, "\nMemFree:");
        if (avail) r->freememk = strtoll(avail, nullptr, 10);
    }
    next_process(0, &r->num_procs);
    if (read_file("/proc/cpuinfo", buf, sizeof buf)) {
        const char *mhz = field(buf, "\ncpu MHz");
        if (mhz && (mhz = strchr(mhz, ':'))) r->cpu_speed = int32_t(strtod(mhz + 1, nullptr) + 0.5);
#if defined(__i386__) || defined(__x86_64__)
        const char *family = field(buf, "\ncpu family");
        if (family && (family = strchr(family, ':'))) {
            long f = strtol(family + 1, nullptr, 10);
            r->cpu = f >= 5 ? 586 : f == 4 ? 486 : 386;
        }
#endif
    }
    struct utsname u;
    if (uname(&u) == 0) {
        unsigned major = 0, minor = 0, patch = 0;
        sscanf(u.release, "%u.%u.%u", &major, &minor, &patch);
        r->version = int32_t(major * 100 + minor);
        r->release = int32_t(patch);
        memcpy(r->machine, u.machine, strnlen(u.machine, sizeof r->machine - 1));
    }
    r->boot_time = boot_time();
}

} // namespace

bool pm_psinfo_parse(pid_t pid, const char *stat, const char *status, const char *cmdline,
                     long ticks_per_s, int64_t boot, QNX_MSG_PM_PSINFO *r) {
    const char *tgid = field(status, "\nTgid:");
    if (!tgid || strtol(tgid, nullptr, 10) != pid) return false;
    /* The name may hold blanks and parentheses: the last ')' ends it. */
    const char *open_paren = strchr(stat, '(');
    const char *close_paren = strrchr(stat, ')');
    if (!open_paren || !close_paren || close_paren < open_paren) return false;
    char state;
    int ppid, pgrp, session;
    unsigned long long utime, stime, start;
    long nice;
    /* Fields 3 (state) to 22 (start time); only the tokens wanted are converted. */
    if (sscanf(close_paren + 1,
               " %c %d %d %d %*s %*s %*s %*s %*s %*s %*s %llu %llu %*s %*s %*s %ld %*s %*s %llu",
               &state, &ppid, &pgrp, &session, &utime, &stime, &nice, &start) != 8)
        return false;

    memset(r, 0, sizeof *r);
    r->pid = pid;
    r->ppid = ppid;
    r->pgrp = pgrp;
    r->sid = session;
    unsigned long real, effective;
    if (const char *p = field(status, "\nUid:");
        p && sscanf(p, "%lu %lu", &real, &effective) == 2) {
        r->uid = int32_t(real);
        r->euid = int32_t(effective);
    }
    if (const char *p = field(status, "\nGid:");
        p && sscanf(p, "%lu %lu", &real, &effective) == 2) {
        r->gid = int32_t(real);
        r->egid = int32_t(effective);
    }
    r->priority = VORLEN_PRIO_OF_NICE(nice);
    r->host_state = state;
    if (ticks_per_s > 0) {
        r->start_time = boot + int64_t(start / (unsigned long long)ticks_per_s);
        r->utime_ms = int64_t(utime * 1000 / (unsigned long long)ticks_per_s);
        r->stime_ms = int64_t(stime * 1000 / (unsigned long long)ticks_per_s);
    }
    /* The command line's first word; a kernel thread or an ended process has
     * none, and then the kernel's name stands. */
    if (cmdline && cmdline[0])
        snprintf(r->name, sizeof r->name, "%s", cmdline);
    else
        snprintf(r->name, sizeof r->name, "%.*s", int(close_paren - open_paren - 1),
                 open_paren + 1);
    return true;
}

/* process_vc_kill sends signal signo to the far party of the caller's
 * circuit vid, answered when the far daemon has. Refuses at once: EINVAL (no
 * signal number), ESRCH (vid is no circuit), EPERM (the caller's user is not
 * known), and as ask does. */
void process_vc_kill(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *req = rq.body<QNX_MSG_VC_KILL>();
    const pid_t from = c->ps->pid;
    if (req->signo < 0 || req->signo >= NSIG) {
        refuse(c, EINVAL, "Kill from %d (%s) through %d: EINVAL: signal %d", int(from),
               caller_pname(c), int(req->vid), int(req->signo));
        return;
    }
    const QNX_VC *vc = vc_of(pglob, req->vid);
    if (!vc) {
        refuse(c, ESRCH, "Kill from %d (%s) through %d: ESRCH: no circuit", int(from),
               caller_pname(c), int(req->vid));
        return;
    }
    if (c->uid == UID_UNKNOWN) {
        refuse(c, EPERM, "Kill from %d (%s) through %d: EPERM: its user is not known", int(from),
               caller_pname(c), int(req->vid));
        return;
    }
    LINK_KILL_BODY b{0, pglob->plant.self, from, uint32_t(c->uid), vc->far_vid, req->signo};
    if (ask(pglob, c, vc, MT_VC_KILL, LINK_KILL, &b, sizeof b, "Kill"))
        vlog(LV_REQUEST, "Kill from %d through %d: signal %d to %d on node %d", int(from),
             int(vc->vid), int(req->signo), int(vc->far_pid), int(vc->nid));
}

/* process_pm_query asks the process manager of the far node of circuit vid
 * what the request says, answered when the far daemon has: the record, or
 * its errno. Refuses at once: EINVAL (no such question), ESRCH (vid is no
 * circuit), and as ask does. */
void process_pm_query(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *req = rq.body<QNX_MSG_PM_QUERY>();
    const pid_t from = c->ps->pid;
    if ((req->what != VORLEN_PM_PSINFO && req->what != VORLEN_PM_OSINFO &&
         (req->what != VORLEN_PM_SIN || !sin_record_size(req->pid))) ||
        (req->flags & ~VORLEN_PM_NEXT) != 0) {
        refuse(c, EINVAL, "PM query from %d (%s) through %d: EINVAL: question %d, flags %#x",
               int(from), caller_pname(c), int(req->vid), int(req->what), unsigned(req->flags));
        return;
    }
    const QNX_VC *vc = vc_of(pglob, req->vid);
    if (!vc) {
        refuse(c, ESRCH, "PM query from %d (%s) through %d: ESRCH: no circuit", int(from),
               caller_pname(c), int(req->vid));
        return;
    }
    LINK_QUERY_BODY b{0, pglob->plant.self, from, req->what, req->pid, req->flags};
    if (PENDING *p = ask(pglob, c, vc, MT_PM_QUERY, LINK_QUERY, &b, sizeof b, "PM query")) {
        p->arg[0] = req->what;
        p->arg[1] = req->pid;
        vlog(LV_REQUEST, "PM query from %d through %d: %s %d on node %d", int(from), int(vc->vid),
             req->what == VORLEN_PM_PSINFO   ? "psinfo"
             : req->what == VORLEN_PM_OSINFO ? "osinfo"
                                             : "listing",
             int(req->pid), int(vc->nid));
    }
}

/* frame_kill: node nid's process asks to signal the local party of one of
 * the circuits of nid; answered with LINK_RESULT. A frame that speaks for
 * another node or for no process of nid, or names another node's circuit,
 * is refused; a circuit that has ended meanwhile is answered ESRCH. */
void frame_kill(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_KILL_BODY b;
    memcpy(&b, p, sizeof b);
    if (b.from_nid != nid || !node_pid(b.from_pid)) {
        link_refused(pglob, nid, "kill from %d//%d", int(b.from_nid), int(b.from_pid));
        return;
    }
    const QNX_VC *vc = vc_of(pglob, b.to_vid);
    if (vc && vc->nid != nid) {
        link_refused(pglob, nid, "kill through %d, a circuit of node %d", int(b.to_vid),
                     int(vc->nid));
        return;
    }
    int rc = vc && b.signo >= 0 && b.signo < NSIG ? deliver(pglob, vc, b.from_uid, b.signo)
             : vc                                 ? EINVAL
                                                  : ESRCH;
    vlog(LV_REQUEST, "Kill from %d//%d (uid %u) through %d: signal %d to %d: %s", int(nid),
         int(b.from_pid), unsigned(b.from_uid), int(b.to_vid), int(b.signo),
         vc ? int(vc->local_pid) : 0, rc == 0 ? "sent" : strerror(rc));
    result(pglob, nid, b.req, rc, nullptr, 0);
}

/* frame_query: node nid's process asks this node's process manager about a
 * process of this host or the host itself; answered with LINK_RESULT and the
 * record, or ESRCH (no such process, or none above it) or EINVAL (no such
 * question). A frame that speaks for another node or for no process of nid
 * is refused. */
void frame_query(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t) {
    LINK_QUERY_BODY b;
    memcpy(&b, p, sizeof b);
    if (b.from_nid != nid || !node_pid(b.from_pid)) {
        link_refused(pglob, nid, "query from %d//%d", int(b.from_nid), int(b.from_pid));
        return;
    }
    if (b.what == VORLEN_PM_OSINFO) {
        QNX_MSG_PM_OSINFO r;
        osinfo(pglob, &r);
        result(pglob, nid, b.req, 0, &r, sizeof r);
        return;
    }
    if (b.what == VORLEN_PM_SIN) {
        const std::vector<unsigned char> *recs = sin_records(pglob, b.pid);
        vlog(LV_REQUEST, "PM query from %d//%d: listing %d", int(nid), int(b.from_pid), int(b.pid));
        if (!recs) return result(pglob, nid, b.req, EINVAL, nullptr, 0);
        /* A listing longer than the link takes is refused whole, never cut. */
        if (recs->size() + sizeof(LINK_RESULT_BODY) > pglob->max_request + LINK_MSG_SLACK ||
            link_room(pglob, nid, sizeof(LINK_RESULT_BODY) + recs->size()))
            return result(pglob, nid, b.req, EAGAIN, nullptr, 0);
        return result(pglob, nid, b.req, 0, recs->data(), uint32_t(recs->size()));
    }
    if (b.what != VORLEN_PM_PSINFO) {
        result(pglob, nid, b.req, EINVAL, nullptr, 0);
        return;
    }
    QNX_MSG_PM_PSINFO r;
    pid_t pid = b.pid < 1 ? 1 : b.pid;
    bool found = describe(pglob, pid, &r);
    /* A process that ends while it is read is passed over for the next. */
    while (!found && (b.flags & VORLEN_PM_NEXT) && (pid = next_process(pid)) != 0)
        found = describe(pglob, pid, &r);
    vlog(LV_REQUEST, "PM query from %d//%d: psinfo %d -> %d", int(nid), int(b.from_pid), int(b.pid),
         found ? int(pid) : -1);
    if (found)
        result(pglob, nid, b.req, 0, &r, sizeof r);
    else
        result(pglob, nid, b.req, ESRCH, nullptr, 0);
}

/* frame_result: node nid answers a kill or a question of a connection here,
 * which gets the retcode and, for a question answered 0, the record. A
 * result that speaks for another node, is not as long as it says, carries
 * no errno, or does not fit the question is refused (the connection is
 * answered EIO); one for a call that has been given up is passed over. */
void frame_result(PGLOB *pglob, int32_t nid, const unsigned char *p, uint32_t len) {
    LINK_RESULT_BODY b;
    memcpy(&b, p, sizeof b);
    if (b.from_nid != nid) {
        link_refused(pglob, nid, "result from node %d", int(b.from_nid));
        return;
    }
    PENDING *w = pending_find(pglob, nid, b.req);
    if (!w || (w->typ != MT_VC_KILL && w->typ != MT_PM_QUERY)) {
        if (w)
            link_refused(pglob, nid, "result %u to a call of type %u", unsigned(b.req),
                         unsigned(w->typ));
        else
            vlog(LV_REQUEST, "result %u from node %d: no call waits for it", unsigned(b.req),
                 int(nid));
        return;
    }
    uint32_t want = 0;
    if (w->typ == MT_PM_QUERY && b.retcode == 0 && w->arg[0] != VORLEN_PM_SIN)
        want =
            w->arg[0] == VORLEN_PM_PSINFO ? sizeof(QNX_MSG_PM_PSINFO) : sizeof(QNX_MSG_PM_OSINFO);
    /* A listing is whole records, the last of them the closing one. */
    if (w->typ == MT_PM_QUERY && b.retcode == 0 && w->arg[0] == VORLEN_PM_SIN) {
        const size_t size = sin_record_size(w->arg[1]);
        int32_t last = 0;
        if (b.nbytes >= size && b.nbytes % size == 0 && len == sizeof b + b.nbytes)
            memcpy(&last, p + sizeof b + b.nbytes - size, sizeof last);
        want = last == -1 ? b.nbytes : b.nbytes + 1;
    }
    const bool whole = len == sizeof b + b.nbytes && b.nbytes == want;
    QNX_CONN *c = pending_conn(pglob, w);
    if (!whole || !errno_ok(b.retcode)) {
        link_refused(pglob, nid, "result %u: retcode %d, %u bytes of %u", unsigned(b.req),
                     int(b.retcode), unsigned(b.nbytes), unsigned(len));
        if (c) send_status(c->fd, EIO);
    } else if (c) {
        QNX_MSG_HDR h;
        memset(&h, 0, sizeof h);
        h.ev.retcode = uint16_t(b.retcode);
        h.from_pid = w->pid;
        h.msg_len = b.nbytes;
        DPIECE pieces[2] = {{&h, sizeof h, "QNX_MSG_HDR"}, {p + sizeof b, b.nbytes, "record"}};
        dwritev(c->fd, pieces, b.nbytes ? 2 : 1);
        vlog(LV_REQUEST, "%s of %d answered by node %d: %s",
             w->typ == MT_VC_KILL ? "Kill" : "PM query", int(w->pid), int(nid),
             b.retcode == 0 ? "0" : strerror(b.retcode));
    }
    pending_done(pglob, w);
}
