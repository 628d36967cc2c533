/* vorlen_export.h - VORLEN_EXPORT for the QNX 4 header names that do not bring vorlen_api.h */
/* The same mark as vorlen_api.h's: a call of the library's public C
 * interface, which the shared library exports. */
#ifndef VORLEN_EXPORT
#if defined(__GNUC__)
#define VORLEN_EXPORT __attribute__((visibility("default")))
#else
#define VORLEN_EXPORT
#endif
#endif
