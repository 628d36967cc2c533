/* vorlen_wire.h - the wire protocol between vorlenlib and the daemon: types, records, layout */
#ifndef VORLEN_WIRE_H
#define VORLEN_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include "vorlen_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Compile-time layout checks                                                */
/* ------------------------------------------------------------------------ */

/* C11 and C++ have a static assertion; older C gets an array type whose size
 * is negative when the condition fails, which every C compiler rejects. */
#if defined(__cplusplus)
#define VORLEN_CHECK(tag, cond) static_assert(cond, #tag)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VORLEN_CHECK(tag, cond) _Static_assert(cond, #tag)
#else
#define VORLEN_CHECK(tag, cond) typedef char vorlen_check_##tag[(cond) ? 1 : -1]
#endif

/* The wire records mark where a body starts with a zero-length array and
 * type their flag bits uint16_t; both are GNU C, and __extension__ keeps a
 * program's -pedantic quiet about them. */
#if defined(__GNUC__)
#define VORLEN_EXTENSION __extension__
#else
#define VORLEN_EXTENSION
#endif

/* ------------------------------------------------------------------------ */
/* Constants                                                                 */
/* ------------------------------------------------------------------------ */

#define VORLEN_DEFAULT_PORT 7779 /* the daemon's port; VORLEN_PORT overrides it */
/* Nodes of a plant: ids 1 ... VORLEN_MAX_NODES in the net map; each daemon
 * listens for the links of the other nodes' daemons on its line's port,
 * VORLEN_NODE_PORT unless the line gives one. */
#define VORLEN_MAX_NODES 255
#define VORLEN_NODE_PORT 7780
/* A port, wherever one is given (VORLEN_PORT, the daemon's and the relay's
 * -p): the whole text is a decimal number from VORLEN_PORT_MIN to
 * VORLEN_PORT_MAX, with no blank, sign or anything else around it. */
#define VORLEN_PORT_MIN 1
#define VORLEN_PORT_MAX 65535
/* The daemon's abstract Unix-domain socket name for a port: a NUL byte, then
 * the text this format gives for the port (an int), with no end mark. */
#define VORLEN_UNIX_NAME_FORMAT "vorlen.%d"

/* Message types: the index into the daemon's dispatch table. 0 is unassigned. */
#define MT_SEND 1
#define MT_RECEIVE 2
#define MT_NB_RECEIVE 3
#define MT_REPLY 4
#define MT_SIN 5
#define MT_NAME_ATTACH 6
#define MT_NAME_DETACH 7
#define MT_NAME_QUERY 8
#define MT_PFLAGS 9 /* addition: the process's QNX 4 flags (qnx_pflags) */
#define MT_TRIGGER 10
#define MT_MKTIMER 11
#define MT_RELABSTIMER 12
#define MT_PROXY_ATTACH 13
#define MT_PROXY_DETACH 14
#define MT_RMTIMER 15
#define MT_RESTORE 16   /* addition: the first request of a process whose connection failed */
#define MT_VC_ATTACH 17 /* addition: a virtual circuit to a process of another node */
#define MT_VC_DETACH 18 /* addition: a virtual circuit released */
#define MT_VC_QUERY 19  /* addition: what an id stands for; this node's id */
#define MT_VC_KILL 20   /* addition: a signal to a process of another node, through its VID */
#define MT_PM_QUERY 21  /* addition: another node's process manager, through its VID */
#define MT_VPROXY_ATTACH                                                                           \
    22                      /* addition: a virtual proxy on another node for one of the caller's   \
                             */
#define MT_VPROXY_DETACH 23 /* addition: a virtual proxy removed */
#define MT_NTYPES 24
/* VORLEN_CARRIES_BLOCKS tells whether a request of type typ carries blocks:
 * an MT_SEND or MT_REPLY is the header, its fixed body (QNX_MSG_HDR_SND) and
 * nblocks blocks, msg_len bytes after the header in all. VORLEN_HAS_TAIL
 * tells whether it has anything after its fixed body: the blocks, or the
 * held pids of an MT_RESTORE (msg_len bytes in all too). Every other request
 * is the header and its type's fixed body only, whatever msg_len says: a
 * proxy attach's msg_len counts its message again, though the message travels
 * inside the fixed body, and the daemon reads no more than that body. */
#define VORLEN_CARRIES_BLOCKS(typ) ((typ) == MT_SEND || (typ) == MT_REPLY)
#define VORLEN_HAS_TAIL(typ) (VORLEN_CARRIES_BLOCKS(typ) || (typ) == MT_RESTORE)

/* Blocking states of a client process as the daemon keeps them. */
#define STATE_READY 1
#define STATE_RECEIVE_BLOCKED 2
#define STATE_SEND_BLOCKED 3
#define STATE_REPLY_BLOCKED 4

/* What a timer does when it expires. */
#define NOTIFY_SLEEP 0
#define NOTIFY_PROXY 1
#define NOTIFY_SIGNAL 2

/* Kinds of system listing (MT_SIN). */
#define SIN_PROCESSES 1
#define SIN_PROXIES 2
#define SIN_TIMERS 3
#define SIN_NAMES 4
#define SIN_STATUS 5 /* addition: the daemon's health (sin status) */
#define SIN_NODES 6  /* addition: the plant's nodes and the links to them (sin nodes) */

/* What each record of the SIN_STATUS listing is, in the order they come: the
 * daemon's own record, one per listening address, one per user that holds
 * connections or message memory. All three are VORLEN_STATUS_RECORD_SIZE
 * bytes long and begin with the daemon's pid and their kind. */
