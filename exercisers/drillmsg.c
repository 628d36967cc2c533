/* drillmsg.c - generation exerciser whose servers attach only a name and count their replies */
#include "drill.h"

static const DRILL_ROW drillmsg = {
    .attach = DRILL_NAME_ONLY,
    .reply_fmt = "Message: %d",
    .triggers = 0,
    .last_gen = 199,
    .width_switch = 4,
    .proxy_line_on_console = 0,
    .rcv_error_fmt = "Error during receive, errno: %d",
    .exit_fmt = "%d: exiting, name id %d detached\n",
};

int main(void) {
    drill_run(&drillmsg);
    return 0;
}
