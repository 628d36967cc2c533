/* sys/proxy.h - QNX 4's proxies: qnx_proxy_attach, qnx_proxy_detach (Trigger is in <sys/kernel.h>)
 */
/* Declared by vorlen_api.h. */
#ifndef VORLEN_QNX_SYS_PROXY_H
#define VORLEN_QNX_SYS_PROXY_H

#include <sys/types.h>

#include "../vorlen_qnx4.h"

#endif /* VORLEN_QNX_SYS_PROXY_H */
