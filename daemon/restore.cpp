/* restore.cpp - a restart without loss: the state file loaded at start, restored records bound,
 * MT_RESTORE */
/*
 * At start the daemon loads the state file a daemon before it left (killed,
 * crashed or stopped with SIGTERM) and makes a record, without a connection,
 * of every process in it that still runs: same pid, same start time (field
 * 22 of /proc/<pid>/stat), same user. Its names, proxies (pending triggers
 * queued again) and timers (deadlines on CLOCK_MONOTONIC, which the host
 * keeps; an expiry missed meanwhile fires once at the first scan) are as
 * they were. The records of processes that are gone are removed as any
 * record is, with the usual lines.
 *
 * A restored record waits --restore-grace seconds for its process. The
 * first request of that process (MT_RESTORE, or any other: a library in
 * reconnect mode takes the record as it finds it) binds the record once the
 * connection's pid is verified as for any first request, and once the
 * process's start time and user are the record's: never on the client's
 * word. A record not bound by the end of the grace period is removed, and
 * whoever waits on it is released with ESRCH.
 *
 * What was in flight is rebuilt from both sides: the receiver names in its
 * MT_RESTORE the senders whose messages it holds; each such sender sends
 * its Send again marked VORLEN_FLAG_RESUMED and is REPLY-blocked on the
 * receiver again, its message not delivered twice. A resumed Send to a
 * receiver still restoring is queued as any Send: the receiver's MT_RESTORE
 * takes it out of the queue when it holds it, and its first Receive gets it
 * when it does not. The MT_RESTORE is answered once every sender it names
 * has come back, or the grace period is over.
 */
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "circuit.h"
#include "state.h"

/* A record restored from the state file, for as long as it lives. */
struct RESTORED {
    uint64_t start_ticks;
    uint32_t uid;
    bool bound = false; /* its process has claimed it */
    /* Its MT_RESTORE's answer while it waits: the senders yet to come
     * back, and the connection it goes to. */
    bool answer_due = false;
    int answer_fd = -1;
    uint64_t answer_serial = 0;
    std::vector<pid_t> waiting;
};
static std::unordered_map<pid_t, RESTORED> restored;
static bool grace_running = false;
static struct timeval grace_end;
static double grace_seconds = 0;

/* Process slots the file may have: more than anyone keeps, and bounded so
 * that a wrong header cannot make the daemon read gigabytes. */
constexpr uint32_t ST_MAX_PROCS = 1u << 20;

/* identity_now reads the start time and the user of process pid; false when
 * it is gone or cannot be read. */
static bool identity_now(pid_t pid, uint64_t *start, uint32_t *uid) {
    long long t = start_ticks(pid);
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", int(pid));
    struct stat st;
    if (t < 0 || stat(path, &st) != 0) return false;
    *start = uint64_t(t);
    *uid = uint32_t(st.st_uid);
    return true;
}

/* slot_ok tells whether slot s is in use and whole; a torn one is said. */
template <typename S> static bool slot_ok(const S &s, const char *kind, size_t i) {
    if (s.used == 0) return false;
    if (s.used == 1 && s.crc == st_crc32(&s, offsetof(S, crc))) return true;
    vlog(LV_WARNING, "Warning: state file %s: %s slot %zu is damaged; dropped",
         st_file.path.c_str(), kind, i);
    return false;
}

/* header_fault says what makes the header h of a file of size bytes
 * untrustworthy, null when nothing does. */
