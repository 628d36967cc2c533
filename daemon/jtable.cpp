/* jtable.cpp - the dispatch table: each kind of request's handler, log name and body length */
#include <new>

#include "circuit.h"
#include "vorleni.h"

/* The global record lives for the whole process and is never destroyed: the
 * exit handlers (and the leak checker) still see everything it holds. */
alignas(PGLOB) static unsigned char pglob_storage[sizeof(PGLOB)];
PGLOB &_pglob = *new (pglob_storage) PGLOB{};

/* The dispatch table: one row per kind of request, with its handler, the
 * name the log gives it and the length of its type's fixed body. The first
 * MT_NTYPES rows are the types' own, indexed by type; the rows after them are
 * the kinds a mark in the header's flags chooses. The framing picks a row
 * once, through jtable_row, and checks addlen once, before any handler runs. */
constexpr JTABLE pjumptable[] = {
    {0, 0, 0, process_undef, "undef 0", 0},
    {MT_SEND, 0, 0, process_snd, "Send", sizeof(QNX_MSG_HDR_SND)},
    {MT_RECEIVE, 0, 0, process_rcv, "Receive", sizeof(QNX_MSG_RCV)},
    {MT_NB_RECEIVE, 0, 0, process_rcv, "NB-Receive", sizeof(QNX_MSG_RCV)},
    {MT_REPLY, 0, 0, process_rpl, "Reply", sizeof(QNX_MSG_HDR_RPL)},
    {MT_SIN, 0, 0, process_sin, "sin", sizeof(QNX_MSG_SIN)},
    {MT_NAME_ATTACH, 0, 0, process_name_attach, "attach_name", sizeof(QNX_MSG_NAME_ATTACH)},
    {MT_NAME_DETACH, 0, 0, process_name_detach, "detach_name", sizeof(QNX_MSG_NAME_DETACH)},
    {MT_NAME_QUERY, 0, 0, process_name_query, "query_name", sizeof(QNX_MSG_NAME_QUERY)},
    {MT_PFLAGS, 0, 0, process_pflags, "pflags", sizeof(QNX_MSG_PFLAGS)},
    {MT_TRIGGER, 0, 0, process_trigger, "Trigger", sizeof(QNX_MSG_TRIGGER)},
    {MT_MKTIMER, 0, 0, process_mktimer, "mktimer", sizeof(QNX_MSG_MKTIMER)},
    {MT_RELABSTIMER, 0, 0, process_relabstimer, "rel/abstimer", sizeof(QNX_MSG_TIMER)},
    {MT_PROXY_ATTACH, 0, 0, process_proxy_attach, "attach_proxy", sizeof(QNX_MSG_PROXY_ATTACH)},
    {MT_PROXY_DETACH, 0, 0, process_proxy_detach, "detach_proxy", sizeof(QNX_MSG_PROXY_DETACH)},
    {MT_RMTIMER, 0, 0, process_rmtimer, "rmtimer", sizeof(QNX_MSG_RMTIMER)},
    {MT_RESTORE, 0, 0, process_restore, "restore", sizeof(QNX_MSG_RESTORE)},
    {MT_VC_ATTACH, 0, 0, process_vc_attach, "vc_attach", sizeof(QNX_MSG_VC_ATTACH)},
    {MT_VC_DETACH, 0, 0, process_vc_detach, "vc_detach", sizeof(QNX_MSG_VC_DETACH)},
    {MT_VC_QUERY, 0, 0, process_vc_query, "vc_query", sizeof(QNX_MSG_VC_QUERY)},
    {MT_VC_KILL, 0, 0, process_vc_kill, "vc_kill", sizeof(QNX_MSG_VC_KILL)},
    {MT_PM_QUERY, 0, 0, process_pm_query, "pm_query", sizeof(QNX_MSG_PM_QUERY)},
    {MT_VPROXY_ATTACH, 0, 0, process_vproxy_attach, "vproxy_attach", sizeof(QNX_MSG_VPROXY)},
    {MT_VPROXY_DETACH, 0, 0, process_vproxy_detach, "vproxy_detach", sizeof(QNX_MSG_VPROXY)},
    /* A signal handler ran in the client: its wait is broken off. */
    {0, VORLEN_FLAG_INTERRUPT, JT_UNANSWERED | JT_HEADER_ONLY, process_interrupt, "Interrupt", 0},
    /* Readmsg: the message the caller holds, again. */
    {MT_RECEIVE, VORLEN_FLAG_REREAD, 0, process_reread, "Readmsg", sizeof(QNX_MSG_RCV)},
    {MT_NB_RECEIVE, VORLEN_FLAG_REREAD, 0, process_reread, "NB-Readmsg", sizeof(QNX_MSG_RCV)},
    {MT_REPLY, VORLEN_FLAG_WRITEMSG, 0, process_writemsg, "Writemsg", sizeof(QNX_MSG_HDR_RPL)},
    {MT_REPLY, VORLEN_FLAG_RELAY, 0, process_relay, "Relay", sizeof(QNX_MSG_HDR_RPL)},
    {MT_REPLY, VORLEN_FLAG_WRITEMSG | VORLEN_FLAG_RELAY, 0, process_both_marks,
     "Writemsg and Relay", sizeof(QNX_MSG_HDR_RPL)},
    /* From a signal handler, whose process may wait for an answer. */
    {MT_TRIGGER, VORLEN_FLAG_UNANSWERED, JT_UNANSWERED, process_unanswered_trigger,
     "unanswered Trigger", sizeof(QNX_MSG_TRIGGER)},
};
constexpr size_t JT_ROWS = sizeof pjumptable / sizeof pjumptable[0];
static_assert(sizeof(QNX_MSG_HDR_SND) == 12 && sizeof(QNX_MSG_PROXY_ATTACH) == 124);

