/* drillpair.c - paired exerciser: one server against a chosen number of clients */
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

/* pair_server serves the name until n_childs clients have said "End", then
 * detaches everything and prints its counts. A failed attach or receive ends
 * it with status 0. It does not return. */
static void pair_server(const char *attname, int n_childs) {
    char rmsg[DRILL_BUFSZ], smsg[DRILL_BUFSZ];
    int n_messages = 0, n_proxies = 0, n_tproxies = 0, err;
    DRILL_ATT att;
    time_t stime;
    pid_t pid;

    printf("%d: Starting server %d\n", (int)getpid(), 0);
    snprintf(rmsg, sizeof rmsg, "%s", attname);
    drill_attach(stdout, rmsg, DRILL_PROXY_TIMER, &att);
    stime = time(NULL);

    for (;;) {
        memset(rmsg, 0, sizeof rmsg);
        /* One byte short of the buffer, so that a message is always a string. */
        pid = Receive(0, rmsg, sizeof rmsg - 1);
        if (pid == -1) {
            err = errno;
            printf("Error during receive, errno: %d(%s)", err, strerror(err));
            exit(0);
        }
        if (pid == att.proxy) {
            n_proxies++;
            continue;
        }
        if (pid == att.tproxy) {
            n_tproxies++;
            continue;
        }
        n_messages++;
        /* A client on another node could not trigger this node's proxy
         * by its id: it is told there is none. */
        snprintf(smsg, sizeof smsg, "Proxy: %d", VORLEN_IS_VID(pid) ? -1 : (int)att.proxy);
        Reply(pid, smsg, strlen(smsg) + 1);
        if (strcmp(rmsg, "End") == 0 && --n_childs == 0) break;
    }

    qnx_name_detach(0, att.nid);
    qnx_proxy_detach(att.proxy);
    qnx_proxy_detach(att.tproxy);
    rmtimer(att.timer_id);
    printf("server(%d): exiting %d messages, %d proxies, %d timer-proxies, %d sec\n", (int)getpid(),
           n_messages, n_proxies, n_tproxies, (int)(time(NULL) - stime));
    printf("server(%d): name id %d , proxys %d, %d, timer %d detached\n", (int)getpid(), att.nid,
           (int)att.proxy, (int)att.tproxy, (int)att.timer_id);
    exit(0);
}

/* pair_client runs lc steps against the server of the name, triggering the
 * server's proxy every 20th step once it knows it, says "End" and prints its
 * counts. A failed locate or send ends it with status 0. It does not return. */
static void pair_client(const char *attname, int lc) {
    char rmsg[DRILL_BUFSZ] = {0}, smsg[DRILL_BUFSZ];
    int n, n_messages = 0, n_proxies = 0, err;
    time_t stime = time(NULL);
    pid_t pid, proxy = -1;

    snprintf(rmsg, sizeof rmsg, "%s", attname);
    pid = drill_locate(stdout, rmsg);
    for (n = 0; n < lc; n++) {
        if (proxy != -1 && n % 20 == 0) {
            n_proxies++;
            Trigger(proxy);
            continue;
        }
        snprintf(smsg, sizeof smsg, "cnt: %d", n);
        /* The last byte of rmsg stays zero, so the reply is always a string. */
        if (Send(pid, smsg, rmsg, strlen(smsg) + 1, sizeof rmsg - 1) == -1) {
            err = errno;
            printf("Interrupted Send, errno=%d(%s)\n", err, strerror(err));
            exit(0);
        }
        if (strncmp(rmsg, "Proxy: ", 7) == 0) proxy = atoi(rmsg + 7);
        n_messages++;
    }
    Send(pid, "End", rmsg, 4, sizeof rmsg - 1);
    printf("client(%d): exiting send %d messages, %d proxies, %d sec\n", (int)getpid(), n_messages,
           n_proxies, (int)(time(NULL) - stime));
    exit(0);
}

static const char HELP[] =
    "drillpair - loads a running vorlen daemon with one server and its clients\n"
    "\n"
    "Forks a server, which attaches a name, two proxies and a timer that fires the\n"
    "second proxy every 2.5 s, and a second later the clients, each of which sends\n"
    "the server its steps, triggering the server's first proxy every 20th step;\n"
    "then ends at once, while they go on. Each of them prints its counts on\n"
    "standard output when it ends; the server ends after the last client.\n"
    "\n"
    "With -s, only the server, under the given name; with -k, only the clients,\n"
    "of the server of that name: a name beginning with '/' is global, so the\n"
    "server and its clients may run on different nodes of a plant; a client of a\n"
    "server on another node sends its steps and triggers nothing.\n"
    "\n"
    "usage: drillpair [-c clients] [-l steps] [-s name | -k name] [-h]\n"
    "  -c n     clients (default 1); with -s, the clients the server waits for\n"
    "  -l n     steps of each client (default 500)\n"
    "  -s name  fork only the server, attaching name\n"
    "  -k name  fork only the clients, of the server of name\n"
    "  -h       print this text and exit\n"
    "\n"
    "Environment:\n"
    "  HOSTNAME     host of the daemon; unset or empty means 127.0.0.1\n"
    "  VORLEN_PORT  port of the daemon (default 7779)\n";

/* drillpair [-c clients] [-l steps] [-s name | -k name] [-h]: forks the
 * server and, a second later, the clients, and ends at once; they go on
 * alone. */
int main(int argc, char **argv) {
    char attname[DRILL_BUFSZ];
    int n_childs = 1, lc = 500, c, i, only_server = 0, only_clients = 0;
    pid_t server = -1, client;

    /* Server and clients share standard output: whole lines keep them apart. */
    setvbuf(stdout, NULL, _IOLBF, 0);
    /* The first process's pid in the name keeps parallel runs apart. */
    snprintf(attname, sizeof attname, "qnxtest%d", (int)getpid());
    while ((c = getopt(argc, argv, "c:l:s:k:h")) != -1) {
        switch (c) {
        case 'h':
            fputs(HELP, stdout);
            exit(0);
        case 'c':
            n_childs = atoi(optarg);
            break;
        case 'l':
            lc = atoi(optarg);
            break;
        case 's':
        case 'k':
            if (strlen(optarg) >= sizeof attname) {
                printf("name too long: %s\n", optarg);
                exit(2);
            }
            snprintf(attname, sizeof attname, "%s", optarg);
            only_server = c == 's';
            only_clients = c == 'k';
            break;
        default:
            printf("unknown option");
            exit(0);
        }
    }

    if (!only_clients) {
        server = fork();
        if (server < 0) {
            printf("unable to fork server\n");
            exit(0);
        }
        if (server == 0) pair_server(attname, n_childs);
        if (only_server) exit(0);
        sleep(1);
    }

    for (i = 0; i < n_childs; i++) {
        client = fork();
        if (client < 0) {
            printf("unable to fork client, killing server\n");
            if (server > 0) kill(server, SIGKILL);
            exit(0);
        }
        if (client == 0) pair_client(attname, lc);
    }

    while (waitpid(-1, NULL, WNOHANG) > 0) {
    }
    exit(0);
}
