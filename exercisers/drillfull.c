/* drillfull.c - generation exerciser whose servers attach a name, two proxies and a timer */
#include "drill.h"

static const DRILL_ROW drillfull = {
    .attach = DRILL_PROXY_TIMER,
    .reply_fmt = "Proxy: %d",
    .triggers = 1,
    .last_gen = 49,
    .width_switch = 3,
    .proxy_line_on_console = 0,
    .rcv_error_fmt = "Error during receive, errno: %d(%s)",
    .exit_fmt = "%d: exiting, name id %d , proxys %d, %d, timer %d detached\n",
};

int main(void) {
    drill_run(&drillfull);
    return 0;
}
