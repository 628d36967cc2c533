/* link.h - the node links: TLS 1.3 connections between the daemons of a plant, their frames */
#ifndef VORLEN_LINK_H
#define VORLEN_LINK_H

#include <cstdint>

#include <sys/time.h>
#include <sys/types.h>

#include "vorlen.h"

struct PGLOB;

/* The dialler sends its hello first; the acceptor answers with its own
 * once it has checked the dialler's, or with a refusal, so that a dialler
 * takes the link as up only when the acceptor did.
 *
 * Every frame on a link, after the TLS handshake, is this header and len
 * bytes of payload, in the byte order of the sender; the hello's order mark
 * tells the peer whether that is its own (a peer of the other order is
 * refused, so no frame is ever converted). */
struct LINK_FRAME_HDR {
    uint32_t len;  /* payload bytes after the header */
    uint16_t kind; /* LINK_HELLO ... */
    uint16_t zero; /* 0 */
};
static_assert(sizeof(LINK_FRAME_HDR) == 8, "the frame header has no padding");

enum LINK_KIND : uint16_t {
    LINK_HELLO = 1,  /* LINK_HELLO_BODY: each side's first frame */
    LINK_PING = 2,   /* 8 bytes: the sender's monotonic time in microseconds */
    LINK_PONG = 3,   /* the ping's 8 bytes, sent back */
    LINK_REFUSE = 4, /* the acceptor's answer to a hello it refuses: why, in text */
    /* Circuits (circuit.cpp). Every frame that names a process of its sender
     * carries the sender's node id, which must be the link's, and names
     * circuits by both ends' VIDs, which must be a circuit of that node. */
    LINK_VC_ATTACH = 5,   /* LINK_VC_ATTACH_BODY: make the far end of a circuit */
    LINK_VC_ATTACHED = 6, /* LINK_VC_ATTACHED_BODY: its answer */
    LINK_VC_DETACH = 7,   /* LINK_VC_REF: the circuit is gone at the sender's end */
    LINK_MSG = 8,         /* LINK_MSG_BODY and the message: a Send through a circuit */
    LINK_RECEIVED = 9,    /* LINK_VC_REF: the far receiver has taken the message */
    LINK_REPLY = 10,      /* LINK_REPLY_BODY and the reply: the answer to a LINK_MSG */
    /* Global names (gnames.cpp). */
    LINK_GNAMES = 11,    /* LINK_GNAME_BODY times n: all of the sender's, at link-up */
    LINK_GNAME_ADD = 12, /* LINK_GNAME_BODY: one registered */
    LINK_GNAME_DEL = 13, /* LINK_GNAME_BODY: one gone */
    /* Process manager (pmquery.cpp). */
    LINK_KILL = 14,   /* LINK_KILL_BODY: a signal to a process of the receiver */
    LINK_QUERY = 15,  /* LINK_QUERY_BODY: a process manager's question */
    LINK_RESULT = 16, /* LINK_RESULT_BODY and the answer's record: to a LINK_KILL or LINK_QUERY */
    /* Virtual proxies (vproxy.cpp). */
    LINK_VPROXY_ATTACH = 17, /* LINK_VPROXY_BODY: make a virtual proxy for a proxy of the sender */
    LINK_VPROXY_ATTACHED = 18, /* LINK_VPROXY_ATTACHED_BODY: its answer */
    LINK_VPROXY_DETACH = 19,   /* LINK_VPROXY_BODY: remove one */
    LINK_TRIGGER = 20,         /* LINK_VPROXY_BODY: a virtual proxy of the sender was triggered */
    /* Circuits again (circuit.cpp): one kept across a lost link or a restart. */
    LINK_VC_RESUME = 21, /* LINK_VC_RESUME_BODY: the sender's end is back, the circuit goes on */
    LINK_KINDS = 22,
};

constexpr char LINK_MAGIC[8] = {'V', 'O', 'R', 'L', 'E', 'N', 'N', 'L'};
constexpr uint16_t LINK_VERSION = 1;
constexpr uint16_t LINK_BYTE_ORDER = 0x0102; /* read as 0x0201 by a peer of the other order */

struct LINK_HELLO_BODY {
    char magic[8];
    uint16_t version;
    uint16_t byte_order;
    int32_t nid;
    uint64_t incarnation;
};
static_assert(sizeof(LINK_HELLO_BODY) == 24, "the hello has no padding");

/* Frames that carry a message, a reply or a result (a listing may be long)
 * may be as long as the largest request and LINK_MSG_SLACK; every other
 * kind's payload is at most LINK_MAX_PAYLOAD. */