#define SIN_STATUS_DAEMON 1
#define SIN_STATUS_LISTENER 2
#define SIN_STATUS_USER 3
#define VORLEN_STATUS_RECORD_SIZE 184
#define VORLEN_VERSION_LEN 32   /* the daemon's version, zero-terminated */
#define VORLEN_LISTENER_LEN 112 /* "addr:port", "@abstract" or a socket file's path */

/* Where a node stands in its SIN_NODES record: this daemon's own node, no
 * link, a link being set up (TLS handshake, hello), a link up, or the last
 * attempt refused (why says by whom and why). */
#define SIN_NODE_SELF 1
#define SIN_NODE_DOWN 2
#define SIN_NODE_CONNECTING 3
#define SIN_NODE_UP 4
#define SIN_NODE_REFUSED 5
#define VORLEN_NODE_NAME_LEN 64 /* a node's name, zero-terminated: 63 characters at most */
#define VORLEN_NODE_ADDR_LEN 16 /* a dotted IPv4 address, zero-terminated */
#define VORLEN_NODE_WHY_LEN 128 /* why a node is down or refused, zero-terminated, cut to fit */

/* The daemon's table sizes by default; --max-names, --max-proxies and
 * --max-timers give others. */
#define QNX_MAX_NAMES 50
#define QNX_MAX_PROXIES 50
#define QNX_MAX_TIMERS 50
/* The largest table of names, proxies or timers a daemon may be given
 * (--max-names, --max-proxies, --max-timers): proxy ids run -2 ... -4097. */
#define VORLEN_MAX_TABLE_SIZE 4096
/* Proxy ids. The proxy in slot i of the daemon's table has the id -2 - i, so
 * no pid, 0 or -1 is ever one. VORLEN_PROXY_SLOT is computed in 64 bits, as
 * any int32_t a client sends may come in; VORLEN_IS_PROXY_ID tells whether id
 * can name a proxy of the largest table. */
#define VORLEN_PROXY_ID(slot) (-2 - (int32_t)(slot))
#define VORLEN_PROXY_SLOT(id) (-2 - (int64_t)(id))
#define VORLEN_IS_PROXY_ID(id) ((id) <= -2 && (id) >= -1 - VORLEN_MAX_TABLE_SIZE)
#define QNX_MAX_NAME_LEN 32   /* characters of a registered name */
#define QNX_MAX_PROXY_MSG 100 /* bytes of a proxy's message the library accepts */
#define QNX_PNAME_LEN 81      /* program name field of the listings */

/* Error numbers on the wire are the host's errno values. */

/* Additions to the protocol, marked in a request header's flags word, which
 * the original protocol always sends as 0; a client that never sets them sees
 * no change.
 * VORLEN_FLAG_REREAD on an MT_RECEIVE naming a pid: read the message that
 *   process holds REPLY-blocked on the caller, from offset, at once; ESRCH
 *   when it is not REPLY-blocked on the caller. Never blocks, changes nothing.
 * VORLEN_FLAG_INTERRUPT on a header of type 0 with msg_len 0, sent while a
 *   request is outstanding: a signal handler ran in the caller. The pending
 *   request is answered EINTR if its caller is still SEND-blocked,
 *   RECEIVE-blocked or sleeping in a NOTIFY_SLEEP timer; otherwise its
 *   normal answer stands. The interrupt itself is never answered, so every
 *   request keeps exactly one answer. */
#define VORLEN_FLAG_REREAD 0x4000
#define VORLEN_FLAG_INTERRUPT 0x8000
/* VORLEN_FLAG_QNX4 asks for QNX 4's semantics where the described behaviour
 *   differs; the library's QNX 4 face sets it. On MT_SEND: while the sender
 *   waits REPLY-blocked, an interrupt answers the Send EINTR (the receiver's
 *   later Reply then gets ESRCH) unless the receiver's flags hold
 *   VORLEN_PFLAG_SIGCATCH. On MT_PROXY_ATTACH: the proxy counts its triggers
 *   and is received once per trigger (at most VORLEN_MAX_PROXY_PENDING
 *   pending). On MT_RELABSTIMER: a zero it_value disarms the timer, and the
 *   answer holds the time that was left and the previous interval.
 * VORLEN_FLAG_UNANSWERED on an MT_TRIGGER: a trigger made by a signal handler
 *   while a request of the same process is outstanding. It is carried out
 *   like any trigger but never answered, so every request keeps exactly one
 *   answer. */
#define VORLEN_FLAG_QNX4 0x2000
#define VORLEN_FLAG_UNANSWERED 0x1000
/* VORLEN_FLAG_WRITEMSG on an MT_REPLY: write into the reply of to_pid, which
 *   must be REPLY-blocked on the caller, without replying. The first block is
 *   the offset (4 bytes, uint32_t), the others the bytes. The daemon keeps
 *   them with the sender and merges them into the reply when it comes: the
 *   reply's own bytes go at offset 0 over them, and bytes that neither wrote
 *   are 0. Answered status-only: 0; ESRCH when to_pid is not REPLY-blocked on
 *   the caller; EFAULT when the bytes would end beyond the request limit, or
 *   what is kept for that sender would pass it; EINVAL when the first block is
 *   not 4 bytes. The sender stays REPLY-blocked.
 * VORLEN_FLAG_RELAY on an MT_REPLY with one 4-byte block (int32_t, the
 *   target pid): hand the message of to_pid, which must be REPLY-blocked on
 *   the caller, on to the target as if to_pid had sent it there; the caller
 *   no longer holds it. Answered status-only: 0; ESRCH when to_pid is not
 *   REPLY-blocked on the caller or the target does not exist; EAGAIN when the
 *   message queue is full; EINVAL for any other block. An MT_REPLY with both
 *   marks is refused with EINVAL. */
