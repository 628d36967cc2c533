/* vorleni.h - the daemon's internal records: global state, process records, dispatch table */
#ifndef VORLENI_H
#define VORLENI_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/time.h>
#include <sys/types.h>

#include "list.h"
#include "node.h"
#include "vorlen.h"

/* ------------------------------------------------------------------------ */
/* Limits                                                                    */
/* ------------------------------------------------------------------------ */

constexpr int QNX_MQUEUE_SIZE = 512;            /* queued messages and pending proxies */
constexpr int SWEEP_INTERVAL = 300;             /* seconds between sweeps of dead pids */
constexpr int32_t TIMER_NOT_ARMED = 2147483647; /* both deadline fields: never */
/* A request longer than this is read and dropped, never buffered: a wrong or
 * hostile msg_len must not exhaust the daemon's memory. */
constexpr uint32_t DEFAULT_MAX_REQUEST = 64u << 20;
/* A connection whose unread answers pass this many bytes is treated as closed:
 * a client that sends requests but never reads cannot make the daemon hoard.
 * Unless given, the bound is the largest request and this much more, so that
 * the largest message still reaches a receiver that reads. */
constexpr size_t DEFAULT_UNREAD_BEYOND_REQUEST = 4u << 20;
/* The bytes of messages the daemon holds at once, in all connections' input
 * and output buffers and in held Sends. */
constexpr size_t DEFAULT_MAX_MEMORY = size_t(1) << 30;
/* Connections served at once; new ones beyond it are refused at accept. */
constexpr int DEFAULT_MAX_CONNECTIONS = 16384;
/* A connection not bound by a verified first request after this many
 * milliseconds is closed: it holds a place and a buffer and serves no one. */
constexpr int DEFAULT_FIRST_REQUEST_MS = 10000;
/* The owner a peer is counted under when the kernel cannot name one. */
constexpr uid_t UID_UNKNOWN = uid_t(-1);
/* The owner a node link's buffers are counted under until its hello names
 * its node: links not yet known share one user's share of the memory. */
constexpr uid_t UID_NODE_LINKS = uid_t(-2);
/* Once a link's node is known, its bytes and the messages of its node held
 * here count under UID_NODE_LINK_BASE + the node's id: a share per link. */
constexpr uid_t UID_NODE_LINK_BASE = uid_t(-4096);
constexpr int PNAME_LEN = QNX_PNAME_LEN;
constexpr int NAME_SLOT_LEN = QNX_MAX_NAME_LEN + 2; /* 34: a 32-character name and its zero */

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

struct QNX_PSTATE;
struct QNX_MQUEUE;
struct QNX_CONN;

/* The message a process sent and that is not yet replied to. */
struct QNX_QSND {
    char *buffer;    /* the daemon's copy; owned until the sender is replied to or removed */
    int32_t nbytes;  /* message length */
    uid_t owner;     /* the user whose share of message memory it counts against */
    pid_t to_pid;    /* addressee as requested */
    int32_t to_nid;  /* 0 */
    int32_t prio;    /* the sender's priority when it sent */
    bool room_given; /* the Send told its reply buffers' room (VORLEN_FLAG_REPLY_ROOM) */
    uint32_t room;   /* that room; written bytes beyond it are not kept */
};

/* Bytes a receiver wrote into the reply of a sender REPLY-blocked on it
 * (Writemsg), kept until the reply takes them; the bytes follow the record in
 * the same allocation. */
struct QNX_RWRITE {
    QNX_RWRITE *next; /* the write before it */
    uint32_t offset;  /* where in the reply the bytes go */
    uint32_t nbytes;
    uid_t owner; /* the writer's user: its share of message memory pays for them */
    char *bytes() { return reinterpret_cast<char *>(this + 1); }
    const char *bytes() const { return reinterpret_cast<const char *>(this + 1); }
};

/* Whose buffer a receive slot borrows: the message its sender holds, which
 * goes when the sender is replied to, or a proxy's canned one, which stays. */
enum RCV_LENDER : int32_t {
    LENT_BY_SENDER,
    LENT_BY_PROXY,
};

/* The receive slot: the pending receive, then the last message delivered. */
struct QNX_QRCV {
    char *buffer;    /* borrowed: the sender's qsnd.buffer or a proxy's message */
    uint32_t nbytes; /* receive-buffer size while blocked; message length after delivery */
    uint32_t offset; /* requested start offset */
    pid_t from_pid;  /* awaited pid (0 = any) while blocked; origin after delivery */
    int32_t from_nid;
    RCV_LENDER lender; /* whose buffer it borrows */
};

