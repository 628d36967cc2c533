/* process.cpp - the table of client processes, their release and their removal */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "circuit.h"
#include "vorleni.h"

constexpr unsigned long PF_EXITING = 0x4; /* the kernel's flag of a task in exit */

ssize_t read_proc(pid_t pid, const char *file, char *buf, size_t size) {
    char path[48];
    snprintf(path, sizeof path, "/proc/%d/%s", int(pid), file);
    int f = open(path, O_RDONLY | O_CLOEXEC);
    if (f < 0) return -1;
    ssize_t n = read(f, buf, size - 1);
    close(f);
    buf[n > 0 ? n : 0] = '\0';
    return n;
}

/* pid_alive tells whether pid names a process that can still talk: it exists
 * under /proc and is neither a zombie nor dead (a process that has exited but
 * not been reaped never sends again), nor on its way out: a killed process
 * closes its sockets while it exits, before it is a zombie, and a record made
 * for it then would outlive it until the next sweep. */
static bool pid_alive_real(pid_t pid) {
    if (pid <= 0) return false;
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(path, sizeof path, "/proc/%d", int(pid));
        return access(path, F_OK) == 0;
    }
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    /* The state follows the command name, which may itself hold ')'. */
    const char *rp = strrchr(buf, ')');
    if (!rp || rp[1] != ' ') return true;
    char st = rp[2];
    if (st == 'Z' || st == 'X' || st == 'x') return false;
    /* The flags are the seventh field after the name. */
    unsigned long flags = 0;
    if (sscanf(rp + 2, "%*c %*d %*d %*d %*d %*d %lu", &flags) == 1 && (flags & PF_EXITING))
        return false;
    return true;
}

/* The daemon asks about pids only through this seam, so that a harness can
 * decide which pids live. */
bool (*pid_alive)(pid_t pid) = pid_alive_real;

/* get_pname fills dest with the program name of opid: the start of its
 * command line, at most destlen - 1 bytes and always zero-terminated. It
 * returns null (dest all zero) when neither that nor the kernel's short name
 * of the process can be read. */
char *get_pname(pid_t opid, char *dest, int destlen) {
    memset(dest, 0, size_t(destlen));
    if (opid <= 0) return nullptr;
    /* One read: the name is the command line's start. */
    if (read_proc(opid, "cmdline", dest, size_t(destlen)) > 0) return dest;
    /* A process that has just exited has no command line left, but the
     * kernel keeps its short name until it is reaped. */
    ssize_t n = read_proc(opid, "comm", dest, size_t(destlen));
    if (n <= 0) return nullptr;
    if (dest[n - 1] == '\n') dest[n - 1] = '\0';
    return dest;
}

const char *caller_pname(const QNX_CONN *c) {
    static char name[PNAME_LEN];
    const QNX_PSTATE *ps = c->ps;
    if (!ps) return "?";
    if (ps->pname[0] != '\0') return ps->pname;
    /* A Unix peer's record is named after its first answer. */
    return get_pname(ps->pid, name, sizeof name) ? name : "?";
}

/* finish_later puts ps in the list that finish_records completes. */
static void finish_later(PGLOB *pglob, QNX_PSTATE *ps) {
    if (ps->unfinished) return;
    ps->unfinished = true;
    pglob->unfinished.push_back(ps->pid);
}

/* find_process returns the record of pid; with a mode other than FIND_ONLY
 * it creates one when there is none (FIND_OR_KERNEL spares the look at /proc
 * that FIND_OR_LOCAL makes:
 * the kernel has just named the process, and its pidfd is watched from the
 * moment it is bound). It returns null when no record can be had: no memory, a
 * pid that cannot be a process (<= 0, which kill would read as a process group
 * or everyone), one that no longer exists (a record of a process that never
 * connected and has since died is removed on the spot). A VID is a stub's, returned as it is, and
 * never gets a record here. */
