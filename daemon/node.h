/* node.h - the plant this daemon is a node of: its net map and its links to the other nodes */
#ifndef VORLEN_NODE_H
#define VORLEN_NODE_H

#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/time.h>

/* Where a node link stands, as sin nodes shows it. */
enum class LINK_STATE : uint8_t {
    SELF,       /* this node */
    DOWN,       /* no link: never wanted yet, or lost (why says how) */
    CONNECTING, /* dialled or accepted, the TLS handshake or the hello not done */
    UP,         /* hello exchanged, heartbeats answered */
    REFUSED,    /* the last attempt was refused: why says by whom and why */
};

struct NODE_LINK; /* link.cpp's: the connection to one node */

/* One line of the net map, and what the daemon knows of that node. */
struct NODE {
    int32_t nid = 0;
    std::string host;        /* as the net map writes it */
    struct sockaddr_in addr; /* the node-link address: host resolved, the port */
    std::string name;        /* the name its certificate must carry */
    LINK_STATE state = LINK_STATE::DOWN;
    std::string why;          /* DOWN or REFUSED: the reason, for sin nodes and the log */
    uint64_t incarnation = 0; /* the peer's, from its last hello; 0: none seen */
    int64_t rtt_us = -1;      /* the last heartbeat's round trip; -1: none */
    uint64_t bytes_in = 0, bytes_out = 0;
    NODE_LINK *link = nullptr; /* the link while there is one */
    /* Dialling (link.cpp): a node of a higher id is dialled again at
     * redial_at (monotonic) after a failure, the wait doubling from 100 ms to
     * 5 s and back to 100 ms once a link is up. */
    int backoff_ms = 0;
    struct timeval redial_at = {0, 0};
};

/* The plant as this daemon sees it. Without a net map, nodes is empty and
 * the host is node 1 alone. */
struct PLANT {
    int32_t self = 1;        /* this node's id */
    std::vector<NODE> nodes; /* the net map's lines, in its order, this node's among them */
    std::string netmap_path; /* empty: no net map */
    std::string tls_cert, tls_key, tls_ca;
    int heartbeat_ms = 500;   /* --node-heartbeat */
    int timeout_ms = 2000;    /* --node-timeout */
    uint64_t incarnation = 0; /* this daemon's: new at every start */
};

#endif /* VORLEN_NODE_H */