#define VORLEN_FLAG_WRITEMSG 0x0800
#define VORLEN_FLAG_RELAY 0x0400
/* VORLEN_FLAG_REPLY_ROOM on an MT_SEND: the first block (4 bytes, uint32_t)
 *   is not part of the message but the room of the sender's reply buffers, as
 *   QNX 4's kernel knew it. Bytes written into the reply (Writemsg) are then
 *   kept only where they fit: a Writemsg is answered 0 with a 4-byte body,
 *   the number of its bytes that reach the reply buffer (0 at or past its
 *   end). The reply that follows such writes is marked VORLEN_FLAG_WRITEMSG:
 *   its header's prio holds the reply's own length R; the body is those R
 *   bytes for offset 0 on, then the written bytes beyond them, as pieces of
 *   a uint32_t offset, a uint32_t length and the bytes, in rising order and
 *   never overlapping (a later write over an earlier one). Bytes of the reply
 *   buffer that neither the reply nor a write covers are the sender's to keep
 *   as they were. Without the mark, a Writemsg is answered status-only (all
 *   its bytes reach the reply) and written bytes are merged as described for
 *   VORLEN_FLAG_WRITEMSG. */
#define VORLEN_FLAG_REPLY_ROOM 0x0200

/* VORLEN_FLAG_RESUMED on an MT_SEND: the Send was outstanding when the caller's earlier
 *   connection failed, and is sent again after an MT_RESTORE answered 0. When the addressee
 *   said at its own restore that it holds the caller's message (received, not replied to), the
 *   caller is REPLY-blocked on it again and the message is not delivered a second time;
 *   when the addressee restored without holding it, the Send is delivered as any Send;
 *   while the addressee has not restored, the caller waits SEND-blocked, and gets ESRCH
 *   when the addressee is not restored within the restore grace period. */
#define VORLEN_FLAG_RESUMED 0x0100

/* Process flags carried by MT_PFLAGS; the bits are QNX 4's _PPF_* values. */
#define VORLEN_PFLAG_PRIORITY_REC 0x0001 /* Receive takes the sender of highest priority first */
#define VORLEN_PFLAG_SIGCATCH 0x0010     /* signals never break a Send REPLY-blocked on it */
/* Priorities on the wire (an MT_SEND header's prio: the sender's priority as
 *   it sends; a proxy's at attach) are QNX 4's, higher first: a process of
 *   Linux niceness n has the priority VORLEN_PRIO_OF_NICE(n), 10 at nice 0. A
 *   receiver whose flags hold VORLEN_PFLAG_PRIORITY_REC takes what waits for
 *   it in that order, FIFO among equals; every other receiver FIFO. */
#define VORLEN_PRIO_OF_NICE(n) ((n) >= 9 ? 1 : 10 - (n))
#define VORLEN_MAX_PROXY_PENDING 65535 /* triggers a counting proxy keeps */

/* The 32-bit time records of the wire; itimerspec has the interval first. */
typedef struct _qnx_timespec {
    int32_t tv_sec;
    int32_t tv_nsec;
} QNX_TIMESPEC;

typedef struct _qnx_itimerspec {
    QNX_TIMESPEC it_interval; /* repeat interval; 0 s 0 ns fires once */
    QNX_TIMESPEC it_value;    /* first expiry, relative or absolute */
} QNX_ITIMERSPEC;

/* ------------------------------------------------------------------------ */
/* Wire records. Little-endian host order; data[0] marks where a body starts. */
/* ------------------------------------------------------------------------ */

/* Node ids on the wire. Every nid field (from_nid, to_nid, and the nid of
 * names, proxies and listings) names the daemon's own node by 0: clients
 * send 0 in requests, and the daemon answers with 0 for its processes. The
 * logical id that getnid() gives a program (1 without a net map) never
 * travels: the library takes both it and 0 for this node and writes 0. */

VORLEN_EXTENSION typedef struct _qnx_msg_hdr {
    union {
        uint16_t typ;     /* in a request: the message type */
        uint16_t retcode; /* in an answer: 0 or an errno value */
    } ev;
    uint16_t pad0;
    int32_t from_pid;
    int32_t from_nid;
    int32_t prio;
    union {
        struct {
            uint16_t is_crc : 1;
            uint16_t is_pgp : 1;
        } s;
        uint16_t all;
    } flags;
    uint16_t pad1;
    uint32_t msg_len; /* length of the body */
    unsigned char data[0];
} QNX_MSG_HDR;

VORLEN_EXTENSION typedef struct _qnx_msg_hdr_crc {
    uint32_t crc;
    unsigned char data[0];
} QNX_MSG_HDR_CRC;

VORLEN_EXTENSION typedef struct _qnx_msg_hdr_snd {
    int32_t to_pid;
    int32_t to_nid;
    uint32_t nblocks;
    unsigned char data[0];
} QNX_MSG_HDR_SND, QNX_MSG_HDR_RPL;

VORLEN_EXTENSION typedef struct _qnx_msg_blk_snd {
    uint32_t nbytes;
    unsigned char data[0];
} QNX_MSG_BLK_SND, QNX_MSG_BLK_RPL;

VORLEN_EXTENSION typedef struct _qnx_msg_rcv {
    int32_t from_pid; /* 0: anyone; else a pid or a proxy id */
    uint32_t offset;  /* where in the sender's message delivery starts */
    uint32_t nbytes;  /* how many bytes the receiver can take */
    char data[0];
} QNX_MSG_RCV;

typedef struct _qnx_msg_name_attach {
    char name[QNX_MAX_NAME_LEN + 1];
    char pad[3];
    int32_t nid;
} QNX_MSG_NAME_ATTACH, QNX_MSG_NAME_QUERY;

