/* sin.cpp - the system listing: processes, proxies, timers or names as a record stream */
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

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
    v.tv_sec = int32_t(p->timeval.tv_sec - now.tv_sec);
    if (d >= 0) {
        v.tv_nsec = int32_t(d * 1000);
    } else {
        v.tv_nsec = int32_t((d + 1000000) * 1000);
        v.tv_sec -= 1;
    }
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

static void build(PGLOB *pglob, int typ, size_t size) {
    switch (typ) {
    case SIN_PROCESSES:
        for (QNX_PSTATE *ps = pglob->pstate; ps; ps = ps->next) {
            auto &r = next_record<QNX_MSG_SIN_RPID>();
            r.pid = ps->pid;
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
            r.nr = -2 - int32_t(i);
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
            copy_pname(r.pname, cn.bprocess);
        }
        break;
    }
    stream.resize(stream.size() + size, 0);
    const int32_t closing = -1;
    memcpy(stream.data() + stream.size() - size, &closing, sizeof closing);
}

/* process_sin answers MT_SIN with a header announcing the record size, one
 * record per entry of the chosen table and a closing record with pid -1, all
 * in one write. Fails with EINVAL (status only) for a typ outside 1 ... 4. */
void process_sin(PGLOB *pglob) {
    finish_records(pglob); /* every record named */
    static const struct {
        size_t size;
        const char *label;
    } kinds[] = {
        {sizeof(QNX_MSG_SIN_RPID), "QNX_MSG_SIN_RPID"},
        {sizeof(QNX_MSG_SIN_RPROXYS), "QNX_MSG_RPROXYS"},
        {sizeof(QNX_MSG_SIN_RTIMERS), "QNX_MSG_RTIMERS"},
        {sizeof(QNX_MSG_SIN_RNAMES), "QNX_MSG_RNAMES"},
    };
    QNX_MSG_HDR *hdr = pglob->rcv_buffer;
    int typ = reinterpret_cast<QNX_MSG_SIN *>(hdr + 1)->typ;
    if (typ < SIN_PROCESSES || typ > SIN_NAMES) {
        send_status(pglob->act_fd, EINVAL);
        return;
    }
    const size_t size = kinds[typ - 1].size;

    hdr->ev.retcode = 0;
    hdr->msg_len = uint32_t(size);
    stream.clear();
    build(pglob, typ, size);

    /* One piece per record keeps the trace line of each. */
    size_t nrec = stream.size() / size;
    pieces.clear();
    pieces.push_back({hdr, sizeof(QNX_MSG_HDR), "QNX_MSG_HDR"});
    for (size_t i = 0; i < nrec; i++)
        pieces.push_back({stream.data() + i * size, size, kinds[typ - 1].label});
    dwritev(pglob->act_fd, pieces.data(), int(pieces.size()));
}
