/* signal.h - the host's <signal.h>, with QNX 4's SIGDEV, SIGEMT, _SIGMIN, _SIGMAX and timer calls
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

#endif /* VORLEN_QNX_SIGNAL_H */