QNX_PSTATE *find_process(PGLOB *pglob, pid_t pid, FIND_MODE mode) {
    vlog(LV_SEARCH, "searching pid %d", pid);
    auto it = pglob->pidmap.find(pid);
    if (it != pglob->pidmap.end()) {
        QNX_PSTATE *ps = it->second;
        /* A stub's id is no pid of this host: its circuit alone ends it. */
        if (ps->vc) return ps;
        if (mode == FIND_OR_LOCAL && ps->fd < 0 && !pid_alive(pid)) {
            cleanup_prg(pglob, pid, RM_EXITED);
            return nullptr;
        }
        return ps;
    }
    if (mode == FIND_ONLY || pid <= 0 || VORLEN_IS_VID(pid) ||
        (mode == FIND_OR_LOCAL && !pid_alive(pid)))
        return nullptr;
    auto *ps = static_cast<QNX_PSTATE *>(calloc(1, sizeof(QNX_PSTATE)));
    if (!ps) return nullptr;
    ps->pid = pid;
    make_ready(ps);
    ps->fd = -1;
    ps->pidfd = -1;

    /* A Unix peer's record is named once its first answer is out. */
    if (mode == FIND_OR_KERNEL) {
        finish_later(pglob, ps);
    } else if (mode != FIND_OR_RESTORED) {
        get_pname(pid, ps->pname, PNAME_LEN);
        state_process(pglob, ps);
    }
    pglob->processes.push_back(ps);
    pglob->pidmap[pid] = ps;
    return ps;
}

/* release_process answers a blocked process status-only with retcode and
 * from_pid, and makes it READY. A message it had sent is withdrawn: its queue
 * entry goes and its buffer is released, so a later Receive cannot take it. */
void release_process(PGLOB *pglob, QNX_PSTATE *ps, int retcode, pid_t from_pid) {
    QNX_MSG_HDR h;
    memset(&h, 0, sizeof h);
    h.ev.retcode = uint16_t(retcode);
    h.from_pid = from_pid;
    if (ps->fd >= 0) dwrite(ps->fd, &h, sizeof h, "QNX_MSG_HDR");
    if (ps->qentry) {
        msgq_remove(pglob, ps->qentry);
        ps->qentry = nullptr;
    }
    if (ps->state == STATE_SEND_BLOCKED || ps->state == STATE_REPLY_BLOCKED) {
        if (ps->vc) vc_released(pglob, ps, retcode); /* its far sender is answered so */
        msg_release_buffer(pglob, ps);
    }
    make_ready(ps);
    ps->sleeping = nullptr;
}

/* break_wait breaks off the wait of ps after a signal reached it, from its
 * library's interrupt mark or from one of its signal timers: a Send not yet
 * received, a Receive or a sleep is answered EINTR (a withdrawn Send loses its
 * message). A Send waiting for its reply keeps its one answer to come, unless
 * it asked for QNX 4 semantics and its receiver does not catch signals
 * (VORLEN_PFLAG_SIGCATCH): then it is answered EINTR too, its message is
 * released and the receiver's Reply or Readmsg finds no one (ESRCH). It
 * returns whether a wait was broken off; the processes blocked on ps are
 * never touched, since the signal was not theirs. */
bool break_wait(PGLOB *pglob, QNX_PSTATE *ps) {
    bool waiting = ps->state == STATE_SEND_BLOCKED || ps->state == STATE_RECEIVE_BLOCKED ||
                   ps->sleeping != nullptr;
    if (ps->state == STATE_REPLY_BLOCKED && ps->qnx4_send && ps->bprocess &&
        !(ps->bprocess->pflags & VORLEN_PFLAG_SIGCATCH))
        waiting = true;
    if (waiting) release_process(pglob, ps, EINTR, 0);
    return waiting;
}

/* process_pflags stores the flags the requester's library has set with
 * qnx_pflags and answers 0. The daemon reads only VORLEN_PFLAG_SIGCATCH;
 * every other bit is kept as given. Cannot fail. */
