/* sin.cpp - the system listing: processes, proxies, timers, names, the daemon's health or the
 * plant's nodes as a record stream */
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include <arpa/inet.h>
#include <unistd.h>

#include "circuit.h"
#include "vorleni.h"

/* copy_pname copies a zero-terminated program name into a listing field. */
static void copy_pname(char (&dest)[QNX_PNAME_LEN], const QNX_PSTATE *ps) {
    if (!ps) {
        dest[0] = '\0';
        return;
    }
    memcpy(dest, ps->pname, sizeof dest);
    dest[sizeof dest - 1] = '\0';
}

/* time_left is the time from now until the deadline of the armed timer p,
 * measured on the timer's own clock; zero for a timer that is not armed. */
static QNX_TIMESPEC time_left(const QNX_TIMER_STATE *p, const struct timeval &mono_now,
                              const struct timeval &wall_now) {
    QNX_TIMESPEC v = {0, 0};
    if (p->timeval.tv_sec == TIMER_NOT_ARMED && p->timeval.tv_usec == TIMER_NOT_ARMED) return v;
    const struct timeval &now = p->clock == CLOCK_MONOTONIC ? mono_now : wall_now;
    long d = long(p->timeval.tv_usec - now.tv_usec);
    long long sec = (long long)p->timeval.tv_sec - (long long)now.tv_sec;
    if (d < 0) {
        d += 1000000;
        sec -= 1;
    }
    /* A deadline as far off as a client may set is shown as far as the
     * record's field goes. */
    v.tv_sec = int32_t(sec < INT32_MIN ? INT32_MIN : sec > INT32_MAX ? INT32_MAX : sec);
    v.tv_nsec = int32_t(d * 1000);
    return v;
}

/* Records of the stream being built and their trace pieces; kept between
 * requests so that a listing allocates only when it outgrows the last one. */
static std::vector<unsigned char> stream;
static std::vector<DPIECE> pieces;

template <typename R> static R &next_record() {
    stream.resize(stream.size() + sizeof(R));
    R *r = reinterpret_cast<R *>(stream.data() + stream.size() - sizeof(R));
    memset(r, 0, sizeof(R));
    return *r;
}

/* build appends the records of listing typ to stream, then the closing record
 * of size bytes whose pid is -1. */
/* clamp32 fits a traffic count into a listing field: past its range it
 * stays at the largest value. */
static int32_t clamp32(int64_t v) {
    return v > INT32_MAX ? INT32_MAX : int32_t(v);
}

/* build_status appends the records of the health view: the daemon's, one per
 * listening address, one per user holding connections or memory, by uid. */
static void build_status(PGLOB *pglob) {
    const int32_t me = int32_t(getpid());
    auto &d = next_record<QNX_MSG_SIN_RSTATUS>();
    d.pid = me;
    d.kind = SIN_STATUS_DAEMON;
    snprintf(d.version, sizeof d.version, "%s", pglob->version);
    d.start_time = int64_t(pglob->start_time);
    d.uptime = pglob->start_time ? int64_t(time(nullptr) - pglob->start_time) : 0;
    d.connections = pglob->nconns;
    d.max_connections = pglob->max_connections;
    d.max_user_connections = user_connection_cap(pglob);
    d.processes = int32_t(pglob->pidmap.size());
    d.memory = pglob->mem_used;
    d.max_memory = pglob->max_memory;
    d.max_user_memory = user_memory_share(pglob);
    for (const QNX_ATT_NAME &cn : pglob->names) d.names += cn.pid != 0;
    for (const QNX_PROXY_STATE &p : pglob->proxys) d.proxies += p.process != nullptr;
    for (const QNX_TIMER_STATE &t : pglob->timers) d.timers += t.process != nullptr;
    d.max_names = int32_t(pglob->names.size());
    d.max_proxies = int32_t(pglob->proxys.size());
    d.max_timers = int32_t(pglob->timers.size());
    d.queue = pglob->mqueue_used;
    d.max_queue = int32_t(pglob->mqueue.size());
    const STATS &st = pglob->stats;
    d.refused_memory = st.refused_memory;
    d.refused_table = st.refused_table;
    d.refused_connections = st.refused_connections;
    d.refused_verification = st.refused_verification;
    d.dropped_unread = st.dropped_unread;
    d.log_rate_limited = st.log_rate_limited;
    d.log_dropped = st.log_dropped;
    for (const std::string &a : pglob->listening) {
        auto &l = next_record<QNX_MSG_SIN_RLISTENER>();
        l.pid = me;
        l.kind = SIN_STATUS_LISTENER;
        snprintf(l.address, sizeof l.address, "%s", a.c_str());
    }
    std::map<uid_t, std::pair<int, size_t>> users;
    for (const auto &[uid, n] : pglob->user_conns) users[uid].first = n;
    for (const auto &[uid, n] : pglob->user_mem) users[uid].second = n;
    for (const auto &[uid, use] : users) {
        auto &u = next_record<QNX_MSG_SIN_RUSER>();
        u.pid = me;
        u.kind = SIN_STATUS_USER;
        u.uid = int32_t(uid);
        u.connections = use.first;
        u.memory = use.second;
    }
}