/* One client process known to the daemon. */
struct QNX_PSTATE {
    LINK<QNX_PSTATE> link; /* on PGLOB::processes, in creation order */
    pid_t pid;
    char pname[PNAME_LEN];
    int32_t nid;   /* always 0 */
    int16_t state; /* STATE_READY ... STATE_REPLY_BLOCKED */
    QNX_PSTATE *bprocess;
    int32_t fd; /* socket of its connection; -1 while it has none */
    QNX_QSND qsnd;
    QNX_QRCV qrcv;
    /* Traffic counts: 64 bits, so that no amount of traffic overflows them;
     * the listing record clamps them to its 32-bit fields. */
    int64_t bytes_send;
    int64_t bytes_received;
    int64_t bytes_reply;
    int64_t msg_send;
    int64_t msg_received;
    int64_t msg_reply;
    /* Bookkeeping beyond the classic record. */
    QNX_MQUEUE *qentry;               /* queue entry of its message while SEND-blocked, else null */
    uint16_t rcv_type;                /* MT_RECEIVE or MT_NB_RECEIVE of the pending receive */
    struct QNX_TIMER_STATE *sleeping; /* sleep timer whose expiry it waits for, else null */
    int pidfd;                        /* the verified process behind its connection; -1 when none */
    bool watched;                     /* pidfd is in the event set */
    bool unfinished;                  /* in PGLOB::unfinished: see finish_records */
    int32_t pflags;                   /* its QNX 4 flags (VORLEN_PFLAG_*), as last set */
    bool qnx4_send;                   /* its last Send asked for QNX 4 semantics */
    QNX_RWRITE *rwrites; /* written into its reply, newest first; released with its message */
    size_t rwrite_held;  /* what they take: their bytes and records */
    /* The length the writes give its reply, charged whole from the write
     * that asked for it to reply_owner, the user of the connection the reply
     * will wait in, until the reply goes or its message is released. */
    uint32_t reply_len;
    uid_t reply_owner;
    uint32_t state_slot; /* its slot in the state file + 1; 0: none */
    struct QNX_VC *vc;   /* a stub: the circuit to another node it stands for; else null */
};

/* One queued message or pending proxy trigger. */
struct QNX_MQUEUE {
    LINK<QNX_MQUEUE> link; /* on PGLOB::queue while in use, in arrival order */
    QNX_PSTATE *process;   /* addressee; null when free */
    QNX_PSTATE *sprocess;  /* sender; null for a proxy trigger */
    pid_t from_pid;        /* sender's pid, or the proxy id (negative) */
    int32_t prio;          /* the sender's priority when it sent, or the proxy's */
};

/* One registered name. */
struct QNX_ATT_NAME {
    char name[NAME_SLOT_LEN];
    int32_t id; /* slot index + 1; 0 when free */
    int32_t nid;
    pid_t pid;           /* owner; 0 when free */
    QNX_PSTATE *process; /* the owner's record; null when free */
};

/* One proxy slot; slot i has the id VORLEN_PROXY_ID(i). */
struct QNX_PROXY_STATE {
    char *message;       /* the daemon's copy of the canned message; null when nbytes is 0 */
    int32_t nbytes;      /* 0 ... 100 */
    int32_t trigger_cnt; /* triggers not yet received; > 0 means one queue entry */
    bool counting;       /* received once per trigger (QNX 4), not once for all pending */
    pid_t id;            /* the proxy id while in use; 0 when free */
    int32_t from_nid;
    int32_t fire_cnt;
    int32_t prio;        /* the priority given at attach */
    QNX_PSTATE *process; /* owner; null marks a free slot */
    QNX_MQUEUE *qentry;  /* its queue entry while pending, else null */
    /* A virtual proxy: the proxy of its owner's far party that a trigger
     * fires, on that party's node; 0 for a proxy of this node's. Its owner
     * is the stub of the circuit (see circuit.h), and it has no message. */
    pid_t remote_proxy;
};

/* One timer slot; slot i has the number i + 1. */
struct QNX_TIMER_STATE {
    LINK<QNX_TIMER_STATE> link; /* on PGLOB::timers_used while in use, in creation order */
    int32_t timer_type;
    int32_t notify_type;
    struct itimercb itimercb;
    /* The deadline, in the clock named by clock: the wall clock for an absolute
     * first expiry, the monotonic clock for relative ones and every period, so
     * that a step of the wall clock neither fires them early nor holds them. */
    struct timeval timeval;
    int32_t deadline_ns; /* the deadline's nanoseconds beyond timeval's microseconds: 0 ... 999 */
    int clock;
    QNX_ITIMERSPEC oitimerspec; /* the setting last given */
    int32_t fire_cnt;
    QNX_PSTATE *process; /* owner; null marks a free slot */
};

/* A connection's buffers are never sized below BUF_MIN bytes, one page: more
 * than any header and fixed body (148 bytes at most) or any status-only
 * answer, so that a connection always has room for them without asking the
 * memory budget (growth_refusal), and small requests that come together are
 * read at once. */
constexpr size_t BUF_MIN = 4096;
/* BUF_LARGE bounds how far a buffer grows beyond what it is asked for, and a
 * buffer larger than it gives its memory back once empty: a connection's
 * buffers stay near the bytes it really holds, and a large request's or
 * answer's memory does not stay with an idle connection. */
constexpr size_t BUF_LARGE = 65536;

/* A growable byte buffer with a read position. Its size counts towards the
 * daemon's message memory (mem_take) for as long as it has it, under the
 * user of its connection. */
struct QNX_BUF {
    std::vector<unsigned char> data;
    size_t start = 0;          /* first unconsumed byte */
    size_t end = 0;            /* one past the last valid byte */
    uid_t owner = UID_UNKNOWN; /* the user whose share it counts against */
    QNX_BUF() = default;
    QNX_BUF(const QNX_BUF &) = delete;
    QNX_BUF &operator=(const QNX_BUF &) = delete;
    ~QNX_BUF() { release(); }
    size_t used() const { return end - start; }
    unsigned char *head() { return data.data() + start; }
    void consume(size_t n);
    /* The size reserve_tail(n) would give the buffer: its size when n more
     * bytes fit. */
    size_t grow_to(size_t n) const;
    /* Room for n more bytes after end; false, the buffer unchanged, when the
     * memory cannot be had or, with budgeted, the bounds of mem_refusal
     * would be passed. */
    bool reserve_tail(size_t n, bool budgeted = false);
    bool append(const void *p, size_t n); /* false as reserve_tail */
    void clear() { start = end = 0; }
    void release(); /* gives the memory back; only when empty */
};

