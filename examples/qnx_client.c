/* qnx_client.c - example: a QNX 4 style client: qnx_name_locate, Sendmx with _setmx, Send */
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <sys/kernel.h>
#include <sys/name.h>
#include <sys/sendmx.h>

#include "qnx_example.h"

int main(int argc, char **argv) {
    struct _mxfer_entry smx[2], rmx[1];
    struct msg_hdr hdr;
    struct msg_reply rep;
    const char *text = argc > 1 ? argv[1] : "hello from qnx_client";
    pid_t server;
    int before;

    if ((server = qnx_name_locate(0, EXAMPLE_NAME, 0, NULL)) == -1) {
        perror("qnx_client: no server " EXAMPLE_NAME);
        return 1;
    }

    /* The header and the text leave as two parts of one message. */
    hdr.type = MSG_ECHO;
    hdr.count = (short)strlen(text);
    _setmx(&smx[0], &hdr, sizeof hdr);
    _setmx(&smx[1], text, hdr.count);
    _setmx(&rmx[0], &rep, sizeof rep);
    if (Sendmx(server, 2, 1, smx, rmx) == -1) {
        perror("qnx_client: echo");
        return 1;
    }
    if (rep.status != 0) {
        fprintf(stderr, "qnx_client: the server refused the echo\n");
        return 1;
    }
    printf("qnx_client: echo: %s\n", rep.text);
    before = rep.ticks;

    /* The server holds the reply back until three more ticks of its timer
     * have reached it. */
    hdr.type = MSG_TICKS;
    hdr.count = 3;
    if (Send(server, &hdr, &rep, sizeof hdr, sizeof rep) == -1) {
        perror("qnx_client: ticks");
        return 1;
    }
    if (rep.ticks - before < 3) {
        fprintf(stderr, "qnx_client: the reply came after %d ticks\n", rep.ticks - before);
        return 1;
    }
    printf("qnx_client: the server's timer ticked 3 times\n");

    hdr.type = MSG_QUIT;
    hdr.count = 0;
    if (Send(server, &hdr, &rep, sizeof hdr, sizeof rep) == -1) {
        perror("qnx_client: quit");
        return 1;
    }
    printf("qnx_client: server said %s\n", rep.text);
    return 0;
}