static const char *header_fault(const ST_HEADER &h, size_t size) {
    if (memcmp(h.magic, ST_MAGIC, sizeof h.magic) != 0) return "not a state file";
    /* The version first: the header of another version has another length. */
    if (h.version != ST_VERSION) return "a state file of another version";
    if (h.crc != st_crc32(&h, offsetof(ST_HEADER, crc))) return "its header is damaged";
    if (h.header_size != sizeof(ST_HEADER) || h.proc_size != sizeof(ST_PROC) ||
        h.name_size != sizeof(ST_NAME) || h.proxy_size != sizeof(ST_PROXY) ||
        h.timer_size != sizeof(ST_TIMER) || h.vc_size != sizeof(ST_VC))
        return "a state file of another layout";
    if (h.nprocs > ST_MAX_PROCS || h.nnames > MAX_TABLE_SIZE || h.nproxies > MAX_TABLE_SIZE ||
        h.ntimers > MAX_TABLE_SIZE || h.nvcs > uint32_t(MAX_CIRCUITS) || st_file_size(h) != size)
        return "its size is not its header's";
    return nullptr;
}

/* lock_file takes the write lock that marks the daemon of state file fd;
 * false with the holder's pid in *holder when another process has it. */
static bool lock_file(int fd, pid_t *holder) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) == 0) return true;
    fl.l_type = F_WRLCK;
    *holder = fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK ? fl.l_pid : 0;
    return false;
}

/* read_old reads and checks the state file open as fd; the bytes in *bytes
 * when it can be trusted, else the reason in *why. */
static bool read_old(int fd, std::vector<unsigned char> *bytes, std::string *why) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        return false;
    }
    if (st.st_uid != geteuid()) {
        *why = "owned by uid " + std::to_string(st.st_uid) + ", not the daemon's " +
               std::to_string(geteuid());
        return false;
    }
    if (st.st_mode & 022) {
        *why = "writable by others than its owner";
        return false;
    }
    if (size_t(st.st_size) < sizeof(ST_HEADER)) {
        *why = "too short for a state file";
        return false;
    }
    if (size_t(st.st_size) >
        sizeof(ST_HEADER) + size_t(ST_MAX_PROCS) * sizeof(ST_PROC) +
            size_t(MAX_TABLE_SIZE) * (sizeof(ST_NAME) + sizeof(ST_PROXY) + sizeof(ST_TIMER)) +
            size_t(MAX_CIRCUITS) * sizeof(ST_VC)) {
        *why = "its size is not its header's";
        return false;
    }
    bytes->resize(size_t(st.st_size));
    size_t got = 0;
    while (got < bytes->size()) {
        ssize_t r = pread(fd, bytes->data() + got, bytes->size() - got, off_t(got));
        if (r <= 0) {
            *why = r < 0 ? strerror(errno) : "shorter than it said";
            return false;
        }
        got += size_t(r);
    }
    ST_HEADER h;
    memcpy(&h, bytes->data(), sizeof h);
    if (const char *f = header_fault(h, bytes->size())) {
        *why = f;
        return false;
    }
    return true;
}

/* load makes the records of the trusted file content b: every process in
 * it, with its names, proxies and timers; the processes that are gone are
 * removed again as any record is. */