constexpr uint32_t LINK_MAX_PAYLOAD = 4096;
constexpr uint32_t LINK_MSG_SLACK = 256;

/* The two ends of a circuit, as a frame names them. */
struct LINK_VC_REF {
    int32_t from_nid; /* the sender's node */
    int32_t from_vid; /* the sender's id of the circuit */
    int32_t to_vid;   /* the receiver's id of the circuit */
    int32_t why;      /* LINK_VC_DETACH: ESRCH (its process went) or 0 (detached) */
};
static_assert(sizeof(LINK_VC_REF) == 16);

struct LINK_VC_ATTACH_BODY {
    uint32_t req;     /* the asker's number for the answer */
    int32_t from_nid; /* the asker's node */
    int32_t from_pid; /* the process that attaches, on the asker's node */
    int32_t from_vid; /* the asker's id of the circuit to be */
    int32_t to_pid;   /* the process attached to; 0 with a name; 1: the process manager */
    uint32_t length;
    uint32_t from_uid; /* the attacher's user, as its daemon verified it */
    uint32_t zero;     /* 0 */
    char name[40];     /* zero-terminated, at most 32 characters; empty with a pid */
    char pname[81];    /* the attacher's program name, zero-terminated, for the listings */
    char pad[7];
};
static_assert(sizeof(LINK_VC_ATTACH_BODY) == 160);

struct LINK_VC_ATTACHED_BODY {
    uint32_t req;     /* as asked */
    int32_t retcode;  /* 0 or the errno of the refusal */
    int32_t from_nid; /* the answerer's node */
    int32_t from_vid; /* the answerer's id of the circuit */
    int32_t to_vid;   /* the asker's id, as asked */
    int32_t pid;      /* the process attached to, on the answerer's node */
    char pname[81];   /* its program name, zero-terminated */
    char pad[7];
};
static_assert(sizeof(LINK_VC_ATTACHED_BODY) == 112);

struct LINK_MSG_BODY {
    LINK_VC_REF vc;  /* why: 0 */
    int32_t prio;    /* the sender's priority */
    uint32_t flags;  /* VORLEN_FLAG_QNX4, VORLEN_FLAG_REPLY_ROOM as the Send had them */
    uint32_t room;   /* with VORLEN_FLAG_REPLY_ROOM: the reply buffers' room */
    uint32_t nbytes; /* the message's bytes, which follow */
};
static_assert(sizeof(LINK_MSG_BODY) == 32);

struct LINK_REPLY_BODY {
    LINK_VC_REF vc; /* why: 0 */
    QNX_MSG_HDR ah; /* the answer as the sender gets it: retcode, flags, prio, msg_len */
};                  /* then ah.msg_len bytes */
static_assert(sizeof(LINK_REPLY_BODY) == 40);

/* A circuit that its sender kept suspended while the link was lost (or its
 * daemon restarted), named by both ends' VIDs and both parties. */
struct LINK_VC_RESUME_BODY {
    int32_t from_nid; /* the sender's node */
    int32_t from_vid; /* the sender's id of the circuit */
    int32_t to_vid;   /* the receiver's id of the circuit */
    int32_t from_pid; /* the sender's local party; 0: its process manager */
    int32_t to_pid;   /* the far party, on the receiver's node; 1: its process manager */
};
static_assert(sizeof(LINK_VC_RESUME_BODY) == 20);

struct LINK_GNAME_BODY {
    int32_t from_nid; /* the sender's node */
    int32_t pid;      /* the owner, a process of the sender's node */
    char name[40];    /* zero-terminated, beginning with '/' */
};
static_assert(sizeof(LINK_GNAME_BODY) == 48);

struct LINK_KILL_BODY {
    uint32_t req;
    int32_t from_nid;
    int32_t from_pid;
    uint32_t from_uid; /* the sender's user, as its daemon verified it */
    int32_t to_vid;    /* the receiver's id of the circuit to the process signalled */
    int32_t signo;
};
static_assert(sizeof(LINK_KILL_BODY) == 24);

struct LINK_QUERY_BODY {
    uint32_t req;
    int32_t from_nid;
    int32_t from_pid;
    int32_t what;  /* VORLEN_PM_PSINFO or VORLEN_PM_OSINFO */
    int32_t pid;   /* PSINFO: the process of the receiver's node asked about */
    int32_t flags; /* VORLEN_PM_NEXT */
};
static_assert(sizeof(LINK_QUERY_BODY) == 24);

