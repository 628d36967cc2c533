/* vorlen_api.h - the client library's calls and the QNX 4 types they take, without the wire */
#ifndef VORLEN_API_H
#define VORLEN_API_H

/* The host headers that declare timer_t come first, so that the QNX timer_t
 * below never reaches a host declaration (see VORLEN_HOST_TIMER_T). */
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <signal.h>
#include <time.h>

#include "sendmx.h"
#include "vorlen_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* The two faces of the library                                              */
/* ------------------------------------------------------------------------ */

/* A program that includes vorlen.h gets this system's own behaviour. A
 * program built with the QNX 4 header names (include/qnx) gets QNX 4's where
 * the two differ: those headers define VORLEN_QNX4_FACE before this one, and
 * each call marked VORLEN_QNX4 below is then bound to the library's QNX 4
 * entry point of the same name prefixed vorlen_qnx4_. The binding is made by
 * the declaration, not by a macro, so taking a call's address and calling it
 * through a pointer keep the face too. This header is read once per
 * translation unit: the first of vorlen.h and the QNX headers decides. */
#ifdef VORLEN_QNX4_FACE
#if !defined(__GNUC__)
#error "the QNX 4 face needs a compiler with GNU asm labels (gcc, clang)"
#endif
#define VORLEN_QNX4(name) __asm__("vorlen_qnx4_" #name)
#else
#define VORLEN_QNX4(name)
#endif

/* ------------------------------------------------------------------------ */
/* Types                                                                     */
/* ------------------------------------------------------------------------ */

#include "vorlen_nid.h"
typedef int32_t proxy_t;

/* QNX 4 timer ids are small integers (1 ... the daemon's --max-timers, 50
 * by default). The host's timer_t is a
 * pointer, so code written the QNX way (`timer_t id; if ((id = mktimer(...))
 * == -1)`) would not compile against it. Every host header that declares
 * timer_t has been included above; from here on timer_t names the QNX type in
 * the including file. Define VORLEN_HOST_TIMER_T before including this header
 * to keep the host's timer_t (for POSIX timers in the same file) and write
 * qnx_timer_t for QNX timer ids. */
#ifndef VORLEN_QNX_TIMER_T_DEFINED /* also made by the QNX 4 <time.h> */
#define VORLEN_QNX_TIMER_T_DEFINED
typedef int32_t qnx_timer_t;
#endif
#if !defined(VORLEN_HOST_TIMER_T) && !defined(VORLEN_INTERNAL)
#define timer_t qnx_timer_t
#endif

/* What a timer delivers: a proxy id or a signal number. */
struct event {
    int32_t evt_value;
};

struct itimercb {
    struct event itcb_event;
    int32_t itcb_count; /* stored with the timer; no other effect */
};

/* ------------------------------------------------------------------------ */
/* Client library. QNX-style calls return -1 and set errno on failure.       */
/* ------------------------------------------------------------------------ */

/* Connection (the library connects on the first call of each process). */
VORLEN_EXPORT void _qnx_close_socket(void);

/* The QNX 4 face's proxy ids: above any Linux pid (pid_max is at most
 * 4194304) and far below the largest pid_t. */
#define VORLEN_QNX4_PROXY_BASE 0x40000000

/* Message passing. On the QNX 4 face a caught signal also breaks off a Send
 * that waits for its reply (unless the receiver set _PPF_SIGCATCH), and Reply
 * returns -1 with errno instead of the daemon's code. */
VORLEN_EXPORT int Send(pid_t pid, const void *smsg, void *rmsg, unsigned snbytes, unsigned rnbytes)
    VORLEN_QNX4(Send);
VORLEN_EXPORT int Sendmx(pid_t pid, unsigned sparts, unsigned rparts, const _MXFER_ENTRY *smsg,
                         const _MXFER_ENTRY *rmsg) VORLEN_QNX4(Sendmx);
VORLEN_EXPORT pid_t Receive(pid_t pid, void *msg, unsigned nbytes) VORLEN_QNX4(Receive);
VORLEN_EXPORT pid_t Receivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx)
    VORLEN_QNX4(Receivemx);
VORLEN_EXPORT pid_t Creceive(pid_t pid, void *msg, unsigned nbytes) VORLEN_QNX4(Creceive);
VORLEN_EXPORT pid_t Creceivemx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx)
    VORLEN_QNX4(Creceivemx);
VORLEN_EXPORT int Reply(pid_t pid, const void *msg, unsigned nbytes) VORLEN_QNX4(Reply);
VORLEN_EXPORT int Replymx(pid_t pid, unsigned parts, const _MXFER_ENTRY *msgmx)
    VORLEN_QNX4(Replymx);