static void load(PGLOB *pglob, const std::vector<unsigned char> &b) {
    ST_HEADER h;
    memcpy(&h, b.data(), sizeof h);
    const unsigned char *at = b.data() + sizeof h;
    std::vector<pid_t> gone;
    int kept = 0, names = 0, proxies = 0, timers = 0;
    /* A slot beyond a table made smaller since (--max-names, --max-proxies,
     * --max-timers) has no place: counted and said. */
    int beyond = 0;
    for (uint32_t i = 0; i < h.nprocs; i++, at += sizeof(ST_PROC)) {
        ST_PROC s;
        memcpy(&s, at, sizeof s);
        if (!slot_ok(s, "process", i) || s.pid <= 0 || pglob->pidmap.count(s.pid)) continue;
        QNX_PSTATE *ps =
            find_process(pglob, s.pid, FIND_OR_RESTORED); /* made without a look at /proc */
        if (!ps) continue;
        memcpy(ps->pname, s.pname, sizeof ps->pname);
        ps->pname[sizeof ps->pname - 1] = '\0';
        ps->pflags = s.pflags;
        ps->bytes_send = s.bytes_send;
        ps->bytes_received = s.bytes_received;
        ps->bytes_reply = s.bytes_reply;
        ps->msg_send = s.msg_send;
        ps->msg_received = s.msg_received;
        ps->msg_reply = s.msg_reply;
        state_seed(ps, s.start_ticks, s.uid);
        state_process(pglob, ps);
        uint64_t start;
        uint32_t uid;
        /* Watched from now on: a process that ends before it claims its
         * record takes it along at once. The identity is read again once the
         * pidfd is held, so that the pidfd is of the same process. */
        int pidfd = int(syscall(SYS_pidfd_open, s.pid, 0));
        if (pidfd >= 0 && identity_now(s.pid, &start, &uid) && start == s.start_ticks &&
            uid == s.uid && pid_alive(s.pid)) {
            fcntl(pidfd, F_SETFD, FD_CLOEXEC);
            process_watch(pglob, ps, pidfd);
            RESTORED &r = restored[s.pid];
            r.start_ticks = s.start_ticks;
            r.uid = s.uid;
            kept++;
        } else {
            if (pidfd >= 0) close(pidfd);
            gone.push_back(s.pid);
        }
    }
    for (uint32_t i = 0; i < h.nnames; i++, at += sizeof(ST_NAME)) {
        ST_NAME s;
        memcpy(&s, at, sizeof s);
        if (!slot_ok(s, "name", i)) continue;
        beyond += i >= pglob->names.size();
        auto it = pglob->pidmap.find(s.pid);
        if (i >= pglob->names.size() || s.id != int32_t(i) + 1 || it == pglob->pidmap.end() ||
            !memchr(s.name, '\0', sizeof s.name))
            continue;
        QNX_ATT_NAME &cn = pglob->names[i];
        memcpy(cn.name, s.name, sizeof cn.name);
        cn.id = s.id;
        cn.nid = 0;
        cn.pid = s.pid;
        cn.process = it->second;
        state_name(pglob, &cn);
        names++;
    }
    for (uint32_t i = 0; i < h.nproxies; i++, at += sizeof(ST_PROXY)) {
        ST_PROXY s;
        memcpy(&s, at, sizeof s);
        if (!slot_ok(s, "proxy", i)) continue;
        beyond += i >= pglob->proxys.size();
        auto it = pglob->pidmap.find(s.owner);
        if (i >= pglob->proxys.size() || s.id != VORLEN_PROXY_ID(i) || it == pglob->pidmap.end() ||
            s.nbytes < 0 || s.nbytes > QNX_MAX_PROXY_MSG)
            continue;
        QNX_PROXY_STATE &p = pglob->proxys[i];
        p.message = nullptr;
        if (s.nbytes > 0) {
            p.message = static_cast<char *>(malloc(size_t(s.nbytes)));
            if (!p.message) continue;
            memcpy(p.message, s.message, size_t(s.nbytes));
        }
        p.nbytes = s.nbytes;
        p.id = s.id;
        p.counting = s.counting != 0;
        p.prio = s.prio;
        p.from_nid = s.from_nid;
        p.fire_cnt = s.fire_cnt;
        p.process = it->second;
        p.qentry = nullptr;
        p.trigger_cnt = 0;
        /* The triggers pending at the restart wait again, in one entry. */
        if (s.trigger_cnt > 0 && (p.qentry = msgq_add(pglob, p.process, nullptr, p.id, p.prio)))
            p.trigger_cnt =
                s.trigger_cnt > VORLEN_MAX_PROXY_PENDING ? VORLEN_MAX_PROXY_PENDING : s.trigger_cnt;
        state_proxy(pglob, &p);
        proxies++;
    }
    for (uint32_t i = 0; i < h.ntimers; i++, at += sizeof(ST_TIMER)) {
        ST_TIMER s;
        memcpy(&s, at, sizeof s);
        if (!slot_ok(s, "timer", i)) continue;
        beyond += i >= pglob->timers.size();
        auto it = pglob->pidmap.find(s.owner);
        if (i >= pglob->timers.size() || it == pglob->pidmap.end() ||
            (s.clock != CLOCK_MONOTONIC && s.clock != CLOCK_REALTIME) || s.deadline_usec < 0 ||
            s.deadline_usec > 999999 || s.deadline_ns < 0 || s.deadline_ns > 999)
            continue;
        QNX_TIMER_STATE &t = pglob->timers[i];
        t.timer_type = s.timer_type;
        t.notify_type = s.notify_type;
        t.itimercb = s.itimercb;
        t.timeval.tv_sec = time_t(s.deadline_sec);
        t.timeval.tv_usec = s.deadline_usec;
        t.deadline_ns = s.deadline_ns;
        t.clock = s.clock;
        t.oitimerspec = s.oitimerspec;
        t.fire_cnt = s.fire_cnt;
        t.process = it->second;
        pglob->timers_used.push_back(&t);
        state_timer(pglob, &t);
        timers++;
    }
    /* Circuits come back, suspended until their far ends answer, for the
     * processes restored and for the process manager; the others are gone. */
    int circuits = 0, dropped = 0;
    for (uint32_t i = 0; i < h.nvcs; i++, at += sizeof(ST_VC)) {
        ST_VC s;
        memcpy(&s, at, sizeof s);
        if (!slot_ok(s, "circuit", i)) continue;
        s.pname[sizeof s.pname - 1] = '\0';
        QNX_VC rec;
        rec.vid = s.vid;
        rec.nid = s.nid;
        rec.far_pid = s.far_pid;
        rec.far_vid = s.far_vid;
        rec.local_pid = s.local_pid;
        rec.links = s.links;
        rec.length = s.length;
        rec.incarnation = s.incarnation;
        if ((s.local_pid == 0 || restored.count(s.local_pid)) && vc_restore(pglob, rec, s.pname))
            circuits++;
        else
            dropped++;
    }
    if (circuits + dropped > 0)
        vlog(LV_ALWAYS, "Restored %d circuits, suspended until their nodes answer; %d dropped",
             circuits, dropped);
    /* The first scan fires what fell due while no daemon ran, once. */
    pglob->next_timeout = now_clock(CLOCK_MONOTONIC);
    vlog(LV_ALWAYS,
         "Restored from %s: %d processes (%zu gone), %d names, %d proxies, %d timers; "
         "%g s to claim them",
         st_file.path.c_str(), kept, gone.size(), names, proxies, timers, grace_seconds);
    if (beyond > 0)
        vlog(LV_WARNING,
             "Warning: state file %s: %d names, proxies or timers beyond the tables "
             "(--max-names, --max-proxies, --max-timers) are dropped",
             st_file.path.c_str(), beyond);
    for (pid_t pid : gone) cleanup_prg(pglob, pid, RM_EXITED);
}

