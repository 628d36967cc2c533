/* jtable.cpp - the dispatch table: every message type's handler, display name and fixed body length
 */
#include <new>

#include "vorleni.h"

/* The global record lives for the whole process and is never destroyed: the
 * exit handlers (and the leak checker) still see everything it holds. */
alignas(PGLOB) static unsigned char pglob_storage[sizeof(PGLOB)];
PGLOB &_pglob = *new (pglob_storage) PGLOB{};

/* The dispatch table, indexed by message type: handler, display name and the
 * length of the type's fixed body. The framing checks use addlen once, in the
 * loop, before any handler runs. */
const JTABLE pjumptable[MT_NTYPES] = {
    {process_undef, "undef 0", 0},
    {process_snd, "Send", sizeof(QNX_MSG_HDR_SND)},
    {process_rcv, "Receive", sizeof(QNX_MSG_RCV)},
    {process_rcv, "NB-Receive", sizeof(QNX_MSG_RCV)},
    {process_rpl, "Reply", sizeof(QNX_MSG_HDR_RPL)},
    {process_sin, "sin", sizeof(QNX_MSG_SIN)},
    {process_name_attach, "attach_name", sizeof(QNX_MSG_NAME_ATTACH)},
    {process_name_detach, "detach_name", sizeof(QNX_MSG_NAME_DETACH)},
    {process_name_query, "query_name", sizeof(QNX_MSG_NAME_QUERY)},
    {process_pflags, "pflags", sizeof(QNX_MSG_PFLAGS)},
    {process_trigger, "Trigger", sizeof(QNX_MSG_TRIGGER)},
    {process_mktimer, "mktimer", sizeof(QNX_MSG_MKTIMER)},
    {process_relabstimer, "rel/abstimer", sizeof(QNX_MSG_TIMER)},
    {process_proxy_attach, "attach_proxy", sizeof(QNX_MSG_PROXY_ATTACH)},
    {process_proxy_detach, "detach_proxy", sizeof(QNX_MSG_PROXY_DETACH)},
    {process_rmtimer, "rmtimer", sizeof(QNX_MSG_RMTIMER)},
    {process_restore, "restore", sizeof(QNX_MSG_RESTORE)},
};
static_assert(sizeof(QNX_MSG_HDR_SND) == 12 && sizeof(QNX_MSG_PROXY_ATTACH) == 124);

/* pglob_init stores the start values of the global record. */
void pglob_init(PGLOB *pglob, const char *my_name) {
    pglob->jtable = pjumptable;
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
    pglob->fdpstate.resize(1024, nullptr);
}

void pglob_tables(PGLOB *pglob, int names, int proxies, int timers) {
    pglob->names.assign(size_t(names), QNX_ATT_NAME{});
    pglob->proxys.assign(size_t(proxies), QNX_PROXY_STATE{});
    pglob->timers.assign(size_t(timers), QNX_TIMER_STATE{});
}