typedef struct _qnx_msg_name_res {
    int32_t id;
    int32_t nid;
    int32_t flags;
} QNX_MSG_NAME_RES, QNX_MSG_NAME_DETACH;

typedef struct _qnx_msg_proxy_attach {
    int32_t proxy_nr;
    int32_t to_pid;
    int32_t to_nid;
    int32_t prio;
    uint32_t nbytes;
    char data[QNX_MAX_PROXY_MSG + 1];
    char pad[3];
} QNX_MSG_PROXY_ATTACH, QNX_MSG_PROXY_DETACH;

typedef struct _qnx_msg_trigger {
    int32_t proxy_nr;
} QNX_MSG_TRIGGER;

typedef struct _qnx_msg_mktimer {
    int32_t timer_nr;
    int32_t timer_type;
    int32_t notify_type;
    struct itimercb itimercb;
} QNX_MSG_MKTIMER, QNX_MSG_RMTIMER;

typedef struct _qnx_msg_timer {
    int32_t typ; /* 0: relative (reltimer); otherwise absolute (abstimer) */
    int32_t timer_nr;
    QNX_ITIMERSPEC value;
} QNX_MSG_TIMER;

typedef struct _qnx_msg_pflags {
    int32_t flags; /* the process's QNX 4 flags after qnx_pflags */
} QNX_MSG_PFLAGS;

/* MT_RESTORE's fixed body, then nheld int32_t pids: the senders whose messages the caller
 * received and has not replied to when its connection failed. At most
 * VORLEN_MAX_RESTORE_HELD; more is EINVAL. Answered status-only: 0 when the daemon restored
 * the caller's record (the caller's names, proxies, timers and flags are as they were);
 * ESRCH when it has none for the caller (no state, another process with that pid, grace over);
 * EINVAL for a version it does not know. The answer comes once every sender named in the
 * list has sent its resumed Send (then REPLY-blocked on the caller again) or the grace
 * period has ended (a sender that did not come back is dropped from the list), so that the
 * caller's Reply, Readmsg and Writemsg after the answer find their senders in place. */
typedef struct _qnx_msg_restore {
    uint32_t version; /* VORLEN_RESTORE_VERSION */
    uint32_t nheld;
} QNX_MSG_RESTORE;
#define VORLEN_RESTORE_VERSION 1
#define VORLEN_MAX_RESTORE_HELD 4096

/* Virtual ids (VIDs). A process of another node is reached through a
 * virtual circuit: this node's daemon gives it a VID, a local id valid
 * wherever a pid is (Send, Receive by pid, Reply, Readmsg, Writemsg, Relay,
 * kill through the QNX 4 face, qnx_psinfo), and the far daemon gives the
 * caller one there, so that each side sees the other as a local id. VIDs lie
 * in VORLEN_VID_FIRST ... VORLEN_VID_LAST, above every Linux pid (at most
 * 2^22) and every proxy id of either face (the QNX 4 face's run
 * VORLEN_QNX4_PROXY_BASE ... + 0xFFFF), and are given in rising order,
 * wrapping only after the whole range: a VID that died stays dead. */
#define VORLEN_VID_FIRST 0x50000000
#define VORLEN_VID_LAST 0x5FFFFFFF
#define VORLEN_IS_VID(id) ((id) >= VORLEN_VID_FIRST && (id) <= VORLEN_VID_LAST)

/* MT_VC_ATTACH: a circuit from the caller to process pid of node nid (another
 * node's id; 0 or this node's is refused with EINVAL: the library answers
 * those itself), or, with name non-empty, to the owner of name there (pid
 * then 0); pid 1 is that node's process manager. VORLEN_VC_SHARE in flags
 * reuses the caller's circuit to the same process, counting its links.
 * Answered with QNX_MSG_VC_RES; refused with EHOSTUNREACH (nid not in the net
 * map, or down), ESRCH (no such process or name there), EAGAIN (a table or a
 * bound full), EINVAL (a name field without its zero). */
typedef struct _qnx_msg_vc_attach {
    int32_t nid;
    int32_t pid;
    uint32_t length; /* the initial buffer QNX 4 sized; messages of any size pass */
    int32_t flags;   /* VORLEN_VC_SHARE */
    char name[QNX_MAX_NAME_LEN + 1];
    char pad[3];
} QNX_MSG_VC_ATTACH;
#define VORLEN_VC_SHARE 0x0001

/* MT_VC_DETACH: the caller's circuit vid released (one link of a shared
 * one); the far end goes with the last. 0; ESRCH for an id that is not a
 * circuit of the caller. */
typedef struct _qnx_msg_vc_detach {
    int32_t vid;
} QNX_MSG_VC_DETACH;

/* MT_VC_QUERY: what id stands for. For a VID: the far node, the far
 * process's pid there and the far end's VID for this end. For any other id:
 * this node's id in nid (getnid()), pid and vid 0. Answered with
 * QNX_MSG_VC_RES; cannot fail. An MT_VC_ATTACH's answer has the same record;
 * an MT_NAME_QUERY that found a global name on another node answers with the
 * VID in from_pid and the number of nodes holding the name in prio. */
typedef struct _qnx_msg_vc_query {
    int32_t vid;
} QNX_MSG_VC_QUERY;
typedef struct _qnx_msg_vc_res {
    int32_t vid;     /* the circuit's id here */
    int32_t nid;     /* the far node; this node's for an id that is not a VID */
    int32_t pid;     /* the far process's pid on its node */
    int32_t far_vid; /* the far node's id for this end of the circuit */
} QNX_MSG_VC_RES, QNX_MSG_VC_QUERY_RES;

