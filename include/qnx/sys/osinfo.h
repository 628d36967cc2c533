/* sys/osinfo.h - QNX 4's node information: qnx_osinfo, struct _osinfo */
#ifndef VORLEN_QNX_SYS_OSINFO_H
#define VORLEN_QNX_SYS_OSINFO_H

#include <stdint.h>
#include <sys/types.h>
#include <time.h>
#include "../../vorlen_export.h"

#include "../../vorlen_nid.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of sflags. */
#define _PSF_PROTECTED 0x0001     /* the processor runs in protected mode */
#define _PSF_NDP_INSTALLED 0x0002 /* a floating-point unit is there */
#define _PSF_32BIT 0x4000         /* the system runs 32-bit (or wider) code */

/* The node as qnx_osinfo describes it. The memory counts are as wide as a
 * long, as the memory of today's hosts in KiB needs; the other counts stop
 * at their type's largest value. */
struct _osinfo {
    unsigned short cpu_speed; /* MHz of the first processor; 0 when not known */
    unsigned short num_procs; /* processes there are now */
    unsigned short tick_size; /* microseconds per clock tick */
    unsigned short version;   /* the kernel's version times 100: 601 for 6.1 */
    unsigned long totmemk;    /* KiB of memory */
    unsigned long freememk;   /* KiB that programs could still have */
    char release;             /* the kernel's patch level (44 for 6.18.44), at most 127 */
    long sflags;              /* _PSF_* */
    nid_t nodename;           /* this node's id, as getnid() gives it */
    long cpu;                 /* 386, 486 or 586 (and any later x86); 0 for others */
    long fpu;                 /* 387, 487 or 587 with the cpu of that number; else 0 */
    char machine[16];         /* the hardware name uname gives ("x86_64"), cut to fit */
    time_t boot_time;         /* when the node started, in seconds since the epoch */
    /* The process manager's limits, as QNX 4 programs read them. */
    unsigned short timesel;      /* always 0: no segment holds the time */
    char bootsrc;                /* 'H': the node booted from its own disk */
    unsigned short num_names;    /* names the daemon holds (its default table) */
    unsigned short num_timers;   /* timers a process may have (the default table) */
    unsigned short num_sessions; /* sessions there may be: as many as pids, cut to 65535 */
    unsigned short num_handlers; /* always 0: programs attach no interrupt handlers */
    unsigned short reserve64k;   /* always 0 */
    unsigned short max_nodes;    /* nodes in the net map: 1 without one */
    unsigned short num_fds[3];   /* descriptors a process may open (RLIMIT_NOFILE) */
    unsigned short pidmask;      /* 0xFFFF: Linux pids have no index part */
};

/* qnx_osinfo describes node nid in *osdata: this one (0 or getnid()) from
 * /proc and uname, another as its daemon tells from its own, through a
 * circuit to its process manager made and released for the call (num_fds and
 * num_sessions, which are this process's and this host's, are then 0); what
 * they do not tell is 0. Returns 0, or -1 with errno: EINVAL for a null
 * osdata, that of qnx_vc_attach for another node (EHOSTUNREACH when it is not
 * in the net map or down), or that of reading /proc/meminfo. */
VORLEN_EXPORT int qnx_osinfo(nid_t nid, struct _osinfo *osdata);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_OSINFO_H */
