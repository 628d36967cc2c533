/* node_client.h - the QNX 4 face's calls that test_nodes' clients make, under names of their own */
/* test_nodes.cpp sees the wire's names (vorlen.h), whose STATE_* differ from
 * QNX 4's: the calls of the QNX 4 face it needs come from node_client.cpp,
 * built with the QNX 4 header names, as a ported program is. */
#ifndef VORLEN_TEST_NODE_CLIENT_H
#define VORLEN_TEST_NODE_CLIENT_H

#include <sys/types.h>

#include "sendmx.h"

namespace q4 {

int getnid();
int name_attach(const char *name);
pid_t name_locate(int nid, const char *name, unsigned size, unsigned *copies);
pid_t vc_attach(int nid, pid_t pid, unsigned length, bool share);
int vc_detach(pid_t vid);
pid_t vc_name_attach(int nid, unsigned length, const char *name);
int send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes, unsigned rnbytes);
int sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
           const _MXFER_ENTRY *rmsg);
pid_t receive(pid_t pid, void *msg, unsigned nbytes);
int reply(pid_t pid, const void *msg, unsigned nbytes);
int replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx);
int readmsg(pid_t pid, unsigned offset, void *msg, unsigned nbytes);
int writemsg(pid_t pid, unsigned offset, const void *msg, unsigned nbytes);
pid_t relay(pid_t source, pid_t target);
/* The proxies of the QNX 4 face, by their QNX 4 ids; creceive is Creceive. */
pid_t proxy_attach();
pid_t trigger(pid_t proxy);
pid_t creceive(pid_t pid, void *msg, unsigned nbytes);
pid_t proxy_rem_attach(int nid, pid_t proxy);
int proxy_rem_detach(int nid, pid_t vproxy);
/* net_alive is qnx_net_alive into buf; locators is qnx_name_locators
 * (room for ten). */
int net_alive(char *buf, int buflen);
int locators(int nids[10]);
/* kill is the QNX 4 face's kill: through a VID, the far process's. */
int kill(pid_t pid, int signo);

/* What qnx_psinfo says of a process: its node and flags, and for a VID
 * (_PPF_VID) the far process it stands for. */
struct Vproc {
    int nid = 0;
    long flags = 0;
    bool is_vid = false; /* _PPF_VID */
    pid_t remote_pid = 0, remote_vid = 0;
    int remote_nid = 0;
};
/* osinfo_node is the node qnx_osinfo(nid, ...) describes, or -1. */
int osinfo_node(int nid);

/* psinfo is qnx_psinfo(proc_pid, pid, ...): the id it describes, or -1. */
pid_t psinfo(pid_t proc_pid, pid_t pid, Vproc *out);

} // namespace q4

#endif