/* A log line's level: the -v from which it is written, and its severity
 * (syslog's numbers) where lines carry one, on standard error. */
struct LOG_LEVEL {
    int verbose;
    int severity;
};
constexpr LOG_LEVEL LV_ALWAYS{0, 6};    /* the run's start, its end, the log reopened */
constexpr LOG_LEVEL LV_WARNING{0, 4};   /* "Warning: ..." the run goes on, but not as asked */
constexpr LOG_LEVEL LV_FAULT{1, 3};     /* "Err: ..." the daemon's own inconsistency */
constexpr LOG_LEVEL LV_ERROR{2, 3};     /* "Err: ..." a request refused, a peer dropped */
constexpr LOG_LEVEL LV_NODE{0, 6};      /* "node N up", "node N restarted" */
constexpr LOG_LEVEL LV_NODE_DOWN{0, 4}; /* "node N down: ..." */
constexpr LOG_LEVEL LV_NOTE{2, 6};      /* a signal that does not end the run */
constexpr LOG_LEVEL LV_CLEANUP{3, 6};   /* records removed, waits ended by a removal */
constexpr LOG_LEVEL LV_REQUEST{4, 6};   /* names, proxies, timers, flags, interrupts */
constexpr LOG_LEVEL LV_MESSAGE{5, 6};   /* Send, Receive, Reply, Writemsg, Relay */
constexpr LOG_LEVEL LV_DETAIL{6, 6};    /* how a message call was taken apart */
constexpr LOG_LEVEL LV_TRACE{7, 7};     /* the queue, the timers, each request's frame */
constexpr LOG_LEVEL LV_IO{8, 7};        /* every read and write, every connection */
constexpr LOG_LEVEL LV_SEARCH{9, 7};    /* every lookup of a pid */
/* How many error lines one source has logged in the current second. */
struct LOG_RATE {
    time_t sec = 0;
    int count = 0;
    unsigned long suppressed = 0; /* lines left out, said once the second is over */
};
/* Error lines one peer may cause per second; the rest are counted, not written. */
constexpr int LOG_LINES_PER_SECOND = 20;

/* What the health view (sin status) counts since start: refusals by cause,
 * and the log lines lost. */
struct STATS {
    uint64_t refused_memory = 0;       /* requests refused or dropped for a memory bound */
    uint64_t refused_table = 0;        /* names, proxies, timers, queue entries: table full */
    uint64_t refused_connections = 0;  /* connections closed at accept for a limit */
    uint64_t refused_verification = 0; /* connections whose claimed pid was not the peer */
    uint64_t dropped_unread = 0;       /* connections dropped for the answers left unread */
    uint64_t log_rate_limited = 0;     /* error lines left out by the per-peer limit */
    uint64_t log_dropped = 0;          /* log lines the log file could not take */
};

/* One accepted connection. */
struct QNX_CONN {
    int fd = -1;
    QNX_BUF in;                /* bytes read, not yet dispatched */
    QNX_BUF out;               /* answer bytes the socket has not yet taken */
    uint64_t drop = 0;         /* bytes of an oversized request still to be read and dropped */
    uint16_t drop_retcode = 0; /* the answer once they are gone */
    bool refused = false;      /* its pid was refused: closed once the drop is answered */
    bool dead = false; /* write failed or unread answers over the bound: remove after the request */
    bool unread = false;     /* it is dead for the answers it left unread */
    uint64_t serial = 0;     /* tells it from a later connection on the same socket */
    uid_t uid = UID_UNKNOWN; /* the user on the other end, counted against the per-user cap */
    LOG_RATE rate;           /* the error lines it caused */
    bool want_write = false;
    /* Who is on the other end, decided once at accept and never asked again:
     * a peer whose address can no longer be read must not turn into one that
     * is let in. */
    bool local = false;     /* on this host: its pid is checked at binding */
    bool unix_peer = false; /* came through the Unix-domain socket */
    /* A Unix peer's credentials as the kernel gave them at accept. */
    pid_t cred_pid = 0;
    uid_t cred_uid = uid_t(-1);
    int cred_pidfd = -1; /* the connecting process; handed to its record at binding */
    /* The process record it is bound to, null until its first request is
     * verified. The binding is this and the record's fd, always both:
     * ps->fd == fd here, and a record's fd names the connection whose ps it
     * is. */
    QNX_PSTATE *ps = nullptr;
};

struct PGLOB;
struct JTABLE;

/* The largest fixed body of any type: the proxy attach's. */
constexpr size_t MAX_FIXED_BODY = sizeof(QNX_MSG_PROXY_ATTACH);

/* The request being served: its header, a copy of its fixed body (requests
 * lie unaligned in the input buffer) and its variable part, still in the
 * input buffer, which dread reads on. A handler that answers with the record
 * writes over it (answer_in_place). */
