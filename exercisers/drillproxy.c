/* drillproxy.c - generation exerciser whose servers attach a name and a proxy */
#include "drill.h"

static const DRILL_ROW drillproxy = {
    .attach = DRILL_PROXY,
    .reply_fmt = "Proxy: %d",
    .triggers = 1,
    .last_gen = 199,
    .width_switch = 4,
    .proxy_line_on_console = 1,
    .rcv_error_fmt = "Error during receive, errno: %d",
    .exit_fmt = "%d: exiting, name id %d , proxy id %d detached\n",
};

int main(void) {
    drill_run(&drillproxy);
    return 0;
}
