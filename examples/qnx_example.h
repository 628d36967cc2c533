/* qnx_example.h - the messages qnx_server and qnx_client exchange */
#ifndef QNX_EXAMPLE_H
#define QNX_EXAMPLE_H

#define EXAMPLE_NAME "vorlen/example" /* the name the server registers */

#define MSG_ECHO 1  /* the text follows the header; the reply is it in capitals */
#define MSG_TICKS 2 /* the reply comes once count more timer ticks have passed */
#define MSG_QUIT 3  /* the server replies and ends */

/* Every request starts with this header; an echo request's text follows it. */
struct msg_hdr {
    short type;
    short count; /* MSG_ECHO: bytes of text; MSG_TICKS: ticks to wait */
};

struct msg_reply {
    short status; /* 0, or -1 for a request the server did not understand */
    short ticks;  /* timer ticks the server has counted */
    char text[80];
};

#endif
