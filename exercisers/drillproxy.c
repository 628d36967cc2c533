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

static const char HELP[] =
    "drillproxy - loads a running vorlen daemon with generations of servers and clients\n"
    "\n"
    "Each generation forks a server, which attaches a name and a proxy; a client,\n"
    "which sends the server 200 messages and triggers its proxy every 20th step;\n"
    "and a further spawner. Generations go on to number 199; every process ends\n"
    "on its own. The servers' received messages go to standard output, the other\n"
    "lines to the console.\n"
    "\n"
    "usage: drillproxy [-h]\n"
    "  -h  print this text and exit\n"
    "\n" DRILL_ENVIRONMENT;

int main(int argc, char **argv) {
    drill_options(argc, argv, HELP);
    drill_run(&drillproxy);
    return 0;
}