/* MT_VC_KILL: signal signo to the far process of circuit vid. The far daemon
 * allows what a local kill would: the caller's user (as its own daemon
 * verified it) is root or the far process's. 0, or the errno of the far
 * kill; ESRCH for a dead or unknown VID; EHOSTUNREACH when the link is lost
 * before the answer. */
typedef struct _qnx_msg_vc_kill {
    int32_t vid;
    int32_t signo;
} QNX_MSG_VC_KILL;

/* MT_PM_QUERY: a question to the far node's process manager, through vid, a
 * circuit to its pid 1 (or to any of its processes): VORLEN_PM_PSINFO, one
 * process of that node (pid; the first at or above it with
 * VORLEN_PM_NEXT), or VORLEN_PM_OSINFO, the node itself. Answered with
 * QNX_MSG_PM_PSINFO or QNX_MSG_PM_OSINFO; ESRCH for no such process (or none
 * above it), or a dead VID; EHOSTUNREACH when the link is lost first. */
typedef struct _qnx_msg_pm_query {
    int32_t vid;
    int32_t what; /* VORLEN_PM_PSINFO or VORLEN_PM_OSINFO */
    int32_t pid;
    int32_t flags; /* VORLEN_PM_NEXT */
} QNX_MSG_PM_QUERY;
#define VORLEN_PM_PSINFO 1
#define VORLEN_PM_OSINFO 2
/* VORLEN_PM_SIN: that node's daemon's listing pid (SIN_PROCESSES ...
 * SIN_NODES), as MT_SIN gives it there: answered with a header whose msg_len
 * is the length of all its records, the closing one with them, which follow.
 * The records are that node's view: its pids, 0 for its own node. */
#define VORLEN_PM_SIN 3
#define VORLEN_PM_NEXT 0x0001

/* MT_VPROXY_ATTACH: a virtual proxy on the far node of circuit vid (one of
 * the caller's: the library makes one to that node's process manager) for
 * proxy, one of the caller's own proxies (the wire's id). Whoever triggers
 * the virtual proxy there triggers proxy here, once per trigger. Answered
 * with the record, vproxy set to the virtual proxy's id on that node (the
 * wire's id there) and nid to the node; refused with ESRCH (no such circuit
 * of the caller, or proxy is not the caller's), EHOSTUNREACH (the link is
 * lost first), EAGAIN (the far node's proxy table is full, or the link has
 * no room). The virtual proxy goes by itself when proxy, its owner or the
 * circuit goes.
 * MT_VPROXY_DETACH: the caller's virtual proxy vproxy of node nid removed (vid
 * and proxy are not looked at). 0; ESRCH when it is none of the caller's,
 * EHOSTUNREACH when node nid is not up. */
typedef struct _qnx_msg_vproxy {
    int32_t vid;
    int32_t proxy;
    int32_t nid;
    int32_t vproxy;
} QNX_MSG_VPROXY;

/* One process of another node, as its daemon and its host's /proc know it. */
typedef struct _qnx_msg_pm_psinfo {
    int32_t pid;
    int32_t ppid;
    int32_t pgrp;
    int32_t sid;
    int32_t uid; /* real */
    int32_t euid;
    int32_t gid;
    int32_t egid;
    int32_t state;      /* the wire's STATE_* when the daemon knows it, else 0 */
    int32_t blocked_on; /* its partner, an id of that node; 0: none */
    int32_t priority;   /* the host's nice value turned as the library does for this node */
    int32_t pflags;     /* its VORLEN_PFLAG_* flags */
    char host_state;    /* /proc's state letter: R, S, D, T, Z, ... */
    char pad[3];
    uint32_t pad2;
    int64_t start_time; /* seconds since the epoch */
    int64_t utime_ms;
    int64_t stime_ms;
    char name[QNX_PNAME_LEN]; /* the program's name */
    char pad3[7];
} QNX_MSG_PM_PSINFO;

/* Another node as its daemon's host describes it. */
typedef struct _qnx_msg_pm_osinfo {
    int32_t nid;
    int32_t num_procs;
    int32_t cpu_speed; /* MHz; 0 when not known */
    int32_t version;   /* the kernel's version times 100 */
    int32_t release;
    int32_t cpu;
    int64_t totmemk;
    int64_t freememk;
    int64_t boot_time; /* seconds since the epoch */
    char machine[16];
} QNX_MSG_PM_OSINFO;

/* An answer header whose retcode is VORLEN_RETCODE_GONE, written by a daemon ending its
 * plant for good (vorlen --stop-clients) to every connection before it closes them: the
 * process is not restored and ends (status 69). */
#define VORLEN_RETCODE_GONE 0xFFFF

typedef struct _qnx_msg_sin {
    int32_t typ; /* SIN_PROCESSES ... SIN_NODES */
} QNX_MSG_SIN;

/* One process of the SIN_PROCESSES listing. A VID (a process of another
 * node, reached through a circuit) has its far node in nid, the far
 * process's pid there in session and the far node's VID for this end in
 * group, as qnx_psinfo's un.vproc; every other record has them 0. */
typedef struct _qnx_msg_sin_rpid {
    int32_t pid; /* -1 in the closing record */
    int32_t nid;
    int32_t session;
    int32_t group;
    int32_t parent;
    int32_t son;
    int32_t send_bytes;
    int32_t send_msg;
    int32_t rcv_bytes;
    int32_t rcv_msg;
    int32_t rpl_bytes;
    int32_t rpl_msg;
    int32_t block_state;
    int32_t block_pid;
    char pname[QNX_PNAME_LEN];
    uint8_t send_prio; /* SEND- or REPLY-blocked: the priority it sent at; else 0 */
    char pad[2];
} QNX_MSG_SIN_RPID;

