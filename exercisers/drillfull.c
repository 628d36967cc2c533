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

static const char HELP[] =
    "drillfull - loads a running vorlen daemon with generations of servers and clients\n"
    "\n"
    "Each generation forks a server, which attaches a name, two proxies and a timer\n"
    "that fires the second proxy every 2.5 s; a client, which sends the server 200\n"
    "messages and triggers its first proxy every 20th step; and a further spawner.\n"
    "Generations go on to number 49; every process ends on its own. The servers'\n"
    "received messages go to standard output, the other lines to the console.\n"
    "\n"
    "usage: drillfull [-h]\n"
    "  -h  print this text and exit\n"
    "\n" DRILL_ENVIRONMENT;

int main(int argc, char **argv) {
    drill_options(argc, argv, HELP);
    drill_run(&drillfull);
    return 0;
}