void restore_start(PGLOB *pglob, const STATE_OPTIONS &opt) {
    if (!opt.enabled) return;
    const std::string &path = opt.path;
    st_file.path = path;
    grace_seconds = opt.grace_s;
    std::vector<unsigned char> old;
    bool trusted = false;
    int ofd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (ofd < 0 && errno != ENOENT) {
        /* A symbolic link, a directory, a file the daemon may not write:
         * never read, set aside. */
        std::string why = strerror(errno);
        std::string bad = path + ".bad";
        if (rename(path.c_str(), bad.c_str()) == 0)
            vlog(LV_WARNING, "Warning: state file %s set aside as %s: %s", path.c_str(),
                 bad.c_str(), why.c_str());
    }
    uint64_t generation = 0;
    if (ofd >= 0) {
        pid_t holder = 0;
        if (!lock_file(ofd, &holder)) {
            fprintf(stderr, "vorlen: the state file %s is held by another daemon (pid %d)\n",
                    path.c_str(), int(holder));
            vlog(LV_ALWAYS, "Err: the state file %s is held by another daemon (pid %d)",
                 path.c_str(), int(holder));
            exit(1);
        }
        std::string why;
        trusted = read_old(ofd, &old, &why);
        if (!trusted) {
            std::string bad = path + ".bad";
            rename(path.c_str(), bad.c_str());
            vlog(LV_WARNING, "Warning: state file %s set aside as %s: %s", path.c_str(),
                 bad.c_str(), why.c_str());
        } else {
            ST_HEADER h;
            memcpy(&h, old.data(), sizeof h);
            generation = h.generation;
        }
    }
    /* The new file is made beside the old and takes its place once the
     * records are in: a daemon killed while it loads leaves the old one. */
    std::string fresh = path + ".new";
    unlink(fresh.c_str());
    int fd = open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    pid_t holder = 0;
    ST_HEADER h = {};
    memcpy(h.magic, ST_MAGIC, sizeof h.magic);
    h.version = ST_VERSION;
    h.header_size = sizeof(ST_HEADER);
    h.proc_size = sizeof(ST_PROC);
    h.name_size = sizeof(ST_NAME);
    h.proxy_size = sizeof(ST_PROXY);
    h.timer_size = sizeof(ST_TIMER);
    h.vc_size = sizeof(ST_VC);
    h.nvcs = uint32_t(MAX_CIRCUITS);
    long long nprocs = pglob->max_connections + (long long)pglob->proxys.size();
    h.nprocs = uint32_t(nprocs < 64 ? 64 : nprocs > 65536 ? 65536 : nprocs);
    h.nnames = uint32_t(pglob->names.size());
    h.nproxies = uint32_t(pglob->proxys.size());
    h.ntimers = uint32_t(pglob->timers.size());
    h.daemon_pid = getpid();
    h.generation = generation + 1;
    h.crc = st_crc32(&h, offsetof(ST_HEADER, crc));
    if (fd < 0 || !lock_file(fd, &holder) || !st_map(fd, h) ||
        rename(fresh.c_str(), path.c_str()) != 0) {
        vlog(LV_WARNING,
             "Warning: no state file: %s cannot be made: %s; a restart loses the "
             "tables",
             path.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        unlink(fresh.c_str());
        st_file.hdr = nullptr;
        if (ofd >= 0) close(ofd);
        return;
    }
    /* Renamed before the records come: their removal lines may already be
     * read, and a kill from now on finds the new file whole. */
    if (ofd >= 0) close(ofd);
    grace_end = now_clock(CLOCK_MONOTONIC);
    long long us = (long long)(opt.grace_s * 1e6);
    grace_end.tv_sec += time_t(us / 1000000);
    grace_end.tv_usec += long(us % 1000000);
    tv_normalise(grace_end);
    if (trusted) {
        load(pglob, old);
        grace_running = !restored.empty();
    }
}

void restore_bind(PGLOB *pglob, pid_t pid) {
    auto it = restored.find(pid);
    if (it == restored.end() || it->second.bound) return;
    uint64_t start = 0;
    uint32_t uid = 0;
    if (!identity_now(pid, &start, &uid) || start != it->second.start_ticks ||
        uid != it->second.uid) {
        /* Another process has the pid now: the one the record was for is gone. */
        vlog(LV_ERROR,
             "Err: pid %d is not the process of its restored record (start time or "
             "user differ)",
             pid);
        cleanup_prg(pglob, pid, RM_EXITED);
        return;
    }
    it->second.bound = true;
    QNX_PSTATE *ps = find_process(pglob, pid, FIND_ONLY);
    vlog(LV_REQUEST, "Restored pid %d (%s) claimed", pid, ps && ps->pname[0] ? ps->pname : "?");
}

/* answer_restore gives the MT_RESTORE of r its answer, 0, once. */
static void answer_restore(PGLOB *pglob, pid_t pid, RESTORED &r) {
    if (!r.answer_due) return;
    r.answer_due = false;
    r.waiting.clear();
    QNX_CONN *c = size_t(r.answer_fd) < pglob->conns.size() ? pglob->conns[r.answer_fd] : nullptr;
    if (c && c->serial == r.answer_serial) send_status(r.answer_fd, 0);
    vlog(LV_REQUEST, "Restore of pid %d answered", pid);
}

/* process_restore answers MT_RESTORE: see the state file's banner and the
 * wire header. Fails with EINVAL for a version it does not know, more than
 * VORLEN_MAX_RESTORE_HELD pids or a list of another length than nheld
 * says, and ESRCH when the caller has no restored record. */
void process_restore(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    const auto *req = rq.body<QNX_MSG_RESTORE>();
    QNX_PSTATE *ps = c->ps;
    if (req->version != VORLEN_RESTORE_VERSION || req->nheld > VORLEN_MAX_RESTORE_HELD ||
        rq.var_len != size_t(req->nheld) * 4) {
        refuse(c, EINVAL, "Restore from %d//%d: version %u, %u held in %zu bytes: EINVAL", ps->nid,
               ps->pid, req->version, req->nheld, rq.var_len);
        return;
    }
    auto it = restored.find(ps->pid);
    if (it == restored.end() || !it->second.bound) {
        refuse(c, ESRCH, "Restore from %d//%d (%s): ESRCH: no restored record", ps->nid, ps->pid,
               caller_pname(c));
        return;
    }
    RESTORED &r = it->second;
    r.waiting.clear();
    for (uint32_t i = 0; i < req->nheld; i++) {
        pid_t pid;
        memcpy(&pid, rq.var + 4 * i, 4);
        QNX_PSTATE *s = pid > 0 && pid != ps->pid ? find_process(pglob, pid, FIND_ONLY) : nullptr;
        if (!s) continue;
        if (s->state == STATE_SEND_BLOCKED && s->bprocess == ps && s->qentry) {
            /* Its resumed Send came first and waits in the queue: it is held. */
            msgq_remove(pglob, s->qentry);
            s->qentry = nullptr;
            block_reply(s, ps);
            vlog(LV_MESSAGE, "Restore: %d//%d REPLY-blocked on %d//%d again", s->nid, s->pid,
                 ps->nid, ps->pid);
        } else if (restored.count(pid) && !(s->state == STATE_REPLY_BLOCKED && s->bprocess == ps) &&
                   std::find(r.waiting.begin(), r.waiting.end(), pid) == r.waiting.end()) {
            r.waiting.push_back(pid);
        }
    }
    vlog(LV_REQUEST, "Restore from %d//%d (%s): %u held, %zu to come back", ps->nid, ps->pid,
         caller_pname(c), req->nheld, r.waiting.size());
    r.answer_due = true;
    r.answer_fd = c->fd;
    r.answer_serial = c->serial;
    if (r.waiting.empty()) answer_restore(pglob, ps->pid, r);
}

bool restore_resumed_send(PGLOB *pglob, const QNX_CONN *c, QNX_PSTATE *s, QNX_PSTATE *d) {
    auto it = restored.find(d->pid);
    if (it == restored.end()) {
        if (d->fd >= 0) return false;
        /* Neither restored nor connected: the addressee the Send was for is
         * gone, and this one must not get its message. */
        s->bytes_send -= s->qsnd.nbytes;
        s->msg_send -= 1;
        msg_release_buffer(pglob, s);
        make_ready(s);
        refuse(c, ESRCH, "Send to %d//%d from %d//%d, resumed: ESRCH: not restored", d->nid, d->pid,
               s->nid, s->pid);
        return true;
    }
    RESTORED &r = it->second;
    auto w = r.answer_due ? std::find(r.waiting.begin(), r.waiting.end(), s->pid) : r.waiting.end();
    if (w == r.waiting.end()) return false;
    r.waiting.erase(w);
    /* The addressee holds this message: delivered once already. */
    s->bytes_send -= s->qsnd.nbytes;
    s->msg_send -= 1;
    block_reply(s, d);
    vlog(LV_MESSAGE, "Send from %d//%d, resumed: REPLY-blocked on %d//%d again", s->nid, s->pid,
         d->nid, d->pid);
    if (r.waiting.empty()) answer_restore(pglob, d->pid, r);
    return true;
}

void restore_forget(PGLOB *pglob, pid_t pid) {
    if (restored.empty()) return;
    restored.erase(pid);
    std::vector<pid_t> done;
    for (auto &[rp, r] : restored) {
        if (!r.answer_due) continue;
        auto w = std::find(r.waiting.begin(), r.waiting.end(), pid);
        if (w == r.waiting.end()) continue;
        r.waiting.erase(w);
        if (r.waiting.empty()) done.push_back(rp);
    }
    for (pid_t rp : done) answer_restore(pglob, rp, restored[rp]);
}

void restore_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake) {
    if (!grace_running) return;
    if (!tv_le(grace_end, now)) {
        if (tv_le(grace_end, *wake)) *wake = grace_end;
        return;
    }
    grace_running = false;
    std::vector<pid_t> unclaimed, due;
    for (auto &[pid, r] : restored) {
        if (!r.bound) unclaimed.push_back(pid);
        if (r.answer_due) due.push_back(pid);
    }
    vlog(LV_NOTE, "Restore grace period over: %zu records not claimed", unclaimed.size());
    for (pid_t pid : unclaimed) cleanup_prg(pglob, pid, RM_GRACE);
    /* A sender that did not come back is dropped from the list. */
    for (pid_t pid : due) {
        auto it = restored.find(pid);
        if (it != restored.end()) answer_restore(pglob, pid, it->second);
    }
}

