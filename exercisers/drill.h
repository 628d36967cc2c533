/* drill.h - shared code of the exercisers: the generation spawner, server and client */
#ifndef DRILL_H
#define DRILL_H

#include <stdio.h>
#include <time.h>
#include <sys/types.h>

#include "vorlen.h"

/* Size of the name and message buffers. The longest service name is
 * "qnxtest%d.%d_%d" with a three-digit generation, a seven-digit pid and 0:
 * 20 characters; 40 bytes leave room for wider pids too. */
#define DRILL_BUFSZ 40

/* What a server attaches besides its name. */
enum drill_attach {
    DRILL_NAME_ONLY,  /* nothing else */
    DRILL_PROXY,      /* one proxy */
    DRILL_PROXY_TIMER /* two proxies and a repeating timer that fires the second */
};

/* DRILL_ROW describes one generation exerciser: what its server attaches and
 * answers, what its client does besides sending, how far its generations go,
 * and the texts in which the programs differ. */
typedef struct drill_row {
    enum drill_attach attach;
    /* The server's reply; its %d is the first proxy's id, or, for a server
     * without proxies, the count of messages answered before this one. */
    const char *reply_fmt;
    int triggers;     /* the client triggers the server's proxy every 20th step */
    int last_gen;     /* the highest generation number (globcnt) started */
    int width_switch; /* forkno above which a spawner makes only one more iteration */
    /* "%d: received proxy\n" goes to the console (else to standard output). */
    int proxy_line_on_console;
    /* Receive failure, on standard output; gets errno and its text. */
    const char *rcv_error_fmt;
    /* The server's closing line on the console; gets pid, name id, proxy,
     * timer proxy and timer id, and uses as many of them as it names. */
    const char *exit_fmt;
} DRILL_ROW;

/* What a server has attached. */
typedef struct drill_att {
    int nid;          /* name id */
    pid_t proxy;      /* -1 when not attached */
    pid_t tproxy;     /* -1 when not attached */
    timer_t timer_id; /* -1 when not made */
    time_t actt;      /* when the timer was armed */
} DRILL_ATT;

/* drill_run is the whole of a generation exerciser: the spawner, which forks
 * the servers, clients and further spawners of row. Every process it starts
 * ends with exit(); it does not return. Servers and clients write their lines
 * to the console /dev/tty10; the environment variable VORLEN_CONSOLE names
 * another file or device to append them to instead. */
void drill_run(const DRILL_ROW *row);

/* drill_options reads the options of a generation exerciser, which has only
 * -h: that prints help (what the program does, its options and environment)
 * and ends the program with status 0. Any other option or argument prints
 * the usage line on standard error and ends it with status 2. */
void drill_options(int argc, char **argv, const char *help);

/* DRILL_ENVIRONMENT is the part of every exerciser's help that names the
 * environment variables it reads. */
#define DRILL_ENVIRONMENT                                                                          \
    "Environment:\n"                                                                               \
    "  HOSTNAME        host of the daemon; unset or empty means 127.0.0.1\n"                       \
    "  VORLEN_PORT     port of the daemon (default 7779)\n"                                        \
    "  VORLEN_CONSOLE  file or device for the console lines (default /dev/tty10)\n"

/* drill_attach attaches name and, as kind says, the proxies and the timer of a
 * server, printing each on fp. On any failure it prints the failure line and
 * ends the process with status 0. */
void drill_attach(FILE *fp, const char *name, enum drill_attach kind, DRILL_ATT *att);

/* drill_locate returns the pid of the server that holds name and prints it on
 * fp. If the name is not found it prints the failure line on fp and ends the
 * process with status 0. */
pid_t drill_locate(FILE *fp, const char *name);

#endif