/* rows_in_order checks at compile time that the first MT_NTYPES rows are the
 * types' own, in type order, and that every marked row's type has its own. */
static constexpr bool rows_in_order() {
    for (size_t i = 0; i < JT_ROWS; i++) {
        const JTABLE &r = pjumptable[i];
        if (i < MT_NTYPES ? r.typ != i || r.mark != 0 : r.typ >= MT_NTYPES || r.mark == 0)
            return false;
        if (size_t(r.addlen) != size_t(pjumptable[r.typ].addlen)) return false;
    }
    return true;
}
static_assert(rows_in_order(), "the types' own rows come first, in type order");

/* type_marks gives, per type, the marks its rows after the first
 * MT_NTYPES have: a request that carries none of its type's is of the type's
 * own row at once. */
struct TYPE_MARKS {
    uint16_t of[MT_NTYPES] = {};
};
static constexpr TYPE_MARKS type_marks() {
    TYPE_MARKS m;
    for (size_t i = MT_NTYPES; i < JT_ROWS; i++) m.of[pjumptable[i].typ] |= pjumptable[i].mark;
    return m;
}
static constexpr TYPE_MARKS MARKS = type_marks();

/* jtable_row chooses among the rows of the header's type by the marks those
 * rows have: the row whose mark is exactly the header's share of them, else
 * the type's own. A row of a header alone (JT_HEADER_ONLY) is only a header's
 * with msg_len 0. Returns null for a type beyond the table; cannot fail
 * otherwise. */
const JTABLE *jtable_row(const QNX_MSG_HDR &h) {
    if (h.ev.typ >= MT_NTYPES) return nullptr;
    const uint16_t mark = h.flags.all & MARKS.of[h.ev.typ];
    if (mark)
        for (size_t i = MT_NTYPES; i < JT_ROWS; i++) {
            const JTABLE &r = pjumptable[i];
            if (r.typ == h.ev.typ && r.mark == mark &&
                (!(r.serve & JT_HEADER_ONLY) || h.msg_len == 0))
                return &r;
        }
    return &pjumptable[h.ev.typ];
}

/* pglob_init stores the start values of the global record. */
void pglob_init(PGLOB *pglob, const char *my_name) {
    pglob->my_name = my_name;
    pglob->my_port = VORLEN_DEFAULT_PORT;
    pglob->verbose = 0;
    pglob->nodisp = 0;
    pglob->max_connections = DEFAULT_MAX_CONNECTIONS;
    pglob->max_request = DEFAULT_MAX_REQUEST;
    pglob->max_unread = 0; /* the largest request and DEFAULT_UNREAD_BEYOND_REQUEST, unless given */
    pglob->max_memory = DEFAULT_MAX_MEMORY;
    pglob->max_user_memory = 0;
    pglob->user_mem.clear();
    pglob->max_user_connections = 0;
    pglob->first_request_ms = DEFAULT_FIRST_REQUEST_MS;
    pglob->next_serial = 1;
    pglob->log_rate = nullptr;
    pglob->mem_used = 0;
    pglob->version = "";
    pglob->start_time = 0;
    pglob->stats = STATS{};
    pglob_tables(pglob, QNX_MAX_NAMES, QNX_MAX_PROXIES, QNX_MAX_TIMERS);
    pglob->conns.resize(1024, nullptr);
}

void pglob_tables(PGLOB *pglob, int names, int proxies, int timers) {
    pglob->names.assign(size_t(names), QNX_ATT_NAME{});
    pglob->proxys.assign(size_t(proxies), QNX_PROXY_STATE{});
    pglob->timers.assign(size_t(timers), QNX_TIMER_STATE{});
    pglob->mqueue.assign(size_t(QNX_MQUEUE_SIZE), QNX_MQUEUE{});
    pglob->mqueue_used = 0;
}
