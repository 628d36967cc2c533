/* sys/seginfo.h - QNX 4's memory segment record struct _seginfo, as qnx_psinfo fills it */
/* Linux processes have no segments that a program could name by selector:
 * qnx_psinfo gives a zero-filled record, which reads as "no segment". */
#ifndef VORLEN_QNX_SYS_SEGINFO_H
#define VORLEN_QNX_SYS_SEGINFO_H

struct _seginfo {
    unsigned short selector;
    unsigned short flags;
    long addr;
    long nbytes;
};

#endif /* VORLEN_QNX_SYS_SEGINFO_H */
