/* qnx_server.c - example: a server written the QNX 4 way, with a name, a timer proxy and Readmsg */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/types.h>
#include <sys/kernel.h>
#include <sys/name.h>
#include <sys/proxy.h>
#include <sys/psinfo.h>
#include <sys/timers.h>

#include "qnx_example.h"

#define TICK_MS 20

/* fail reports the call that failed, with errno's reason, and ends the server. */
static void fail(const char *what) {
    fprintf(stderr, "qnx_server: ");
    perror(what);
    exit(1);
}

int main(void) {
    struct msg_hdr hdr;
    struct msg_reply rep;
    struct itimercb tcb;
    struct itimerspec tick;
    timer_t id;
    pid_t proxy, pid, waiter = 0;
    int name_id, n, i;
    int ticks = 0, wake_at = 0, requests = 0, running = 1;

    qnx_pflags(~0L, _PPF_PRIORITY_REC, 0, 0);
    if ((name_id = qnx_name_attach(getnid(), EXAMPLE_NAME)) == -1) fail("qnx_name_attach");

    /* A proxy to ourselves, fired by a repeating timer: each tick arrives at
     * Receive like a message from the proxy. */
    if ((proxy = qnx_proxy_attach(0, NULL, 0, -1)) == -1) fail("qnx_proxy_attach");
    tcb.itcb_event.evt_value = proxy;
    tcb.itcb_count = 0;
    if ((id = mktimer(TIMEOFDAY, _TNOTIFY_PROXY, &tcb)) == -1) fail("mktimer");
    tick.it_value.tv_sec = 0;
    tick.it_value.tv_nsec = TICK_MS * 1000000L;
    tick.it_interval = tick.it_value;
    if (reltimer(id, &tick, NULL) == -1) fail("reltimer");

    printf("qnx_server: serving as %s\n", EXAMPLE_NAME);
    fflush(stdout);

    while (running) {
        /* Only the header: the rest of a message is read with Readmsg while
         * its sender waits for the reply. */
        if ((pid = Receive(0, &hdr, sizeof hdr)) == -1) fail("Receive");
        if (pid == proxy) {
            ticks++;
            if (waiter && ticks >= wake_at) {
                /* The reply held back since the MSG_TICKS request. */
                rep.ticks = (short)ticks;
                Reply(waiter, &rep, sizeof rep);
                waiter = 0;
            }
            continue;
        }
        requests++;
        memset(&rep, 0, sizeof rep);
        rep.ticks = (short)ticks;
        switch (hdr.type) {
        case MSG_ECHO:
            n = hdr.count < (int)sizeof rep.text - 1 ? hdr.count : (int)sizeof rep.text - 1;
            if ((n = Readmsg(pid, sizeof hdr, rep.text, n)) == -1) fail("Readmsg");
            for (i = 0; i < n; i++) rep.text[i] = (char)toupper((unsigned char)rep.text[i]);
            Reply(pid, &rep, sizeof rep);
            break;
        case MSG_TICKS:
            /* No reply yet: the client stays REPLY-blocked until the ticks
             * have passed, and the server goes on receiving. */
            waiter = pid;
            wake_at = ticks + hdr.count;
            break;
        case MSG_QUIT:
            strcpy(rep.text, "bye");
            Reply(pid, &rep, sizeof rep);
            running = 0;
            break;
        default:
            rep.status = -1;
            Reply(pid, &rep, sizeof rep);
        }
    }

    rmtimer(id);
    qnx_proxy_detach(proxy);
    qnx_name_detach(0, name_id);
    printf("qnx_server: done after %d requests\n", requests);
    return 0;
}
