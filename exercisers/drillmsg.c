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

static const char HELP[] =
    "drillmsg - loads a running vorlen daemon with generations of servers and clients\n"
    "\n"
    "Each generation forks a server, which attaches only a name and answers each\n"
    "message with the count of those before it; a client, which sends the server\n"
    "200 messages; and a further spawner. Generations go on to number 199; every\n"
    "process ends on its own. The servers' received messages go to standard\n"
    "output, the other lines to the console.\n"
    "\n"
    "usage: drillmsg [-h]\n"
    "  -h  print this text and exit\n"
    "\n" DRILL_ENVIRONMENT;

int main(int argc, char **argv) {
    drill_options(argc, argv, HELP);
    drill_run(&drillmsg);
    return 0;
}
