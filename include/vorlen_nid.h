/* vorlen_nid.h - nid_t, the type of a node id, for every header that names one */
#ifndef VORLEN_NID_H
#define VORLEN_NID_H

#include <stdint.h>

typedef int32_t nid_t; /* node id: from 1; 0 in a call names this node */

#endif /* VORLEN_NID_H */