struct LINK_RESULT_BODY {
    uint32_t req;
    int32_t from_nid; /* the answerer's node */
    int32_t retcode;
    uint32_t nbytes; /* the answer's record, which follows */
};
static_assert(sizeof(LINK_RESULT_BODY) == 16);

/* A virtual proxy, as its frames name it. The circuit is the one the proxy's
 * owner made to the node of the virtual proxy; the virtual proxy is owned
 * there by the circuit's stub, so that it goes with the circuit. */
struct LINK_VPROXY_BODY {
    LINK_VC_REF vc; /* why: 0 */
    uint32_t req;   /* LINK_VPROXY_ATTACH: the asker's number for the answer; else 0 */
    int32_t proxy;  /* the proxy, on the owner's node */
    int32_t vproxy; /* the virtual proxy, on the other node; 0 in LINK_VPROXY_ATTACH */
    int32_t zero;   /* 0 */
};
static_assert(sizeof(LINK_VPROXY_BODY) == 32);

struct LINK_VPROXY_ATTACHED_BODY {
    uint32_t req;     /* as asked */
    int32_t from_nid; /* the answerer's node */
    int32_t retcode;  /* 0, ESRCH or EAGAIN */
    int32_t vproxy;   /* the virtual proxy, on the answerer's node */
};
static_assert(sizeof(LINK_VPROXY_ATTACHED_BODY) == 16);

/* link_start opens the node links of a daemon with a net map: the TLS
 * context from the plant's certificate, key and CA, the listener on this
 * node's own address and port, and a dial to every node of a higher id. A
 * certificate, key or CA that cannot be loaded, or an address that cannot be
 * bound, ends the daemon with status 1 and a message naming it. Without a
 * net map it does nothing. */
void link_start(PGLOB *pglob);
/* link_event serves an event of fd when fd is the node listener or a link,
 * and then returns true; false for any other descriptor. */
bool link_event(PGLOB *pglob, int fd, bool readable, bool writable);
/* link_tick does the links' due work at now (monotonic): heartbeats of idle
 * links, links silent too long declared down, overdue handshakes ended,
 * redials; it lowers *wake to the next such moment. Cannot fail. */
void link_tick(PGLOB *pglob, const struct timeval &now, struct timeval *wake);

/* link_owner is the user that link nid's bytes (its buffers, the messages of
 * its node held here) are counted under: each link has a share of the message
 * memory, as each user has. */
uid_t link_owner(int32_t nid);
/* link_up tells whether node nid's link is up: frames to it go out. */
bool link_up(PGLOB *pglob, int32_t nid);
/* link_room says why a frame of len payload bytes cannot go to node nid now,
 * for a log line: not up, or its outgoing bytes or its share of the memory
 * would pass their bounds; null when it can. */
const char *link_room(PGLOB *pglob, int32_t nid, size_t len);
/* link_send queues one frame for node nid: the header, then the pieces'
 * bytes. It never fails the link, so a caller's records stay as they are: a
 * frame that does not fit (ask link_room first), or a write that fails,
 * marks the link to be ended at the next tick. The bytes go out at that
 * tick, or at once for a message, reply, result or trigger queued while
 * nothing else waits in the loop's pass (PGLOB::pass_left).
 * False when nothing was queued (the link is not up, or is to end). */
bool link_send(PGLOB *pglob, int32_t nid, uint16_t kind, const void *p1, uint32_t n1,
               const void *p2 = nullptr, uint32_t n2 = 0);
/* link_refused logs a frame of node nid refused for speaking of processes
 * that are not its node's, or of circuits that are not its own ("Err: node
 * N: frame refused: ..."), and counts it: a link whose peer sends
 * LINK_REFUSALS_TO_DROP of them is ended at the next tick. */
void link_refused(PGLOB *pglob, int32_t nid, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
constexpr int LINK_REFUSALS_TO_DROP = 8;

/* What the link layer tells the rest of the daemon, from link.cpp: */
/* node_frame serves a frame of kind (LINK_VC_ATTACH and after) that node nid
 * sent; the table in frames.cpp picks the handler by kind and checks the
 * payload's length first. False for a kind it does not know. */
bool node_frame(PGLOB *pglob, int32_t nid, uint16_t kind, const unsigned char *p, uint32_t len);
/* node_up: node nid's link came up (restarted: with an incarnation other
 * than the last one seen, so that what it held before is gone). */
void node_up(PGLOB *pglob, int32_t nid, bool restarted);
/* node_down: node nid's link is lost for why; everything that depends on it
 * ends at once. */
void node_down(PGLOB *pglob, int32_t nid, const char *why);

#endif /* VORLEN_LINK_H */
