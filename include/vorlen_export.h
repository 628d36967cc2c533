/* vorlen_export.h - VORLEN_EXPORT, the mark of a call of the library's public C interface */
#ifndef VORLEN_EXPORT_H
#define VORLEN_EXPORT_H

/* The shared library exports the calls declared with this mark and nothing
 * else: its internals, C++ ones above all, stay its own. */
#if defined(__GNUC__)
#define VORLEN_EXPORT __attribute__((visibility("default")))
#else
#define VORLEN_EXPORT
#endif

#endif /* VORLEN_EXPORT_H */
