/* header_check.c - code written the QNX 4 way must compile warning-free against the public header
 */
#include "vorlen.h"
#include <stdio.h>

#ifndef __cplusplus
#define max(a, b) ((a) > (b) ? (a) : (b)) /* a program's own macro must not clash */
#endif

int main(void) {
    timer_t id;
    struct itimercb cb;
    _MXFER_ENTRY mx[2];
    char buf[10];
    pid_t p;
    cb.itcb_event.evt_value = -2;
    cb.itcb_count = 0;
    _setmx(&mx[0], buf, sizeof buf);
    _setmx(&mx[1], "const", 5);
    if ((id = mktimer(0, NOTIFY_PROXY, &cb)) == -1) return 1;
    p = qnx_proxy_attach(0, NULL, 0, -1);
    printf("%d %d\n", (int)id, (int)p);
    return 0;
}