typedef struct _qnx_msg_sin_rproxys {
    int32_t pid;
    int32_t nr;
    int32_t nid;
    int32_t act_cnt;
    int32_t fire_cnt;
    char pname[QNX_PNAME_LEN];
    char pad[3];
} QNX_MSG_SIN_RPROXYS;

typedef struct _qnx_msg_sin_rtimers {
    int32_t pid;
    int32_t nr;
    int32_t nid;
    int32_t timer_type;
    int32_t notify_type;
    int32_t evt_value;
    QNX_TIMESPEC value;  /* time left until the next expiry */
    QNX_TIMESPEC repeat; /* the repeat interval */
    int32_t fire_cnt;
    char pname[QNX_PNAME_LEN];
    char pad[3];
} QNX_MSG_SIN_RTIMERS;

typedef struct _qnx_msg_sin_rnames {
    int32_t pid;
    int32_t nr;
    char name[QNX_MAX_NAME_LEN + 1];
    char pad[3];
    int32_t nid;
    char pname[QNX_PNAME_LEN];
    char pad2[3];
} QNX_MSG_SIN_RNAMES;

/* The daemon's record of the SIN_STATUS listing: what it is, what it holds
 * against each bound, and what it refused since it started. Numbers of
 * connections, names, proxies, timers and queue entries are in use; the max_
 * fields are their bounds. */
typedef struct _qnx_msg_sin_rstatus {
    int32_t pid;  /* the daemon's pid; -1 in the closing record */
    int32_t kind; /* SIN_STATUS_DAEMON */
    char version[VORLEN_VERSION_LEN];
    int64_t start_time; /* wall clock, seconds since 1970 */
    int64_t uptime;     /* seconds */
    int32_t connections;
    int32_t max_connections;
    int32_t max_user_connections; /* --max-connections-per-user, or its default */
    int32_t processes;            /* process records */
    uint64_t memory;              /* message bytes held */
    uint64_t max_memory;          /* --max-memory */
    uint64_t max_user_memory;     /* a user's share: --max-memory-per-user, or its default */
    int32_t names;
    int32_t max_names;
    int32_t proxies;
    int32_t max_proxies;
    int32_t timers;
    int32_t max_timers;
    int32_t queue; /* queued messages and pending proxies */
    int32_t max_queue;
    /* Refusals by cause, since start. */
    uint64_t refused_memory;       /* a memory bound would have been passed */
    uint64_t refused_table;        /* a table or the queue was full */
    uint64_t refused_connections;  /* connections closed at accept for a limit */
    uint64_t refused_verification; /* peers that were not who they claimed, or not let in */
    uint64_t dropped_unread;       /* connections dropped for unread answers */
    uint64_t log_rate_limited;     /* error lines left out by the per-peer limit */
    uint64_t log_dropped;          /* log lines the log file could not take */
} QNX_MSG_SIN_RSTATUS;

/* A listening address of the SIN_STATUS listing. */
typedef struct _qnx_msg_sin_rlistener {
    int32_t pid;  /* the daemon's pid */
    int32_t kind; /* SIN_STATUS_LISTENER */
    char address[VORLEN_LISTENER_LEN];
    char pad[VORLEN_STATUS_RECORD_SIZE - 8 - VORLEN_LISTENER_LEN];
} QNX_MSG_SIN_RLISTENER;

/* A user's share of the SIN_STATUS listing. */
typedef struct _qnx_msg_sin_ruser {
    int32_t pid;  /* the daemon's pid */
    int32_t kind; /* SIN_STATUS_USER */
    int32_t uid;  /* -1: clients whose user cannot be told (other hosts) */
    int32_t connections;
    uint64_t memory; /* message bytes its clients hold */
    char pad[VORLEN_STATUS_RECORD_SIZE - 24];
} QNX_MSG_SIN_RUSER;

/* One node of the SIN_NODES listing, in the net map's order; without a net
 * map the one record of node 1, this host, with no address and port 0. */
typedef struct _qnx_msg_sin_rnode {
    int32_t pid;   /* the daemon's pid; -1 in the closing record */
    int32_t nid;   /* 1 ... VORLEN_MAX_NODES */
    int32_t state; /* SIN_NODE_SELF ... SIN_NODE_REFUSED */
    uint16_t port; /* its node-link port */
    uint16_t pad;
    char name[VORLEN_NODE_NAME_LEN];    /* the name its certificate must carry */
    char address[VORLEN_NODE_ADDR_LEN]; /* its node-link address */
    /* This daemon's own for its node; a peer's from its last hello; 0: none seen. */
    uint64_t incarnation;
    int64_t rtt_us;                /* the last heartbeat's round trip, microseconds; -1: none */
    uint64_t bytes_in;             /* bytes of its link read, since the daemon started */
    uint64_t bytes_out;            /* and written */
    char why[VORLEN_NODE_WHY_LEN]; /* down or refused: why; else empty */
} QNX_MSG_SIN_RNODE;

/* Declared for completeness; carried by no message. */
typedef struct _qnx_msg_status {
    int32_t status;
} QNX_MSG_STATUS;

typedef struct _qnx_event {
    int32_t typ;
    int32_t evt_value;
} qnx_event;

