/* node_client.cpp - the QNX 4 face's calls for test_nodes' clients, built with the QNX 4 header
 * names */
#include <signal.h>
#include <sys/kernel.h>
#include <sys/name.h>
#include <sys/osinfo.h>
#include <sys/proxy.h>
#include <sys/psinfo.h>
#include <sys/sendmx.h>
#include <sys/vc.h>

#include "node_client.h"

namespace q4 {

int getnid() {
    return ::getnid();
}
int name_attach(const char *name) {
    return qnx_name_attach(0, name);
}
pid_t name_locate(int nid, const char *name, unsigned size, unsigned *copies) {
    return qnx_name_locate(nid, name, size, copies);
}
pid_t vc_attach(int nid, pid_t pid, unsigned length, bool share) {
    return qnx_vc_attach(nid, pid, length, share ? _VC_AT_SHARE : 0);
}
int vc_detach(pid_t vid) {
    return qnx_vc_detach(vid);
}
pid_t vc_name_attach(int nid, unsigned length, const char *name) {
    return qnx_vc_name_attach(nid, length, name);
}
int send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes, unsigned rnbytes) {
    return Send(pid, smsg, rmsg, snbytes, rnbytes);
}
int sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
           const _MXFER_ENTRY *rmsg) {
    return Sendmx(pid, sparts, rparts, smsg, rmsg);
}
pid_t receive(pid_t pid, void *msg, unsigned nbytes) {
    return Receive(pid, msg, nbytes);
}
int reply(pid_t pid, const void *msg, unsigned nbytes) {
    return Reply(pid, msg, nbytes);
}
int replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx) {
    return Replymx(pid, parts, msgmx);
}
int readmsg(pid_t pid, unsigned offset, void *msg, unsigned nbytes) {
    return Readmsg(pid, offset, msg, nbytes);
}
int writemsg(pid_t pid, unsigned offset, const void *msg, unsigned nbytes) {
    return Writemsg(pid, offset, msg, nbytes);
}
pid_t relay(pid_t source, pid_t target) {
    return Relay(source, target);
}
pid_t proxy_attach() {
    return qnx_proxy_attach(0, nullptr, 0, -1);
}
pid_t trigger(pid_t proxy) {
    return Trigger(proxy);
}
pid_t creceive(pid_t pid, void *msg, unsigned nbytes) {
    return Creceive(pid, msg, nbytes);
}
pid_t proxy_rem_attach(int nid, pid_t proxy) {
    return qnx_proxy_rem_attach(nid_t(nid), proxy);
}
int proxy_rem_detach(int nid, pid_t vproxy) {
    return qnx_proxy_rem_detach(nid_t(nid), vproxy);
}
int net_alive(char *buf, int buflen) {
    return qnx_net_alive(buf, buflen);
}
int locators(int nids[10]) {
    nid_t got[VORLEN_MAX_NAME_LOCATORS];
    int n = qnx_name_locators(got);
    for (int i = 0; i < n && i < 10; i++) nids[i] = int(got[i]);
    return n;
}
int kill(pid_t pid, int signo) {
    return ::kill(pid, signo);
}
int osinfo_node(int nid) {
    struct _osinfo os {};
    return qnx_osinfo(nid, &os) == 0 ? int(os.nodename) : -1;
}
pid_t psinfo(pid_t proc_pid, pid_t pid, Vproc *out) {
    struct _psinfo info {};
    pid_t got = qnx_psinfo(proc_pid, pid, &info, 0, nullptr);
    if (got == -1) return -1;
    out->nid = info.nid;
    out->flags = info.flags;
    out->is_vid = (info.flags & _PPF_VID) != 0;
    if (out->is_vid) {
        out->remote_pid = info.un.vproc.remote_pid;
        out->remote_vid = info.un.vproc.remote_vid;
        out->remote_nid = info.un.vproc.remote_nid;
    }
    return got;
}

} // namespace q4
