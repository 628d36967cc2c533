/* signal.h - the host's <signal.h>, with QNX 4's SIGDEV, SIGEMT, _SIGMIN, _SIGMAX, kill and timers
 */
/* The host's header comes first and stays whole; this file adds the names
 * QNX 4's had and Linux lacks. As the wrapper of a system header it counts
 * as one: the GCC extension #include_next draws no warning. */
#if defined(__GNUC__)
#pragma GCC system_header
#endif
#include_next <signal.h>

#ifndef VORLEN_QNX_SIGNAL_H
#define VORLEN_QNX_SIGNAL_H

/* QNX 4's emulator trap and device signals have no Linux counterpart on
 * the x86. They are numbers of our own, two of the host's real-time signals
 * at the top of the range, so that a program can send, catch, ignore and
 * switch on them as constants. */
#ifndef SIGEMT
#define SIGEMT 62
#endif
#ifndef SIGDEV
#define SIGDEV 63
#endif

/* The lowest and highest signal numbers, for loops over all signals. The
 * host numbers them up to 64 (QNX 4 to 32). */
#define _SIGMIN 1
#define _SIGMAX 64

#include "vorlen_qnx4_timers.h"

/* kill is QNX 4's: a VID (a process of another node, from qnx_vc_attach or
 * qnx_name_locate) is signalled through its circuit, by that node's daemon,
 * which allows what a local kill would (the caller's user is root or the
 * far process's); every other pid, group or proxy id goes to the host's
 * kill unchanged. The call is bound by the declaration (an asm label, as
 * for the calls of the QNX 4 face), not by a macro: a member or a variable
 * named kill stays as it is, and &kill is the QNX 4 call too. A file that
 * defines VORLEN_HOST_KILL before its first include keeps the host's. */
#if !defined(VORLEN_HOST_KILL) && defined(__GNUC__)
#include <sys/types.h>
#include "vorlen_export.h"
#ifdef __cplusplus
extern "C" {
#endif
VORLEN_EXPORT int vorlen_qnx4_kill(pid_t pid, int sig);
#ifdef __cplusplus
/* The host's declaration says it throws nothing; a redeclaration must too. */
#ifdef __THROW
int kill(pid_t pid, int sig) __THROW __asm__("vorlen_qnx4_kill");
#else
int kill(pid_t pid, int sig) __asm__("vorlen_qnx4_kill");
#endif
}
#else
extern int kill(pid_t pid, int sig) __asm__("vorlen_qnx4_kill");
#endif
#endif

#endif /* VORLEN_QNX_SIGNAL_H */
