/* network.cpp - vorlenlib's QNX 4 network calls: circuits by name, remote proxies, node ids,
 * locators */
/* QNX 4 reached other nodes through virtual circuits and virtual proxies;
 * the daemon reaches the other nodes for both, and tells which are up. */
#include "../core.h"

#include "qnx/sys/name.h"
#include "qnx/sys/proxy.h"
#include "qnx/sys/vc.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <algorithm>

#include <unistd.h>

/* The pid by which a node's process manager is reached (QNX 4's PROC_PID). */
constexpr pid_t VORLEN_PROCESS_MANAGER = 1;

/* find_own_proxy looks proxy (the wire's id) up in the daemon's listing.
 * Returns 0 when it is the caller's, or -1 with errno: ESRCH (no such
 * proxy), EPERM (another process's), or that of a failed read or write. */
static int find_own_proxy(pid_t proxy) {
    QNX_MSG_SIN_RPROXYS r;
    int found = ESRCH;
    const pid_t me = getpid();
    if (_qnx_squery(SIN_PROXIES, &r) != 0) return -1;
    for (; r.pid != -1; _qnx_squery_next(&r))
        if (r.nr == proxy) found = r.pid == me ? 0 : EPERM;
    if (found != 0) errno = found;
    return found == 0 ? 0 : -1;
}

/* plant_nodes reads the daemon's listing of the plant's nodes (one record,
 * this node, without a net map). Returns 0, or -1 with errno. */
static int plant_nodes(std::vector<QNX_MSG_SIN_RNODE> &nodes) {
    QNX_MSG_SIN_RNODE r;
    if (_qnx_squery(SIN_NODES, &r) != 0) return -1;
    for (; r.pid != -1; _qnx_squery_next(&r)) nodes.push_back(r);
    return 0;
}

extern "C" {

pid_t qnx_proxy_rem_attach(nid_t nid, pid_t proxy) {
    if (_qnx_this_node(nid)) return find_own_proxy(proxy) == 0 ? proxy : -1;
    /* The virtual proxy lives on that node with the caller's circuit to its
     * process manager, one circuit however many proxies go there. */
    pid_t vid = _qnx_vc_attach(nid, VORLEN_PROCESS_MANAGER, nullptr, 0, true);
    if (vid == -1) return -1;
    QNX_MSG_VPROXY r{vid, proxy, int32_t(nid), 0};
    if (_qnx_vproxy(MT_VPROXY_ATTACH, &r) != 0) return -1;
    return r.vproxy;
}

int qnx_proxy_rem_detach(nid_t nid, pid_t vproxy) {
    if (_qnx_this_node(nid)) return find_own_proxy(vproxy) == 0 ? 0 : -1;
    QNX_MSG_VPROXY r{0, 0, int32_t(nid), vproxy};
    return _qnx_vproxy(MT_VPROXY_DETACH, &r);
}

pid_t qnx_vc_name_attach(nid_t nid, unsigned length, const char *name) {
    if (_qnx_this_node(nid)) return qnx_name_locate(0, name, length, nullptr);
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    return _qnx_vc_attach(nid, 0, name, length, false);
}

int qnx_net_alive(char *buf, int buflen) {
    const nid_t me = getnid();
    if (!buf || buflen <= me) {
        errno = EINVAL;
        return -1;
    }
    std::vector<QNX_MSG_SIN_RNODE> nodes;
    if (plant_nodes(nodes) != 0) return -1;
    int filled = me + 1;
    for (int i = 0; i < buflen; i++) buf[i] = 0;
    buf[me] = 1;
    for (const QNX_MSG_SIN_RNODE &n : nodes) {
        if (n.nid >= filled) filled = std::min(int(n.nid) + 1, buflen);
        if (n.nid < buflen && (n.state == SIN_NODE_UP || n.state == SIN_NODE_SELF)) buf[n.nid] = 1;
    }
    return filled;
}

int qnx_name_locators(nid_t nids[]) {
    std::vector<QNX_MSG_SIN_RNODE> nodes;
    int n = 0;
    nids[n++] = getnid();
    if (plant_nodes(nodes) != 0) return n;
    for (const QNX_MSG_SIN_RNODE &r : nodes)
        if (r.state == SIN_NODE_UP && n < VORLEN_MAX_NAME_LOCATORS) nids[n++] = r.nid;
    return n;
}

nid_t qnx_strtonid(const char *nodename, char **str) {
    const char *p = nodename;
    long long n = 0;
    if (str) *str = const_cast<char *>(nodename);
    if (!p) {
        errno = EINVAL;
        return -1;
    }
    while (isspace(static_cast<unsigned char>(*p))) p++;
    if (!isdigit(static_cast<unsigned char>(*p))) {
        errno = EINVAL;
        return -1;
    }
    for (; isdigit(static_cast<unsigned char>(*p)); p++) {
        n = n * 10 + (*p - '0');
        if (n > INT32_MAX) {
            errno = EINVAL;
            return -1;
        }
    }
    if (str) *str = const_cast<char *>(p);
    return static_cast<nid_t>(n);
}

int qnx_nidtostr(nid_t nid, char *buf, int len) {
    if (nid < 0 || !buf || len <= 0 ||
        snprintf(buf, static_cast<size_t>(len), "%d", static_cast<int>(nid)) >= len) {
        if (buf && len > 0) buf[0] = '\0';
        errno = EINVAL;
        return -1;
    }
    return 0;
}

} // extern "C"
