/* state.cpp - the state file: the daemon's tables in fixed slots of a memory-mapped file, updated
 * in place */
/*
 * Why a mapped file of fixed slots, and not a journal or a file rewritten
 * per change: the file lives in the daemon's runtime directory, a tmpfs.
 * A store into a shared mapping of it is in the page cache at once, so a
 * daemon killed (SIGKILL, a crash, the OOM killer) loses nothing it wrote,
 * and a host crash ends every client anyway, so nothing is ever synced.
 * Each change is then one copy of one slot, a few dozen to 200 bytes,
 * with no system call: cheap enough for a trigger's pending count and a
 * timer's next deadline, which change all the time. A slot carries a
 * CRC-32 of itself; one torn by a death in the middle of its copy is found
 * at the next start and dropped with a log line, the others stand.
 *
 * Layout: the header, then the process slots, the name slots (slot i is
 * name table slot i), the proxy slots (slot i is proxy slot i, id
 * VORLEN_PROXY_ID(i)), the timer slots (slot i is timer i + 1) and the
 * circuit slots (any free one for a new circuit). The
 * message path (Send, Receive, Reply) never writes here; the traffic
 * counters are written with the record's other changes and at each sweep,
 * so after a restart they may be behind by what passed since.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "circuit.h"
#include "state.h"

ST_FILE st_file;
static bool sweeping = false; /* state_sweep writes the counters too */

