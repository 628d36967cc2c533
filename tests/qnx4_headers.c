/* qnx4_headers.c - every QNX 4 header name together, as one translation unit of a ported program */
/* The header compile checks build it as old and new C and as C++, with the
 * QNX 4 header directory first on the include path, Watcom's keywords
 * defined away as the vorlen-qnx4 module does, and every warning an error:
 * the wrappers of the host's headers and QNX 4's own must agree with each
 * other and with the host's in any order a program includes them. */
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <env.h>
#include <i86.h>
#include <process.h>
#include <unix.h>
#include <sys/console.h>
#include <sys/dev.h>
#include <sys/kernel.h>
#include <sys/name.h>
#include <sys/osinfo.h>
#include <sys/proxy.h>
#include <sys/psinfo.h>
#include <sys/qioctl.h>
#include <sys/qnx_glob.h>
#include <sys/qnxterm.h>
#include <sys/sched.h>
#include <sys/seginfo.h>
#include <sys/sendmx.h>
#include <sys/sidinfo.h>
#include <sys/timers.h>
#include <sys/types.h>
#include <sys/vc.h>

static char far label[] = "x";

int main(void) {
    char near *p = label;
    timer_t id = timer_create(CLOCK_REALTIME, NULL);
    nid_t node = qnx_strtonid("1", NULL);
    struct _console_info info;
    info.rows = (short)(EOK + PROC_PID + NAME_MAX + _SIGMAX + (PARSTK != 0) + TERM_NORMAL);
    return (int)id + (int)node + info.rows + (p[0] == 'x');
}