void process_pflags(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    auto *req = rq.body<QNX_MSG_PFLAGS>();
    QNX_PSTATE *ps = c->ps;
    ps->pflags = req->flags;
    state_process(pglob, ps);
    vlog(LV_REQUEST, "pflags of %d//%d: %#x", ps->nid, ps->pid, unsigned(req->flags));
    send_status(c->fd, 0);
}

/* process_interrupt breaks off the wait of the process on connection c
 * after a signal handler ran in it, as break_wait says. Nothing is written:
 * the interrupt has no answer of its own, and a connection not yet bound has
 * no wait to break. */
void process_interrupt(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    QNX_PSTATE *ps = c->ps;
    if (!ps) return;
    bool broken = break_wait(pglob, ps);
    vlog(LV_REQUEST, "%s from %d//%d: %s", rq.row->name, ps->nid, ps->pid,
         broken ? "wait broken off" : "answer stands");
}

/* remove_why_text is how the log names why a record went. */
static const char *remove_why_text(REMOVE_WHY why) {
    switch (why) {
    case RM_DISCONNECT:
        return "disconnect";
    case RM_EXITED:
        return "process exit";
    case RM_SWEEP:
        return "sweep";
    case RM_UNREAD:
        return "dropped for unread answers";
    case RM_REFUSED:
        return "refused verification";
    case RM_GRACE:
        return "not claimed within the restore grace period";
    case RM_CIRCUIT:
        return "its circuit ended";
    }
    return "?";
}

/* inform_clients releases every process blocked on pid with retcode, in list
 * order; with INFORM_REMOVE it then removes the record of pid and closes its
 * connection, and the log says why. */
void inform_clients(PGLOB *pglob, pid_t pid, int retcode, INFORM_MODE mode, REMOVE_WHY why) {
    QNX_PSTATE *target = find_process(pglob, pid, FIND_ONLY);
    if (!target) return;
    for (QNX_PSTATE *ps : pglob->processes) {
        if (ps == target || ps->bprocess != target) continue;
        if (ps->state != STATE_READY) {
            release_process(pglob, ps, retcode, pid);
            vlog(LV_CLEANUP, "Process %d unblocked", ps->pid);
        }
        make_ready(ps); /* a READY receiver forgets it, too */
    }
    if (mode != INFORM_REMOVE) return;

    msg_forget_process(pglob, target);
    pglob->processes.remove(target);
    pglob->pidmap.erase(pid);
    int fd = target->fd;
    if (fd >= 0) conn_close(pglob, fd);
    vlog(LV_CLEANUP, "Removing pid %d, fd %d", pid, fd);
    vlog(LV_CLEANUP, "Removed pid %d (%s): %s", pid, target->pname[0] ? target->pname : "?",
         remove_why_text(why));
    process_watch(pglob, target, -1);
    state_forget(pglob, target);
    free(target);
}

/* cleanup_prg removes process pid with its names, proxies and timers, for the
 * reason why; every process blocked on it is released with ESRCH. pid 0 is
 * refused. */
void cleanup_prg(PGLOB *pglob, pid_t pid, REMOVE_WHY why) {
    if (pid == 0) {
        vlog(LV_FAULT, "Err: unable to remove pid 0");
        return;
    }
    QNX_PSTATE *ps = find_process(pglob, pid, FIND_ONLY);
    for (size_t i = 0; i < pglob->names.size(); i++) {
        QNX_ATT_NAME *cn = &pglob->names[i];
        if (cn->pid != pid) continue;
        vlog(LV_CLEANUP, "automatic name detach \"%s\" for pid %d", cn->name, pid);
        do_ndetach(cn);
    }
    if (ps) {
        for (size_t i = 0; i < pglob->proxys.size(); i++) {
            QNX_PROXY_STATE *p = &pglob->proxys[i];
            if (p->process != ps) continue;
            vlog(LV_CLEANUP, "automatic proxy detach \"%d\" for pid %d", -int(i + 2), pid);
            do_pdetach(pglob, p);
        }
        for (size_t i = 0; i < pglob->timers.size(); i++) {
            QNX_TIMER_STATE *t = &pglob->timers[i];
            if (t->process != ps) continue;
            vlog(LV_CLEANUP, "automatic timer detach \"%d\" for pid %d", int(i + 1), pid);
            do_tdetach(pglob, t);
        }
    }
    vc_process_gone(pglob, pid);
    inform_clients(pglob, pid, ESRCH, INFORM_REMOVE, why);
}