struct REQUEST {
    QNX_MSG_HDR hdr; /* from_pid is the bound process's, whatever the client said */
    alignas(8) unsigned char fixed[MAX_FIXED_BODY];
    const JTABLE *row;        /* the kind it is */
    const unsigned char *var; /* the variable part not yet read */
    size_t var_len;
    template <typename T> T *body() {
        static_assert(sizeof(T) <= MAX_FIXED_BODY);
        return reinterpret_cast<T *>(fixed);
    }
    template <typename T> const T *body() const {
        static_assert(sizeof(T) <= MAX_FIXED_BODY);
        return reinterpret_cast<const T *>(fixed);
    }
    /* The header and the fixed body, as one record. */
    const unsigned char *bytes() const { return reinterpret_cast<const unsigned char *>(this); }
};
static_assert(offsetof(REQUEST, fixed) == sizeof(QNX_MSG_HDR), "the body follows the header");

/* A handler serves one kind of request for the process bound to connection
 * c; it answers (or, for a kind that is never answered, does not) before it
 * returns. */
typedef void (*PFUNC)(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);

/* How the framing serves a row's requests. */
constexpr uint16_t JT_UNANSWERED = 1;  /* never answered: carried out while a request waits */
constexpr uint16_t JT_HEADER_ONLY = 2; /* a header alone: served bound or not, never framed */

/* One row of the dispatch table: one kind of request, chosen by its type and
 * the marks it carries. */
struct JTABLE {
    uint16_t typ;   /* its message type */
    uint16_t mark;  /* the flag bits that choose it among its type's rows; 0: the type's own */
    uint16_t serve; /* JT_*; 0: answered, once bound */
    PFUNC pfunc;
    const char *name; /* what the log calls it; the framing names the type, by its own row */
    int32_t addlen;   /* length of the type's fixed body */
};

/* The daemon's one global state record. */
struct PGLOB {
    int32_t verbose;
    LIST<QNX_PSTATE, &QNX_PSTATE::link> processes; /* every record, in creation order */
    /* The tables, sized once at start (--max-names, --max-proxies,
     * --max-timers; QNX_MAX_* by default; the queue QNX_MQUEUE_SIZE) and never
     * resized: records point into them. */
    std::vector<QNX_ATT_NAME> names;
    std::vector<QNX_PROXY_STATE> proxys;
    std::vector<QNX_TIMER_STATE> timers;
    LIST<QNX_TIMER_STATE, &QNX_TIMER_STATE::link> timers_used;
    std::vector<QNX_MQUEUE> mqueue;
    LIST<QNX_MQUEUE, &QNX_MQUEUE::link> queue; /* the entries in use, in arrival order */
    int32_t mqueue_used;
    struct timeval next_timeout; /* monotonic: when the timers must next be examined */
    int32_t my_port;
    int32_t nodisp;
    const char *my_name;
    std::string logname; /* the log file's path, built once from LOGDIR and used whole */

    /* Connections by socket, the pid index and the limits. */
    std::vector<QNX_CONN *> conns;
    std::unordered_map<pid_t, QNX_PSTATE *> pidmap;
    std::unordered_map<int, QNX_PSTATE *> pidfdmap; /* the record each watched pidfd belongs to */
    std::vector<int> dead_fds;     /* connections to remove once the request is done */
    std::vector<pid_t> unfinished; /* records for finish_records, by pid */
    int nconns;
    int max_connections;
    uint32_t max_request;
    size_t max_unread;
    int max_user_connections; /* --max-connections-per-user; 0: a quarter of max_connections */
    std::unordered_map<uid_t, int> user_conns; /* connections open per user */
    int first_request_ms;                      /* --first-request-timeout */
    /* Connections that have yet to complete a request, by deadline (monotonic). */
    struct FIRST_WAIT {
        struct timeval deadline;
        int fd;
        uint64_t serial;
    };
    std::deque<FIRST_WAIT> first_waits;
    uint64_t next_serial;
    size_t max_memory;      /* --max-memory: the bound on mem_used */
    size_t mem_used;        /* bytes of buffers and held messages, daemon-wide */
    size_t max_user_memory; /* --max-memory-per-user; 0: a quarter of max_memory */
    std::unordered_map<uid_t, size_t> user_mem; /* mem_used by user; users holding none absent */
    bool log_stderr; /* log lines go to standard error with syslog levels, not to the file */
    /* The source whose error lines are being limited (the peer being served,
     * or the listener's refusals); null: none, every line is written. */
    LOG_RATE *log_rate;
    LOG_RATE accept_rate;
    STATS stats;
    const char *version;                /* the daemon's, as --version says it */
    time_t start_time;                  /* wall clock: when the daemon started serving */
    std::vector<std::string> listening; /* the addresses it listens on, as the log names them */
    PLANT plant;                        /* the other nodes and the links to them */
    double restore_grace_s;             /* --restore-grace: how long restored records and suspended
                                           circuits wait for their other end */
    /* Events of the loop's pass still to be served after the one in hand:
     * while it is 0 nothing else waits, so a message queued for a node link
     * goes out at once instead of at the next tick. */
    int pass_left;
};

/* The connections one user may have open, and the message memory its clients
 * may hold: as given, or a quarter of the daemon's. */
inline int user_connection_cap(const PGLOB *pglob) {
    return pglob->max_user_connections > 0 ? pglob->max_user_connections
                                           : (pglob->max_connections + 3) / 4;
}
inline size_t user_memory_share(const PGLOB *pglob) {
    return pglob->max_user_memory ? pglob->max_user_memory : pglob->max_memory / 4;
}