void restore_end_plant(PGLOB *pglob) {
    if (st_file.hdr) unlink(st_file.path.c_str());
    QNX_MSG_HDR h;
    memset(&h, 0, sizeof h);
    h.ev.retcode = VORLEN_RETCODE_GONE;
    int told = 0;
    for (QNX_CONN *c : pglob->conns) {
        if (!c || c->dead) continue;
        /* What is under way goes first, so that the mark is read as a header. */
        while (c->out.used() > 0) {
            ssize_t w = send(c->fd, c->out.head(), c->out.used(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w <= 0) break;
            c->out.consume(size_t(w));
        }
        if (c->out.used() == 0 &&
            send(c->fd, &h, sizeof h, MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(sizeof h))
            told++;
    }
    vlog(LV_ALWAYS, "Vorlen ends its plant: the state file is removed, %d connections told", told);
}

int stop_clients(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fprintf(stderr, "vorlen: --stop-clients: %s: %s\n", path.c_str(), strerror(errno));
        return 1;
    }
    auto holder = [&]() -> pid_t {
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        return fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK ? fl.l_pid : 0;
    };
    pid_t pid = holder();
    if (pid <= 0) {
        fprintf(stderr, "vorlen: --stop-clients: no daemon holds %s\n", path.c_str());
        close(fd);
        return 1;
    }
    if (kill(pid, SIGUSR2) != 0) {
        fprintf(stderr, "vorlen: --stop-clients: cannot signal the daemon (pid %d): %s\n", int(pid),
                strerror(errno));
        close(fd);
        return 1;
    }
    /* The lock goes with the daemon. */
    for (int i = 0; i < 1000 && holder() == pid; i++) usleep(10000);
    bool ended = holder() != pid;
    close(fd);
    if (!ended) {
        fprintf(stderr, "vorlen: --stop-clients: the daemon (pid %d) has not ended\n", int(pid));
        return 1;
    }
    printf("vorlen: the daemon (pid %d) has ended its plant\n", int(pid));
    return 0;
}