/* process_watch sets the pidfd of ps to pidfd (-1: none), closing and
 * forgetting the one it had. A pidfd the event set refuses is kept all the
 * same: signals go through it, and the sweep is the backstop. */
void process_watch(PGLOB *pglob, QNX_PSTATE *ps, int pidfd, bool later) {
    if (ps->pidfd >= 0) {
        if (ps->watched) sockforget(ps->pidfd);
        pglob->pidfdmap.erase(ps->pidfd);
        close(ps->pidfd);
    }
    ps->pidfd = pidfd;
    ps->watched = false;
    if (pidfd < 0) return;
    pglob->pidfdmap[pidfd] = ps;
    if (later) {
        finish_later(pglob, ps);
        return;
    }
    ps->watched = true;
    if (sockwatch_process(pidfd) != 0)
        vlog(LV_ERROR, "Err: pid %d cannot be watched: %s", ps->pid, strerror(errno));
}

/* finish_records: a process that connects over the Unix socket waits for
 * its first answer while its record is made, so the record is made with what
 * the kernel gave at accept and completed here, after the answer is out. A
 * process that exited meanwhile is found all the same: its pidfd reports
 * the exit from the moment it is watched. */
void finish_records(PGLOB *pglob) {
    for (pid_t pid : pglob->unfinished) {
        auto it = pglob->pidmap.find(pid);
        if (it == pglob->pidmap.end() || !it->second->unfinished) continue;
        QNX_PSTATE *ps = it->second;
        ps->unfinished = false;
        if (!ps->pname[0]) get_pname(pid, ps->pname, PNAME_LEN);
        state_process(pglob, ps);
        if (ps->pidfd >= 0 && !ps->watched) {
            ps->watched = true;
            if (sockwatch_process(ps->pidfd) != 0)
                vlog(LV_ERROR, "Err: pid %d cannot be watched: %s", ps->pid, strerror(errno));
        }
    }
    pglob->unfinished.clear();
}

/* process_exited removes the record whose pidfd is pidfd when its process
 * has exited, whether or not its connection is still open (a forked child
 * may hold it): a process that gets the same pid later must find no record
 * of the dead one. Partners are released with ESRCH as on a disconnect. An
 * event for a pidfd that is no longer watched, or whose process still runs,
 * is ignored. */
void process_exited(PGLOB *pglob, int pidfd) {
    auto it = pglob->pidfdmap.find(pidfd);
    if (it == pglob->pidfdmap.end()) return;
    /* The event may be older than the descriptor's current owner. */
    struct pollfd p = {pidfd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return;
    cleanup_prg(pglob, it->second->pid, RM_EXITED);
}

/* sweep removes the records of processes that no longer exist. */
void sweep(PGLOB *pglob) {
    vlog(LV_CLEANUP, "cleanup-all");
    /* Removing a process removes the stubs of its circuits, which may be any
     * later records: the dead are found first, then removed by pid. */
    std::vector<pid_t> gone;
    for (QNX_PSTATE *ps : pglob->processes) {
        /* A stub's id is no pid at all. */
        if (ps->vc || pid_alive(ps->pid)) continue;
        gone.push_back(ps->pid);
    }
    for (pid_t pid : gone) {
        if (!find_process(pglob, pid, FIND_ONLY)) continue;
        vlog(LV_CLEANUP, "automatic remove of pid %d", pid);
        cleanup_prg(pglob, pid, RM_SWEEP);
    }
    state_sweep(pglob);
}
