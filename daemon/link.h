/* link.h - the node links: TLS 1.3 connections between the daemons of a plant, their frames */
#ifndef VORLEN_LINK_H
#define VORLEN_LINK_H

#include <cstdint>

#include <sys/time.h>

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

#endif /* VORLEN_LINK_H */