extern PGLOB &_pglob;
inline bool log_enabled(LOG_LEVEL level) {
    return _pglob.verbose >= level.verbose;
}
/* The dispatch table: first each type's own row, in type order, then the
 * rows that a mark chooses. */
extern const JTABLE pjumptable[];
/* jtable_row is the row of the request that header h begins; null for a type
 * beyond the table. */
const JTABLE *jtable_row(const QNX_MSG_HDR &h);
void pglob_init(PGLOB *pglob, const char *my_name);
/* The largest table of names, proxies or timers that --max-* may ask for. */
constexpr int MAX_TABLE_SIZE = VORLEN_MAX_TABLE_SIZE;
/* Sizes the tables of names, proxies and timers, and the queue; only before
 * the first request. */
void pglob_tables(PGLOB *pglob, int names, int proxies, int timers);

/* ------------------------------------------------------------------------ */
/* Operations                                                                */
/* ------------------------------------------------------------------------ */

/* log.cpp */
/* log_line writes one line of level: see vlog. */
void log_line(LOG_LEVEL level, const char *f, ...) __attribute__((format(printf, 2, 3)));
/* vlog writes the line fmt makes, when -v asks for its level, to the log
 * file (seconds since the first line) and, unless -d, to standard output
 * (hours:minutes:seconds); with --log-stderr to standard error instead of
 * the file, behind its severity. The arguments are not evaluated when the
 * level is not written. */
#define vlog(level, ...)                                                                           \
    do {                                                                                           \
        if (log_enabled(level)) log_line(level, __VA_ARGS__);                                      \
    } while (0)
void dump_msg(const unsigned char *s, int32_t len);
void close_log();
void crash_message(int sig); /* async-signal-safe shutdown line for a crash */
void log_prepare_crash();
/* Locks the log file, writes the start line and then about, the run's first stamped line. */
void log_start(const char *about);
void log_reopen(); /* after the file was moved away: a new one at the same path */
/* Writes text to the console as a log line is, never waiting; only once
 * SIGPIPE is blocked. */
void console_text(const char *text);
/* The write of every log line, one call a line; a test makes it fail. */
extern ssize_t (*log_write)(int fd, const void *p, size_t n); /* seam */

/* io.cpp: traced reads of the current request and buffered answers */
ssize_t dread(const QNX_CONN *c, REQUEST &rq, void *buff, size_t nbytes, const char *name);
/* Asked before every allocation of message memory; a harness makes it fail. */
extern bool (*alloc_allowed)(size_t nbytes); /* seam */
/* Message memory (buffers, held messages, written reply bytes) is counted
 * daemon-wide against --max-memory and per user against the user's share
 * (--max-memory-per-user), so that one user, however many connections it
 * opens, leaves the rest of the budget to the others. mem_refusal says why
 * user may not have n more bytes (for a log line), or null when it may; a
 * refusal is counted for the health view, so ask only to refuse. */
const char *mem_refusal(PGLOB *pglob, uid_t user, size_t n);
size_t mem_held(const PGLOB *pglob, uid_t user); /* what user holds now */
void mem_take(PGLOB *pglob, uid_t user, size_t n);
void mem_give(PGLOB *pglob, uid_t user, size_t n);
/* answer_refusal says why an answer of n bytes for connection fd could not
 * wait there if its socket took none of it, credit bytes of it being charged
 * to the connection's user already; null when it could (and for a connection
 * that takes no more answers). A request that would queue such an answer for
 * another process is refused; one whose answer is status-only never is. */
const char *answer_refusal(PGLOB *pglob, int fd, size_t n, size_t credit = 0);
ssize_t dwrite(int fd, const void *buff, size_t nbytes, const char *name);
void send_status(int fd, int retcode);
/* Answers request rq of connection c with success and the fixed body of
 * body_len bytes that its handler wrote over the request's own; name is what
 * the trace calls it. */
void answer_in_place(const QNX_CONN *c, REQUEST &rq, uint32_t body_len, const char *name);
/* Answers the request of connection c with status retcode alone and, from
 * -v 2 on, logs the error line "Err: " and what fmt makes of the rest, before
 * the answer goes: a client that has it finds the line. */