/* Every size and offset the wire depends on. */
VORLEN_CHECK(hdr_size, sizeof(QNX_MSG_HDR) == 24);
VORLEN_CHECK(hdr_ev, offsetof(QNX_MSG_HDR, ev) == 0 && sizeof(((QNX_MSG_HDR *)0)->ev) == 2);
VORLEN_CHECK(hdr_from_pid, offsetof(QNX_MSG_HDR, from_pid) == 4);
VORLEN_CHECK(hdr_from_nid, offsetof(QNX_MSG_HDR, from_nid) == 8);
VORLEN_CHECK(hdr_prio, offsetof(QNX_MSG_HDR, prio) == 12);
VORLEN_CHECK(hdr_flags,
             offsetof(QNX_MSG_HDR, flags) == 16 && sizeof(((QNX_MSG_HDR *)0)->flags) == 2);
VORLEN_CHECK(hdr_msg_len, offsetof(QNX_MSG_HDR, msg_len) == 20);
VORLEN_CHECK(hdr_data, offsetof(QNX_MSG_HDR, data) == 24);
VORLEN_CHECK(crc_size, sizeof(QNX_MSG_HDR_CRC) == 4);
VORLEN_CHECK(snd_size, sizeof(QNX_MSG_HDR_SND) == 12);
VORLEN_CHECK(snd_fields, offsetof(QNX_MSG_HDR_SND, to_nid) == 4 &&
                             offsetof(QNX_MSG_HDR_SND, nblocks) == 8 &&
                             offsetof(QNX_MSG_HDR_SND, data) == 12);
VORLEN_CHECK(blk_size, sizeof(QNX_MSG_BLK_SND) == 4 && offsetof(QNX_MSG_BLK_SND, data) == 4);
VORLEN_CHECK(rcv_size, sizeof(QNX_MSG_RCV) == 12);
VORLEN_CHECK(rcv_fields, offsetof(QNX_MSG_RCV, offset) == 4 && offsetof(QNX_MSG_RCV, nbytes) == 8 &&
                             offsetof(QNX_MSG_RCV, data) == 12);
VORLEN_CHECK(name_attach_size, sizeof(QNX_MSG_NAME_ATTACH) == 40);
VORLEN_CHECK(name_attach_nid, offsetof(QNX_MSG_NAME_ATTACH, nid) == 36);
VORLEN_CHECK(name_res_size, sizeof(QNX_MSG_NAME_RES) == 12);
VORLEN_CHECK(name_res_fields,
             offsetof(QNX_MSG_NAME_RES, nid) == 4 && offsetof(QNX_MSG_NAME_RES, flags) == 8);
VORLEN_CHECK(proxy_size, sizeof(QNX_MSG_PROXY_ATTACH) == 124);
VORLEN_CHECK(proxy_fields, offsetof(QNX_MSG_PROXY_ATTACH, to_pid) == 4 &&
                               offsetof(QNX_MSG_PROXY_ATTACH, to_nid) == 8 &&
                               offsetof(QNX_MSG_PROXY_ATTACH, prio) == 12 &&
                               offsetof(QNX_MSG_PROXY_ATTACH, nbytes) == 16 &&
                               offsetof(QNX_MSG_PROXY_ATTACH, data) == 20);
VORLEN_CHECK(trigger_size, sizeof(QNX_MSG_TRIGGER) == 4);
VORLEN_CHECK(timespec_size, sizeof(QNX_TIMESPEC) == 8);
VORLEN_CHECK(itimerspec_layout, sizeof(QNX_ITIMERSPEC) == 16 &&
                                    offsetof(QNX_ITIMERSPEC, it_interval) == 0 &&
                                    offsetof(QNX_ITIMERSPEC, it_value) == 8);
VORLEN_CHECK(event_size, sizeof(struct event) == 4);
VORLEN_CHECK(itimercb_layout,
             sizeof(struct itimercb) == 8 && offsetof(struct itimercb, itcb_count) == 4);
VORLEN_CHECK(mktimer_size, sizeof(QNX_MSG_MKTIMER) == 20);
VORLEN_CHECK(mktimer_fields, offsetof(QNX_MSG_MKTIMER, timer_type) == 4 &&
                                 offsetof(QNX_MSG_MKTIMER, notify_type) == 8 &&
                                 offsetof(QNX_MSG_MKTIMER, itimercb) == 12);
VORLEN_CHECK(timer_size, sizeof(QNX_MSG_TIMER) == 24);
VORLEN_CHECK(timer_fields,
             offsetof(QNX_MSG_TIMER, timer_nr) == 4 && offsetof(QNX_MSG_TIMER, value) == 8);
VORLEN_CHECK(pflags_size, sizeof(QNX_MSG_PFLAGS) == 4);
VORLEN_CHECK(restore_size, sizeof(QNX_MSG_RESTORE) == 8 && offsetof(QNX_MSG_RESTORE, nheld) == 4);
VORLEN_CHECK(sin_size, sizeof(QNX_MSG_SIN) == 4);
VORLEN_CHECK(vc_attach_size,
             sizeof(QNX_MSG_VC_ATTACH) == 52 && offsetof(QNX_MSG_VC_ATTACH, name) == 16);
VORLEN_CHECK(vc_detach_size, sizeof(QNX_MSG_VC_DETACH) == 4 && sizeof(QNX_MSG_VC_QUERY) == 4);
VORLEN_CHECK(vc_res_size, sizeof(QNX_MSG_VC_RES) == 16 && offsetof(QNX_MSG_VC_RES, far_vid) == 12);
VORLEN_CHECK(vc_kill_size, sizeof(QNX_MSG_VC_KILL) == 8);
VORLEN_CHECK(vproxy_size, sizeof(QNX_MSG_VPROXY) == 16 && offsetof(QNX_MSG_VPROXY, vproxy) == 12);
VORLEN_CHECK(pm_query_size, sizeof(QNX_MSG_PM_QUERY) == 16);
VORLEN_CHECK(pm_psinfo_size, sizeof(QNX_MSG_PM_PSINFO) == 168 &&
                                 offsetof(QNX_MSG_PM_PSINFO, start_time) == 56 &&
                                 offsetof(QNX_MSG_PM_PSINFO, name) == 80);