/* node_state is the listing's word for where a node's link stands. */
static int32_t node_state(LINK_STATE s) {
    switch (s) {
    case LINK_STATE::SELF:
        return SIN_NODE_SELF;
    case LINK_STATE::CONNECTING:
        return SIN_NODE_CONNECTING;
    case LINK_STATE::UP:
        return SIN_NODE_UP;
    case LINK_STATE::REFUSED:
        return SIN_NODE_REFUSED;
    case LINK_STATE::DOWN:
        break;
    }
    return SIN_NODE_DOWN;
}

/* build_nodes appends one record per node of the net map, in its order;
 * without a net map the one record of node 1, this host, named by its host
 * name. */
static void build_nodes(PGLOB *pglob) {
    const int32_t me = int32_t(getpid());
    const PLANT &plant = pglob->plant;
    if (plant.nodes.empty()) {
        auto &r = next_record<QNX_MSG_SIN_RNODE>();
        r.pid = me;
        r.nid = plant.self;
        r.state = SIN_NODE_SELF;
        if (gethostname(r.name, sizeof r.name - 1) != 0) r.name[0] = '\0';
        r.incarnation = plant.incarnation;
        r.rtt_us = -1;
        return;
    }
    for (const NODE &n : plant.nodes) {
        auto &r = next_record<QNX_MSG_SIN_RNODE>();
        r.pid = me;
        r.nid = n.nid;
        r.state = node_state(n.state);
        r.port = ntohs(n.addr.sin_port);
        snprintf(r.name, sizeof r.name, "%s", n.name.c_str());
        inet_ntop(AF_INET, &n.addr.sin_addr, r.address, sizeof r.address);
        r.incarnation = n.state == LINK_STATE::SELF ? plant.incarnation : n.incarnation;
        r.rtt_us = n.rtt_us;
        r.bytes_in = n.bytes_in;
        r.bytes_out = n.bytes_out;
        snprintf(r.why, sizeof r.why, "%s", n.why.c_str());
    }
}

