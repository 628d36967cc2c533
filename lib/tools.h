/* tools.h - what the project's own tools (sin) use of the library beyond its public calls */
#ifndef VORLEN_LIB_TOOLS_H
#define VORLEN_LIB_TOOLS_H

#include <cstddef>

/* _qnx_daemon_port gives the daemon's TCP port: VORLEN_PORT when set, else
 * 7779. The library and sin read it here alike. Returns -1 when VORLEN_PORT
 * is not a port number, with the words that say so in why (len bytes), for
 * the caller to print after its own prefix. */
int _qnx_daemon_port(char *why, size_t len);

#endif /* VORLEN_LIB_TOOLS_H */
