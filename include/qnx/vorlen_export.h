/* vorlen_export.h - VORLEN_EXPORT for the QNX 4 header names beside it: the library's own mark */
#include "../vorlen_export.h"
