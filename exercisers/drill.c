/* drill.c - shared code of the exercisers: the generation spawner, server and client */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "drill.h"

/* drill_console opens the console of a server or client: the device
 * /dev/tty10, or the file or device that the environment variable
 * VORLEN_CONSOLE names. Many processes write to one console at once, so a
 * named one is appended to and every line goes out whole. When it cannot be
 * opened the console is standard output. */
static FILE *drill_console(void) {
    const char *path = getenv("VORLEN_CONSOLE");
    FILE *fp = (path && *path) ? fopen(path, "a") : fopen("/dev/tty10", "w");

    if (!fp) return stdout;
    setvbuf(fp, NULL, _IOLBF, 0);
    return fp;
}

void drill_options(int argc, char **argv, const char *help) {
    int c;

    while ((c = getopt(argc, argv, "h")) != -1) {
        if (c == 'h') {
            fputs(help, stdout);
            exit(0);
        }
        fprintf(stderr, "usage: %s [-h]\n", argv[0]);
        exit(2);
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument '%s'\nusage: %s [-h]\n", argv[0], argv[optind],
                argv[0]);
        exit(2);
    }
}

/* drill_reap collects every child that has already ended, without waiting. */
static void drill_reap(void) {
    while (waitpid(-1, NULL, WNOHANG) > 0) {
    }
}

void drill_attach(FILE *fp, const char *name, enum drill_attach kind, DRILL_ATT *att) {
    struct itimercb timercb;
    struct itimerspec timer;
    int err;

    att->proxy = -1;
    att->tproxy = -1;
    att->timer_id = -1;
    att->actt = 0;
    att->nid = qnx_name_attach(0, name);
    if (att->nid == -1) {
        fprintf(fp, "%d: unable to attach name: %s, exiting\n", (int)getpid(), name);
        exit(0);
    }
    fprintf(fp, "%d: Attached name: %s, id: %d\n", (int)getpid(), name, att->nid);
    if (kind == DRILL_NAME_ONLY) return;

    att->proxy = qnx_proxy_attach(0, NULL, 0, 0);
    if (kind == DRILL_PROXY_TIMER) att->tproxy = qnx_proxy_attach(0, NULL, 0, 0);
    if (att->proxy == -1 || (kind == DRILL_PROXY_TIMER && att->tproxy == -1)) {
        fprintf(fp, "%d: unable to attach Proxy, exiting\n", (int)getpid());
        exit(0);
    }
    fprintf(fp, "%d: Attached Proxy id: %d\n", (int)getpid(), (int)att->proxy);
    if (kind == DRILL_PROXY) return;
    fprintf(fp, "%d: Attached Timer-Proxy id: %d\n", (int)getpid(), (int)att->tproxy);

    memset(&timercb, 0, sizeof timercb);
    timercb.itcb_event.evt_value = att->tproxy;
    att->timer_id = mktimer(0, NOTIFY_PROXY, &timercb);
    if (att->timer_id == -1) {
        err = errno;
        printf("%d: unable to attach timer, exiting. error: %d(%s)\n", (int)getpid(), err,
               strerror(err));
        exit(0);
    }
    fprintf(fp, "%d: Attached Timer id: %d\n", (int)getpid(), (int)att->timer_id);
    timer.it_value.tv_sec = 2;
    timer.it_value.tv_nsec = 500000000;
    timer.it_interval = timer.it_value;
    reltimer(att->timer_id, &timer, NULL);
    att->actt = time(NULL);
}

pid_t drill_locate(FILE *fp, const char *name) {
    pid_t pid = qnx_name_locate(0, name, 0, NULL);
    int err;

    if (pid == -1) {
        err = errno;
        fprintf(fp, "%d: unable to locate \"%s\", errno: %d(%s)\n", (int)getpid(), name, err,
                strerror(err));
        exit(0);
    }
    fprintf(fp, "%d: found name: %s, pid: %d\n", (int)getpid(), name, (int)pid);
    return pid;
}

/* drill_server serves the name that attname gives for generation globcnt
 * until its client says "End". A failed attach or receive ends it with status
 * 0, and so does the alarm after 900 s. It does not return. */
