/* sys/name.h - QNX 4's registered names: qnx_name_attach, qnx_name_detach, qnx_name_locate */
/* Declared by vorlen_api.h. The nid arguments are accepted and ignored: one
 * daemon serves one host, and its names are global to all its processes. */
#ifndef VORLEN_QNX_SYS_NAME_H
#define VORLEN_QNX_SYS_NAME_H

#include <sys/types.h>

#include "../vorlen_qnx4.h"

#endif /* VORLEN_QNX_SYS_NAME_H */