/* crc32 is the CRC-32 of ISO 3309 (zlib's) over n bytes at p. */
uint32_t st_crc32(const void *p, size_t n) {
    static uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        made = true;
    }
    uint32_t c = 0xFFFFFFFFu;
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; i++) c = table[(c ^ b[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string state_default_path(int port) {
    /* systemd's RuntimeDirectory=: the first of its paths. */
    if (const char *rd = getenv("RUNTIME_DIRECTORY"); rd && *rd) {
        std::string dir(rd);
        dir = dir.substr(0, dir.find(':'));
        return dir + "/vorlen.state";
    }
    std::string name = "vorlen." + std::to_string(port) + ".state";
    if (const char *ld = getenv("LOGDIR"); ld && *ld) return std::string(ld) + "/" + name;
    /* Named whole, so that the log says where it is. */
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + name : "./" + name;
}

size_t st_file_size(const ST_HEADER &h) {
    return sizeof(ST_HEADER) + size_t(h.nprocs) * sizeof(ST_PROC) +
           size_t(h.nnames) * sizeof(ST_NAME) + size_t(h.nproxies) * sizeof(ST_PROXY) +
           size_t(h.ntimers) * sizeof(ST_TIMER) + size_t(h.nvcs) * sizeof(ST_VC);
}

/* put copies the slot s, its check made, over slot dst of the mapping,
 * unless dst holds it already (a trigger delivered at once changes nothing
 * kept); a slot not in use is written as zeros. */
template <typename S> static void put(S *dst, S &s) {
    s.used = 1;
    if (memcmp(static_cast<const void *>(dst), &s, offsetof(S, crc)) == 0) return;
    s.crc = st_crc32(&s, offsetof(S, crc));
    memcpy(static_cast<void *>(dst), &s, sizeof s);
}
template <typename S> static void clear(S *dst) {
    memset(static_cast<void *>(dst), 0, sizeof(S));
}

/* proc_slot gives ps a process slot when it has none; null when every slot
 * is taken (the record then is not kept: said once). */
static ST_PROC *proc_slot(QNX_PSTATE *ps) {
    if (ps->state_slot == 0) {
        if (st_file.free_procs.empty()) {
            if (!st_file.full_said)
                vlog(LV_WARNING,
                     "Warning: state file %s: all %u process slots are in use; "
                     "pid %d is not kept",
                     st_file.path.c_str(), st_file.hdr->nprocs, ps->pid);
            st_file.full_said = true;
            return nullptr;
        }
        ps->state_slot = st_file.free_procs.back() + 1;
        st_file.free_procs.pop_back();
    }
    return &st_file.procs[ps->state_slot - 1];
}

/* state_process writes the slot of ps: a new record gets the start time and
 * user of its process now (a stub, or a record of a process that cannot be
 * read, is not kept). */
void state_process(PGLOB *, QNX_PSTATE *ps) {
    if (!st_file.hdr || ps->vc) return;
    ST_PROC s{};
    if (ps->state_slot != 0) {
        const ST_PROC &old = st_file.procs[ps->state_slot - 1];
        s.start_ticks = old.start_ticks;
        s.uid = old.uid;
    } else {
        long long t = start_ticks(ps->pid);
        struct stat st;
        char path[32];
        snprintf(path, sizeof path, "/proc/%d", int(ps->pid));
        if (t < 0 || stat(path, &st) != 0) return;
        s.start_ticks = uint64_t(t);
        s.uid = uint32_t(st.st_uid);
    }
    ST_PROC *slot = proc_slot(ps);
    if (!slot) return;
    s.pid = ps->pid;
    s.pflags = ps->pflags;
    memcpy(s.pname, ps->pname, sizeof s.pname);
    s.pname[sizeof s.pname - 1] = '\0';
    s.bytes_send = ps->bytes_send;
    s.bytes_received = ps->bytes_received;
    s.bytes_reply = ps->bytes_reply;
    s.msg_send = ps->msg_send;
    s.msg_received = ps->msg_received;
    s.msg_reply = ps->msg_reply;
    put(slot, s);
}

void state_seed(QNX_PSTATE *ps, uint64_t start, uint32_t uid) {
    if (!st_file.hdr) return;
    ST_PROC *slot = proc_slot(ps);
    if (!slot) return;
    slot->start_ticks = start;
    slot->uid = uid;
}

void state_forget(PGLOB *pglob, QNX_PSTATE *ps) {
    restore_forget(pglob, ps->pid);
    if (!st_file.hdr || ps->state_slot == 0) return;
    clear(&st_file.procs[ps->state_slot - 1]);
    st_file.free_procs.push_back(ps->state_slot - 1);
    ps->state_slot = 0;
}

void state_name(PGLOB *pglob, const QNX_ATT_NAME *cn) {
    size_t i = size_t(cn - pglob->names.data());
    if (!st_file.hdr || i >= st_file.hdr->nnames) return;
    if (cn->id == 0) return clear(&st_file.names[i]);
    ST_NAME s{};
    s.id = cn->id;
    s.pid = cn->pid;
    memcpy(s.name, cn->name, sizeof s.name);
    put(&st_file.names[i], s);
}

void state_proxy(PGLOB *pglob, const QNX_PROXY_STATE *p) {
    size_t i = size_t(p - pglob->proxys.data());
    if (!st_file.hdr || i >= st_file.hdr->nproxies) return;
    /* A virtual proxy goes with its circuit, which a restart ends. */
    if (!p->process || p->remote_proxy) return clear(&st_file.proxies[i]);
    ST_PROXY s{};
    s.id = p->id;
    s.owner = p->process->pid;
    s.nbytes = p->nbytes;
    if (p->nbytes > 0 && p->message) memcpy(s.message, p->message, size_t(p->nbytes));
    s.trigger_cnt = p->trigger_cnt;
    s.counting = p->counting;
    s.prio = p->prio;
    s.from_nid = p->from_nid;
    /* The count of triggers is a counter: written at attach and at the sweep
     * only, so that a trigger that leaves nothing pending writes nothing. */
    const ST_PROXY &old = st_file.proxies[i];
    s.fire_cnt = old.used && old.id == p->id && !sweeping ? old.fire_cnt : p->fire_cnt;
    put(&st_file.proxies[i], s);
}

void state_timer(PGLOB *pglob, const QNX_TIMER_STATE *t) {
    size_t i = size_t(t - pglob->timers.data());
    if (!st_file.hdr || i >= st_file.hdr->ntimers) return;
    if (!t->process) return clear(&st_file.timers[i]);
    ST_TIMER s{};
    s.owner = t->process->pid;
    s.timer_type = t->timer_type;
    s.notify_type = t->notify_type;
    s.itimercb = t->itimercb;
    s.deadline_sec = int64_t(t->timeval.tv_sec);
    s.deadline_usec = int32_t(t->timeval.tv_usec);
    s.deadline_ns = t->deadline_ns;
    s.clock = t->clock;
    s.oitimerspec = t->oitimerspec;
    s.fire_cnt = t->fire_cnt;
    put(&st_file.timers[i], s);
}

void state_vc(PGLOB *, QNX_VC *v) {
    if (!st_file.hdr) return;
    if (v->state_slot == 0) {
        if (st_file.free_vcs.empty()) return; /* as many as there may be circuits */
        v->state_slot = st_file.free_vcs.back() + 1;
        st_file.free_vcs.pop_back();
    }
    ST_VC s{};
    s.vid = v->vid;
    s.nid = v->nid;
    s.far_pid = v->far_pid;
    s.far_vid = v->far_vid;
    s.local_pid = v->local_pid;
    s.links = v->links;
    s.length = v->length;
    s.incarnation = v->incarnation;
    if (v->stub) memcpy(s.pname, v->stub->pname, sizeof s.pname);
    s.pname[sizeof s.pname - 1] = '\0';
    put(&st_file.vcs[v->state_slot - 1], s);
}

void state_vc_forget(PGLOB *, QNX_VC *v) {
    if (!st_file.hdr || v->state_slot == 0) return;
    clear(&st_file.vcs[v->state_slot - 1]);
    st_file.free_vcs.push_back(v->state_slot - 1);
    v->state_slot = 0;
}

void state_sweep(PGLOB *pglob) {
    if (!st_file.hdr) return;
    for (QNX_PSTATE *ps : pglob->processes)
        if (ps->state_slot != 0) state_process(pglob, ps);
    sweeping = true;
    for (const QNX_PROXY_STATE &p : pglob->proxys)
        if (p.process) state_proxy(pglob, &p);
    sweeping = false;
}

/* st_map makes the mapping of the open file fd, whose header h is written
 * over its start; false with errno when it cannot be had. */
bool st_map(int fd, const ST_HEADER &h) {
    size_t size = st_file_size(h);
    if (ftruncate(fd, off_t(size)) != 0) return false;
    void *m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) return false;
    st_file.fd = fd;
    st_file.size = size;
    st_file.hdr = static_cast<ST_HEADER *>(m);
    memcpy(st_file.hdr, &h, sizeof h);
    auto *at = static_cast<unsigned char *>(m) + sizeof(ST_HEADER);
    st_file.procs = reinterpret_cast<ST_PROC *>(at);
    at += size_t(h.nprocs) * sizeof(ST_PROC);
    st_file.names = reinterpret_cast<ST_NAME *>(at);
    at += size_t(h.nnames) * sizeof(ST_NAME);
    st_file.proxies = reinterpret_cast<ST_PROXY *>(at);
    at += size_t(h.nproxies) * sizeof(ST_PROXY);
    st_file.timers = reinterpret_cast<ST_TIMER *>(at);
    at += size_t(h.ntimers) * sizeof(ST_TIMER);
    st_file.vcs = reinterpret_cast<ST_VC *>(at);
    st_file.free_procs.clear();
    for (uint32_t i = h.nprocs; i > 0; i--) st_file.free_procs.push_back(i - 1);
    st_file.free_vcs.clear();
    for (uint32_t i = h.nvcs; i > 0; i--) st_file.free_vcs.push_back(i - 1);
    return true;
}