static void build(PGLOB *pglob, int typ, size_t size) {
    switch (typ) {
    case SIN_PROCESSES:
        for (QNX_PSTATE *ps : pglob->processes) {
            auto &r = next_record<QNX_MSG_SIN_RPID>();
            r.pid = ps->pid;
            if (const QNX_VC *vc = vc_stub_of(ps)) {
                r.nid = vc->nid;
                r.session = vc->far_pid;
                r.group = vc->far_vid;
            }
            r.send_bytes = clamp32(ps->bytes_send);
            r.send_msg = clamp32(ps->msg_send);
            r.rcv_bytes = clamp32(ps->bytes_received);
            r.rcv_msg = clamp32(ps->msg_received);
            r.rpl_bytes = clamp32(ps->bytes_reply);
            r.rpl_msg = clamp32(ps->msg_reply);
            r.block_state = ps->state;
            r.block_pid = ps->bprocess ? ps->bprocess->pid : 0;
            if (ps->state == STATE_SEND_BLOCKED || ps->state == STATE_REPLY_BLOCKED)
                r.send_prio = uint8_t(ps->qsnd.prio < 0     ? 0
                                      : ps->qsnd.prio > 255 ? 255
                                                            : ps->qsnd.prio);
            copy_pname(r.pname, ps);
        }
        break;
    case SIN_PROXIES:
        for (size_t i = 0; i < pglob->proxys.size(); i++) {
            const QNX_PROXY_STATE &p = pglob->proxys[i];
            if (!p.process) continue;
            auto &r = next_record<QNX_MSG_SIN_RPROXYS>();
            r.pid = p.process->pid;
            r.nr = VORLEN_PROXY_ID(i);
            r.nid = p.from_nid;
            r.act_cnt = p.trigger_cnt;
            r.fire_cnt = p.fire_cnt;
            copy_pname(r.pname, p.process);
        }
        break;
    case SIN_TIMERS: {
        struct timeval mono_now = now_clock(CLOCK_MONOTONIC);
        struct timeval wall_now = now_clock(CLOCK_REALTIME);
        for (size_t i = 0; i < pglob->timers.size(); i++) {
            const QNX_TIMER_STATE &p = pglob->timers[i];
            if (!p.process) continue;
            auto &r = next_record<QNX_MSG_SIN_RTIMERS>();
            r.pid = p.process->pid;
            r.nr = int32_t(i + 1);
            r.nid = p.process->nid;
            r.timer_type = p.timer_type;
            r.notify_type = p.notify_type;
            r.evt_value = p.itimercb.itcb_event.evt_value;
            r.value = time_left(&p, mono_now, wall_now);
            r.repeat = p.oitimerspec.it_interval;
            r.fire_cnt = p.fire_cnt;
            copy_pname(r.pname, p.process);
        }
        break;
    }
    case SIN_STATUS:
        build_status(pglob);
        break;
    case SIN_NODES:
        build_nodes(pglob);
        break;
    case SIN_NAMES:
        for (const QNX_ATT_NAME &cn : pglob->names) {
            if (cn.name[0] == '\0') continue;
            auto &r = next_record<QNX_MSG_SIN_RNAMES>();
            r.pid = cn.pid;
            r.nr = cn.id;
            /* A stored name has at most 32 characters. */
            memcpy(r.name, cn.name, sizeof r.name);
            r.name[sizeof r.name - 1] = '\0';
            r.nid = cn.nid;
            copy_pname(r.pname, cn.process);
        }
        break;
    }
    stream.resize(stream.size() + size, 0);
    const int32_t closing = -1;
    memcpy(stream.data() + stream.size() - size, &closing, sizeof closing);
}

/* The listings' record sizes and trace labels, by listing - 1. */
static const struct {
    size_t size;
    const char *label;
} kinds[] = {
    {sizeof(QNX_MSG_SIN_RPID), "QNX_MSG_SIN_RPID"},
    {sizeof(QNX_MSG_SIN_RPROXYS), "QNX_MSG_RPROXYS"},
    {sizeof(QNX_MSG_SIN_RTIMERS), "QNX_MSG_RTIMERS"},
    {sizeof(QNX_MSG_SIN_RNAMES), "QNX_MSG_RNAMES"},
    {sizeof(QNX_MSG_SIN_RSTATUS), "QNX_MSG_RSTATUS"},
    {sizeof(QNX_MSG_SIN_RNODE), "QNX_MSG_RNODE"},
};

size_t sin_record_size(int typ) {
    return typ >= SIN_PROCESSES && typ <= SIN_NODES ? kinds[typ - 1].size : 0;
}

const std::vector<unsigned char> *sin_records(PGLOB *pglob, int typ) {
    const size_t size = sin_record_size(typ);
    if (!size) return nullptr;
    finish_records(pglob); /* every record named */
    stream.clear();
    build(pglob, typ, size);
    return &stream;
}

/* process_sin answers MT_SIN with a header announcing the record size, one
 * record per entry of the chosen table and a closing record with pid -1, all
 * in one write. Fails with EINVAL (status only) for a typ outside 1 ... 6. */
void process_sin(PGLOB *pglob, QNX_CONN *c, REQUEST &rq) {
    QNX_MSG_HDR *hdr = &rq.hdr;
    int typ = rq.body<QNX_MSG_SIN>()->typ;
    const std::vector<unsigned char> *recs = sin_records(pglob, typ);
    if (!recs) {
        send_status(c->fd, EINVAL);
        return;
    }
    const size_t size = sin_record_size(typ);

    hdr->ev.retcode = 0;
    hdr->msg_len = uint32_t(size);

    /* One piece per record keeps the trace line of each. */
    size_t nrec = stream.size() / size;
    pieces.clear();
    pieces.push_back({hdr, sizeof(QNX_MSG_HDR), "QNX_MSG_HDR"});
    for (size_t i = 0; i < nrec; i++)
        pieces.push_back({stream.data() + i * size, size, kinds[typ - 1].label});
    dwritev(c->fd, pieces.data(), int(pieces.size()));
}