VORLEN_CHECK(pm_osinfo_size,
             sizeof(QNX_MSG_PM_OSINFO) == 64 && offsetof(QNX_MSG_PM_OSINFO, totmemk) == 24);

VORLEN_CHECK(rpid_size, sizeof(QNX_MSG_SIN_RPID) == 140);
VORLEN_CHECK(rpid_fields, offsetof(QNX_MSG_SIN_RPID, send_bytes) == 24 &&
                              offsetof(QNX_MSG_SIN_RPID, rpl_msg) == 44 &&
                              offsetof(QNX_MSG_SIN_RPID, block_state) == 48 &&
                              offsetof(QNX_MSG_SIN_RPID, block_pid) == 52 &&
                              offsetof(QNX_MSG_SIN_RPID, pname) == 56 &&
                              offsetof(QNX_MSG_SIN_RPID, send_prio) == 137);
VORLEN_CHECK(rproxys_size, sizeof(QNX_MSG_SIN_RPROXYS) == 104);
VORLEN_CHECK(rproxys_fields, offsetof(QNX_MSG_SIN_RPROXYS, act_cnt) == 12 &&
                                 offsetof(QNX_MSG_SIN_RPROXYS, fire_cnt) == 16 &&
                                 offsetof(QNX_MSG_SIN_RPROXYS, pname) == 20);
VORLEN_CHECK(rtimers_size, sizeof(QNX_MSG_SIN_RTIMERS) == 128);
VORLEN_CHECK(rtimers_fields, offsetof(QNX_MSG_SIN_RTIMERS, evt_value) == 20 &&
                                 offsetof(QNX_MSG_SIN_RTIMERS, value) == 24 &&
                                 offsetof(QNX_MSG_SIN_RTIMERS, repeat) == 32 &&
                                 offsetof(QNX_MSG_SIN_RTIMERS, fire_cnt) == 40 &&
                                 offsetof(QNX_MSG_SIN_RTIMERS, pname) == 44);
VORLEN_CHECK(rnames_size, sizeof(QNX_MSG_SIN_RNAMES) == 132);
VORLEN_CHECK(rnames_fields, offsetof(QNX_MSG_SIN_RNAMES, name) == 8 &&
                                offsetof(QNX_MSG_SIN_RNAMES, nid) == 44 &&
                                offsetof(QNX_MSG_SIN_RNAMES, pname) == 48);
VORLEN_CHECK(rstatus_size, sizeof(QNX_MSG_SIN_RSTATUS) == VORLEN_STATUS_RECORD_SIZE);
VORLEN_CHECK(rstatus_fields, offsetof(QNX_MSG_SIN_RSTATUS, kind) == 4 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, version) == 8 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, start_time) == 40 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, uptime) == 48 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, connections) == 56 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, processes) == 68 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, memory) == 72 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, max_user_memory) == 88 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, names) == 96 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, max_queue) == 124 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, refused_memory) == 128 &&
                                 offsetof(QNX_MSG_SIN_RSTATUS, log_dropped) == 176);
VORLEN_CHECK(rlistener_layout, sizeof(QNX_MSG_SIN_RLISTENER) == VORLEN_STATUS_RECORD_SIZE &&
                                   offsetof(QNX_MSG_SIN_RLISTENER, address) == 8);
VORLEN_CHECK(ruser_layout, sizeof(QNX_MSG_SIN_RUSER) == VORLEN_STATUS_RECORD_SIZE &&
                               offsetof(QNX_MSG_SIN_RUSER, uid) == 8 &&
                               offsetof(QNX_MSG_SIN_RUSER, connections) == 12 &&
                               offsetof(QNX_MSG_SIN_RUSER, memory) == 16);
VORLEN_CHECK(rnode_size, sizeof(QNX_MSG_SIN_RNODE) == 256);
VORLEN_CHECK(rnode_fields, offsetof(QNX_MSG_SIN_RNODE, nid) == 4 &&
                               offsetof(QNX_MSG_SIN_RNODE, state) == 8 &&
                               offsetof(QNX_MSG_SIN_RNODE, port) == 12 &&
                               offsetof(QNX_MSG_SIN_RNODE, name) == 16 &&
                               offsetof(QNX_MSG_SIN_RNODE, address) == 80 &&
                               offsetof(QNX_MSG_SIN_RNODE, incarnation) == 96 &&
                               offsetof(QNX_MSG_SIN_RNODE, rtt_us) == 104 &&
                               offsetof(QNX_MSG_SIN_RNODE, bytes_in) == 112 &&
                               offsetof(QNX_MSG_SIN_RNODE, bytes_out) == 120 &&
                               offsetof(QNX_MSG_SIN_RNODE, why) == 128);
VORLEN_CHECK(status_size, sizeof(QNX_MSG_STATUS) == 4);
VORLEN_CHECK(event_rec_size, sizeof(qnx_event) == 8 && offsetof(qnx_event, evt_value) == 4);
#if UINTPTR_MAX > 0xFFFFFFFFu
VORLEN_CHECK(mxfer_size, sizeof(_MXFER_ENTRY) == 16 && offsetof(_MXFER_ENTRY, mxfer_len) == 12);
#else
VORLEN_CHECK(mxfer_size, sizeof(_MXFER_ENTRY) == 12 && offsetof(_MXFER_ENTRY, mxfer_len) == 8);
#endif
VORLEN_CHECK(mxfer_seg, offsetof(_MXFER_ENTRY, mxfer_seg) == sizeof(_mxfer_off_t));

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_WIRE_H */