/* Readmsg and Readmsgmx read the message of pid, which must be REPLY-blocked
 * on the caller, from offset on; they return the number of bytes placed. */
VORLEN_EXPORT int Readmsg(pid_t pid, unsigned offset, void *msg, unsigned nbytes)
    VORLEN_QNX4(Readmsg);
VORLEN_EXPORT int Readmsgmx(pid_t pid, unsigned offset, unsigned parts, const _MXFER_ENTRY *msgmx)
    VORLEN_QNX4(Readmsgmx);
/* Writemsg and Writemsgmx write into the reply buffer of pid, which must be
 * REPLY-blocked on the caller, from offset on; the bytes reach pid with the
 * reply, whose own bytes go at offset 0 over them. They return the number of
 * bytes written. */
VORLEN_EXPORT int Writemsg(pid_t pid, unsigned offset, const void *msg, unsigned nbytes)
    VORLEN_QNX4(Writemsg);
VORLEN_EXPORT int Writemsgmx(pid_t pid, unsigned offset, unsigned parts, const _MXFER_ENTRY *msgmx)
    VORLEN_QNX4(Writemsgmx);
/* Relay hands the message of source, which must be REPLY-blocked on the
 * caller, on to target as if source had sent it there; returns 0. */
VORLEN_EXPORT pid_t Relay(pid_t source, pid_t target) VORLEN_QNX4(Relay);

/* Names. */
VORLEN_EXPORT int qnx_name_attach(nid_t nid, const char *name);
VORLEN_EXPORT int qnx_name_detach(nid_t nid, int name_id);
VORLEN_EXPORT pid_t qnx_name_locate(nid_t nid, const char *name, unsigned size, unsigned *copies);

/* Proxies. On the QNX 4 face a proxy is received once per trigger, and proxy
 * ids are positive, as QNX 4's are: VORLEN_QNX4_PROXY_BASE plus the number
 * the wire gives negated, never a process id. Every call of the face takes
 * and gives them in that form (Receive's result and pid, Trigger, a timer's
 * proxy event, ...). */
VORLEN_EXPORT pid_t qnx_proxy_attach(pid_t pid, const char *data, int nbytes, int priority)
    VORLEN_QNX4(qnx_proxy_attach);
VORLEN_EXPORT int qnx_proxy_detach(pid_t proxy) VORLEN_QNX4(qnx_proxy_detach);
VORLEN_EXPORT pid_t Trigger(pid_t proxy) VORLEN_QNX4(Trigger);

/* Timers. value and ovalue are the host's itimerspec; the wire carries 32 bits.
 * On the QNX 4 face a zero it_value disarms the timer and ovalue receives the
 * time that was left. */
struct itimerspec;
VORLEN_EXPORT qnx_timer_t mktimer(int timer_type, int notify_type, const struct itimercb *itimercb)
    VORLEN_QNX4(mktimer);
VORLEN_EXPORT int rmtimer(qnx_timer_t timerid);
VORLEN_EXPORT int reltimer(qnx_timer_t timerid, const struct itimerspec *value,
                           struct itimerspec *ovalue) VORLEN_QNX4(reltimer);
VORLEN_EXPORT int abstimer(qnx_timer_t timerid, const struct itimerspec *value,
                           struct itimerspec *ovalue) VORLEN_QNX4(abstimer);

/* QNX 4's POSIX timer calls (timer_create returning the id, ...) are the QNX
 * 4 face's alone: qnx/vorlen_qnx4_timers.h declares them. */

/* Utilities of the QNX 4 C library. */
VORLEN_EXPORT char *qnx_fullpath(char *fullpath, const char *path);
VORLEN_EXPORT int check_prunning(pid_t pid);
VORLEN_EXPORT void qnx_display_msg(const char *text);
VORLEN_EXPORT int strnicmp(const char *p1, const char *p2, int n);
VORLEN_EXPORT long filelength(int fd);
VORLEN_EXPORT char *strlwr(char *s);
VORLEN_EXPORT char *strupr(char *s);
VORLEN_EXPORT void delay(unsigned msec);
VORLEN_EXPORT int atoh(const char *in);
/* On the QNX 4 face setprio returns the previous priority, or -1 with errno. */
VORLEN_EXPORT int setprio(pid_t pid, int value) VORLEN_QNX4(setprio);
VORLEN_EXPORT char *itoa(int sval, char *dest, int base);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_API_H */