void refuse(const QNX_CONN *c, int retcode, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
/* Writes an answer made of several pieces with as few system calls as possible;
 * each piece is traced like a dwrite. */
struct DPIECE {
    const void *buff;
    size_t nbytes;
    const char *name;
};
void dwritev(int fd, const DPIECE *pieces, int n);

/* conn.cpp: accepting, framing and dispatching */
void conn_accept(PGLOB *pglob, int listener);
void conn_add(PGLOB *pglob, int fd, bool local, uid_t uid);
void conn_readable(PGLOB *pglob, int fd);
void conn_writable(PGLOB *pglob, int fd);
void conn_close(PGLOB *pglob, int fd);
void conn_reap_dead(PGLOB *pglob);
/* Closes the connections whose first request is overdue at now (monotonic)
 * and returns the next such deadline in *next; false when none waits. */
bool conn_expire_first(PGLOB *pglob, const struct timeval &now, struct timeval *next);
void process_undef(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);

/* poll.cpp: the loop's event layer */
int sockinit();
int sockwant(int fd, bool readable, bool writable);
int sockadd(int fd);
void sockforget(int fd);
int sockwatch_process(int pidfd);
void sockdeadline(const struct timeval *mono_deadline);
struct SOCKEV {
    int fd;
    bool readable;
    bool writable;
    bool process; /* fd is a watched pidfd: its process has exited */
};
/* Waits for events or the deadline, at most wait_ms milliseconds (-1: no
 * bound). */
int socknext(SOCKEV *evs, int maxevs, int wait_ms = -1);
bool sockis_timer(int fd);

/* loop.cpp: one step of the loop, for the daemon and for a harness */
struct LOOP_STATE {
    std::vector<int> listeners;
    int sigfd = -1;
    void (*on_signal)(PGLOB *pglob, int sigfd) = nullptr;
    time_t cleanup_sec = 0; /* monotonic: the next sweep; 0 until the first step */
};
int loop_once(PGLOB *pglob, LOOP_STATE *lp, int wait_ms);

/* process.cpp: the process table */
/* Why a process record is removed; the removal's log line says it. */
enum REMOVE_WHY {
    RM_DISCONNECT, /* its connection ended */
    RM_EXITED,     /* its pidfd said it exited, or it was found gone without a connection */
    RM_SWEEP,      /* the sweep found it gone */
    RM_UNREAD,     /* its connection was dropped for unread answers */
    RM_REFUSED,    /* a claim of its pid was refused, and it is gone */
    RM_GRACE,      /* restored from the state file, not claimed within --restore-grace */
    RM_CIRCUIT,    /* a stub: its circuit to another node ended */
};
/* What find_process does when pid has no record. */
enum FIND_MODE {
    FIND_ONLY,        /* nothing: it only looks up */
    FIND_OR_LOCAL,    /* makes one for a living pid of this host */
    FIND_OR_RESTORED, /* makes one without a look at /proc, for a record the state file
                         restores: its caller names it and writes it */
    FIND_OR_KERNEL,   /* makes one for the pid the kernel named for a Unix peer (alive: it
                         just connected, and its pidfd is watched) */
};
QNX_PSTATE *find_process(PGLOB *pglob, pid_t pid, FIND_MODE mode);
char *get_pname(pid_t opid, char *dest, int destlen);
/* The program name of the process bound to connection c, for a log line;
 * "?" before its record is named. Cannot fail. */
const char *caller_pname(const QNX_CONN *c);
extern bool (*pid_alive)(pid_t pid); /* seam */
void cleanup_prg(PGLOB *pglob, pid_t pid, REMOVE_WHY why);
/* What inform_clients does once the processes blocked on pid are released. */
enum INFORM_MODE {
    INFORM_RELEASE, /* nothing more */
    INFORM_REMOVE,  /* removes the record of pid and closes its connection */
};
/* why only matters with INFORM_REMOVE. */
void inform_clients(PGLOB *pglob, pid_t pid, int retcode, INFORM_MODE mode,
                    REMOVE_WHY why = RM_EXITED);
void sweep(PGLOB *pglob);
/* Gives ps the pidfd of its verified process and watches it, so that the
 * record goes the moment the process exits; a pidfd it had is closed. With
 * later, the watch waits for finish_records. */
void process_watch(PGLOB *pglob, QNX_PSTATE *ps, int pidfd, bool later = false);
/* read_proc reads /proc/<pid>/<file> in one read into buf, at most size - 1
 * bytes and zero-terminated; returns the bytes read, -1 with errno when the
 * file cannot be opened or read. */
ssize_t read_proc(pid_t pid, const char *file, char *buf, size_t size);
/* Completes the records made for Unix peers with no more work than their
 * first answer needed: the program's name, the watch on the process. */
void finish_records(PGLOB *pglob);
/* The loop saw pidfd ready: the record it belongs to goes if its process has
 * exited. */
void process_exited(PGLOB *pglob, int pidfd);
/* Answers a blocked process with a status-only retcode and makes it READY,
 * withdrawing a queued message and ending a sleep it waits in. */
void release_process(PGLOB *pglob, QNX_PSTATE *ps, int retcode, pid_t from_pid);
/* Breaks off the wait of ps as a signal in it does; true when there was one. */
bool break_wait(PGLOB *pglob, QNX_PSTATE *ps);
void process_pflags(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_interrupt(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);

/* blocking.cpp: the states of a process record and the moves between them;
 * state and bprocess are written there and nowhere else. */
void make_ready(QNX_PSTATE *ps); /* READY, blocked on no one */
/* A receiver that got its message is READY; the sender it waited for stays
 * its partner. */
void end_receive(QNX_PSTATE *ps);
void block_send(QNX_PSTATE *ps, QNX_PSTATE *to);      /* its message queued for to */
void block_reply(QNX_PSTATE *ps, QNX_PSTATE *on);     /* its message with on */
void block_receive(QNX_PSTATE *ps, QNX_PSTATE *from); /* waits for from, null: anyone or a proxy */
/* The rules of the states, which the fuzzer checks every record by: the one
 * ps breaks, or null. */
const char *blocking_fault(const QNX_PSTATE *ps);

/* names.cpp */
void process_name_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_name_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_name_query(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void do_ndetach(QNX_ATT_NAME *cn);

/* msg.cpp: Send/Receive/Reply and the message queue */
void process_snd(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_rcv(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_reread(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_rpl(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_writemsg(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_relay(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_both_marks(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void do_rcv(QNX_PSTATE *ps, uint32_t rbnbytes, uint32_t offset, int32_t prio);
QNX_MQUEUE *msgq_add(PGLOB *pglob, QNX_PSTATE *to, QNX_PSTATE *from, pid_t from_pid, int32_t prio);
QNX_MQUEUE *msgq_retrieve(PGLOB *pglob, QNX_PSTATE *ps, pid_t pid);
void msgq_remove(PGLOB *pglob, QNX_MQUEUE *e);
void msgq_requeue(PGLOB *pglob, QNX_MQUEUE *e);
/* msgq_full tells whether every entry of the queue is in use. */
inline bool msgq_full(const PGLOB *pglob) {
    return size_t(pglob->mqueue_used) >= pglob->mqueue.size();
}
/* Drops what a removed process leaves in the queue and releases its buffers. */
void msg_forget_process(PGLOB *pglob, QNX_PSTATE *ps);
/* Releases the message a sender holds and the bytes written into its reply,
 * once; a receiver's slot that lent it is emptied. */
void msg_release_buffer(PGLOB *pglob, QNX_PSTATE *sender);
/* msg_hold makes buffer, total bytes charged to user, the message that
 * sender s holds for to_pid until it is replied to, as a Send with prio,
 * flags (VORLEN_FLAG_QNX4, VORLEN_FLAG_REPLY_ROOM) and room gives it. */
void msg_hold(QNX_PSTATE *s, char *buffer, uint32_t total, uid_t user, pid_t to_pid, int32_t prio,
              uint32_t flags, uint32_t room);
/* msg_pass_refusal says why the message of nbytes that s holds or is to
 * hold cannot go to r as a Send's does (the queue full while r does not wait
 * for it, or its delivery at once over a bound); null when it can. */
const char *msg_pass_refusal(PGLOB *pglob, const QNX_PSTATE *s, const QNX_PSTATE *r,
                             uint32_t nbytes);
/* msg_pass hands the message s holds to r as a Send does: at once under a
 * header with prio when r waits for it (s REPLY-blocked on r), else queued
 * (s SEND-blocked on r). Ask msg_pass_refusal first; cannot fail then. */
void msg_pass(PGLOB *pglob, QNX_PSTATE *s, QNX_PSTATE *r, int32_t prio);

/* proxy.cpp */
void process_proxy_attach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_proxy_detach(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_trigger(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_unanswered_trigger(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
int do_trigger(PGLOB *pglob, QNX_PROXY_STATE *p, int32_t from_nid, pid_t from_pid);
void do_pdetach(PGLOB *pglob, QNX_PROXY_STATE *p);
QNX_PROXY_STATE *proxy_slot(PGLOB *pglob, pid_t id); /* null for an id of no slot */

/* timer.cpp */
void process_mktimer(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_relabstimer(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_rmtimer(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
void process_timers(PGLOB *pglob);
void do_tdetach(PGLOB *pglob, QNX_TIMER_STATE *p);
struct timeval now_clock(int clock);
extern int (*vorlen_clock_gettime)(int clock, struct timespec *ts); /* seam */
/* The deadline of timer p on the monotonic clock. */
struct timeval timer_mono_deadline(const QNX_TIMER_STATE *p, const struct timeval &mono_now,
                                   const struct timeval &wall_now);

/* peer.cpp: who is on the other end */
extern bool (*peer_is_local)(int fd, const struct sockaddr_in *peer); /* seam */
extern int (*peer_verify)(int fd, pid_t pid, int *pidfd);             /* seam */
/* peer_credentials takes the pid, uid and a pidfd of the process that
 * connected Unix-domain socket fd from the kernel; -1 when they cannot be had. */
int peer_credentials(int fd, pid_t *pid, uid_t *uid, int *pidfd);
/* SO_PEERPIDFD of Unix socket fd, -1 where the kernel has none; a test takes it away. */
extern int (*peer_pidfd)(int fd); /* seam */
/* diag_verifies tells whether a sock_diag answer in state state for inode may
 * vouch for anyone: only an established socket that has an inode. */
bool diag_verifies(unsigned state, unsigned long inode);
extern int (*owner_signal)(QNX_PSTATE *ps, int sig); /* seam */
extern uid_t (*peer_uid)(int fd); /* owner of a local TCP peer's socket; UID_UNKNOWN: none known */
extern uid_t (*pid_uid)(pid_t pid); /* the owner of a process; UID_UNKNOWN: none known */
/* unix_listener_owner names the user who owns the listening Unix-domain socket
 * bound to name (len bytes as in sun_path): "user NAME (uid N)", "user uid N"
 * for a uid without a name, or "unknown user" when the kernel cannot tell. */
std::string unix_listener_owner(const char *name, size_t len);
/* acts_only_as tells whether process pid acts as uid and as no one else: its
 * effective, saved and file-system user ids are all uid. False when its
 * status cannot be read. */
bool acts_only_as(pid_t pid, uid_t uid);

/* sin.cpp */
void process_sin(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
/* sin_record_size is the length of a record of listing typ; 0 for no listing. */
size_t sin_record_size(int typ);
/* sin_records builds listing typ (its records and the closing one) as MT_SIN
 * sends them, into a buffer that is the daemon's until the next listing;
 * null for no listing. */
const std::vector<unsigned char> *sin_records(PGLOB *pglob, int typ);

/* state.cpp: the state file, written in place as the tables change. Every
 * call does nothing while no state file is open (--no-state, the fuzzer). */
struct STATE_OPTIONS {
    std::string path;      /* --state, or the default path */
    bool enabled = true;   /* --no-state turns it off */
    double grace_s = 10.0; /* --restore-grace */
};
/* state_default_path is where the state file lives unless --state says:
 * $RUNTIME_DIRECTORY/vorlen.state, $LOGDIR/vorlen.<port>.state, ./vorlen.<port>.state. */
std::string state_default_path(int port);
void state_process(PGLOB *pglob, QNX_PSTATE *ps); /* its flags, name and counters */
void state_forget(PGLOB *pglob, QNX_PSTATE *ps);  /* the record goes */
void state_name(PGLOB *pglob, const QNX_ATT_NAME *cn);
void state_proxy(PGLOB *pglob, const QNX_PROXY_STATE *p);
void state_timer(PGLOB *pglob, const QNX_TIMER_STATE *t);
void state_sweep(PGLOB *pglob); /* every record's counters, on the slow path */
struct QNX_VC;
void state_vc(PGLOB *pglob, QNX_VC *v);        /* a circuit made, shared or resumed */
void state_vc_forget(PGLOB *pglob, QNX_VC *v); /* the circuit ended */
/* start_ticks: field 22 of /proc/<pid>/stat (peer.cpp); -1 when it cannot be read. */
long long start_ticks(pid_t pid);

/* netmap.cpp: the net map, this node's line in it, the plant's start values */
#define VORLEN_TLS_DIR "/etc/vorlen"                   /* the default certificates, key and CA */
#define VORLEN_NETMAP_DEFAULT VORLEN_TLS_DIR "/netmap" /* read when it exists */
constexpr int DEFAULT_NODE_HEARTBEAT_MS = 500;         /* an idle link's heartbeat */
constexpr int DEFAULT_NODE_TIMEOUT_MS = 2000; /* four heartbeats missed: the node is down */
/* What the command line says of the plant; empty paths are the defaults. */
struct NETMAP_OPTIONS {
    std::string path; /* --netmap; empty: VORLEN_NETMAP_DEFAULT when it exists */
    int32_t node = 0; /* --node; 0: the line with one of the host's addresses */
    std::string tls_cert, tls_key, tls_ca;
    int heartbeat_ms = DEFAULT_NODE_HEARTBEAT_MS; /* --node-heartbeat */
    int timeout_ms = DEFAULT_NODE_TIMEOUT_MS;     /* --node-timeout */
};
/* Why a net map is refused: the line (0: the map as a whole) and the reason. */
struct NETMAP_FAULT {
    int line = 0;
    std::string why;
};
bool netmap_parse(const std::string &text, std::vector<NODE> *nodes, NETMAP_FAULT *fault);
/* Resolves a net map's host to an IPv4 address; false with why. */
extern bool (*netmap_resolve)(const std::string &host, struct in_addr *addr,
                              std::string *why); /* seam */
std::vector<struct in_addr> host_addresses();
int netmap_self(const std::vector<NODE> &nodes, int32_t nid, const std::vector<struct in_addr> &own,
                std::string *why);
uint64_t make_incarnation();
void netmap_load(PGLOB *pglob, const NETMAP_OPTIONS &opt);
void netmap_check_files(const PGLOB *pglob);
std::string netmap_about(const PGLOB *pglob);
std::string netmap_unit_dropin(const PGLOB *pglob, const NETMAP_OPTIONS &opt);
const NODE *plant_node(const PGLOB *pglob, int32_t nid);
std::string node_address(const NODE &n); /* "addr:port" of its link */

/* restore.cpp: loading the state file at start, binding restored records */
/* restore_start opens the state file and restores what it holds, before the
 * daemon serves; a file it must not trust is set aside. Ends the daemon with
 * status 1 when another daemon holds the file. */
void restore_start(PGLOB *pglob, const STATE_OPTIONS &opt);
/* restore_bind: the verified process pid sends its first request; a restored
 * record of pid is its own when its start time and user are the record's,
 * else the record goes. */
void restore_bind(PGLOB *pglob, pid_t pid);
void process_restore(PGLOB *pglob, QNX_CONN *c, REQUEST &rq);
/* restore_resumed_send: a Send marked VORLEN_FLAG_RESUMED from s to d, its
 * message held by s; true when it was taken here (refused, or s is
 * REPLY-blocked on d again), false when it is delivered as any Send. */
bool restore_resumed_send(PGLOB *pglob, const QNX_CONN *c, QNX_PSTATE *s, QNX_PSTATE *d);
/* restore_tick ends the grace period when due and lowers *wake to its end. */
void restore_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake);
void restore_forget(PGLOB *pglob, pid_t pid); /* the record of pid went */
/* restore_end_plant removes the state file and answers every connection
 * VORLEN_RETCODE_GONE: the daemon ends for good (SIGUSR2). */
void restore_end_plant(PGLOB *pglob);
/* stop_clients is vorlen --stop-clients: it signals the daemon that holds
 * the state file at path and returns the exit status. */
int stop_clients(const std::string &path);

/* Time arithmetic on timevals. */
inline bool tv_le(const struct timeval &a, const struct timeval &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec <= b.tv_usec);
}
inline void tv_normalise(struct timeval &t) {
    if (t.tv_usec > 999999) {
        t.tv_sec += t.tv_usec / 1000000;
        t.tv_usec %= 1000000;
    }
}

#endif /* VORLENI_H */