static void drill_server(const DRILL_ROW *row, int globcnt, const char *attname) {
    char rmsg[DRILL_BUFSZ], smsg[DRILL_BUFSZ];
    FILE *fp = drill_console();
    DRILL_ATT att;
    int replies = 0, err;
    pid_t pid;

    alarm(900);
    fprintf(fp, "%d: Starting server %d\n", (int)getpid(), globcnt);
    snprintf(rmsg, sizeof rmsg, attname, 0);
    drill_attach(fp, rmsg, row->attach, &att);

    for (;;) {
        memset(rmsg, 0, sizeof rmsg);
        /* One byte short of the buffer, so that a message is always a string. */
        pid = Receive(0, rmsg, sizeof rmsg - 1);
        if (pid == -1) {
            err = errno;
            printf(row->rcv_error_fmt, err, strerror(err));
            exit(0);
        }
        if (att.proxy != -1 && pid == att.proxy) {
            fprintf(row->proxy_line_on_console ? fp : stdout, "%d: received proxy\n",
                    (int)getpid());
            continue;
        }
        if (att.tproxy != -1 && pid == att.tproxy) {
            fprintf(fp, "%d: received timer-proxy dt: %d\n", (int)getpid(),
                    (int)(time(NULL) - att.actt));
            continue;
        }
        if (rmsg[0] != 0) {
            printf("\r(%d)Received from %d: \"%s\"", (int)getpid(), (int)pid, rmsg);
            /* The line has no end: flush it, or it would wait for the next newline. */
            fflush(stdout);
        }
        snprintf(smsg, sizeof smsg, row->reply_fmt,
                 row->attach == DRILL_NAME_ONLY ? replies : (int)att.proxy);
        Reply(pid, smsg, strlen(smsg) + 1);

        if (strcmp(rmsg, "End") == 0) {
            qnx_name_detach(0, att.nid);
            if (att.proxy != -1) qnx_proxy_detach(att.proxy);
            if (att.tproxy != -1) qnx_proxy_detach(att.tproxy);
            if (att.timer_id != -1) rmtimer(att.timer_id);
            fprintf(fp, row->exit_fmt, (int)getpid(), att.nid, (int)att.proxy, (int)att.tproxy,
                    (int)att.timer_id);
            exit(0);
        }
        replies++;
    }
}

/* drill_client sends its 200 steps and "End" to the server of the name that
 * attname gives. If the name is not found it ends at once; it always ends with
 * status 0 and does not return. */
static void drill_client(const DRILL_ROW *row, const char *attname) {
    char rmsg[DRILL_BUFSZ] = {0}, smsg[DRILL_BUFSZ];
    FILE *fp = drill_console();
    pid_t pid, proxy = -1;
    int n;

    snprintf(rmsg, sizeof rmsg, attname, 0);
    pid = drill_locate(fp, rmsg);
    for (n = 0; n < 200; n++) {
        if (row->triggers && proxy != -1 && n % 20 == 0) {
            Trigger(proxy);
            continue;
        }
        snprintf(smsg, sizeof smsg, "cnt: %d", n);
        /* The last byte of rmsg stays zero, so the reply is always a string. */
        Send(pid, smsg, rmsg, strlen(smsg) + 1, sizeof rmsg - 1);
        if (row->triggers && strncmp(rmsg, "Proxy: ", 7) == 0) proxy = atoi(rmsg + 7);
    }
    Send(pid, "End", rmsg, 4, sizeof rmsg - 1);
    exit(0);
}

void drill_run(const DRILL_ROW *row) {
    char attname[DRILL_BUFSZ];
    int globcnt = 0, forkno = 1, n = 0, i;
    pid_t server, client, spawner;

    /* Many processes share standard output: whole lines keep them apart. */
    setvbuf(stdout, NULL, _IOLBF, 0);
    snprintf(attname, sizeof attname, "qnxtest%%d");

    while (n <= (forkno > row->width_switch ? 1 : 3) && globcnt <= row->last_gen) {
        fflush(stdout);
        server = fork();
        if (server < 0) {
            printf("unable to fork server\n");
            break;
        }
        if (server == 0) drill_server(row, globcnt, attname);
        sleep(1);

        client = fork();
        if (client < 0) {
            printf("unable to fork client, killing server\n");
            kill(server, SIGKILL);
            break;
        }
        if (client == 0) drill_client(row, attname);

        spawner = fork();
        if (spawner < 0) {
            printf("unable to fork\n");
            break;
        }
        if (spawner == 0) {
            /* The new spawner goes on from here with the state it inherited. */
            sleep(2);
            n = 0;
        }

        for (i = 0; i < 5; i++) {
            sleep(1);
            drill_reap();
        }
        snprintf(attname, sizeof attname, "qnxtest%d.%d_%%d", globcnt, (int)getpid());
        n++;
        globcnt++;
        forkno++;
    }
    drill_reap();
    exit(0);
}
